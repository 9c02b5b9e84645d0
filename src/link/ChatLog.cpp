#include "link/ChatLog.h"

#include <exception>

#include "platform/ShiftJis.h"

namespace {

const QString kNotConnected = QStringLiteral("接続されていません");
const QString kNoNumber = QStringLiteral("電話番号を設定してください。");
const QString kConnectedText = QStringLiteral("接続中");
const QString kHungUp = QStringLiteral("切断しました");
const QString kWaiting = QStringLiteral("待機中...\r");
const QString kWaitInCall = QStringLiteral("通話中です。切断してから待機してください。");
constexpr QByteArrayView kAnswerCommand = "ats0=1\r";
constexpr QByteArrayView kFarewell = "Bye\r";
constexpr int kNameWidth = 8;

}  // namespace

ChatLog::ChatLog(ModemDialogue& dialogue, ChatView& view) : dialogue_(dialogue), view_(view) {
  dialogue_.SetMainWindow(this);
}

ChatLog::~ChatLog() {
  dialogue_.SetMainWindow(nullptr);
}

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

void ChatLog::SpeedButton5Click() {
  view_.ClearChat();
  view_.SetChatScrollBars(false);
}

void ChatLog::SendChatLine() {
  if (!dialogue_.Comm1.IsOpen()) {
    view_.ShowMessage(kNotConnected);
    return;
  }
  const QString text = view_.InputText();
  // A pasted line break would split one chat line into several units (and a pasted "NO CARRIER"
  // would act on the peer as a result word): CR and LF become spaces.
  QString flat = text;
  flat.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
  QByteArray line = ShiftJis::Encode(flat);
  if (dialogue_.PrintName && dialogue_.Connected()) {
    QByteArray name = ShiftJis::Encode(dialogue_.UserName);
    if (name.size() < kNameWidth) name.append(kNameWidth - name.size(), ' ');
    line = name + '>' + line;
  }
  // One unit: a line too long for the port is refused before anything is shown or kept.
  dialogue_.Comm1.WriteString(line + '\r');
  memoprint(QByteArrayView(line));
  if (!text.isEmpty()) {
    history_.insert(0, text);
    if (history_.size() >= kHistoryLimit) history_.removeAt(kHistoryDropped);
    view_.ShowHistory(history_);
    view_.SetInputText(QString());
  }
  dialogue_.WriteLog(line);
  view_.FocusInput();
}

void ChatLog::SetConnected(bool on) {
  if (on) {
    view_.SetStatusPanel(kStatePanel, kConnectedText);
    elapsedSeconds_ = 0;
    dialogue_.SetConnectedFlag(true);
    view_.SetClockTimer(true);
  } else {
    dialogue_.SetConnectedFlag(false);
    view_.SetStatusPanel(kStatePanel, QString());
    view_.SetClockTimer(false);
    view_.SetStatusPanel(kClockPanel, QString());
  }
}

void ChatLog::Timer1Timer() {
  ++elapsedSeconds_;
  view_.SetStatusPanel(kClockPanel, ElapsedText(elapsedSeconds_));
}

void ChatLog::DialDestination(int n) {
  if (n < 1 || n > ModemDialogue::kDestinations || dialogue_.DestNumbers[n - 1].isEmpty()) {
    view_.ShowMessage(kNoNumber);
    return;
  }
  dialogue_.Dial(n);
}

void ChatLog::Button3Click() {
  view_.SetClockTimer(false);
  view_.SetComButton(false);
  if (!dialogue_.Comm1.IsOpen()) return;
  // The hang-up goes through even when the farewell cannot be sent; the failure is reported last.
  // A stalled slow line could hold the farewell for minutes: it gets as long as the close gives
  // what is queued, and no longer.
  std::exception_ptr farewellError;
  try {
    dialogue_.Comm1.Write(std::span(reinterpret_cast<const std::uint8_t*>(kFarewell.data()),
                                    static_cast<std::size_t>(kFarewell.size())),
                          std::chrono::milliseconds(TComm::kDrainLimitMs));
  } catch (...) {
    farewellError = std::current_exception();
  }
  dialogue_.ClosePort();
  SetConnected(false);
  dialogue_.HideDialogue();
  dialogue_.EndSequence();
  memoprint(kHungUp);
  if (farewellError) std::rethrow_exception(farewellError);
}

void ChatLog::Button10Click() {
  // Online, the answer command would reach the partner as a chat line, and the chat would be
  // cleared in the middle of the call.
  if (dialogue_.Comm1.IsOpen() && dialogue_.InCall()) {
    view_.ShowMessage(kWaitInCall);
    return;
  }
  if (!dialogue_.Comm1.IsOpen()) dialogue_.Comm1.Open();
  view_.ClearChat();
  dialogue_.Comm1.WriteString(kAnswerCommand);
  view_.SetComButton(true);
  memoprint(kWaiting);
}

void ChatLog::Button1Click(bool pressed) {
  if (!pressed) {
    dialogue_.ClosePort();
    return;
  }
  try {
    dialogue_.Comm1.Open();
  } catch (...) {
    view_.SetComButton(false);  // the button shows the port's state, and the port is closed
    throw;
  }
}

void ChatLog::KCOM1Click() {
  if (view_.ComButtonPressed()) {
    dialogue_.ClosePort();
    view_.SetComButton(false);
  } else {
    dialogue_.Comm1.Open();
    view_.SetComButton(true);
  }
}
