#include "link/CallReport.h"

namespace {

using modem::CallProtection;

const QString kConfirmed = QStringLiteral("パスワードで確認済み");
const QString kConfirmedHint =
    QStringLiteral("通話は暗号化されています。相手が同じパスワードを持っていることを確かめました。");
const QString kUnconfirmed = QStringLiteral("暗号化・未確認 %1");
const QString kUnconfirmedHint = QStringLiteral("通話は暗号化されていますが、相手はまだ確認されていません。");
const QString kCompareHint = QStringLiteral(
    "確認コード %1 "
    "を相手の画面のコードと声かメッセージで比べてください。同じなら、間にだれもいない相手本人との通話です。");
const QString kWaiting = QStringLiteral("待機中 ポート %1");
const QString kWaitingHint = QStringLiteral("TCP/IP ﾓﾃﾞﾑがポート %1 で相手からの着信を待っています。");
const QString kWaitEnded = QStringLiteral("待機を終えました（ポート %1）");
const QString kWrongPasswords = QStringLiteral("パスワード違いの着信が %1 回ありました");
const QString kCrowd = QStringLiteral("着信が集中したため、接続をいくつか断りました");

}  // namespace

QString CallReport::StateText(const modem::CallStatus& s) {
  if (s.carrier) {
    switch (s.protection) {
      case CallProtection::Password: return kConfirmed;
      case CallProtection::Open: return kUnconfirmed.arg(QString::fromStdString(s.checkCode)).trimmed();
      case CallProtection::None: return {};
    }
  }
  return s.waitingPort != 0 ? kWaiting.arg(s.waitingPort) : QString();
}

QString CallReport::StateHint(const modem::CallStatus& s) {
  if (s.carrier) {
    switch (s.protection) {
      case CallProtection::Password: return kConfirmedHint;
      case CallProtection::Open:
        return s.checkCode.empty() ? kUnconfirmedHint
                                   : kUnconfirmedHint + kCompareHint.arg(QString::fromStdString(s.checkCode));
      case CallProtection::None: return {};
    }
  }
  return s.waitingPort != 0 ? kWaitingHint.arg(s.waitingPort) : QString();
}

void CallReport::Update(const modem::CallStatus& s) {
  view_.ShowCallState(StateText(s), StateHint(s));
  const bool waiting = s.waitingPort != 0;
  // Counters that went down belong to a wait begun again between two looks.
  if (waiting && (!wait_.on || s.wrongPasswords < wait_.wrongPasswordsTold)) wait_ = {true, s.waitingPort};
  if (!wait_.on) {
    carrier_ = s.carrier;
    return;
  }
  if (s.turnedAway > 0 && !wait_.crowdTold) {
    wait_.crowdTold = true;
    chat_.PrintFitted(kCrowd);
  }
  // The wrong passwords are told when the call comes, and those since then when the wait ends.
  if (s.carrier && !carrier_) TellWrongPasswords(s.wrongPasswords);
  carrier_ = s.carrier;
  // A wait that brought a call ends with it: its end is told after the call.
  if (!waiting && !s.carrier) {
    TellWrongPasswords(s.wrongPasswords);
    chat_.PrintFitted(kWaitEnded.arg(wait_.port));
    wait_ = {};
  }
}

void CallReport::TellWrongPasswords(int count) {
  if (count <= wait_.wrongPasswordsTold) return;
  wait_.wrongPasswordsTold = count;
  chat_.PrintFitted(kWrongPasswords.arg(count));
}
