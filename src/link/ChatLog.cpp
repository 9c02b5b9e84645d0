#include "link/ChatLog.h"

#include "modem/PortMap.h"
#include "platform/ShiftJis.h"

namespace {

const QString kConnectedText = QStringLiteral("接続中");

}  // namespace

QString ChatLog::ElapsedText(long long n) {
  const auto two = [](long long v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
  return two(n / 3600) + QLatin1Char(':') + two(n % 3600 / 60) + QLatin1Char(':') + two(n % 60);
}

void ChatLog::memoprint(QByteArrayView text) {
  if (text.size() > kWideLine) view_.SetChatScrollBars(true);
  // A CONNECT line comes with a CR LF in front (an empty line, then the line); the waiting
  // text ends in a CR. The chat window shows lines, so the text is cut at its line breaks.
  QString shown = ShiftJis::Decode(text);
  if (shown.endsWith(QLatin1Char('\r'))) shown.chop(1);
  const QStringList lines = shown.split(QStringLiteral("\r\n"));
  for (const QString& line : lines) view_.AppendChatLine(line);
}

void ChatLog::memoprint(const QString& text) {
  memoprint(QByteArrayView(ShiftJis::Encode(text)));
}

void ChatLog::PrintFitted(QByteArrayView text) {
  PrintFitted(ShiftJis::Decode(text));
}

void ChatLog::PrintFitted(const QString& text) {
  if (text.isEmpty()) return memoprint(text);
  for (const QString& line : modem::ChatLines(text, kWideLine)) memoprint(line);
}

void ChatLog::SpeedButton5Click() {
  view_.ClearChat();
  view_.SetChatScrollBars(false);
}

void ChatLog::Sent(const QString& text) {
  if (text.isEmpty()) return;
  history_.insert(0, text);
  if (history_.size() >= kHistoryLimit) history_.removeAt(kHistoryDropped);
  view_.ShowHistory(history_);
  view_.SetInputText(QString());
}

void ChatLog::ShowConnected(bool on) {
  if (on) {
    view_.SetStatusPanel(kStatePanel, kConnectedText);
    elapsedSeconds_ = 0;
    view_.SetClockTimer(true);
  } else {
    view_.SetStatusPanel(kStatePanel, QString());
    view_.SetClockTimer(false);
    view_.SetStatusPanel(kClockPanel, QString());
  }
}

void ChatLog::Timer1Timer() {
  ++elapsedSeconds_;
  view_.SetStatusPanel(kClockPanel, ElapsedText(elapsedSeconds_));
}
