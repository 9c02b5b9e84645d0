#include "link/ModemDialogue.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "platform/ShiftJis.h"

namespace {

const QString kModemNotReady = QStringLiteral("モデムの準備ができていません。");
const QString kBusy = QStringLiteral("話中です。しばらくしてからかけ直してください。");
const QString kInCall = QStringLiteral("通話中です。切断してからかけ直してください。");
constexpr QByteArrayView kOk = "OK";
constexpr QByteArrayView kConnect = "CONNECT";
constexpr QByteArrayView kError = "ERROR";
constexpr QByteArrayView kNoCarrier = "NO CARRIER";
constexpr QByteArrayView kBusyWord = "BUSY";
constexpr int kDialCommand = 4;

const QString kNotConnected = QStringLiteral("接続されていません");
const QString kNoNumber = QStringLiteral("電話番号を設定してください。");
const QString kHungUp = QStringLiteral("切断しました");
const QString kWaiting = QStringLiteral("待機中...\r");
const QString kWaitInCall = QStringLiteral("通話中です。切断してから待機してください。");
constexpr QByteArrayView kAnswerCommand = "ats0=1\r";
constexpr QByteArrayView kFarewell = "Bye\r";
constexpr int kNameWidth = 8;

QString MessageOf(std::exception_ptr error) {
  return ErrorText(error);
}

}  // namespace

// Each unit is handled on its own: an error in one (a failed write of the next command, a
// device error while playing) is reported and the next unit still comes.
class ModemDialogue::Sink final : public WireSink {
 public:
  explicit Sink(ModemDialogue& d) : d_(d) {}
  void Frame(ShortMessage message) override {
    try {
      d_.remoteSounding_ = true;
      d_.engine_.PlayRemote(message);
    } catch (...) {
      d_.form_.ShowError(MessageOf(std::current_exception()));
    }
  }
  void Line(QByteArrayView line) override {
    try {
      d_.HandleLine(line);
    } catch (...) {
      d_.form_.ShowError(MessageOf(std::current_exception()));
    }
  }

 private:
  ModemDialogue& d_;
};

ModemDialogue::ModemDialogue(SerialLink& port, RoutingEngine& engine, ChatLog& chat, ComFormView& form,
                             const CarrierSource& builtInModem, Clock now)
    : port_(port), engine_(engine), chat_(chat), form_(form), builtInModem_(builtInModem), now_(std::move(now)) {
  QObject::connect(&port_, &SerialLink::BlockRead, &turns_,
                   [this](std::uint64_t opening, const std::vector<std::uint8_t>& bytes) {
                     Reported([&] {
                       pending_.push_back({opening, bytes});
                       // Parsed in a turn of its own: a stream of blocks handed over one after
                       // another must not keep the event loop from everything else.
                       DrainLater();
                     });
                   });
  // An error or the port's loss comes after the bytes read before it: those are parsed first.
  QObject::connect(&port_, &SerialLink::WatcherFailed, &turns_, [this](const QString& text) {
    Reported([&] {
      Drain(true);
      form_.ShowError(text);
    });
  });
  QObject::connect(&port_, &SerialLink::Lost, &turns_, [this](std::uint64_t opening, const QString& reason) {
    Reported([&] {
      Drain(true);
      PortLost(reason, opening);
    });
  });
}

ModemDialogue::~ModemDialogue() {
  LogStream.Close();
}

void ModemDialogue::Reported(const std::function<void()>& work) {
  try {
    work();
  } catch (...) {
    try {
      form_.ShowError(MessageOf(std::current_exception()));
    } catch (...) {
      qCritical("ModemDialogue: the error report failed");
    }
  }
}

void ModemDialogue::FormCreate(bool makeLog, const QString& folder, QDate startDay) {
  makeLog_ = makeLog;
  logFailureReported_ = false;
  if (!makeLog_) return;
  try {
    LogStream.Open(folder, startDay);
  } catch (const UserError& e) {
    form_.ShowError(e.Message());
  }
}

void ModemDialogue::FormDestroy() {
  port_.Close();
  LogStream.Close();
}

void ModemDialogue::WriteLog(QByteArrayView line) {
  if (!makeLog_ || LogStream.WriteLine(line)) return;
  // Told once: a full disk would otherwise raise a box for every line. The call goes on.
  if (logFailureReported_) return;
  logFailureReported_ = true;
  form_.ShowError(LogStream.WriteFailure());
}

void ModemDialogue::SetConnected(bool on) {
  if (on) {
    chat_.ShowConnected(true);
    port_.SetConnected(true);
    return;
  }
  port_.SetConnected(false);
  ReleaseRemote();
  chat_.ShowConnected(false);
}

void ModemDialogue::ReleaseRemote() {
  if (!remoteSounding_) return;
  remoteSounding_ = false;
  engine_.ReleaseRemoteNotes();
}

void ModemDialogue::ClosePort() {
  port_.Close();
  ReleaseRemote();
  // Whichever command closed the port, a later "OK" (say, to "ats0=1") must not send the rest of
  // an abandoned sequence, dial command included.
  EndSequence();
}

void ModemDialogue::HideDialogue() {
  form_.HideForm();
  form_.SetWaitTimer(false);  // FormHide
}

void ModemDialogue::FormClose() {
  ClosePort();
  HideDialogue();
  EndSequence();
}

void ModemDialogue::Button1Click() {
  ClosePort();
  chat_.ShowComButton(false);
  HideDialogue();
  // A later "OK" (say, to "ats0=1") must not dial the rest of an abandoned sequence.
  EndSequence();
}

void ModemDialogue::Timer1Timer() {
  form_.SetLabel3(QStringLiteral("待ち時間 %1秒").arg(WaitSeconds));
  ++WaitSeconds;
}

void ModemDialogue::Dial(int i) {
  if (i < 1 || i > kDestinations) return;
  TComm& Comm1 = port_.Comm1;
  if (!Comm1.IsOpen()) Comm1.Open();
  if (!Comm1.IsOpen()) {
    form_.ShowMessage(kModemNotReady);
    return;
  }
  // An online modem does not hear commands: the partner would read them, the dial command with
  // its number included, and could answer them in the modem's place.
  if (Carrier().carrier == CarrierSource::Carrier::Up) {
    form_.ShowMessage(kInCall);
    return;
  }
  busyWarned_.invalidate();  // a new dial deserves its own answer
  chat_.ShowComButton(true);
  const QString& name = DestNames[i - 1];
  const QString& number = DestNumbers[i - 1];
  form_.SetLabel1(QStringLiteral("\"%1\"に接続中").arg(name));
  // The outside-line digits belong to a telephone exchange, not to a host name.
  const QString prefix = BuiltInModem ? QString() : OutsideLinePrefix;
  form_.SetLabel2(prefix.isEmpty() ? number : prefix + QStringLiteral(" ") + number);
  WaitSeconds = 0;
  form_.SetWaitTimer(true);
  form_.ShowForm();
  if (!Comm1.IsOpen()) {
    form_.ShowWarning(kModemNotReady);
    HideDialogue();
    return;
  }
  // Only pulse dialling is ever asked for besides tone; anything else dials by tone.
  const QString dial = LineType == 1 ? QStringLiteral("atdp") : QStringLiteral("atdt");
  for (int k = 0; k < kInitCommands; ++k) Commands[k] = InitCommands[k];
  Commands[kDialCommand - 1] = dial + prefix + number;
  CommandIndex = 1;
  SendNextCommand();
}

CarrierSource::Line ModemDialogue::Carrier() const {
  return BuiltInModem ? builtInModem_.CarrierAndCall() : port_.Comm1.CarrierAndCall();
}

bool ModemDialogue::InCall() const {
  const CarrierSource::Carrier carrier = Carrier().carrier;
  return carrier == CarrierSource::Carrier::Up || (carrier == CarrierSource::Carrier::Unknown && Connected());
}

void ModemDialogue::SendNextCommand() {
  if (CommandIndex > kDialCommand || CommandIndex < 1) {
    CommandIndex = 0;
    return;
  }
  for (int k = CommandIndex; k <= kDialCommand; ++k) {
    if (Commands[k - 1].isEmpty()) continue;
    CommandIndex = k + 1;
    port_.Comm1.WriteString(ShiftJis::Encode(Commands[k - 1]) + '\r');
    return;
  }
  CommandIndex = 0;
}

// Which words can be the modem's own, by what the modem tells apart from the bytes on the line.
bool ModemDialogue::ModemMaySay(Word word, const CarrierSource::Line& line) const {
  using enum CarrierSource::Carrier;
  switch (line.carrier) {
    case Unknown: return true;
    // Online, the modem passes the peer's bytes; its own CONNECT came just before. But when the
    // modem has taken another call since the one the program holds, the lines up to the new
    // CONNECT are the last call's, and its NO CARRIER ends that call.
    case Up:
      if (word == Word::Connect) return !Connected();
      return word == Word::NoCarrier && Connected() && line.call != connectedCall_;
    // No call. While one still stands here, the lines up to the modem's NO CARRIER are the last
    // ones of the peer; and the modem says CONNECT only once its carrier is up.
    case Down: return Connected() ? word == Word::NoCarrier : word != Word::Connect;
  }
  return true;
}

void ModemDialogue::WarnBusy() {
  const bool repeated = busyWarned_.isValid() && busyWarned_.elapsed() < kRepeatedWarningMs;
  // Restarted for one held back as well, so a stream of them stays one box.
  busyWarned_.start();
  if (repeated) return;
  form_.ShowWarning(kBusy);
  busyWarned_.start();
}

void ModemDialogue::HandleLine(QByteArrayView received) {
  QByteArray line = received.toByteArray();
  const CarrierSource::Line carrier = Carrier();
  // Where the modem tells its carrier, what comes while the program holds no call is the modem's
  // own (the peer's bytes follow CONNECT): its long lines are fitted to the window.
  const bool modemsOwn = carrier.carrier != CarrierSource::Carrier::Unknown && !Connected();
  const auto said = [&](Word word, QByteArrayView text) {
    const bool matches = word == Word::Connect ? line.startsWith(text) : line == text;
    return matches && ModemMaySay(word, carrier);
  };
  // A failed write of the next command is reported after the line has been shown and logged.
  std::exception_ptr sendError;
  if (CommandIndex > 0 && said(Word::Ok, kOk)) {
    try {
      SendNextCommand();
    } catch (...) {
      sendError = std::current_exception();
    }
  }
  bool connect = false;
  if (said(Word::Connect, kConnect)) {
    connect = true;
    connectedCall_ = carrier.call;
    HideDialogue();
    SetConnected(true);
    line = line + ' ' + now_().toString(QStringLiteral("hh:mm:ss")).toLatin1();
  }
  // A CONNECT line comes after an empty one, in the chat window and in the log.
  if (connect) {
    chat_.memoprint(QByteArray("\r\n") + line);
  } else if (modemsOwn) {
    chat_.PrintFitted(QByteArrayView(line));
  } else {
    chat_.memoprint(line);
  }
  if (connect) WriteLog({});
  WriteLog(line);
  if (said(Word::Error, kError)) {
    SetConnected(false);
    HideDialogue();
    EndSequence();
  } else if (said(Word::NoCarrier, kNoCarrier)) {
    SetConnected(false);
    HideDialogue();
  } else if (said(Word::Busy, kBusyWord)) {
    SetConnected(false);
    HideDialogue();
    WarnBusy();
  }
  if (sendError) std::rethrow_exception(sendError);
}

void ModemDialogue::ReceiveBlock(QByteArrayView block) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(block.data());
  pending_.push_back({port_.Comm1.Generation(), std::vector<std::uint8_t>(bytes, bytes + block.size()), false});
  Drain();
}

void ModemDialogue::DrainLater() {
  if (drainQueued_) return;
  drainQueued_ = true;
  // Behind what the event loop has waiting (input, timers, painting): a turn of its own.
  QMetaObject::invokeMethod(
      &turns_,
      [this] {
        drainQueued_ = false;
        Drain();
      },
      Qt::QueuedConnection);
}

void ModemDialogue::Drain(bool whole) {
  // A parse further down the stack (a message box's event loop) takes the new blocks in order;
  // so does the turn already asked for, once the event loop has had its own.
  if (draining_ || (drainQueued_ && !whole)) return;
  draining_ = true;
  // However the parse ends, the flag goes, and what is left gets a later turn: a flag left set
  // would stop every later block.
  struct Done {
    ModemDialogue& d;
    ~Done() {
      d.draining_ = false;
      if (!d.pending_.empty()) d.DrainLater();
    }
  } done{*this};
  QElapsedTimer turn;
  turn.start();
  Sink sink(*this);
  while (!pending_.empty()) {
    if (!whole && turn.elapsed() >= kParseTurnMs) return;
    // A reference stays valid while a box's event loop adds blocks behind it.
    Block& next = pending_.front();
    // Each opening of the port is a new line: half a frame or line left from the last call
    // must not take the first bytes of this one.
    if (next.opening != parsedOpening_) {
      parser_.Reset();
      parsedOpening_ = next.opening;
    }
    const std::size_t from = next.done;
    const std::size_t n = std::min(kParseSlice, next.bytes.size() - from);
    // Counted before the parse: a slice whose sink threw is not parsed again.
    next.done += n;
    if (next.done < next.bytes.size()) {
      parser_.Feed(std::span<const std::uint8_t>(next.bytes.data() + from, n), sink);
      continue;
    }
    // The last slice: the block leaves the queue first, and the port may read on.
    const Block last = std::move(pending_.front());
    pending_.pop_front();
    if (last.read && last.opening == port_.Comm1.Generation()) port_.Comm1.Taken(last.bytes.size());
    parser_.Feed(std::span<const std::uint8_t>(last.bytes.data() + from, n), sink);
  }
}

void ModemDialogue::PortLost(const QString& reason, std::uint64_t opening) {
  // Closed (and perhaps reopened) since: that opening is not the one that was lost.
  if (!port_.Comm1.IsOpen() || port_.Comm1.Generation() != opening) return;
  // A frame write that met the lost line has told the user already.
  const bool told = port_.LineFault();
  ClosePort();
  chat_.ShowComButton(false);
  if (Connected()) SetConnected(false);
  HideDialogue();
  EndSequence();
  if (!told) form_.ShowError(reason);
}

void ModemDialogue::SendChatLine() {
  TComm& Comm1 = port_.Comm1;
  if (!Comm1.IsOpen()) {
    chat_.ShowMessage(kNotConnected);
    return;
  }
  const QString text = chat_.InputText();
  // A pasted line break would split one chat line into several units (and a pasted "NO CARRIER"
  // would act on the peer as a result word): CR and LF become spaces.
  QString flat = text;
  flat.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
  QByteArray line = ShiftJis::Encode(flat);
  if (PrintName && Connected()) {
    QByteArray name = ShiftJis::Encode(UserName);
    if (name.size() < kNameWidth) name.append(kNameWidth - name.size(), ' ');
    line = name + '>' + line;
  }
  // One unit: a line too long for the port is refused before anything is shown or kept.
  Comm1.WriteString(line + '\r');
  chat_.memoprint(QByteArrayView(line));
  chat_.Sent(text);
  WriteLog(line);
  chat_.FocusInput();
}

void ModemDialogue::DialDestination(int n) {
  if (n < 1 || n > kDestinations || DestNumbers[n - 1].isEmpty()) {
    chat_.ShowMessage(kNoNumber);
    return;
  }
  Dial(n);
}

void ModemDialogue::Button3Click() {
  chat_.StopClock();
  chat_.ShowComButton(false);
  if (!port_.Comm1.IsOpen()) return;
  // The hang-up goes through even when the farewell cannot be sent; the failure is reported last.
  // A stalled slow line could hold the farewell for minutes: it gets as long as the close gives
  // what is queued, and no longer.
  std::exception_ptr farewellError;
  try {
    port_.Comm1.Write(std::span(reinterpret_cast<const std::uint8_t*>(kFarewell.data()),
                                static_cast<std::size_t>(kFarewell.size())),
                      std::chrono::milliseconds(TComm::kDrainLimitMs));
  } catch (...) {
    farewellError = std::current_exception();
  }
  ClosePort();
  SetConnected(false);
  HideDialogue();
  EndSequence();
  chat_.memoprint(kHungUp);
  if (farewellError) std::rethrow_exception(farewellError);
}

void ModemDialogue::Button10Click() {
  TComm& Comm1 = port_.Comm1;
  // Online, the answer command would reach the partner as a chat line, and the chat would be
  // cleared in the middle of the call.
  if (Comm1.IsOpen() && InCall()) {
    chat_.ShowMessage(kWaitInCall);
    return;
  }
  if (!Comm1.IsOpen()) Comm1.Open();
  chat_.ClearLines();
  Comm1.WriteString(kAnswerCommand);
  chat_.ShowComButton(true);
  chat_.memoprint(kWaiting);
}

void ModemDialogue::Button1Click(bool pressed) {
  if (!pressed) {
    ClosePort();
    return;
  }
  try {
    port_.Comm1.Open();
  } catch (...) {
    chat_.ShowComButton(false);  // the button shows the port's state, and the port is closed
    throw;
  }
}

void ModemDialogue::KCOM1Click() {
  if (chat_.ComButtonPressed()) {
    ClosePort();
    chat_.ShowComButton(false);
  } else {
    port_.Comm1.Open();
    chat_.ShowComButton(true);
  }
}
