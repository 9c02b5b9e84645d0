#include <gtest/gtest.h>

#include <QFile>

#include "LinkTestSupport.h"

namespace {

TEST(ElapsedText, FormatsHoursMinutesSecondsWithAtLeastTwoDigits) {
  const std::pair<long long, const char*> cases[] = {
      {0, "00:00:00"},    {1, "00:00:01"},    {59, "00:00:59"},     {60, "00:01:00"},
      {3599, "00:59:59"}, {3725, "01:02:05"}, {359999, "99:59:59"}, {360000, "100:00:00"}};
  for (auto [seconds, text] : cases)
    EXPECT_EQ(ChatLog::ElapsedText(seconds), QString::fromUtf8(text)) << seconds;
}

class Chat : public ::testing::Test {
 protected:
  PtyPair pty;
  LinkRig rig{pty.SlavePath()};
};

TEST_F(Chat, SendingWithThePortClosedSaysSoAndKeepsTheInput) {
  rig.chatView.input = QStringLiteral("hello");
  rig.dialogue.SendChatLine();
  EXPECT_EQ(rig.chatView.messages, QStringList{QStringLiteral("接続されていません")});
  EXPECT_EQ(rig.chatView.input, QStringLiteral("hello"));
  EXPECT_TRUE(rig.chatView.chat.isEmpty());
  EXPECT_TRUE(rig.chat.History().isEmpty());
}

TEST_F(Chat, NamePrefixOnlyWhileConnected) {
  rig.dialogue.FormCreate(true, rig.logFolder.path(), QDate(2026, 3, 4));
  rig.dialogue.PrintName = true;
  rig.dialogue.UserName = QStringLiteral("abc     ");
  rig.dialogue.Button1Click(true);
  ASSERT_TRUE(rig.port.Comm1.IsOpen());

  rig.chatView.input = QStringLiteral("hello");
  rig.dialogue.SendChatLine();  // open, not connected: a command line for the modem
  EXPECT_EQ(pty.Read(), QByteArray("hello\r"));

  rig.dialogue.SetConnected(true);
  rig.chatView.input = QStringLiteral("hello");
  rig.dialogue.SendChatLine();
  EXPECT_EQ(pty.Read(), QByteArray("abc     >hello\r"));
  EXPECT_EQ(rig.chatView.chat, (QStringList{"hello", "abc     >hello"}));
  EXPECT_EQ(rig.chat.History(), (QStringList{"hello", "hello"}));
  EXPECT_TRUE(rig.chatView.input.isEmpty());
  EXPECT_EQ(rig.chatView.focusCount, 2);

  rig.chatView.input = QString();  // an empty line sends the prefix and CR, keeps no history
  rig.dialogue.SendChatLine();
  EXPECT_EQ(pty.Read(), QByteArray("abc     >\r"));
  EXPECT_EQ(rig.chat.History().size(), 2);

  rig.chatView.input = QStringLiteral("ﾃｽﾄあ");  // half-width katakana and a double-byte character
  rig.dialogue.SendChatLine();
  EXPECT_EQ(pty.Read(), QByteArray("abc     >\xC3\xBD\xC4\x82\xA0\r"));
  EXPECT_EQ(rig.chatView.chat.last(), QStringLiteral("abc     >ﾃｽﾄあ"));

  rig.dialogue.FormDestroy();
  QFile log(rig.LogFile(QDate(2026, 3, 4)));
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  EXPECT_EQ(log.readAll(),
            QByteArray("hello\r\nabc     >hello\r\nabc     >\r\nabc     >\xC3\xBD\xC4\x82\xA0\r\n"));
}

TEST_F(Chat, ALineTooLongForThePortIsRefusedWholeAndNothingIsKept) {
  rig.dialogue.Button1Click(true);
  rig.chatView.input = QString(5000, QLatin1Char('x'));
  EXPECT_THROW(rig.dialogue.SendChatLine(), ECommError);
  EXPECT_TRUE(pty.Read(50).isEmpty());
  EXPECT_TRUE(rig.chatView.chat.isEmpty());
  EXPECT_EQ(rig.chatView.input.size(), 5000);
}

TEST_F(Chat, HistoryOfTwoHundredFiftySixLinesDropsTheTwelfthNewest) {
  rig.dialogue.Button1Click(true);
  for (int i = 1; i <= 256; ++i) {
    rig.chatView.input = QString::number(i);
    rig.dialogue.SendChatLine();
    pty.Read(0);
  }
  const QStringList& h = rig.chat.History();
  ASSERT_EQ(h.size(), 255);
  EXPECT_EQ(h[0], "256");
  EXPECT_EQ(h[10], "246");
  EXPECT_EQ(h[11], "244");  // 245 was twelfth newest when the list reached 256
  EXPECT_EQ(h.last(), "1");
  EXPECT_EQ(rig.chatView.history, h);
}

TEST_F(Chat, WideLineAddsTheHorizontalScrollBarUntilClear) {
  rig.chat.memoprint(QByteArray(52, 'a'));
  EXPECT_FALSE(rig.chatView.bothScrollBars);
  rig.chat.memoprint(QByteArray(53, 'a'));
  EXPECT_TRUE(rig.chatView.bothScrollBars);
  rig.chat.memoprint(QByteArray("short"));
  EXPECT_TRUE(rig.chatView.bothScrollBars);
  rig.chat.SpeedButton5Click();
  EXPECT_FALSE(rig.chatView.bothScrollBars);
  EXPECT_TRUE(rig.chatView.chat.isEmpty());
  // 27 double-byte characters are 54 bytes though only 27 characters.
  rig.chat.memoprint(QString(27, QChar(0x3042)));
  EXPECT_TRUE(rig.chatView.bothScrollBars);
}

TEST_F(Chat, PeerTextIsShownAsItStandsNeverAsMarkup) {
  rig.port.Comm1.Open();
  pty.Write("<b>bold</b>&amp;\r");
  ASSERT_TRUE(WaitFor([&] { return !rig.chatView.chat.isEmpty(); }));
  EXPECT_EQ(rig.chatView.chat.last(), QStringLiteral("<b>bold</b>&amp;"));
}

TEST_F(Chat, ClockRunsWhileConnectedAndClearsOnHangUp) {
  rig.dialogue.Button1Click(true);
  rig.dialogue.SetConnected(true);
  EXPECT_TRUE(rig.chatView.clock);
  for (int i = 0; i < 3725; ++i) rig.chat.Timer1Timer();
  EXPECT_EQ(rig.chatView.panels[3], QStringLiteral("01:02:05"));
  rig.dialogue.Button3Click();
  EXPECT_EQ(pty.Read(), QByteArray("Bye\r"));
  EXPECT_TRUE(rig.chatView.panels[3].isEmpty());
  EXPECT_FALSE(rig.chatView.clock);
  // Connecting again starts from zero.
  rig.dialogue.SetConnected(true);
  rig.chat.Timer1Timer();
  EXPECT_EQ(rig.chatView.panels[3], QStringLiteral("00:00:01"));
}

TEST_F(Chat, HangUpWithThePortClosedOnlyStopsTheClockAndReleasesTheButton) {
  rig.dialogue.SetConnected(true);
  rig.chatView.comButton = true;
  rig.dialogue.Button3Click();
  EXPECT_FALSE(rig.chatView.clock);
  EXPECT_FALSE(rig.chatView.comButton);
  EXPECT_TRUE(rig.dialogue.Connected());
  EXPECT_EQ(rig.chatView.panels[2], QStringLiteral("接続中"));
  EXPECT_TRUE(rig.chatView.chat.isEmpty());
}

TEST_F(Chat, WaitForACallOpensClearsAndSendsTheAnswerCommand) {
  rig.chat.memoprint(QStringLiteral("old"));
  rig.dialogue.Button10Click();
  EXPECT_TRUE(rig.port.Comm1.IsOpen());
  EXPECT_EQ(pty.Read(), QByteArray("ats0=1\r"));
  EXPECT_TRUE(rig.chatView.comButton);
  EXPECT_EQ(rig.chatView.chat, QStringList{QStringLiteral("待機中...")});
  EXPECT_EQ(rig.dialogue.CommandIndexValue(), 0);
  EXPECT_FALSE(rig.form.shown);
}

TEST_F(Chat, DialingADestinationWithoutNumberSendsNothing) {
  rig.dialogue.DestNumbers[0] = QStringLiteral("1");
  rig.dialogue.DialDestination(2);
  EXPECT_EQ(rig.chatView.messages, QStringList{QStringLiteral("電話番号を設定してください。")});
  EXPECT_FALSE(rig.port.Comm1.IsOpen());
  EXPECT_FALSE(rig.form.shown);
}

TEST_F(Chat, ComPortCommandsLeaveTheConnectionStateAlone) {
  rig.chatView.comButton = false;
  rig.dialogue.KCOM1Click();
  EXPECT_TRUE(rig.port.Comm1.IsOpen());
  EXPECT_TRUE(rig.chatView.comButton);
  rig.dialogue.SetConnected(true);
  rig.dialogue.KCOM1Click();
  EXPECT_FALSE(rig.port.Comm1.IsOpen());
  EXPECT_FALSE(rig.chatView.comButton);
  EXPECT_TRUE(rig.dialogue.Connected());
  EXPECT_TRUE(rig.chatView.clock);
  rig.dialogue.Button1Click(true);
  EXPECT_TRUE(rig.port.Comm1.IsOpen());
  rig.dialogue.Button1Click(false);
  EXPECT_FALSE(rig.port.Comm1.IsOpen());
}

TEST_F(Chat, ComButtonComesBackUpWhenThePortCannotOpen) {
  rig.port.Comm1.SetDevicePath(QStringLiteral("/dev/does-not-exist-sonavel"));
  rig.chatView.comButton = true;  // the click pressed it
  EXPECT_THROW(rig.dialogue.Button1Click(true), ECommOpenError);
  EXPECT_FALSE(rig.chatView.comButton);
}

TEST_F(Chat, PeerLineEqualToAResultWordActsAsThatWord) {
  rig.port.Comm1.Open();
  rig.dialogue.SetConnected(true);
  pty.Write("NO CARRIER\r");
  ASSERT_TRUE(WaitFor([&] { return !rig.dialogue.Connected(); }));
  EXPECT_TRUE(rig.port.Comm1.IsOpen());
}

TEST_F(Chat, PastedLineBreaksStayInsideOneLine) {
  rig.port.Comm1.Open();
  rig.chatView.input = QStringLiteral("a\r\nNO CARRIER\nb");
  rig.dialogue.SendChatLine();
  EXPECT_EQ(pty.Read(), QByteArray("a  NO CARRIER b\r"));
}

}  // namespace
