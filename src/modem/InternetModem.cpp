#include "modem/InternetModem.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "modem/LineFigures.h"
#include "platform/ShiftJis.h"

namespace modem {

namespace {

constexpr std::size_t kChunk = 4096;
// How long a caller waits for a datagram answer before the call stays on TCP, and how often it
// asks meanwhile.
constexpr auto kChoiceWait = std::chrono::milliseconds(1000);
constexpr auto kProbeEvery = std::chrono::milliseconds(200);
// How long a hung-up datagram call keeps telling the partner, whose copies of the end may all
// have been lost: on a lossy path it hears of it within this, not after kGone.
constexpr auto kLinger = std::chrono::milliseconds(1500);
// Past this much waiting for the other side, the modem stops reading from this side: the
// program's writes then wait, as on a serial line whose modem holds CTS.
constexpr std::size_t kBacklog = 64 * 1024;
constexpr auto kHandshakeTime = std::chrono::seconds(5);  // for a caller to prove who it is
constexpr auto kListenRest = std::chrono::milliseconds(250);  // after accept found no descriptor
constexpr auto kTriesForgotten = std::chrono::minutes(10);
constexpr std::size_t kTriesKept = 256;
// The longest record: what one read of the program brings.
constexpr std::size_t kMaxRecord = kChunk + RecordSealer::kOverhead;
constexpr auto kTurnAwayTime = std::chrono::seconds(2);   // for a busy caller to read BUSY
// A peer that vanished without closing (cable, power, NAT) is noticed within about 25 s: idle,
// by keep-alive probes; with data unacknowledged, by the user timeout.
constexpr int kKeepIdleS = 10;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 25000;
constexpr int kListenBacklog = 16;

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string ErrnoText(int code) {
  return std::strerror(code);
}

void SetSocketOptions(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
}

// Sends what it can without waiting; false when the connection failed.
bool SendSome(int fd, std::string& queue) {
  while (!queue.empty()) {
    const ssize_t n = ::send(fd, queue.data(), queue.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      queue.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return true;
}

std::string AddressText(const sockaddr_storage& a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
      ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
    } else {
      ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    }
  } else if (a.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
  }
  return text;
}

// Whom the limits on callers count: an IPv4 address, or an IPv6 one's /64 (what one line gets).
std::string AddressKey(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) return std::string(reinterpret_cast<const char*>(&v6.sin6_addr.s6_addr[12]), 4);
    return std::string(reinterpret_cast<const char*>(v6.sin6_addr.s6_addr), 8);
  }
  if (a.ss_family == AF_INET) {
    return std::string(reinterpret_cast<const char*>(&reinterpret_cast<const sockaddr_in&>(a).sin_addr), 4);
  }
  return {};
}

std::string LinkTarget(const std::string& link) {
  char target[256] = {};
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

std::string Framed(const Bytes& unit) {
  std::vector<std::uint8_t> out;
  StreamFramer::Append(unit, out);
  return std::string(out.begin(), out.end());
}

QString ProtectionText(CallProtection p) {
  return p == CallProtection::Password
             ? QStringLiteral("パスワードで相手を確かめました（通話は暗号化されています）")
             : QStringLiteral("通話は暗号化されていますが、パスワードがないため、アドレスを知っていればだれでもかけられます");
}

}  // namespace

// A name lookup runs on a thread of its own, since getaddrinfo blocks for as long as the name
// servers take. The modem may give up on it (the call abandoned); the thread then finishes
// into this record alone, which lives until both are done with it.
struct InternetModem::Lookup {
  int done = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::atomic<bool> finished{false};  // its thread may be joined
  std::mutex lock;
  int error = 0;
  std::vector<std::vector<std::uint8_t>> addresses;
  ~Lookup() { CloseFd(done); }
};

// A caller on the listening socket before it is the call (or while it is being turned away).
// What it may cost is bounded: one handshake message held, one answer queued.
struct InternetModem::Incoming {
  int fd = -1;
  bool busy = false;  // told BUSY or LATER; kept until it hangs up so the word is not lost to a reset
  StreamFramer framer{CallHandshake::kMaxMessage};
  std::unique_ptr<CallHandshake> handshake;
  std::string toCaller;
  sockaddr_storage from{};
  std::string address;  // AddressKey
  Clock::time_point deadline;
  ~Incoming() { CloseFd(fd); }
};

InternetModem::InternetModem(ModemOptions options)
    : options_(std::move(options)), listenPort_(options_.listenPort) {
  portMap_.SetEnabled(options_.portMap);
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  char name[128] = {};
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, name, sizeof name) != 0) {
    const int e = errno;
    CloseFd(master_);
    throw ModemError(QStringLiteral("モデム用の疑似端末を作れません: %1").arg(QString::fromLocal8Bit(ErrnoText(e))));
  }
  slavePath_ = name;
  // Raw from the start, for programs that do not set the line up themselves. Closing this first
  // opening leaves the master reporting hang-up until a program opens the slave.
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave >= 0) {
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::close(slave);
  }
  watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (watch_ < 0 || ::inotify_add_watch(watch_, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0 || wake_ < 0) {
    const int e = errno;
    CloseFd(master_);
    CloseFd(watch_);
    CloseFd(wake_);
    throw ModemError(QStringLiteral("モデムを用意できません: %1").arg(QString::fromLocal8Bit(ErrnoText(e))));
  }

  devicePath_ = slavePath_;
  if (!options_.linkPath.empty()) {
    const auto fail = [&](const QString& why) {
      CloseFd(master_);
      CloseFd(watch_);
      CloseFd(wake_);
      throw ModemError(QStringLiteral("%1 を作れません: %2").arg(QString::fromLocal8Bit(options_.linkPath.c_str()), why));
    };
    struct stat st {};
    // An old link of ours (a modem that did not end cleanly: its pty is gone) is replaced; a
    // link to a pty that is still there is another modem's; anything else stays.
    if (::lstat(options_.linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      struct stat target {};
      const bool ours = LinkTarget(options_.linkPath) == slavePath_;
      if (!ours && ::stat(options_.linkPath.c_str(), &target) == 0 && S_ISCHR(target.st_mode)) {
        fail(QStringLiteral("ほかのモデムが使っています"));
      }
      ::unlink(options_.linkPath.c_str());
    }
    if (::symlink(slavePath_.c_str(), options_.linkPath.c_str()) != 0) fail(QString::fromLocal8Bit(ErrnoText(errno)));
    devicePath_ = options_.linkPath;
  }
  password_ = options_.password;
  InitCrypto();
  thread_ = std::thread([this] { Run(); });
}

InternetModem::~InternetModem() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  thread_.join();
  CloseCall();
  EndLinger();
  StopListening();
  incoming_.clear();
  ReapLookups(true);
  // The link goes only while it is still ours: a later modem may have put its own there.
  if (!options_.linkPath.empty()) {
    if (LinkTarget(options_.linkPath) == slavePath_) ::unlink(options_.linkPath.c_str());
  }
  CloseFd(master_);
  CloseFd(watch_);
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

CallStatus InternetModem::Status() const {
  std::lock_guard guard(statusLock_);
  CallStatus status = status_;
  // Asked of the kernel here, under the lock that keeps the call's socket from being closed
  // meanwhile (SetStatus forgets it before the modem's thread closes it).
  if (status.carrier && status.line == LineKind::Tcp && statusSocket_ >= 0) ReadTcpFigures(statusSocket_, status);
  return status;
}

void InternetModem::SetStatus(const CallStatus& status) {
  std::lock_guard guard(statusLock_);
  const std::uint64_t call = status_.call + (status.carrier && !status_.carrier ? 1 : 0);
  status_ = status;
  status_.call = call;
  statusSocket_ = status.carrier ? call_ : -1;
}

void InternetModem::Report(Result result) {
  toProgram_ += commands_.Format(result);
}

void InternetModem::Say(const QString& text) {
  toProgram_ += commands_.InfoLine(Encoded(text));
}

// ------------------------------------------------------------------ the loop

int InternetModem::PollTimeout() const {
  Clock::time_point next = Clock::time_point::max();
  if (state_ == State::Resolving || state_ == State::Connecting || state_ == State::Greeting ||
      state_ == State::Choosing) {
    next = deadline_;
  }
  for (const auto& in : incoming_) next = std::min(next, in->deadline);
  if (listen_ >= 0 && listenPausedUntil_ != Clock::time_point{}) next = std::min(next, listenPausedUntil_);
  if (lingering_) next = std::min({next, lingering_->Line().Wake(), lingerUntil_});
  if (datagrams_) {
    next = std::min(next, datagrams_->Line().Wake());
    if (state_ == State::Choosing) next = std::min({next, deadline_, calling_ ? nextProbe_ : deadline_});
    if (line_ == LineKind::Datagram) next = std::min(next, figuresAt_);
  }
  if (next == Clock::time_point::max()) return -1;
  // A line that has something to send at once says so with the earliest time there is, from
  // which nothing may be subtracted (the difference would overflow into a wait of a minute).
  const auto now = Clock::now();
  if (next <= now) return 0;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::clamp<long long>(ms + 1, 0, 60000));
}

void InternetModem::Run() {
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({wake_, POLLIN, 0});
    fds.push_back({watch_, POLLIN, 0});
    // While no program holds the slave the master reports hang-up without pause, so it is left
    // out; the watch on the slave tells when a program opens it.
    const bool program = holders_ > 0;
    if (program) {
      const bool room = line_ == LineKind::Datagram ? datagrams_->Line().Room() > 0 : toPeer_.size() < kBacklog;
      // While the line is being chosen the program's bytes wait in the pty.
      short ev = room && state_ != State::Choosing ? POLLIN : 0;
      if (!toProgram_.empty()) ev |= POLLOUT;
      fds.push_back({master_, ev, 0});
    }
    const std::size_t callAt = fds.size();
    if (call_ >= 0) {
      short ev = 0;
      if (state_ == State::Connecting || !toPeer_.empty()) ev |= POLLOUT;
      if ((state_ == State::Greeting || state_ == State::Choosing || state_ == State::Online) &&
          toProgram_.size() < kBacklog) {
        ev |= POLLIN;
      }
      fds.push_back({call_, ev, 0});
    }
    const std::size_t listenAt = fds.size();
    if (listen_ >= 0 && Clock::now() >= listenPausedUntil_) fds.push_back({listen_, POLLIN, 0});
    const std::size_t lookupAt = fds.size();
    if (lookup_) fds.push_back({lookup_->done, POLLIN, 0});
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

    const int ready = ::poll(fds.data(), fds.size(), PollTimeout());
    if (ready < 0 && errno != EINTR) {
      // Not expected (no memory, too many descriptors): the call cannot be kept, but the modem
      // stays and says why, and tries again after a pause instead of spinning.
      const int e = errno;
      if (call_ >= 0 || state_ != State::Command) {
        EndCall(QStringLiteral("モデムの内部エラーで通話を続けられません: ") + QString::fromLocal8Bit(ErrnoText(e)),
                Result::NoCarrier);
      } else {
        Say(QStringLiteral("モデムの内部エラー: ") + QString::fromLocal8Bit(ErrnoText(e)));
      }
      incoming_.clear();
      if (holders_ > 0) ToProgram();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    ReapLookups(false);
    if (ready <= 0) {
      CheckDeadlines();
      DatagramTick();
      LingerTick();
      if (holders_ > 0 && !toProgram_.empty()) ToProgram();
      continue;
    }
    if (fds[0].revents) return;

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
    if (callFd >= 0 && call_ == callFd && fds[callAt].revents) {
      const short ev = fds[callAt].revents;
      if (state_ == State::Connecting) {
        Connected();
      } else {
        if (ev & POLLOUT) ToPeer();
        if (call_ == callFd && (ev & (POLLIN | POLLHUP | POLLERR))) FromPeer();
      }
    }
    if (listenAt < fds.size() && listen_ >= 0 && fds[listenAt].fd == listen_ && fds[listenAt].revents) TakeCall();
    if (lookupAt < fds.size() && lookup_ && fds[lookupAt].fd == lookup_->done && fds[lookupAt].revents) LookupDone();
    if (fds[portMapAt].revents) PortMapNews();
    for (std::size_t i = udpAt; i < incomingAt; ++i) {
      if (fds[i].revents && (fds[i].fd == udpListen_ || fds[i].fd == udpCall_ || fds[i].fd == lingerSocket_)) {
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
    CheckDeadlines();
    DatagramTick();
    LingerTick();
    if (holders_ > 0 && !toProgram_.empty()) ToProgram();
  }
}

// ------------------------------------------------------------------ the program's side

void InternetModem::FromProgram() {
  std::uint8_t buf[kChunk];
  for (;;) {
    // On the datagram line no more is read than the line takes: the rest waits in the pty.
    const std::size_t room = state_ == State::Online && line_ == LineKind::Datagram
                                 ? std::min(sizeof buf, datagrams_->Line().Room())
                                 : sizeof buf;
    if (room == 0 || state_ == State::Choosing) return;
    const ssize_t n = ::read(master_, buf, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      // EIO: the last holder of the slave closed it (after everything it wrote was read).
      if (holders_ > 0) ProgramGone();
      holders_ = 0;
      return;
    }
    std::span<const std::uint8_t> bytes(buf, static_cast<std::size_t>(n));
    if (state_ == State::Online && line_ == LineKind::Datagram) {
      datagrams_->Line().Write(bytes, Clock::now());
      datagrams_->Send(Clock::now());
      continue;
    }
    if (state_ == State::Online) {
      // What one read brings goes out in one record: a unit the program wrote stays whole.
      SendUnit(sealer_->Seal(bytes));
      ToPeer();
      if (toPeer_.size() >= kBacklog) return;  // the rest waits in the pty until the peer takes more
      continue;
    }
    if (state_ == State::Command) {
      const std::size_t taken = commands_.Feed(bytes, toProgram_);
      bytes = bytes.subspan(taken);
    }
    // A byte from the program while a call is being set up abandons it, as a key does on a
    // telephone modem. The rest of that read goes with it.
    if (!bytes.empty() && state_ != State::Command && state_ != State::Online) {
      CloseCall();
      Report(Result::NoCarrier);
    }
    if (state_ != State::Online) ToProgram();
  }
}

void InternetModem::ToProgram() {
  while (!toProgram_.empty()) {
    const ssize_t n = ::write(master_, toProgram_.data(), toProgram_.size());
    if (n > 0) {
      toProgram_.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;  // full (the loop waits for room) or gone (the read side tells)
  }
}

// The program closed the port: DTR dropped. The call ends and the modem starts afresh; nothing
// is written to the master until a program opens the slave again, or that program would read
// this one's leftovers.
void InternetModem::ProgramGone() {
  if (call_ >= 0 && state_ == State::Online) SendSome(call_, toPeer_);  // its farewell goes first
  // Also while the line is being chosen: the partner may have taken the datagrams already, and
  // would wait for them until it gives the call up for lost.
  if (datagrams_ && (line_ == LineKind::Datagram || state_ == State::Choosing)) {
    // The farewell and the end of the call go now, and again until the partner has them.
    datagrams_->Line().Close();
    datagrams_->Send(Clock::now());
    Linger(calling_ ? udpCall_ : udpListen_);
  }
  CloseCall();
  commands_.Reset();
  commands_.ClearLine();
  toProgram_.clear();
}

// Opens and closes of the slave, in the order they happened. Counting them rather than asking
// the master whether it is hung up catches a close that a quick reopen would hide.
void InternetModem::SlaveEvents() {
  alignas(inotify_event) char buf[4096];
  std::vector<std::uint32_t> events;
  for (;;) {
    const ssize_t n = ::read(watch_, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      events.push_back(e->mask);
    }
  }
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
      pollfd p{master_, POLLIN, 0};
      ::poll(&p, 1, 0);
      holders_ = (p.revents & POLLHUP) ? 0 : std::max(holders_, 1);
    }
  }
}

// ------------------------------------------------------------------ dialling

void InternetModem::Dial(const DialTarget& target) {
  target_ = target;
  state_ = State::Resolving;
  deadline_ = Clock::now() + std::chrono::seconds(std::max(1, commands_.CarrierWaitSeconds()));
  addresses_.clear();
  nextAddress_ = 0;
  lastError_ = 0;
  // A telephone number left in the settings is no address: it is not looked up.
  if (const auto why = DialHostProblem(target.host)) {
    EndCall(QString::fromStdString(*why), Result::NoCarrier);
    return;
  }
  try {
    StartLookup(target);
  } catch (const std::exception&) {
    EndCall(QStringLiteral("接続先 %1 を調べられません").arg(QString::fromStdString(target.host)), Result::NoCarrier);
  }
}

// The thread is the modem's: joined once it is done, and at the latest when the modem ends.
void InternetModem::StartLookup(const DialTarget& target) {
  auto lookup = std::make_shared<Lookup>();
  std::thread thread([lookup, host = target.host, port = std::to_string(target.port)] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    {
      std::lock_guard guard(lookup->lock);
      lookup->error = error;
      for (addrinfo* a = found; a; a = a->ai_next) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(a->ai_addr);
        lookup->addresses.emplace_back(p, p + a->ai_addrlen);
      }
    }
    if (found) ::freeaddrinfo(found);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(lookup->done, &one, sizeof one);
    lookup->finished = true;
  });
  lookups_.emplace_back(lookup, std::move(thread));
  lookup_ = std::move(lookup);
}

void InternetModem::ReapLookups(bool wait) {
  std::erase_if(lookups_, [wait](auto& l) {
    if (!wait && !l.first->finished) return false;
    l.second.join();
    return true;
  });
}

void InternetModem::LookupDone() {
  int error = 0;
  {
    std::lock_guard guard(lookup_->lock);
    error = lookup_->error;
    addresses_ = std::move(lookup_->addresses);
  }
  lookup_.reset();
  if (error != 0 || addresses_.empty()) {
    const QString why = error == EAI_AGAIN ? QStringLiteral("接続先 %1 を調べられません（名前を引けません）")
                                           : QStringLiteral("接続先 %1 が見つかりません");
    EndCall(why.arg(QString::fromStdString(target_.host)), Result::NoCarrier);
    return;
  }
  state_ = State::Connecting;
  TryNextAddress();
}

// Each address of the name in turn (a name may have an IPv6 and an IPv4 one, and the far side
// may listen on one only); the last one's error is the one reported.
void InternetModem::TryNextAddress() {
  while (nextAddress_ < addresses_.size()) {
    const auto& address = addresses_[nextAddress_++];
    const auto* sa = reinterpret_cast<const sockaddr*>(address.data());
    CloseFd(call_);
    call_ = ::socket(sa->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (call_ < 0) {
      lastError_ = errno;
      continue;
    }
    if (::connect(call_, sa, static_cast<socklen_t>(address.size())) == 0 || errno == EINPROGRESS) return;
    lastError_ = errno;
  }
  CloseFd(call_);
  const QString host = QString::fromStdString(target_.host);
  QString why;
  switch (lastError_) {
    case ECONNREFUSED: why = QStringLiteral("接続先 %1 は接続を拒否しました（着信を待っていません）").arg(host); break;
    case ETIMEDOUT: why = QStringLiteral("接続先 %1 から応答がありません（時間切れ）").arg(host); break;
    case ENETUNREACH:
    case EHOSTUNREACH: why = QStringLiteral("接続先 %1 に届きません（ネットワークを確認してください）").arg(host); break;
    default: why = QStringLiteral("接続先 %1 に接続できません: %2").arg(host, QString::fromLocal8Bit(ErrnoText(lastError_)));
  }
  EndCall(why, Result::NoCarrier);
}

void InternetModem::Connected() {
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(call_, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
  if (error != 0) {
    lastError_ = error;
    TryNextAddress();
    return;
  }
  SetSocketOptions(call_);
  state_ = State::Greeting;
  framer_ = StreamFramer(CallHandshake::kMaxMessage);
  handshake_ = std::make_unique<CallHandshake>(CallHandshake::Role::Caller, Password(), deadline_);
  toPeer_.clear();
  SendUnit(handshake_->Start());
  ToPeer();
}

// The caller's side of the handshake went wrong: why, in the words the user needs.
void InternetModem::HandshakeFailed() {
  const bool ownPassword = handshake_->PasswordProtected();
  switch (handshake_->failure()) {
    case CallHandshake::Failure::Busy: EndCall(QStringLiteral("相手は通話中です"), Result::Busy); break;
    case CallHandshake::Failure::WrongPassword:
      EndCall(ownPassword ? QStringLiteral("パスワードが相手と一致しません（つながりませんでした）")
                          : QStringLiteral("相手はパスワードを求めています（パスワードを設定してください）"),
              Result::NoCarrier);
      break;
    case CallHandshake::Failure::TooManyTries:
      EndCall(QStringLiteral("失敗が続いたため、相手はしばらく着信を受けません。時間をおいてかけ直してください"),
              Result::NoCarrier);
      break;
    case CallHandshake::Failure::Unsafe:
      EndCall(QStringLiteral("相手の鍵が正しくありません（つながりませんでした）"), Result::NoCarrier);
      break;
    default: EndCall(QStringLiteral("相手は Sonavel のモデムではありません"), Result::NoCarrier);
  }
}

// Both sides proved the password (or both have none): from here on only sealed records.
void InternetModem::Established(const std::string& partner) {
  const CallKeys& keys = handshake_->Keys();
  sealer_ = std::make_unique<RecordSealer>(keys.send);
  opener_ = std::make_unique<RecordOpener>(keys.receive, RecordOpener::Order::Strict);
  protection_ = handshake_->PasswordProtected() ? CallProtection::Password : CallProtection::Open;
  keys_ = keys;
  handshake_.reset();
  framer_.SetMaxUnit(kMaxRecord);
  commands_.ClearLine();
  partner_ = partner;
  SetStatus({true, protection_, LineKind::None, partner});
}

void InternetModem::SendUnit(const Bytes& unit) {
  toPeer_ += Framed(unit);
}

// One unit from the far modem: a handshake message while the call is being set up, then records.
void InternetModem::PeerUnit(std::span<const std::uint8_t> unit) {
  if (state_ == State::Greeting) {
    const Bytes reply = handshake_->Receive(unit);
    if (!reply.empty()) SendUnit(reply);
    if (handshake_->step() == CallHandshake::Step::Failed) {
      HandshakeFailed();
    } else if (handshake_->step() == CallHandshake::Step::Established) {
      Established(target_.host);
      Say(ProtectionText(protection_));
      StartChoosing(true);
    }
    return;
  }
  const auto plain = opener_->Open(unit);
  if (!plain) {
    // Altered, replayed, reordered or not sealed by the partner: none of it reaches the program.
    EndCall(QStringLiteral("受信したデータが正しくないため、通話を切りました（改ざんの疑い）"), Result::NoCarrier);
    return;
  }
  // The caller's first record on the stream says the call stays on TCP.
  if (state_ == State::Choosing) ChooseLine(LineKind::Tcp);
  FromLine(*plain);
}

// ------------------------------------------------------------------ the call

void InternetModem::ToPeer() {
  if (call_ < 0) return;
  if (!SendSome(call_, toPeer_) && state_ == State::Online) {
    EndCall(QStringLiteral("回線が切れました"), Result::NoCarrier);
  }
}

void InternetModem::FromPeer() {
  std::uint8_t buf[kChunk];
  for (;;) {
    const ssize_t n = ::recv(call_, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      if (!framer_.Feed(std::span(buf, static_cast<std::size_t>(n)))) {
        EndCall(state_ == State::Greeting ? QStringLiteral("相手は Sonavel のモデムではありません")
                                          : QStringLiteral("受信したデータが正しくないため、通話を切りました（改ざんの疑い）"),
                Result::NoCarrier);
        return;
      }
      // Every whole unit now, since the socket may have nothing more to wake the loop for them.
      while (const auto unit = framer_.Next()) {
        PeerUnit(*unit);
        if (call_ < 0) return;
      }
      if (framer_.Failed()) {
        EndCall(QStringLiteral("受信したデータが正しくないため、通話を切りました（改ざんの疑い）"), Result::NoCarrier);
        return;
      }
      if (toProgram_.size() >= kBacklog) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    const int error = n < 0 ? errno : 0;
    // The other side chose the datagrams and closed the stream.
    if (state_ == State::Choosing && datagrams_ && (calling_ ? datagrams_->BothWays() : datagrams_->KnowsPeer())) {
      ChooseLine(LineKind::Datagram);
      return;
    }
    if (state_ == State::Greeting) {
      // Hung up without a word: the far program does not take the call.
      EndCall(QStringLiteral("相手が着信を受けませんでした"), Result::Busy);
    } else if (error == ETIMEDOUT) {
      EndCall(QStringLiteral("相手から応答がなくなりました（回線断）"), Result::NoCarrier);
    } else if (error != 0) {
      EndCall(QStringLiteral("回線が切れました: ") + QString::fromLocal8Bit(ErrnoText(error)), Result::NoCarrier);
    } else {
      EndCall(QStringLiteral("相手が切断しました"), Result::NoCarrier);
    }
    return;
  }
}

// The call (or its setting up) is over: what the peer sent before is delivered, then why, then
// the result word.
void InternetModem::EndCall(const QString& why, Result result) {
  CloseCall();
  if (!why.isEmpty()) Say(why);
  Report(result);
}

void InternetModem::CloseCall() {
  SetStatus({});
  if (call_ >= 0) {
    // Read what is left first: closing with unread bytes would reset the connection, and the far
    // side could lose the last unit this side sent.
    char buf[kChunk];
    while (::recv(call_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
    CloseFd(call_);
  }
  lookup_.reset();
  toPeer_.clear();
  framer_ = StreamFramer(CallHandshake::kMaxMessage);
  handshake_.reset();
  sealer_.reset();
  opener_.reset();
  datagrams_.reset();
  CloseFd(udpCall_);
  line_ = LineKind::None;
  frameLeft_ = 0;
  leadPending_ = lineOpen_ = false;
  notices_.clear();
  protection_ = CallProtection::None;
  state_ = State::Command;
  commands_.ClearLine();
}

void InternetModem::CheckDeadlines() {
  const auto now = Clock::now();
  // An answering side without datagrams waits for the caller's first record; it never comes
  // only from a caller that is no longer there.
  if (state_ == State::Choosing && !datagrams_ && now >= deadline_) ChooseLine(LineKind::Tcp);
  if ((state_ == State::Resolving || state_ == State::Connecting || state_ == State::Greeting) && now >= deadline_) {
    EndCall(QStringLiteral("接続先 %1 から応答がありません（時間切れ）").arg(QString::fromStdString(target_.host)),
            Result::NoCarrier);
  }
  for (auto& in : incoming_) {
    if (now >= in->deadline) CloseFd(in->fd);
  }
  std::erase_if(incoming_, [](const auto& in) { return in->fd < 0; });
  if (listenPausedUntil_ != Clock::time_point{} && now >= listenPausedUntil_) listenPausedUntil_ = {};
}

// ------------------------------------------------------------------ answering

bool InternetModem::SetAnswering(bool on, std::string& why) {
  if (!on) {
    StopListening();
    return true;
  }
  const std::uint16_t port = listenPort_;
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  const int zero = 0;
  int result = -1;
  if (fd >= 0) {
    // One socket for both families: IPv4 callers come in as mapped addresses.
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(port);
    result = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    // A machine without IPv6.
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_ANY);
      a.sin_port = htons(port);
      result = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
  }
  if (result == 0) result = ::listen(fd, kListenBacklog);
  if (fd < 0 || result != 0) {
    const int e = errno;
    if (fd >= 0) ::close(fd);
    const QString reason = e == EADDRINUSE ? QStringLiteral("ほかのプログラムが使用中です")
                           : e == EACCES   ? QStringLiteral("このポートを使う権限がありません")
                                           : QString::fromLocal8Bit(ErrnoText(e));
    why = Encoded(QStringLiteral("着信用のポート %1 を開けません: %2").arg(port).arg(reason));
    return false;
  }
  StopListening();
  listen_ = fd;
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  boundPort_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                                 : reinterpret_cast<sockaddr_in&>(bound).sin_port);
  // Datagrams on the same port number, unless the modem is held to TCP; where they cannot be
  // had, calls stay on TCP.
  if (commands_.LineChoice() != 1) {
    // The last call's end, still being repeated on the old datagram socket, gives the port back.
    if (lingerOnListenPort_) EndLinger();
    udpListen_ = ::socket(bound.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (bound.ss_family == AF_INET6) ::setsockopt(udpListen_, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (udpListen_ >= 0 && ::bind(udpListen_, reinterpret_cast<sockaddr*>(&bound), len) != 0) CloseFd(udpListen_);
  }
  portMap_.Start(boundPort_);
  return true;
}

void InternetModem::StopListening() {
  CloseFd(listen_);
  if (line_ != LineKind::Datagram || calling_) CloseFd(udpListen_);  // a call on it keeps it
  listenPausedUntil_ = {};
  boundPort_ = 0;
  portMap_.Stop();
  // Callers still proving who they are have nobody to answer them now.
  std::erase_if(incoming_, [](const auto& in) { return !in->busy; });
}

// The router's answer, for the player and the command line. During a call the bytes to the
// program are the partner's, and a line among them would reach the program as the partner's.
void InternetModem::PortMapNews() {
  for (const QString& line : portMap_.TakeLines()) {
    if (options_.onPortMapLine) options_.onPortMapLine(line);
    if (state_ == State::Command && holders_ > 0) Say(line);
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
    in->address = AddressKey(in->from);
    const auto fromThere = std::count_if(incoming_.begin(), incoming_.end(),
                                         [&](const auto& i) { return i->address == in->address; });
    // A flood of callers: past the limits they are hung up on at once, and cost nothing more.
    if (incoming_.size() >= kMaxIncoming || static_cast<std::size_t>(fromThere) >= kMaxIncomingPerAddress) continue;
    in->deadline = Clock::now() + kHandshakeTime;
    incoming_.push_back(std::move(in));
  }
}

bool InternetModem::Throttled(const std::string& address) {
  const auto t = tries_.find(address);
  return t != tries_.end() && Clock::now() < t->second.until;
}

// Each handshake answered is a guess at the password; a call coming of it clears the books.
// After kFreeTries without one, the address waits twice as long each time.
void InternetModem::Tried(const std::string& address, bool succeeded) {
  if (succeeded) {
    tries_.erase(address);
    return;
  }
  const auto now = Clock::now();
  if (tries_.size() >= kTriesKept && !tries_.contains(address)) {
    std::erase_if(tries_, [&](const auto& t) { return now - t.second.last > kTriesForgotten; });
    if (tries_.size() >= kTriesKept) {
      tries_.erase(std::min_element(tries_.begin(), tries_.end(), [](const auto& a, const auto& b) {
        return a.second.last < b.second.last;
      }));
    }
  }
  Tries& t = tries_[address];
  if (now - t.last > kTriesForgotten) t.failed = 0;
  t.last = now;
  if (++t.failed >= kFreeTries) {
    const int doublings = std::min(t.failed - kFreeTries, 6);
    t.until = now + std::min<Clock::duration>(std::chrono::seconds(1) * (1 << doublings), kLongestWait);
  }
}

void InternetModem::FromCaller(Incoming& in) {
  if (!in.toCaller.empty() && !SendSome(in.fd, in.toCaller)) {
    CloseFd(in.fd);
    return;
  }
  std::uint8_t buf[CallHandshake::kMaxMessage + StreamFramer::kPrefix];
  const ssize_t n = ::recv(in.fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    CloseFd(in.fd);
    return;
  }
  if (in.busy) return;  // a turned-away caller's words are read and dropped until it hangs up
  if (!in.framer.Feed(std::span(buf, static_cast<std::size_t>(n)))) {
    CloseFd(in.fd);  // not one of ours: a port scan, a browser, an old modem
    return;
  }
  while (in.fd >= 0 && !in.busy) {
    const auto unit = in.framer.Next();
    if (!unit) break;
    CallerUnit(in, *unit);
  }
  if (in.framer.Failed()) CloseFd(in.fd);
}

void InternetModem::TurnAway(Incoming& in, const Bytes& word) {
  in.toCaller += Framed(word);
  SendSome(in.fd, in.toCaller);
  in.toCaller.clear();
  ::shutdown(in.fd, SHUT_WR);
  in.busy = true;
  in.deadline = Clock::now() + kTurnAwayTime;
}

void InternetModem::CallerUnit(Incoming& in, std::span<const std::uint8_t> unit) {
  // Only a call that stands (or nobody at the port) makes a caller hear BUSY; handshakes under
  // way do not, and the first to be proved wins.
  const bool busy = state_ != State::Command || holders_ == 0;
  if (!in.handshake) {
    if (!CallHandshake::IsHello(unit)) {
      CloseFd(in.fd);
      return;
    }
    if (busy) return TurnAway(in, CallHandshake::BusyMessage());
    if (Throttled(in.address)) return TurnAway(in, CallHandshake::LaterMessage());
    in.handshake = std::make_unique<CallHandshake>(CallHandshake::Role::Answerer, Password(), in.deadline);
    const Bytes answer = in.handshake->Receive(unit);
    if (answer.empty()) {
      CloseFd(in.fd);
      return;
    }
    Tried(in.address, false);
    in.toCaller += Framed(answer);
    if (!SendSome(in.fd, in.toCaller)) CloseFd(in.fd);
    return;
  }
  in.handshake->Receive(unit);
  if (in.handshake->step() != CallHandshake::Step::Confirmed) {
    CloseFd(in.fd);  // a wrong password, or words out of turn: not a sound on this side
    return;
  }
  Tried(in.address, true);
  if (busy) return TurnAway(in, CallHandshake::BusyMessage());
  Answer(in);
}

// The caller proved the password: it is the call now.
void InternetModem::Answer(Incoming& in) {
  const Bytes welcome = in.handshake->Accept();
  call_ = in.fd;
  in.fd = -1;
  SetSocketOptions(call_);
  framer_ = StreamFramer(CallHandshake::kMaxMessage);
  toPeer_ = in.toCaller;
  SendUnit(welcome);
  handshake_ = std::move(in.handshake);
  const std::string partner = AddressText(in.from);
  Established(partner);
  Report(Result::Ring);
  Say(QStringLiteral("着信: ") + QString::fromStdString(partner));
  Say(ProtectionText(protection_));
  ToPeer();
  StartChoosing(false);
}

// ------------------------------------------------------------------ the datagram line

// The handshake went over TCP, which repairs its own losses and is where a stranger's tries are
// limited; the keys it gave seal the datagrams. The caller asks the answering port for a
// datagram answer; when one comes back within about a second, the notes go by datagrams and the
// TCP connection closes, else the caller's first record on TCP keeps the call there. A
// stranger's datagrams never open, so they can neither choose for the partner nor end the call.
void InternetModem::StartChoosing(bool caller) {
  calling_ = caller;
  const int choice = commands_.LineChoice();
  const auto now = Clock::now();
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  if (caller) {
    if (choice != 1 && ::getpeername(call_, reinterpret_cast<sockaddr*>(&peer), &len) == 0) {
      udpCall_ = ::socket(peer.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (udpCall_ < 0) return ChooseLine(LineKind::Tcp);
    datagrams_ = std::make_unique<DatagramCall>(udpCall_, keys_, &peer, now);
  } else {
    if (udpListen_ < 0) {
      // No datagrams here: the caller's first record on TCP will say TCP.
      state_ = State::Choosing;
      deadline_ = now + kChoiceWait * 3;
      return;
    }
    datagrams_ = std::make_unique<DatagramCall>(udpListen_, keys_, nullptr, now);
  }
  state_ = State::Choosing;
  deadline_ = now + (caller ? kChoiceWait : kChoiceWait * 3);
  nextProbe_ = now;
  DatagramTick();
}

void InternetModem::ChooseLine(LineKind line) {
  line_ = line;
  state_ = State::Online;
  if (line == LineKind::Tcp) {
    datagrams_.reset();
    CloseFd(udpCall_);
    if (calling_) {
      SendUnit(sealer_->Seal({}));  // tells the answering side
      ToPeer();
    }
    // Only the caller knows whether datagrams were tried.
    Say(calling_ && commands_.LineChoice() != 1 ? QStringLiteral("回線: TCP（UDP が届かないため）")
                                                : QStringLiteral("回線: TCP"));
  } else {
    // The stream is not needed any more: its records end here on both sides.
    if (call_ >= 0) {
      ::shutdown(call_, SHUT_RDWR);
      CloseFd(call_);
    }
    toPeer_.clear();
    Say(QStringLiteral("回線: UDP（欠けた音はすぐに補います）"));
  }
  SetStatus({true, protection_, line, partner_});
  Report(Result::Connect);
}

void InternetModem::FromDatagrams(int socket) {
  std::uint8_t buf[DatagramLine::kMaxDatagram + RecordSealer::kOverhead + 64];
  sockaddr_storage from{};
  socklen_t len = sizeof from;
  for (ssize_t n; (n = ::recvfrom(socket, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len)) >= 0;
       len = sizeof from) {
    const std::span<const std::uint8_t> datagram(buf, static_cast<std::size_t>(n));
    if (socket == lingerSocket_) {
      lingering_->Received(datagram, from, Clock::now());
      continue;
    }
    // Outside a call, or not the call's: read and forgotten.
    if (!datagrams_ || (state_ != State::Choosing && !(state_ == State::Online && line_ == LineKind::Datagram))) continue;
    datagrams_->Received(datagram, from, Clock::now());
  }
}

// The hung-up call takes its socket along (the modem's own is -1 then) and goes on alone.
void InternetModem::Linger(int& socket) {
  EndLinger();
  lingerOnListenPort_ = &socket == &udpListen_;
  lingerSocket_ = std::exchange(socket, -1);
  lingering_ = std::move(datagrams_);
  lingerUntil_ = Clock::now() + kLinger;
}

void InternetModem::LingerTick() {
  if (!lingering_) return;
  const auto now = Clock::now();
  if (lingering_->Line().Finished() || now >= lingerUntil_) return EndLinger();
  lingering_->Send(now);
}

void InternetModem::EndLinger() {
  lingering_.reset();
  CloseFd(lingerSocket_);
  lingerOnListenPort_ = false;
}

// Everything the datagram line has due: datagrams out, bytes to the program, what it noticed,
// the choice of line, the figures for the status bar.
void InternetModem::DatagramTick() {
  if (!datagrams_) return;
  const auto now = Clock::now();
  DatagramLine& line = datagrams_->Line();
  if (state_ == State::Choosing) {
    if (datagrams_->BothWays()) {
      if (calling_) datagrams_->Probe(now);  // so the answering side learns it too
      ChooseLine(LineKind::Datagram);
    } else if (now >= deadline_) {
      if (calling_ && commands_.LineChoice() == 2) {
        return EndCall(QStringLiteral("相手から UDP の応答がありません（TCP は使わない設定です）"), Result::NoCarrier);
      }
      if (calling_ || !datagrams_->KnowsPeer()) return ChooseLine(LineKind::Tcp);
      ChooseLine(LineKind::Datagram);  // the caller heard us; its datagrams will show it
    } else if (calling_ && now >= nextProbe_) {
      datagrams_->Probe(now);
      nextProbe_ = now + kProbeEvery;
    }
    if (!datagrams_) return;
  }
  datagrams_->Send(now);
  if (line_ != LineKind::Datagram) return;
  if (toProgram_.size() < kBacklog) FromLine(line.Take(kBacklog - toProgram_.size()));
  while (const auto e = line.TakeEvent()) {
    switch (*e) {
      case DatagramLine::Event::Stalled:
        Notice(QStringLiteral("回線が途切れています（この間の音は、戻りしだい順に届きます）"));
        break;
      case DatagramLine::Event::Resumed: Notice(QStringLiteral("回線が戻りました")); break;
      case DatagramLine::Event::PeerClosed: return EndCall(QStringLiteral("相手が切断しました"), Result::NoCarrier);
      case DatagramLine::Event::PeerGone:
        return EndCall(QStringLiteral("相手から応答がなくなりました（回線断）"), Result::NoCarrier);
    }
  }
  if (now >= figuresAt_) {
    figuresAt_ = now + std::chrono::milliseconds(500);
    std::lock_guard guard(statusLock_);
    if (const auto rtt = line.RoundTrip()) status_.roundTripMs = static_cast<int>((rtt->count() + 500) / 1000);
    status_.repairedShare = line.RepairedShare();
  }
}

// The partner's bytes for the program, noting where its units end (a frame: 0xFF and three
// bytes; a line: up to CR, a Shift-JIS lead byte taking the next byte with it).
void InternetModem::FromLine(std::span<const std::uint8_t> bytes) {
  toProgram_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
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
void InternetModem::Notice(const QString& text) {
  notices_.push_back(text);
  FromLine({});
}

}  // namespace modem
