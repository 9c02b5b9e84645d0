#include "modem/InternetModem.h"

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/ShiftJis.h"

namespace modem {

namespace {

using StreamClose = CallSession::StreamClose;

constexpr std::size_t kChunk = CallSession::kChunk;
constexpr std::size_t kBacklog = CallSession::kBacklog;
constexpr auto kListenRest = std::chrono::milliseconds(250);  // after accept found no descriptor

QString ErrnoText(int code) {
  return QString::fromLocal8Bit(std::strerror(code));
}

}  // namespace

// A caller on the listening socket before it is the call (or while it is being turned away).
struct InternetModem::Incoming {
  int fd = -1;
  CallerGate::Id id = 0;
  std::string toCaller;
  sockaddr_storage from{};
  ~Incoming() { CloseFd(fd); }
};

InternetModem::InternetModem(ModemOptions options)
    : options_(std::move(options)), pty_(options_.linkPath), listenPort_(options_.listenPort) {
  portMap_.SetEnabled(options_.portMap);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) throw ModemError(QStringLiteral("モデムを用意できません: %1").arg(ErrnoText(errno)));
  password_ = options_.password;
  InitCrypto();
  thread_ = std::thread([this] { Run(); });
}

InternetModem::~InternetModem() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  thread_.join();
  CloseStream(StreamClose::Drain);
  CloseFd(udpCall_);
  EndLinger();
  StopListening();
  CloseFd(wake_);
}

std::string InternetModem::Encoded(const QString& text) const {
  return options_.utf8 ? text.toStdString() : ShiftJis::Encode(text).toStdString();
}

std::string InternetModem::Identification() const {
  return "Sonavel TCP/IP modem, port " + std::to_string(listenPort_.load());
}

void InternetModem::SetPassword(std::string password) {
  std::lock_guard guard(passwordLock_);
  password_ = std::move(password);
}

std::string InternetModem::Password() const {
  std::lock_guard guard(passwordLock_);
  return password_;
}

void InternetModem::SetStatus(const CallStatus& status) {
  status_.SetCall(status, call_);
}

void InternetModem::Say(const QString& text) {
  toProgram_ += commands_.InfoLine(Encoded(text));
}

// ------------------------------------------------------------------ the loop

bool InternetModem::PollTimeout(timespec& wait) const {
  Clock::time_point next = gate_.Wake();
  if (session_) next = std::min(next, session_->Wake());
  if (lingering_) next = std::min(next, lingering_->Wake());
  if (listen_ >= 0 && listenPausedUntil_ != Clock::time_point{}) next = std::min(next, listenPausedUntil_);
  return PollWait(next, Clock::now(), wait);
}

void InternetModem::Run() {
  // The partner's bytes are written at their time: the kernel may wake this thread at most a
  // few microseconds late (the default slack is 50 us).
  ::prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({wake_, POLLIN, 0});
    fds.push_back({pty_.Watch(), POLLIN, 0});
    // While no program holds the slave the master reports hang-up without pause, so it is left
    // out; the watch on the slave tells when a program opens it.
    const bool program = holders_ > 0;
    if (program) {
      const bool datagrams = InCall() && session_->Line() == LineKind::Datagram;
      const bool room = InCall() ? session_->ProgramRoom() > 0 && (datagrams || toPeer_.size() < kBacklog)
                                 : toPeer_.size() < kBacklog;
      short ev = room ? POLLIN : 0;
      if (!toProgram_.empty()) ev |= POLLOUT;
      fds.push_back({pty_.Master(), ev, 0});
    }
    const std::size_t callAt = fds.size();
    if (call_ >= 0 && InCall()) {
      short ev = 0;
      if (session_->Connecting() || !toPeer_.empty()) ev |= POLLOUT;
      if (session_->ReadsStream() && toProgram_.size() + session_->Held() < kBacklog) ev |= POLLIN;
      fds.push_back({call_, ev, 0});
    }
    const std::size_t listenAt = fds.size();
    if (listen_ >= 0 && Clock::now() >= listenPausedUntil_) fds.push_back({listen_, POLLIN, 0});
    const std::size_t lookupAt = fds.size();
    if (lookups_.ReadyFd() >= 0) fds.push_back({lookups_.ReadyFd(), POLLIN, 0});
    const std::size_t portMapAt = fds.size();
    fds.push_back({portMap_.ReadyFd(), POLLIN, 0});
    const std::size_t udpAt = fds.size();
    for (const int u : {udpListen_, udpCall_, lingerSocket_}) {
      if (u >= 0) fds.push_back({u, POLLIN, 0});
    }
    const std::size_t incomingAt = fds.size();
    for (const auto& in : incoming_) {
      fds.push_back({in->fd, static_cast<short>(POLLIN | (in->toCaller.empty() ? 0 : POLLOUT)), 0});
    }
    timespec wait{};
    const int ready = ::ppoll(fds.data(), fds.size(), PollTimeout(wait) ? &wait : nullptr, nullptr);
    if (ready < 0 && errno != EINTR) {
      // Not expected (no memory, too many descriptors): the call cannot be kept, but the modem
      // stays and says why, and tries again after a pause instead of spinning.
      const QString why = ErrnoText(errno);
      if (InCall()) {
        session_->Fail(QStringLiteral("モデムの内部エラーで通話を続けられません: ") + why, Clock::now());
        Apply(*session_);
      } else {
        Say(QStringLiteral("モデムの内部エラー: ") + why);
      }
      Settle();
      gate_.Clear();
      incoming_.clear();
      if (holders_ > 0) ToProgram();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    lookups_.Reap();
    // After a timeout or a signal no revents is set, and only the tick below has work.
    if (fds[0].revents) return Farewell();
    const int callFd = call_;
    // Opens and closes first: bytes waiting on the master after a close and a reopen are the
    // new program's, for the modem after its reset.
    if (fds[1].revents) SlaveEvents();
    if (program && holders_ > 0) {
      if (fds[2].revents & POLLOUT) ToProgram();
      if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) FromProgram();
    }
    // Each step below checks that what it polled is still there: the program's side may have
    // ended the call or the dial meanwhile.
    if (callFd >= 0 && call_ == callFd && callAt < listenAt && fds[callAt].revents && InCall()) {
      const short ev = fds[callAt].revents;
      if (session_->Connecting()) {
        Connected();
      } else {
        if (ev & POLLOUT) ToPeer();
        if (call_ == callFd && (ev & (POLLIN | POLLHUP | POLLERR))) FromPeer();
      }
    }
    if (listenAt < fds.size() && listen_ >= 0 && fds[listenAt].fd == listen_ && fds[listenAt].revents)
      TakeCall();
    if (lookupAt < fds.size() && fds[lookupAt].fd == lookups_.ReadyFd() && fds[lookupAt].revents)
      LookupDone();
    if (fds[portMapAt].revents) PortMapNews();
    for (std::size_t i = udpAt; i < incomingAt; ++i) {
      if (fds[i].revents &&
          (fds[i].fd == udpListen_ || fds[i].fd == udpCall_ || fds[i].fd == lingerSocket_)) {
        FromDatagrams(fds[i].fd);
      }
    }
    for (std::size_t i = incomingAt; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      for (auto& in : incoming_) {
        if (in->fd == fds[i].fd) FromCaller(*in);
      }
    }
    std::erase_if(incoming_, [](const auto& in) { return in->fd < 0; });
    Tick();
  }
}

// The modem is torn down (the program quits, however it ends): a stream's close reaches the
// partner by itself, a datagram call's end must be sent, or the partner waits for the silence.
void InternetModem::Farewell() {
  if (!InCall()) return;
  session_->ProgramGone(Clock::now());
  Apply(*session_);
}

// Whatever is due now: the call's deadlines and its datagram line, the linger, the callers.
void InternetModem::Tick() {
  const auto now = Clock::now();
  if (session_) {
    session_->Tick(now, toProgram_.size() < kBacklog ? kBacklog - toProgram_.size() : 0);
    Apply(*session_);
  }
  if (lingering_) {
    lingering_->Tick(now, 0);
    Apply(*lingering_);
  }
  for (const CallerGate::Id id : gate_.Expired(now)) HangUp(id);
  if (listenPausedUntil_ != Clock::time_point{} && now >= listenPausedUntil_) listenPausedUntil_ = {};
  Settle();
  PublishDoor();
  if (holders_ > 0 && !toProgram_.empty()) ToProgram();
}

// The wait and the callers at the door, for the program: told before the words about them.
void InternetModem::PublishDoor() {
  const auto& counts = gate_.counts();
  status_.SetDoor(listen_ >= 0 ? boundPort_.load() : 0, counts.wrongPasswords, counts.turnedAway);
}

// What a call asks for: its bytes and datagrams sent, its stream closed, its status told, the
// name looked up, the next address tried.
void InternetModem::Apply(CallSession& session) {
  CallSession::Effects e = session.Take();
  const bool lingering = &session == lingering_.get();
  const int socket = lingering ? lingerSocket_ : session.Calling() ? udpCall_ : udpListen_;
  for (const auto& [datagram, peer] : e.datagrams) {
    // A full buffer or an unreachable partner loses the datagram like the network would; the
    // line repairs it or notices the silence.
    ::sendto(socket, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&peer), LengthOf(peer));
  }
  if (lingering) return;
  if (e.closeStream != StreamClose::Keep) CloseStream(e.closeStream);
  if (e.closeDatagrams) CloseFd(udpCall_);
  if (e.status) SetStatus(*e.status);
  if (e.partnerKey) partners_.Keep(*e.partnerKey);
  toProgram_ += e.toProgram;
  if (!e.toStream.empty() && call_ >= 0) {
    toPeer_ += e.toStream;
    ToPeer();
  }
  if (session.state() != CallSession::State::Resolving) lookups_.Abandon();
  if (e.lookUp && !lookups_.Start(e.lookUp->host, e.lookUp->port)) {
    session.Resolved(CallSession::Lookup::NotStarted, 0, Clock::now());
    Apply(session);
  }
  if (e.connectTo) ConnectTo(*e.connectTo);
}

// A call that is over goes; a lingering one once it has told the partner.
void InternetModem::Settle() {
  if (session_ && session_->Over()) session_.reset();
  if (lingering_ && lingering_->Over()) EndLinger();
}

// ------------------------------------------------------------------ the program's side

void InternetModem::FromProgram() {
  std::uint8_t buf[kChunk];
  for (;;) {
    // On the datagram line no more is read than the line takes: the rest waits in the pty.
    const std::size_t room = InCall() ? session_->ProgramRoom() : sizeof buf;
    if (room == 0) return;
    const ssize_t n = ::read(pty_.Master(), buf, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      // EIO: the last holder of the slave closed it (after everything it wrote was read).
      if (holders_ > 0) ProgramGone();
      holders_ = 0;
      return;
    }
    std::span<const std::uint8_t> bytes(buf, static_cast<std::size_t>(n));
    if (!InCall()) bytes = bytes.subspan(commands_.Feed(bytes, toProgram_));
    // A byte from the program while a call is being set up abandons it; the rest of that read
    // goes with it. During the call what one read brings goes out in one record.
    if (!bytes.empty() && InCall()) {
      session_->FromProgram(bytes, Clock::now());
      Apply(*session_);
    }
    const bool online = InCall() && session_->state() == CallSession::State::Online;
    Settle();
    if (!online) ToProgram();
    // The rest waits in the pty until the peer takes more.
    if (online && session_->Line() == LineKind::Tcp && toPeer_.size() >= kBacklog) return;
  }
}

// Until the pty is full (the loop waits for room) or gone (the read side tells).
void InternetModem::ToProgram() {
  WriteSome(pty_.Master(), toProgram_);
}

// The program closed the port: DTR dropped. The call ends and the modem starts afresh; nothing
// is written to the master until a program opens the slave again, or that program would read
// this one's leftovers.
void InternetModem::ProgramGone() {
  if (InCall()) {
    if (call_ >= 0 && session_->state() == CallSession::State::Online)
      SendSome(call_, toPeer_);  // its farewell
    session_->ProgramGone(Clock::now());
    if (session_->state() == CallSession::State::Lingering) {
      // The hung-up call takes its socket along (the modem's own is -1 then) and goes on alone.
      EndLinger();
      lingerOnListenPort_ = !session_->Calling();
      lingerSocket_ = std::exchange(session_->Calling() ? udpCall_ : udpListen_, -1);
      lingering_ = std::move(session_);
      CloseStream(StreamClose::Drain);
      SetStatus({});
      Apply(*lingering_);
    } else {
      Apply(*session_);
    }
  }
  session_.reset();
  commands_.Reset();
  commands_.ClearLine();
  toProgram_.clear();
}

// Opens and closes of the slave, in the order they happened. Counting them rather than asking
// the master whether it is hung up catches a close that a quick reopen would hide.
void InternetModem::SlaveEvents() {
  const std::vector<std::uint32_t> events = pty_.SlaveEvents();
  for (std::size_t i = 0; i < events.size(); ++i) {
    const std::uint32_t mask = events[i];
    if (mask & IN_OPEN) {
      ++holders_;
    } else if ((mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && holders_ > 0 && --holders_ == 0) {
      // What the program wrote before it closed (its farewell) is still to be read, unless a
      // program has opened the slave again already: then the bytes waiting may be the new one's,
      // and they are for the modem after its reset.
      const bool reopened = std::any_of(events.begin() + static_cast<std::ptrdiff_t>(i), events.end(),
                                        [](std::uint32_t m) { return (m & IN_OPEN) != 0; });
      if (!reopened) FromProgram();
      ProgramGone();
    } else if (mask & IN_Q_OVERFLOW) {
      holders_ = pty_.HungUp() ? 0 : std::max(holders_, 1);
    }
  }
}

// ------------------------------------------------------------------ dialling

void InternetModem::Dial(const DialTarget& target) {
  session_ = std::make_unique<CallSession>(commands_, options_.utf8);
  addresses_.clear();
  session_->Dial(target, Clock::now());
  Apply(*session_);
}

void InternetModem::LookupDone() {
  auto [error, addresses] = lookups_.Take();
  addresses_ = std::move(addresses);
  if (!InCall()) return;
  using L = CallSession::Lookup;
  const L result = error == 0 ? L::Found : error == EAI_AGAIN ? L::NoNameService : L::NotFound;
  session_->Resolved(result, addresses_.size(), Clock::now());
  Apply(*session_);
}

void InternetModem::ConnectTo(std::size_t index) {
  CloseStream(StreamClose::Drain);
  const auto& address = addresses_.at(index);
  const auto* sa = reinterpret_cast<const sockaddr*>(address.data());
  call_ = ::socket(sa->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const socklen_t len = static_cast<socklen_t>(address.size());
  if (call_ >= 0 && (::connect(call_, sa, len) == 0 || errno == EINPROGRESS)) return;
  session_->StreamFailed(errno, Clock::now());
  Apply(*session_);
}

void InternetModem::Connected() {
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(call_, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
  if (error != 0) {
    session_->StreamFailed(error, Clock::now());
    return Apply(*session_);
  }
  SetCallOptions(call_);
  toPeer_.clear();
  // The caller's own datagram socket, toward where the stream goes, unless held to TCP.
  sockaddr_storage peer{};
  socklen_t peerLen = sizeof peer;
  if (commands_.LineChoice() != 1 &&
      ::getpeername(call_, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0) {
    udpCall_ = ::socket(peer.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  }
  session_->StreamConnected(Password(), udpCall_ >= 0, peer, Clock::now(), partners_.Newest());
  Apply(*session_);
}

// ------------------------------------------------------------------ the call's stream

void InternetModem::ToPeer() {
  if (call_ < 0) return;
  if (!SendSome(call_, toPeer_) && InCall()) {
    session_->StreamSendFailed(Clock::now());
    Apply(*session_);
  }
}

void InternetModem::FromPeer() {
  std::uint8_t buf[kChunk];
  while (call_ >= 0 && InCall()) {
    const ssize_t n = ::recv(call_, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      // Every whole unit now, since the socket may have nothing more to wake the loop for them.
      session_->StreamBytes(std::span(buf, static_cast<std::size_t>(n)), Clock::now());
      Apply(*session_);
      if (toProgram_.size() + session_->Held() >= kBacklog) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    session_->StreamEnded(n < 0 ? errno : 0, Clock::now());
    Apply(*session_);
    return;
  }
}

// Read what is left first: closing with unread bytes would reset the connection, and the far
// side could lose the last unit this side sent. A stream given up for datagrams ends both ways.
void InternetModem::CloseStream(StreamClose how) {
  if (call_ >= 0) {
    if (how == StreamClose::Shutdown) {
      ::shutdown(call_, SHUT_RDWR);
    } else {
      char buf[kChunk];
      while (::recv(call_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
      }
    }
  }
  CloseFd(call_);
  toPeer_.clear();
}

void InternetModem::FromDatagrams(int socket) {
  std::uint8_t buf[DatagramLine::kMaxDatagram + RecordSealer::kOverhead + 64];
  sockaddr_storage from{};
  socklen_t len = sizeof from;
  for (ssize_t n;
       (n = ::recvfrom(socket, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len)) >= 0;
       len = sizeof from) {
    const std::span<const std::uint8_t> datagram(buf, static_cast<std::size_t>(n));
    CallSession* to = socket == lingerSocket_ ? lingering_.get() : session_.get();
    if (to) to->Datagram(datagram, from, Clock::now());
  }
}

void InternetModem::EndLinger() {
  lingering_.reset();
  CloseFd(lingerSocket_);
  lingerOnListenPort_ = false;
}

// ------------------------------------------------------------------ answering

bool InternetModem::SetAnswering(bool on, std::string& why) {
  if (!on) {
    StopListening();
    return true;
  }
  const std::uint16_t port = listenPort_;
  sockaddr_storage bound{};
  const int fd = Listen(port, bound);
  if (fd < 0) {
    const int e = errno;
    const QString reason = e == EADDRINUSE ? QStringLiteral("ほかのプログラムが使用中です")
                           : e == EACCES ? QStringLiteral("このポートを使う権限がありません")
                                         : ErrnoText(e);
    why = Encoded(QStringLiteral("着信用のポート %1 を開けません: %2").arg(port).arg(reason));
    return false;
  }
  StopListening();
  gate_.ResetCounts();
  listen_ = fd;
  boundPort_ = PortOf(bound);
  // Datagrams on the same port number, unless the modem is held to TCP; where they cannot be
  // had, calls stay on TCP.
  if (commands_.LineChoice() != 1) {
    // The last call's end, still being repeated on the old datagram socket, gives the port back.
    if (lingerOnListenPort_) EndLinger();
    udpListen_ = DatagramTwin(bound);
  }
  portMap_.Start(boundPort_);
  PublishDoor();
  return true;
}

void InternetModem::StopListening() {
  CloseFd(listen_);
  // A call on it keeps it.
  if (!InCall() || session_->Calling() || session_->Line() != LineKind::Datagram) CloseFd(udpListen_);
  listenPausedUntil_ = {};
  boundPort_ = 0;
  portMap_.Stop();
  // Callers still proving who they are have nobody to answer them now.
  for (const CallerGate::Id id : gate_.DropUnanswered()) HangUp(id);
  PublishDoor();
}

// The router's answer, for the player and the command line. During a call the bytes to the
// program are the partner's, and a line among them would reach the program as the partner's.
void InternetModem::PortMapNews() {
  for (const QString& line : portMap_.TakeLines()) {
    if (options_.onPortMapLine) options_.onPortMapLine(line);
    if (!InCall() && holders_ > 0) Say(line);
  }
}

void InternetModem::TakeCall() {
  for (;;) {
    auto in = std::make_unique<Incoming>();
    socklen_t len = sizeof in->from;
    in->fd = ::accept4(listen_, reinterpret_cast<sockaddr*>(&in->from), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (in->fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors or memory: the waiting caller stays in the queue and would make the
      // listener readable at once again; it rests a moment instead.
      if (errno != EAGAIN && errno != EWOULDBLOCK) listenPausedUntil_ = Clock::now() + kListenRest;
      return;
    }
    const auto id = gate_.Knock(in->from, Clock::now());
    for (const CallerGate::Id gone : gate_.Evicted()) HangUp(gone);
    in->id = *id;
    incoming_.push_back(std::move(in));
  }
}

void InternetModem::HangUp(CallerGate::Id id) {
  std::erase_if(incoming_, [id](const auto& in) { return in->id == id; });
}

void InternetModem::FromCaller(Incoming& in) {
  const auto hangUp = [&] {
    gate_.Forget(in.id);
    CloseFd(in.fd);
  };
  if (!in.toCaller.empty() && !SendSome(in.fd, in.toCaller)) return hangUp();
  std::uint8_t buf[CallHandshake::kMaxMessage + StreamFramer::kPrefix];
  const ssize_t n = ::recv(in.fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) return hangUp();
  // Only a call that stands (or nobody at the port) makes a caller hear BUSY.
  const bool busy = InCall() || holders_ == 0;
  CallerGate::Verdict verdict = gate_.Received(in.id, std::span(buf, static_cast<std::size_t>(n)), busy,
                                               Password(), Clock::now(), partners_.All());
  if (verdict.spent) partners_.Spend(*verdict.spent);
  in.toCaller.append(verdict.reply.begin(), verdict.reply.end());
  switch (verdict.kind) {
    case CallerGate::Verdict::Kind::Wait:
      if (!SendSome(in.fd, in.toCaller)) hangUp();
      break;
    case CallerGate::Verdict::Kind::Drop: CloseFd(in.fd); break;
    case CallerGate::Verdict::Kind::TurnAway:
      if (verdict.otherVersion && holders_ > 0 && !InCall())
        toProgram_ += CallSession::OtherVersionCalled(commands_, options_.utf8, *verdict.otherVersion);
      // Kept until it hangs up (or its time is up) so the word is not lost to a reset.
      SendSome(in.fd, in.toCaller);
      in.toCaller.clear();
      ::shutdown(in.fd, SHUT_WR);
      break;
    case CallerGate::Verdict::Kind::Answer: Answer(in, verdict); break;
  }
}

// The caller proved the password: it is the call now, and its WELCOME the first on the stream.
void InternetModem::Answer(Incoming& in, CallerGate::Verdict& verdict) {
  CloseStream(StreamClose::Drain);
  call_ = std::exchange(in.fd, -1);
  SetCallOptions(call_);
  toPeer_ = std::move(in.toCaller);
  commands_.ClearLine();
  session_ = std::make_unique<CallSession>(commands_, options_.utf8);
  session_->Answer(std::move(verdict.call), AddressText(in.from), udpListen_ >= 0, Clock::now());
  Apply(*session_);
  ToPeer();
}

}  // namespace modem
