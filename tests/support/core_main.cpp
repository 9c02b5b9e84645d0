#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("SONAVEL_TEST_OUTPUT"))
    qputenv("SONAVEL_TEST_OUTPUT", SONAVEL_TEST_OUTPUT_DIR);
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
