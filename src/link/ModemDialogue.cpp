#include "link/ModemDialogue.h"

#include <algorithm>
#include <exception>

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

const QString kFramesDropped =
    QStringLiteral("回線が回復するまで、演奏は相手に送られません（こちらでは鳴り続けます）。");

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
      if (d_.engine_) {
        d_.remoteSounding_ = true;
        d_.engine_->PlayRemote(message);
      }
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

ModemDialogue::ModemDialogue(ComFormView& form) : form_(form) {
  Comm1.SetPort(2);
  Comm1.SetBaudRate(56000);
  Comm1.SetFlowControls({TCommFlowControl::cfcDtrDsr, TCommFlowControl::cfcRtsCts});
  Comm1.SetReceiveNotifySize(1024);
  Comm1.SetReceiveLimit(kReceiveLimit);
  Comm1.OnCommReceive = [this](TComm& sender, std::uint16_t size) { Comm1CommReceive(sender, size); };
  // The serial inbox's error boundary: whatever a handed-over task throws is reported here.
  inbox_.SetErrorHandler([this](std::exception_ptr error) { form_.ShowError(MessageOf(error)); });
  // An error or the port's loss comes after the bytes read before it: those are parsed first.
  Comm1.OnCommException = [this](TComm&, std::exception_ptr error) {
    const QString text = MessageOf(error);
    inbox_.Post([this, text] {
      Drain(true);
      form_.ShowError(text);
    });
  };
  Comm1.OnCommLost = [this](TComm& sender, const QString& reason) {
    const std::uint64_t opening = sender.Generation();
    inbox_.Post([this, reason, opening] {
      Drain(true);
      PortLost(reason, opening);
    });
  };
}

ModemDialogue::~ModemDialogue() {
  // The watcher must be gone before the hand-over target goes.
  Comm1.Close();
  LogStream.Close();
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
  Comm1.Close();
  LogStream.Close();
}

void ModemDialogue::WriteLog(QByteArrayView line) {
  if (!makeLog_ || LogStream.WriteLine(line)) return;
  // Told once: a full disk would otherwise raise a box for every line. The call goes on.
  if (logFailureReported_) return;
  logFailureReported_ = true;
  form_.ShowError(LogStream.WriteFailure());
}

void ModemDialogue::SetConnectedFlag(bool on) {
  connected_ = on;
  lineFault_ = false;
  if (!on) ReleaseRemote();
}

void ModemDialogue::WriteUnit(std::span<const std::uint8_t> bytes) {
  if (lineFault_) {
    // Reported already: a moment's try, then the frame is dropped. One that goes through means
    // the line moves again, and frames get their full time once more.
    try {
      Comm1.Write(bytes, std::chrono::milliseconds(kStalledFrameWaitMs));
      lineFault_ = false;
    } catch (const ECommError&) {
    }
    return;
  }
  try {
    Comm1.Write(bytes);
  } catch (const ECommError& e) {
    lineFault_ = true;
    form_.ShowError(e.Message() + QStringLiteral("\n") + kFramesDropped);
  }
}

void ModemDialogue::ReleaseRemote() {
  if (!remoteSounding_ || !engine_) return;
  remoteSounding_ = false;
  engine_->ReleaseRemoteNotes();
}

void ModemDialogue::ClosePort() {
  Comm1.Close();
  lineFault_ = false;
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
  if (main_) main_->SetComButton(false);
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
  if (!Comm1.IsOpen()) Comm1.Open();
  if (!Comm1.IsOpen()) {
    form_.ShowMessage(kModemNotReady);
    return;
  }
  // An online modem does not hear commands: the partner would read them, the dial command with
  // its number included, and could answer them in the modem's place.
  if (carrier_->CarrierState() == CarrierSource::Carrier::Up) {
    form_.ShowMessage(kInCall);
    return;
  }
  busyWarned_.invalidate();  // a new dial deserves its own answer
  if (main_) main_->SetComButton(true);
  const QString& name = DestNames[i - 1];
  const QString& number = DestNumbers[i - 1];
  form_.SetLabel1(QStringLiteral("\"%1\"に接続中").arg(name));
  // The outside-line digits belong to a telephone exchange, not to a host name.
  const QString prefix = DialsHosts ? QString() : OutsideLinePrefix;
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

bool ModemDialogue::InCall() const {
  const CarrierSource::Carrier carrier = carrier_->CarrierState();
  return carrier == CarrierSource::Carrier::Up || (carrier == CarrierSource::Carrier::Unknown && connected_);
}

void ModemDialogue::SendNextCommand() {
  if (CommandIndex > kDialCommand || CommandIndex < 1) {
    CommandIndex = 0;
    return;
  }
  for (int k = CommandIndex; k <= kDialCommand; ++k) {
    if (Commands[k - 1].isEmpty()) continue;
    CommandIndex = k + 1;
    Comm1.WriteString(ShiftJis::Encode(Commands[k - 1]) + '\r');
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
      if (word == Word::Connect) return !connected_;
      return word == Word::NoCarrier && connected_ && line.call != connectedCall_;
    // No call. While one still stands here, the lines up to the modem's NO CARRIER are the last
    // ones of the peer; and the modem says CONNECT only once its carrier is up.
    case Down: return connected_ ? word == Word::NoCarrier : word != Word::Connect;
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
  const CarrierSource::Line carrier = carrier_->CarrierAndCall();
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
    if (main_) main_->SetConnected(true);
    line = line + ' ' + now_().toString(QStringLiteral("hh:mm:ss")).toLatin1();
  }
  // A CONNECT line comes after an empty one, in the chat window and in the log.
  if (main_) main_->memoprint(connect ? QByteArray("\r\n") + line : line);
  if (connect) WriteLog({});
  WriteLog(line);
  if (said(Word::Error, kError)) {
    if (main_) main_->SetConnected(false);
    HideDialogue();
    EndSequence();
  } else if (said(Word::NoCarrier, kNoCarrier)) {
    if (main_) main_->SetConnected(false);
    HideDialogue();
  } else if (said(Word::Busy, kBusyWord)) {
    if (main_) main_->SetConnected(false);
    HideDialogue();
    WarnBusy();
  }
  if (sendError) std::rethrow_exception(sendError);
}

void ModemDialogue::Comm1CommReceive(TComm& Sender, std::uint16_t Size) {
  std::vector<std::uint8_t> block(Size);
  block.resize(Sender.Read(block));
  if (block.empty()) return;
  const std::uint64_t opening = Sender.Generation();
  // Watcher thread -> UI thread, behind every block and error posted before it.
  inbox_.Post([this, opening, block = std::move(block)]() mutable {
    pending_.push_back({opening, std::move(block)});
    // Parsed in a turn of its own: a stream of blocks handed over one after another must not
    // keep the event loop from everything else.
    DrainLater();
  });
}

void ModemDialogue::ReceiveBlock(QByteArrayView block) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(block.data());
  pending_.push_back({Comm1.Generation(), std::vector<std::uint8_t>(bytes, bytes + block.size()), false});
  Drain();
}

void ModemDialogue::DrainLater() {
  if (drainQueued_) return;
  drainQueued_ = true;
  // Behind what the event loop has waiting (input, timers, painting): a turn of its own.
  QMetaObject::invokeMethod(
      &inbox_,
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
    if (last.read && last.opening == Comm1.Generation()) Comm1.Taken(last.bytes.size());
    parser_.Feed(std::span<const std::uint8_t>(last.bytes.data() + from, n), sink);
  }
}

void ModemDialogue::PortLost(const QString& reason, std::uint64_t opening) {
  // Closed (and perhaps reopened) since: that opening is not the one that was lost.
  if (!Comm1.IsOpen() || Comm1.Generation() != opening) return;
  // A frame write that met the lost line has told the user already.
  const bool told = lineFault_;
  ClosePort();
  if (main_) {
    main_->SetComButton(false);
    if (connected_) main_->SetConnected(false);
  }
  HideDialogue();
  EndSequence();
  if (!told) form_.ShowError(reason);
}
