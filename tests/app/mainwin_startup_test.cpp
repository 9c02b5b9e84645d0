#include <gtest/gtest.h>

#include <QAction>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QToolButton>

#include "app/AboutBox.h"
#include "app/MainForm.h"
#include "app/RoutingEngine.h"
#include "link/ComForm.h"
#include "mainwin_support.h"
#include "support/RecordingMidi.h"

namespace {

const QStringList kPositionKeys{QStringLiteral("MainFormPosition/top"), QStringLiteral("MainFormPosition/left"),
                                QStringLiteral("KeyBoardPosition/top"), QStringLiteral("KeyBoardPosition/left")};

QPoint Centred(const QWidget& w) {
  const QSize screen = QApplication::primaryScreen()->geometry().size();
  const QSize outer = w.frameGeometry().size();
  return {(screen.width() - outer.width()) / 2, (screen.height() - outer.height()) / 2};
}

class StartUp : public ::testing::Test {
 protected:
  FakeMidiSystem midi;
  RecordingPrompter prompter;
  MemoryPositions positions;
};

TEST_F(StartUp, CreatesEveryWindowWithItsCaptionAndOnlyTheMainWindowShows) {
  Program program(midi, prompter, positions);
  EXPECT_EQ(program.MainForm().windowTitle(), QStringLiteral("Sonavel"));
  EXPECT_EQ(program.PagesDlg().windowTitle(), QStringLiteral("各種設定"));
  EXPECT_EQ(program.ComForm().windowTitle(), QStringLiteral("接続中"));
  EXPECT_EQ(program.KeyboardForm().windowTitle(), QStringLiteral("Virtual Keyboard"));
  EXPECT_EQ(program.PChangeForm().windowTitle(), QStringLiteral("音色ﾘｽﾄ"));
  EXPECT_EQ(program.AboutBox().windowTitle(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
  EXPECT_EQ(QApplication::applicationName(), QStringLiteral("Sonavel"));
  for (QWidget* w : {static_cast<QWidget*>(&program.MainForm()), static_cast<QWidget*>(&program.PagesDlg()),
                     static_cast<QWidget*>(&program.ComForm()), &program.KeyboardForm(), &program.PChangeForm(),
                     static_cast<QWidget*>(&program.AboutBox())}) {
    EXPECT_FALSE(w->isVisible()) << w->windowTitle().toStdString();
  }
  EXPECT_TRUE(positions.reads.isEmpty()) << "nothing is read before the main window shows";
}

TEST_F(StartUp, FirstStartCentresBothWindowsAndClosingWritesTheFourKeys) {
  Program program(midi, prompter, positions);
  int ended = 0;
  program.onEnded = [&] { ++ended; };
  program.Start();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&program.MainForm()));
  EXPECT_EQ(positions.reads, kPositionKeys);
  EXPECT_EQ(program.MainForm().frameGeometry().topLeft(), Centred(program.MainForm()));
  EXPECT_TRUE(program.KeyboardForm().isVisible());
  EXPECT_TRUE(program.MainForm().SpeedButton2->isChecked());
  EXPECT_EQ(program.KeyboardForm().frameGeometry().topLeft(), Centred(program.KeyboardForm()));

  const QPoint mainAt = program.MainForm().frameGeometry().topLeft();
  const QPoint keyboardAt = program.KeyboardForm().frameGeometry().topLeft();
  program.MainForm().close();
  EXPECT_EQ(positions.writes, kPositionKeys) << "written in this order";
  EXPECT_EQ(positions.values[kPositionKeys[0]], mainAt.y());
  EXPECT_EQ(positions.values[kPositionKeys[1]], mainAt.x());
  EXPECT_EQ(positions.values[kPositionKeys[2]], keyboardAt.y());
  EXPECT_EQ(positions.values[kPositionKeys[3]], keyboardAt.x());
  EXPECT_FALSE(program.KeyboardForm().isVisible());
  EXPECT_EQ(ended, 1);
}

TEST_F(StartUp, StoredPositionsAreAppliedAsTheyStandEvenOffTheScreen) {
  const int beyond = QApplication::primaryScreen()->geometry().width() + 50;
  positions.values = {{kPositionKeys[0], 40}, {kPositionKeys[1], 30}, {kPositionKeys[2], 500}, {kPositionKeys[3], beyond}};
  Program program(midi, prompter, positions);
  program.Start();
  EXPECT_EQ(program.MainForm().frameGeometry().topLeft(), QPoint(30, 40));
  EXPECT_EQ(program.KeyboardForm().frameGeometry().topLeft(), QPoint(beyond, 500));
  // The button brings it back.
  program.MainForm().Button11Click();
  program.MainForm().Button11Click();
  const int width = program.KeyboardForm().frameGeometry().width();
  EXPECT_EQ(program.KeyboardForm().frameGeometry().left(), beyond - 50 - width);
  program.MainForm().close();
}

TEST_F(StartUp, KeyboardPositionIsWrittenEvenWhileItIsHidden) {
  Program program(midi, prompter, positions);
  program.Start();
  program.KeyboardForm().move(123, 45);
  program.MainForm().Button11Click();
  ASSERT_FALSE(program.KeyboardForm().isVisible());
  program.MainForm().close();
  EXPECT_EQ(positions.values[kPositionKeys[2]], 45);
  EXPECT_EQ(positions.values[kPositionKeys[3]], 123);
}

TEST_F(StartUp, MidiDevicesAreOpenedLastAndTheirFailuresDoNotStopIt) {
  Program program(midi, prompter, positions);
  program.Start();
  // No device is chosen yet: both refusals are shown, input first, and start-up completes.
  EXPECT_EQ(prompter.messages, (QStringList{QStringLiteral("MIDI IN デバイスを選択してください。"),
                                            QStringLiteral("MIDI OUT デバイスを選択してください。")}));
  EXPECT_FALSE(program.MainForm().SpeedButton1->isChecked());
  EXPECT_TRUE(program.KeyboardForm().isVisible());
  program.MainForm().close();
}

TEST_F(StartUp, ExitThenCloseClosesTheDevicesOnce) {
  Program program(midi, prompter, positions);
  program.Start();
  program.MainForm().Exit1->trigger();
  EXPECT_FALSE(program.MainForm().isVisible());
  EXPECT_EQ(positions.writes.size(), 4);
}

TEST_F(StartUp, AboutBoxOpensBesideAUsableMainWindowAndOkOnlyHidesIt) {
  Program program(midi, prompter, positions);
  program.Start();
  program.MainForm().Help1->trigger();
  EXPECT_TRUE(program.AboutBox().isVisible());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_TRUE(program.MainForm().isEnabled());
  QTest::mouseClick(program.AboutBox().OKButton, Qt::LeftButton);
  EXPECT_FALSE(program.AboutBox().isVisible());
  program.MainForm().Help1->trigger();
  EXPECT_TRUE(program.AboutBox().isVisible());
  program.MainForm().close();
  EXPECT_FALSE(program.AboutBox().isVisible());
}

TEST_F(StartUp, ProgramDisplayClickShowsAndHidesTheToneList) {
  Program program(midi, prompter, positions);
  program.Start();
  QTest::mouseClick(program.MainForm().Ekisyou2, Qt::LeftButton);
  EXPECT_TRUE(program.PChangeForm().isVisible());
  QTest::mouseClick(program.MainForm().Ekisyou1, Qt::LeftButton);
  EXPECT_FALSE(program.PChangeForm().isVisible());
  program.MainForm().close();
}

// A settings file that cannot be written must not keep the MIDI devices open.
class FailingPositions final : public PositionFile {
 public:
  int ReadInt(const QString&, const QString&, int fallback) override { return fallback; }
  void WriteInt(const QString&, const QString&, int) override { throw UserError(QStringLiteral("disk full")); }
};

TEST_F(StartUp, AFailedPositionWriteStillClosesTheDevicesAndIsReported) {
  FailingPositions failing;
  Program program(midi, prompter, failing);
  program.Start();
  EXPECT_THROW(program.MainForm().Commands().formClose(), UserError);
  EXPECT_FALSE(program.KeyboardForm().isVisible());
}

}  // namespace
