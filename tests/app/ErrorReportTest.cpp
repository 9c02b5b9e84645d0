#include <gtest/gtest.h>

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include "app/Application.h"
#include "controls/ErrorReport.h"
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
  ASSERT_TRUE(QTest::qWaitFor([&] { return !shown.isEmpty(); }));
  EXPECT_EQ(shown, QStringLiteral("<b>整数のｵｰﾊﾞｰﾌﾛｰ</b>"));
  EXPECT_EQ(format, Qt::PlainText) << "a message may quote a file name or the peer: never markup";

  QTest::mouseClick(&working, Qt::LeftButton);
  EXPECT_EQ(worked, 1);
}

TEST(ErrorReport, StandardExceptionsAreReportedToo) {
  QPushButton failing;
  QObject::connect(&failing, &QPushButton::clicked, [] { throw std::runtime_error("範囲ﾁｪｯｸｴﾗｰ"); });
  failing.show();
  QTest::mouseClick(&failing, Qt::LeftButton);
  EXPECT_EQ(BoxesShown(), QStringList{QStringLiteral("範囲ﾁｪｯｸｴﾗｰ")});
}

// A burst (a controller stream meeting a fault) is one box that counts, never boxes inside
// boxes; a different error gets the one box that follows, which counts the rest.
TEST(ErrorReport, ABurstIsOneBoxAndOnlyOneMoreFollowsIt) {
  for (int i = 0; i < 100; ++i) ErrorReport::Show(QStringLiteral("書けません"));
  const QStringList one = BoxesShown();
  ASSERT_EQ(one.size(), 1);
  EXPECT_TRUE(one[0].startsWith(QStringLiteral("書けません"))) << one[0].toStdString();
  EXPECT_TRUE(one[0].contains(QStringLiteral("100 回"))) << one[0].toStdString();

  ErrorReport::Show(QStringLiteral("A"));
  const QStringList two = BoxesShown([] {
    for (const char* text : {"A", "B", "C", "B"}) ErrorReport::Show(QString::fromLatin1(text));
  });
  ASSERT_EQ(two.size(), 2) << two.join(QLatin1Char('|')).toStdString();
  EXPECT_TRUE(two[0].startsWith(QStringLiteral("A")) && two[0].contains(QStringLiteral("2 回")));
  EXPECT_TRUE(two[1].startsWith(QStringLiteral("B")) && two[1].contains(QStringLiteral("2 回")));
  EXPECT_TRUE(two[1].contains(QStringLiteral("ほかに 1 件"))) << two[1].toStdString();
  EXPECT_FALSE(ErrorReport::Busy());
}

// The shutdown ends the event loop through this: only once its report has been seen.
TEST(ErrorReport, WhenIdleWaitsForTheBoxToBeClosed) {
  bool ran = false;
  ErrorReport::WhenIdle([&] { ran = true; });
  EXPECT_TRUE(ran) << "with nothing to show it runs at once";

  ran = false;
  ErrorReport::Show(QStringLiteral("設定を保存できません"));
  ErrorReport::WhenIdle([&] { ran = true; });
  bool ranWhileShown = true;
  WhenModal<QMessageBox>([&](QMessageBox& box) {
    ranWhileShown = ran;
    box.accept();
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return ran; }));
  EXPECT_FALSE(ranWhileShown);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  SonavelApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
