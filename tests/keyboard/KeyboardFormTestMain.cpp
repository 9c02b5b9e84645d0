#include <gtest/gtest.h>

#include <QApplication>

// The window tests' main: off screen unless a platform is asked for, also when the test list
// is read at build time (where no display may exist), and pictures into the build's
// test-output folder unless told otherwise.
int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("SONAVEL_TEST_OUTPUT"))
    qputenv("SONAVEL_TEST_OUTPUT", SONAVEL_TEST_OUTPUT_DIR);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
