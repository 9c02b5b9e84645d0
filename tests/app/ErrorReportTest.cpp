#include <gtest/gtest.h>

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "app/Application.h"
#include "MainFormRig.h"
#include "platform/UserError.h"

namespace {

// The application's standard error report: an exception leaving a handler becomes a message
// box with its text, and the program goes on handling events.
TEST(ErrorReport, AnExceptionLeavingAHandlerIsShownAndTheProgramGoesOn) {
  QPushButton failing;
  QPushButton working;
  int worked = 0;
  QObject::connect(&failing, &QPushButton::clicked,
                   [] { throw UserError(QStringLiteral("<b>整数のｵｰﾊﾞｰﾌﾛｰ</b>")); });
  QObject::connect(&working, &QPushButton::clicked, [&] { ++worked; });
  failing.show();
  working.show();

  QString shown;
  Qt::TextFormat format = Qt::AutoText;
  WhenModal<QMessageBox>([&](QMessageBox& box) {
    shown = box.text();
    format = box.textFormat();
    box.accept();
  });
  QTest::mouseClick(&failing, Qt::LeftButton);
  EXPECT_EQ(shown, QStringLiteral("<b>整数のｵｰﾊﾞｰﾌﾛｰ</b>"));
  EXPECT_EQ(format, Qt::PlainText) << "a message may quote a file name or the peer: never markup";

  QTest::mouseClick(&working, Qt::LeftButton);
  EXPECT_EQ(worked, 1);
}

TEST(ErrorReport, StandardExceptionsAreReportedToo) {
  QPushButton failing;
  QObject::connect(&failing, &QPushButton::clicked, [] { throw std::runtime_error("範囲ﾁｪｯｸｴﾗｰ"); });
  failing.show();
  QString shown;
  WhenModal<QMessageBox>([&](QMessageBox& box) {
    shown = box.text();
    box.accept();
  });
  QTest::mouseClick(&failing, Qt::LeftButton);
  EXPECT_EQ(shown, QStringLiteral("範囲ﾁｪｯｸｴﾗｰ"));
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  SonavelApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
