#include <gtest/gtest.h>

#include "LinkTestSupport.h"
#include "link/CallReport.h"
#include "platform/ShiftJis.h"

namespace {

using P = modem::CallProtection;

// A look at the modem: waiting on port 52000 or not, its call, and the door's counters.
modem::CallStatus Look(bool waiting, P call, int wrong = 0, int turnedAway = 0, const char* code = "") {
  modem::CallStatus s;
  s.carrier = call != P::None;
  s.protection = call;
  s.checkCode = code;
  s.waitingPort = waiting ? 52000 : 0;
  s.wrongPasswords = wrong;
  s.turnedAway = turnedAway;
  return s;
}

struct StateRecorder final : CallStateView {
  QString text;
  void ShowCallState(const QString& t, const QString&) override { text = t; }
};

// Look after look at the modem's status, and what the players are told: each event once.
TEST(CallReport, EachEventAtTheDoorIsToldOnceAndTheStateStaysInSight) {
  const QString ended = QStringLiteral("待機を終えました（ポート 52000）");
  const auto wrong = [](int n) { return QStringLiteral("パスワード違いの着信が %1 回ありました").arg(n); };
  const QString crowd = QStringLiteral("着信が集中したため、接続をいくつか断りました");
  const struct {
    std::vector<modem::CallStatus> looks;
    QStringList chat;
    QString state;  // after the last look
  } rows[] = {
      {{Look(true, P::None), Look(true, P::None, 2), Look(true, P::None, 3), Look(false, P::None, 3),
        Look(false, P::None, 3)},
       {wrong(3), ended},
       {}},
      // The call tells them as it comes; the wait's end, and those since, follow the call.
      {{Look(true, P::None, 1), Look(false, P::Password, 1), Look(false, P::Password, 2),
        Look(false, P::None, 2)},
       {wrong(1), wrong(2), ended},
       {}},
      {{Look(true, P::None, 0, 1), Look(true, P::None, 0, 5), Look(true, P::None, 0, 40),
        Look(false, P::None, 0, 40)},
       {crowd, ended},
       {}},
      {{Look(true, P::None), Look(true, P::None)}, {}, QStringLiteral("待機中 ポート 52000")},
      {{Look(false, P::Open, 0, 0, "123456"), Look(false, P::Open, 0, 0, "123456")},
       {},
       QStringLiteral("暗号化・未確認 123456")},
      {{Look(true, P::None), Look(false, P::Password)}, {}, QStringLiteral("パスワードで確認済み")},
      // A dialled call had no wait: its counters are not this program's news.
      {{Look(false, P::None, 4, 4), Look(false, P::Password, 4, 4), Look(false, P::None, 4, 4)}, {}, {}},
  };
  for (const auto& row : rows) {
    RecordingChatView view;
    ChatLog chat{view};
    StateRecorder state;
    CallReport report{state, chat};
    for (const modem::CallStatus& s : row.looks) report.Update(s);
    EXPECT_EQ(view.chat, row.chat) << row.chat.join(u'|').toStdString();
    EXPECT_EQ(state.text, row.state) << row.chat.join(u'|').toStdString();
  }
}

// The modem's own long lines (no call held) are cut to fit the window; a peer's, or one from a
// modem that cannot tell its carrier, stays whole and brings the horizontal scroll bar.
TEST(CallReport, OnlyTheModemsOwnLongLinesAreFittedToTheWindow) {
  using C = CarrierSource::Carrier;
  const QString reason =
      QStringLiteral("失敗が続いたため、相手はしばらく着信を受けません。時間をおいてかけ直してください");
  const struct {
    C carrier;
    bool connected, fitted;
  } rows[] = {{C::Down, false, true}, {C::Up, false, true}, {C::Up, true, false}, {C::Unknown, false, false}};
  for (const auto& row : rows) {
    LinkRig rig;
    rig.dialogue.BuiltInModem = true;
    rig.carrier.state = row.carrier;
    if (row.connected) rig.dialogue.SetConnected(true);
    rig.dialogue.HandleLine(QByteArrayView(ShiftJis::Encode(reason)));
    EXPECT_EQ(rig.chatView.chat.join(QString()), reason);
    EXPECT_EQ(rig.chatView.bothScrollBars, !row.fitted) << static_cast<int>(row.carrier);
    for (const QString& line : rig.chatView.chat) EXPECT_EQ(ShiftJis::Encode(line).size() <= 52, row.fitted);
  }
}

}  // namespace
