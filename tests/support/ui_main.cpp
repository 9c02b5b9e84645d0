#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  // CTest lists the tests by running the program without the test's environment.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("SONAVEL_TEST_OUTPUT"))
    qputenv("SONAVEL_TEST_OUTPUT", SONAVEL_TEST_OUTPUT_DIR);
  // Test discovery runs this program at build time without the tests' environment; windows
  // need a platform there too.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
