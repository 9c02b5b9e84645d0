#include "modem/CallSession.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "modem/PortMap.h"
#include "platform/ShiftJis.h"

namespace modem {

namespace {

// The longest record: what one read of the program brings.
constexpr std::size_t kMaxRecord = CallSession::kChunk + RecordSealer::kOverhead;
constexpr auto kFiguresEvery = std::chrono::milliseconds(500);
// A record on the stream begins with the time its bytes left this side's program: microseconds
// since the line was chosen, the low 32 bits (they wrap after 71 minutes; the reader, taking the
// records in order, carries the rest).
constexpr std::size_t kStamp = 4;

// An open call is not confirmed: nobody proved a password, and a man in the middle would hold
// a key with each side. The code tells: the players compare it by voice or message.
QString ProtectionText(CallProtection p, const std::string& code) {
  return p == CallProtection::Password
             ? QStringLiteral("パスワードで相手を確かめました（通話は暗号化されています）")
             : QStringLiteral("通話は暗号化されていますが、相手は確かめられていません。確認コード %1 を相手と"
                              "比べ、同じなら確かです")
                   .arg(QString::fromStdString(code));
}

QString ErrnoText(int code) {
  return QString::fromLocal8Bit(std::strerror(code));
}

const QString& Tampered() {
  static const QString text =
      QStringLiteral("受信したデータが正しくないため、通話を切りました（改ざんの疑い）");
  return text;
}

}  // namespace

std::string CallSession::OtherVersionCalled(const CommandInterpreter& words, bool utf8, int version) {
  const QString why =
      version < CallHandshake::kVersion
          ? QStringLiteral("古い版のモデムから着信がありましたが、つながりません（相手の Sonavel を更新してください）")
          : QStringLiteral("新しい版のモデムから着信がありましたが、つながりません（この Sonavel を更新してください）");
  return words.InfoLine(utf8 ? why.toStdString() : ShiftJis::Encode(why).toStdString()) +
         words.Format(Result::NoCarrier);
}

CallSession::Effects CallSession::Take() {
  return std::exchange(out_, {});
}

// Cut to the chat window's width as the router's lines are: a line the program's chat cannot
// hold whole would run off its edge.
void CallSession::Say(const QString& text) {
  for (const QString& line : ChatLines(text)) {
    out_.toProgram += words_.InfoLine(utf8_ ? line.toStdString() : ShiftJis::Encode(line).toStdString());
  }
}

void CallSession::Report(Result result) {
  out_.toProgram += words_.Format(result);
}

CallStatus CallSession::Standing(LineKind line) const {
  CallStatus status;
  status.carrier = true;
  status.protection = protection_;
  status.line = line;
  status.partner = partner_;
  if (protection_ == CallProtection::Open) status.checkCode = checkCode_;
  return status;
}

void CallSession::SetStatus(const CallStatus& status) {
  status_ = status;
  out_.status = status;
}

void CallSession::SendUnit(const Bytes& unit) {
  std::vector<std::uint8_t> framed;
  StreamFramer::Append(unit, framed);
  out_.toStream.append(framed.begin(), framed.end());
}

CallSession::Time CallSession::Wake() const {
  Time next = Time::max();
  if (state_ == State::Resolving || state_ == State::Connecting || state_ == State::Greeting ||
      state_ == State::Choosing) {
    next = deadline_;
  }
  if (playout_) next = std::min(next, playout_->Wake());
  if (line_ == LineKind::Tcp && state_ == State::Online) next = std::min(next, figuresAt_);
  if (!datagrams_) return next;
  next = std::min(next, datagrams_->Line().Wake());
  if (state_ == State::Lingering) return std::min(next, lingerUntil_);
  if (state_ == State::Choosing && calling_) next = std::min(next, nextProbe_);
  if (line_ == LineKind::Datagram) next = std::min(next, figuresAt_);
  return next;
}

std::size_t CallSession::ProgramRoom() const {
  if (state_ == State::Choosing || state_ == State::Lingering || state_ == State::Ended) return 0;
  if (state_ == State::Online && line_ == LineKind::Datagram)
    return std::min(kChunk, datagrams_->Line().Room());
  return kChunk;
}

// ------------------------------------------------------------------ dialling

void CallSession::Dial(const DialTarget& target, Time now) {
  calling_ = true;
  target_ = target;
  state_ = State::Resolving;
  deadline_ = now + std::chrono::seconds(std::max(1, words_.CarrierWaitSeconds()));
  // A telephone number left in the settings is no address: it is not looked up.
  if (const auto why = DialHostProblem(target.host))
    return EndCall(QString::fromStdString(*why), Result::NoCarrier);
  out_.lookUp = target;
}

void CallSession::Resolved(Lookup result, std::size_t addresses, Time now) {
  if (state_ != State::Resolving) return;
  const QString host = QString::fromStdString(target_.host);
  if (result == Lookup::NotStarted)
    return EndCall(QStringLiteral("接続先 %1 を調べられません").arg(host), Result::NoCarrier);
  if (result != Lookup::Found || addresses == 0) {
    const QString why = result == Lookup::NoNameService
                            ? QStringLiteral("接続先 %1 を調べられません（名前を引けません）")
                            : QStringLiteral("接続先 %1 が見つかりません");
    return EndCall(why.arg(host), Result::NoCarrier);
  }
  state_ = State::Connecting;
  addresses_ = addresses;
  nextAddress_ = 0;
  StreamFailed(0, now);
}

// Each address of the name in turn (a name may have an IPv6 and an IPv4 one, and the far side
// may listen on one only); the last one's error is the one reported.
void CallSession::StreamFailed(int error, Time) {
  if (state_ != State::Connecting) return;
  if (error != 0) lastError_ = error;
  if (nextAddress_ < addresses_) {
    stream_ = true;
    out_.connectTo = nextAddress_++;
    return;
  }
  const QString host = QString::fromStdString(target_.host);
  QString why;
  switch (lastError_) {
    case ECONNREFUSED:
      why = QStringLiteral("接続先 %1 は接続を拒否しました（着信を待っていません）").arg(host);
      break;
    case ETIMEDOUT: why = QStringLiteral("接続先 %1 から応答がありません（時間切れ）").arg(host); break;
    case ENETUNREACH:
    case EHOSTUNREACH:
      why = QStringLiteral("接続先 %1 に届きません（ネットワークを確認してください）").arg(host);
      break;
    default: why = QStringLiteral("接続先 %1 に接続できません: %2").arg(host, ErrnoText(lastError_));
  }
  EndCall(why, Result::NoCarrier);
}

void CallSession::StreamConnected(std::string_view password, bool datagrams, const sockaddr_storage& peer,
                                  Time, const CallKey* partner) {
  if (state_ != State::Connecting) return;
  state_ = State::Greeting;
  datagramsPossible_ = datagrams;
  peer_ = peer;
  framer_ = StreamFramer(CallHandshake::kMaxMessage);
  handshake_ = std::make_unique<CallHandshake>(CallHandshake::Role::Caller, password, deadline_);
  SendUnit(handshake_->Start(partner));
}

// The caller's side of the handshake went wrong: why, in the words the user needs.
void CallSession::HandshakeFailed() {
  const bool ownPassword = handshake_->PasswordProtected();
  switch (handshake_->failure()) {
    case CallHandshake::Failure::Busy: return EndCall(QStringLiteral("相手は通話中です"), Result::Busy);
    case CallHandshake::Failure::WrongPassword:
      return EndCall(ownPassword
                         ? QStringLiteral("パスワードが相手と一致しません（つながりませんでした）")
                         : QStringLiteral("相手はパスワードを求めています（パスワードを設定してください）"),
                     Result::NoCarrier);
    case CallHandshake::Failure::TooManyTries:
      return EndCall(
          QStringLiteral("失敗が続いたため、相手はしばらく着信を受けません。時間をおいてかけ直してください"),
          Result::NoCarrier);
    case CallHandshake::Failure::OlderModem:
      return EndCall(QStringLiteral("相手のモデムは古い版のため、つながりません（相手の Sonavel を更新してください）"),
                     Result::NoCarrier);
    case CallHandshake::Failure::NewerModem:
      return EndCall(QStringLiteral("相手のモデムは新しい版のため、つながりません（この Sonavel を更新してください）"),
                     Result::NoCarrier);
    case CallHandshake::Failure::Unsafe:
      return EndCall(QStringLiteral("相手の鍵が正しくありません（つながりませんでした）"), Result::NoCarrier);
    default: return EndCall(QStringLiteral("相手は Sonavel のモデムではありません"), Result::NoCarrier);
  }
}

// ------------------------------------------------------------------ answering

void CallSession::Answer(std::unique_ptr<CallHandshake> handshake, const std::string& partner, bool datagrams,
                         Time now) {
  calling_ = false;
  stream_ = true;
  handshake_ = std::move(handshake);
  framer_ = StreamFramer(CallHandshake::kMaxMessage);
  Established(partner);
  Report(Result::Ring);
  Say(QStringLiteral("着信: ") + QString::fromStdString(partner));
  Say(ProtectionText(protection_, checkCode_));
  datagramsPossible_ = datagrams;
  StartChoosing(now);
}

// Both sides proved the password (or both have none): from here on only sealed records.
void CallSession::Established(const std::string& partner) {
  const CallKeys& keys = handshake_->Keys();
  sealer_ = std::make_unique<RecordSealer>(keys.send);
  opener_ = std::make_unique<RecordOpener>(keys.receive, RecordOpener::Order::Strict);
  protection_ = handshake_->PasswordProtected() ? CallProtection::Password : CallProtection::Open;
  keys_ = keys;
  checkCode_ = handshake_->CheckCode();
  if (protection_ == CallProtection::Password) out_.partnerKey = handshake_->PartnerKey();
  handshake_.reset();
  framer_.SetMaxUnit(kMaxRecord);
  partner_ = partner;
  SetStatus(Standing(LineKind::None));
}

// ------------------------------------------------------------------ the stream

void CallSession::StreamBytes(std::span<const std::uint8_t> bytes, Time now) {
  if (!stream_ || !ReadsStream()) return;
  if (!framer_.Feed(bytes)) {
    return EndCall(
        state_ == State::Greeting ? QStringLiteral("相手は Sonavel のモデムではありません") : Tampered(),
        Result::NoCarrier);
  }
  while (const auto unit = framer_.Next()) {
    PeerUnit(*unit, now);
    if (!stream_) return;
  }
  if (framer_.Failed()) EndCall(Tampered(), Result::NoCarrier);
}

// One unit from the far modem: a handshake message while the call is being set up, then records.
void CallSession::PeerUnit(std::span<const std::uint8_t> unit, Time now) {
  if (state_ == State::Greeting) {
    const Bytes reply = handshake_->Receive(unit);
    if (!reply.empty()) SendUnit(reply);
    if (handshake_->step() == CallHandshake::Step::Failed) {
      HandshakeFailed();
    } else if (handshake_->step() == CallHandshake::Step::Established) {
      Established(target_.host);
      Say(ProtectionText(protection_, checkCode_));
      StartChoosing(now);
    }
    return;
  }
  const auto plain = opener_->Open(unit);
  // Altered, replayed, reordered or not sealed by the partner: none of it reaches the program.
  if (!plain || plain->size() < kStamp) return EndCall(Tampered(), Result::NoCarrier);
  std::uint32_t stamp = 0;
  for (std::size_t i = 0; i < kStamp; ++i) stamp = stamp << 8 | (*plain)[i];
  const std::int64_t sent =
      peerClockUs_ ? *peerClockUs_ + static_cast<std::int32_t>(stamp - static_cast<std::uint32_t>(*peerClockUs_))
                   : stamp;
  peerClockUs_ = sent;
  // The caller's first record on the stream says the call stays on TCP.
  if (state_ == State::Choosing) ChooseLine(LineKind::Tcp, now);
  playout_->Add(std::span(*plain).subspan(kStamp), std::chrono::microseconds(sent), now);
  FromLine(playout_->Take(now));
}

Bytes CallSession::SealStamped(std::span<const std::uint8_t> bytes, Time now) {
  const auto us = static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(now - epoch_).count());
  Bytes plain(kStamp + bytes.size());
  for (std::size_t i = 0; i < kStamp; ++i) plain[i] = static_cast<std::uint8_t>(us >> (8 * (kStamp - 1 - i)));
  std::copy(bytes.begin(), bytes.end(), plain.begin() + kStamp);
  return sealer_->Seal(plain);
}

void CallSession::StreamEnded(int error, Time now) {
  if (!stream_ || !ReadsStream()) return;
  // The other side chose the datagrams and closed the stream.
  if (state_ == State::Choosing && datagrams_ &&
      (calling_ ? datagrams_->BothWays() : datagrams_->KnowsPeer())) {
    return ChooseLine(LineKind::Datagram, now);
  }
  if (state_ == State::Greeting) {
    // Hung up without a word: the far program does not take the call - or its modem is of a
    // version before the greeting named the versions, which hangs up on a HELLO it cannot read.
    EndCall(QStringLiteral("相手が着信を受けませんでした（相手のモデムが古い版かもしれません）"), Result::Busy);
  } else if (error == ETIMEDOUT) {
    EndCall(QStringLiteral("相手から応答がなくなりました（回線断）"), Result::NoCarrier);
  } else if (error != 0) {
    EndCall(QStringLiteral("回線が切れました: ") + ErrnoText(error), Result::NoCarrier);
  } else {
    EndCall(QStringLiteral("相手が切断しました"), Result::NoCarrier);
  }
}

void CallSession::StreamSendFailed(Time) {
  if (stream_ && state_ == State::Online) EndCall(QStringLiteral("回線が切れました"), Result::NoCarrier);
}

// ------------------------------------------------------------------ the program's side

void CallSession::FromProgram(std::span<const std::uint8_t> bytes, Time now) {
  if (bytes.empty()) return;
  if (state_ == State::Online && line_ == LineKind::Datagram) {
    datagrams_->Line().Write(bytes, now);
    return SendDatagrams(now);
  }
  // What one read brings goes out in one record: a unit the program wrote stays whole.
  if (state_ == State::Online) return SendUnit(SealStamped(bytes, now));
  // A byte from the program while a call is being set up abandons it, as a key does on a
  // telephone modem.
  if (state_ == State::Resolving || state_ == State::Connecting || state_ == State::Greeting) {
    Close(StreamClose::Drain);
    Report(Result::NoCarrier);
  }
}

// The program closed the port: DTR dropped. Also while the line is being chosen the partner may
// have taken the datagrams already, and would wait for them until it gives the call up for lost:
// the farewell and the end of the call go now, and again until the partner has them.
void CallSession::ProgramGone(Time now) {
  if (datagrams_ && (line_ == LineKind::Datagram || state_ == State::Choosing)) {
    datagrams_->Line().Close();
    SendDatagrams(now);
    state_ = State::Lingering;
    lingerUntil_ = now + kLinger;
  }
  Close(StreamClose::Drain);
}

void CallSession::Fail(const QString& why, Time) {
  if (Busy()) EndCall(why, Result::NoCarrier);
}

// ------------------------------------------------------------------ the datagram line

// The handshake went over TCP, which repairs its own losses and is where a stranger's tries are
// limited; the keys it gave seal the datagrams. The caller asks the answering port for a
// datagram answer; when one comes back within about a second, the notes go by datagrams and the
// TCP connection closes, else the caller's first record on TCP keeps the call there. A
// stranger's datagrams never open, so they can neither choose for the partner nor end the call.
void CallSession::StartChoosing(Time now) {
  epoch_ = now;
  if (calling_) {
    if (words_.LineChoice() == 1 || !datagramsPossible_) return ChooseLine(LineKind::Tcp, now);
    datagrams_ = std::make_unique<DatagramCall>(keys_, &peer_, now);
  } else if (datagramsPossible_) {
    datagrams_ = std::make_unique<DatagramCall>(keys_, nullptr, now);
  }
  // An answering side without datagrams waits for the caller's first record on TCP.
  state_ = State::Choosing;
  deadline_ = now + (calling_ ? kChoiceWait : kChoiceWait * 3);
  nextProbe_ = now;
  DatagramTick(now, 0);
}

void CallSession::ChooseLine(LineKind line, Time now) {
  line_ = line;
  state_ = State::Online;
  playout_ = std::make_unique<Playout>(Playout::Setting::FromRegister(words_.PlayoutChoice()));
  figuresAt_ = now;
  if (line == LineKind::Tcp) {
    datagrams_.reset();
    out_.closeDatagrams = true;
    if (calling_) SendUnit(SealStamped({}, now));  // tells the answering side
    // Only the caller knows whether datagrams were tried.
    Say(calling_ && words_.LineChoice() != 1 ? QStringLiteral("回線: TCP（UDP が届かないため）")
                                             : QStringLiteral("回線: TCP"));
  } else {
    // The stream is not needed any more: its records end here on both sides.
    out_.toStream.clear();
    out_.closeStream = StreamClose::Shutdown;
    stream_ = false;
    Say(QStringLiteral("回線: UDP（欠けた音はすぐに補います）"));
  }
  SetStatus(Standing(line));
  Report(Result::Connect);
}

void CallSession::Datagram(std::span<const std::uint8_t> datagram, const sockaddr_storage& from, Time now) {
  // Outside a call, or not the call's: read and forgotten.
  if (!datagrams_) return;
  if (state_ != State::Lingering && state_ != State::Choosing && line_ != LineKind::Datagram) return;
  datagrams_->Received(datagram, from, now);
}

void CallSession::SendDatagrams(Time now) {
  while (auto d = datagrams_->Next(now)) out_.datagrams.push_back(std::move(*d));
}

void CallSession::Tick(Time now, std::size_t programRoom) {
  if (state_ == State::Lingering) {
    if (datagrams_->Line().Finished() || now >= lingerUntil_) {
      datagrams_.reset();
      state_ = State::Ended;
      return;
    }
    return SendDatagrams(now);
  }
  if (state_ == State::Choosing && !datagrams_ && now >= deadline_) ChooseLine(LineKind::Tcp, now);
  if (state_ == State::Online && line_ == LineKind::Tcp) {
    FromLine(playout_->Take(now));
    return Figures(now);
  }
  if ((state_ == State::Resolving || state_ == State::Connecting || state_ == State::Greeting) &&
      now >= deadline_) {
    return EndCall(QStringLiteral("接続先 %1 から応答がありません（時間切れ）")
                       .arg(QString::fromStdString(target_.host)),
                   Result::NoCarrier);
  }
  const std::size_t said = out_.toProgram.size();
  DatagramTick(now, programRoom > said ? programRoom - said : 0);
}

// Everything the datagram line has due: datagrams out, bytes to the program, what it noticed,
// the choice of line, the figures for the status bar.
void CallSession::DatagramTick(Time now, std::size_t programRoom) {
  if (!datagrams_) return;
  DatagramLine& line = datagrams_->Line();
  if (state_ == State::Choosing) {
    if (datagrams_->BothWays()) {
      if (calling_) datagrams_->Probe();  // so the answering side learns it too
      ChooseLine(LineKind::Datagram, now);
    } else if (now >= deadline_) {
      if (calling_ && words_.LineChoice() == 2) {
        return EndCall(QStringLiteral("相手から UDP の応答がありません（TCP は使わない設定です）"),
                       Result::NoCarrier);
      }
      if (calling_ || !datagrams_->KnowsPeer()) return ChooseLine(LineKind::Tcp, now);
      ChooseLine(LineKind::Datagram, now);  // the caller heard us; its datagrams will show it
    } else if (calling_ && now >= nextProbe_) {
      datagrams_->Probe();
      nextProbe_ = now + kProbeEvery;
    }
  }
  SendDatagrams(now);
  if (line_ != LineKind::Datagram) return;
  PlayOut(line, now, programRoom);
  while (const auto e = line.TakeEvent()) {
    switch (*e) {
      case DatagramLine::Event::Stalled:
        Notice(QStringLiteral("回線が途切れています（この間の音は、戻りしだい順に届きます）"));
        break;
      case DatagramLine::Event::Resumed: Notice(QStringLiteral("回線が戻りました")); break;
      case DatagramLine::Event::PeerClosed:
      case DatagramLine::Event::PeerGone:
        // The partner's end: what it sent is no longer held for a rhythm, the end follows it.
        FromLine(playout_->Take(Time::max()));
        return EndHeard(*e);
    }
  }
  if (now >= figuresAt_) {
    if (const auto rtt = line.RoundTrip())
      status_.roundTripMs = static_cast<int>((rtt->count() + 500) / 1000);
    status_.repairedShare = line.RepairedShare();
    Figures(now);
  }
}

// The playout's figures for the status bar, now and then.
void CallSession::Figures(Time now) {
  if (now >= figuresAt_) {
    figuresAt_ = now + kFiguresEvery;
    const bool held = words_.PlayoutChoice() != 0;
    status_.playoutMs = held ? static_cast<int>((playout_->Delay().count() + 500) / 1000) : -1;
    status_.lateShare = held && playout_->Stretches() > 0
                            ? static_cast<double>(playout_->Late()) / static_cast<double>(playout_->Stretches())
                            : 0;
    out_.status = status_;
  }
}

// The partner's bytes from the line into the playout, and those whose time has come to the
// program. The line keeps what the program has no room for, so its window holds the partner
// back as before.
void CallSession::PlayOut(DatagramLine& line, Time now, std::size_t programRoom) {
  for (const DatagramLine::Heard& h : line.TakeHeard()) playout_->Heard(h.sent, h.arrived);
  // What ChooseLine said is the program's too.
  const std::size_t said = out_.toProgram.size();
  while (programRoom > said + playout_->Held()) {
    auto piece = line.TakePiece(programRoom - said - playout_->Held());
    if (!piece) break;
    playout_->Add(piece->bytes, piece->sent, piece->arrived, piece->repaired);
  }
  FromLine(playout_->Take(now));
}

void CallSession::EndHeard(DatagramLine::Event why) {
  if (why == DatagramLine::Event::PeerClosed)
    return EndCall(QStringLiteral("相手が切断しました"), Result::NoCarrier);
  EndCall(QStringLiteral("相手から応答がなくなりました（回線断）"), Result::NoCarrier);
}

// The partner's bytes for the program, noting where its units end (a frame: 0xFF and three
// bytes; a line: up to CR, a Shift-JIS lead byte taking the next byte with it).
void CallSession::FromLine(std::span<const std::uint8_t> bytes) {
  out_.toProgram.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  for (const std::uint8_t b : bytes) {
    if (frameLeft_ > 0) {
      --frameLeft_;
    } else if (leadPending_) {
      leadPending_ = false;
    } else if (b == 0xFF && !lineOpen_) {
      frameLeft_ = 3;
    } else if (b == '\r') {
      lineOpen_ = false;
    } else {
      lineOpen_ = true;
      leadPending_ = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    }
  }
  if (frameLeft_ == 0 && !leadPending_ && !lineOpen_) {
    for (const QString& text : notices_) Say(text);
    notices_.clear();
  }
}

// A line of the modem's own during a call, between the partner's units.
void CallSession::Notice(const QString& text) {
  notices_.push_back(text);
  FromLine({});
}

// ------------------------------------------------------------------ the end

// The call (or its setting up) is over: what the peer sent before is delivered, then why, then
// the result word.
void CallSession::EndCall(const QString& why, Result result) {
  Close(StreamClose::Drain);
  if (!why.isEmpty()) Say(why);
  Report(result);
}

// What was still to go on the stream goes nowhere; a lingering call keeps its datagrams. The
// partner's bytes held for their time are the program's now.
void CallSession::Close(StreamClose how) {
  if (playout_) FromLine(playout_->Take(Time::max()));
  SetStatus({});
  out_.toStream.clear();
  if (stream_) out_.closeStream = how;
  stream_ = false;
  handshake_.reset();
  sealer_.reset();
  opener_.reset();
  line_ = LineKind::None;
  frameLeft_ = 0;
  leadPending_ = lineOpen_ = false;
  notices_.clear();
  protection_ = CallProtection::None;
  checkCode_.clear();
  playout_.reset();
  if (state_ == State::Lingering) return;
  datagrams_.reset();
  out_.closeDatagrams = true;
  state_ = State::Ended;
}

}  // namespace modem
