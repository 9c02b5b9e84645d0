#include "link/Comm.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

const QString kNotOpen = QStringLiteral("通信が開始されていない。");
const QString kTooLong = QStringLiteral("送信データ長が長すぎる。");
const QString kNoFourBitBytes = QStringLiteral("このポートは 4 ビットのデータ長を扱えません。");
// A stall may be the peer, flow control held by a slower modem connection or a line set too
// slow for the traffic: the text names the line, not the peer.
const QString kStalled = QStringLiteral("送信できません（回線が混んでいるか、止まっています）");
const QString kStalledPart =
    QStringLiteral("送信が終わりません（回線が混んでいるか、止まっています）。残りは次の送信の前に送ります");
constexpr int kOpenFailed = -1;  // the code a failed open reports, as the user has always seen it

// The system's reason in words a user can act on; other errors keep the system's own text.
QString ReasonText(const serial::SerialError& e) {
  switch (e.code) {
    case EACCES:
    case EPERM: return QStringLiteral("このデバイスを使う権限がありません");
    case ENOENT:
    case ENODEV:
    case ENXIO: return QStringLiteral("デバイスが見つかりません");
    case EBUSY:
    case EWOULDBLOCK: return QStringLiteral("ほかのプログラムが使用中です");
    case ENOTTY: return QStringLiteral("シリアルデバイスではありません");
    case EIO: return QStringLiteral("デバイスが切断されました");
    case ETIMEDOUT: return QStringLiteral("時間内に応答がありません");
    default: return QString::fromLocal8Bit(e.reason.c_str());
  }
}

QString WithDevice(const QString& head, const QString& device, const QString& reason) {
  if (device.isEmpty() && reason.isEmpty()) return head;
  return head + QStringLiteral("\n") + device + QStringLiteral(": ") + reason;
}

}  // namespace

ECommOpenError::ECommOpenError(int errorCode, const QString& device, const QString& reason)
    : ECommError(WithDevice(QStringLiteral("オープンエラー ErrorCode = %1").arg(errorCode), device, reason)),
      errorCode_(errorCode) {}

ECommReadWriteError::ECommReadWriteError(int errorCode, const QString& device, const QString& reason)
    : ECommError(WithDevice(QStringLiteral("入出力エラー ErrorCode = %1").arg(errorCode), device, reason)),
      errorCode_(errorCode) {}

// ---------------------------------------------------------------- TCommWatch

TCommWatch::TCommWatch(TComm& comm, int commHandle) : Comm(comm), CommHandle(commHandle) {
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) {
    const auto e = serial::LastError();
    throw ECommOpenError(kOpenFailed, comm.DeviceName(), ReasonText(e));
  }
  thread_ = std::thread([this] { Execute(); });
}

TCommWatch::~TCommWatch() {
  Stop();
  Join();
  if (stopFd_ >= 0) ::close(stopFd_);
}

void TCommWatch::Stop() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
}

void TCommWatch::Join() {
  if (thread_.joinable() && !IsWatcherThread()) thread_.join();
}

// Only received bytes and the device's loss are watched: termios offers no transmit-empty event,
// and the modem-line events (DSR, CTS, carrier, ring) would need a second, blocking TIOCMIWAIT
// thread. Nothing in the program asks for them, so EventMask is kept but not acted on.
void TCommWatch::Execute() {
  pollfd fds[3] = {{CommHandle, POLLIN, 0}, {stopFd_, POLLIN, 0}, {Comm.resumeFd_, POLLIN, 0}};
  for (;;) {
    fds[0].revents = fds[1].revents = fds[2].revents = 0;
    // Held, the device is left alone (a negative descriptor is not polled) until the owner has
    // taken enough of what was handed over; a device lost meanwhile is seen after that.
    fds[0].fd = Comm.ReceiveHeld() ? -1 : CommHandle;
    const int ready = ::poll(fds, 3, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      // Watching cannot go on; a port that silently stopped receiving would look alive.
      const auto e = serial::LastError();
      if (Comm.OnCommLost) Comm.OnCommLost(Comm, QStringLiteral("%1: %2").arg(Comm.openPath_, ReasonText(e)));
      break;
    }
    if (fds[1].revents) break;  // Close
    if (fds[2].revents) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(Comm.resumeFd_, &count, sizeof count);
    }
    if (fds[0].fd < 0) continue;

    const short ev = fds[0].revents;
    std::size_t queued = 0;
    bool lost = (ev & POLLNVAL) != 0;
    if (!lost) {
      try {
        queued = Comm.InQueueCount();
      } catch (const std::exception&) {
        lost = true;
      }
    }
    if (!lost && queued > 0) {
      try {
        Comm.DoCommReceive();
      } catch (...) {
        if (Comm.OnCommException) Comm.OnCommException(Comm, std::current_exception());
      }
      continue;
    }
    // Hang-up or error with nothing left to read: the device has gone (a pty's far end closed,
    // an adapter pulled out). It would report the same on every poll, so watching ends here.
    if (lost || (ev & (POLLHUP | POLLERR)) || (ev & POLLIN)) {
      if (Comm.OnCommLost) {
        Comm.OnCommLost(
            Comm, QStringLiteral("%1: %2").arg(Comm.openPath_, QStringLiteral("デバイスが切断されました")));
      }
      break;
    }
  }
}

// ---------------------------------------------------------------- TComm

TComm::TComm() {
  resumeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TComm::~TComm() {
  Close();
  if (resumeFd_ >= 0) ::close(resumeFd_);
}

bool TComm::ReceiveHeld() const {
  const std::size_t limit = receiveLimit_.load();
  return limit > 0 && resumeFd_ >= 0 && handedOver_.load() >= limit;
}

void TComm::Taken(std::size_t bytes) {
  std::size_t before = handedOver_.load();
  std::size_t after = 0;
  do {
    after = before > bytes ? before - bytes : 0;
  } while (!handedOver_.compare_exchange_weak(before, after));
  const std::size_t limit = receiveLimit_.load();
  // The watcher holds only at the limit; the eventfd keeps the wake until it looks.
  if (limit > 0 && before >= limit && after < limit && resumeFd_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(resumeFd_, &one, sizeof one);
  }
}

QString TComm::DeviceName() const {
  if (!devicePath_.isEmpty()) return devicePath_;
  // COM1 is the first serial device, /dev/ttyS0.
  return QStringLiteral("/dev/ttyS%1").arg(static_cast<int>(port_) - 1);
}

serial::LineSettings TComm::Settings() const {
  if (byteSize_ == TCommByteSize::cbs4) throw ECommError(kNoFourBitBytes);
  serial::LineSettings s;
  s.baudRate = baudRate_ == -1 ? baudRateUserDefined_ : baudRate_;
  s.dataBits = 4 + static_cast<int>(byteSize_);
  switch (parityBits_) {
    case TCommParityBits::cpbNone: s.parity = serial::Parity::None; break;
    case TCommParityBits::cpbOdd: s.parity = serial::Parity::Odd; break;
    case TCommParityBits::cpbEven: s.parity = serial::Parity::Even; break;
    case TCommParityBits::cpbMark: s.parity = serial::Parity::Mark; break;
    case TCommParityBits::cpbSpace: s.parity = serial::Parity::Space; break;
  }
  // termios has one "more than one stop bit" flag; a UART sends 1.5 stop bits with it at five
  // data bits and two otherwise, so csb15 and csb2 both set it.
  s.twoStopBits = stopBits_ != TCommStopBits::csb1;
  s.rtsCts = flowControls_.Contains(TCommFlowControl::cfcRtsCts);
  s.xonXoff = flowControls_.Contains(TCommFlowControl::cfcXonXoff);
  // Linux has no DTR/DSR handshake: cfcDtrDsr leaves DTR raised while open (the modem needs it
  // to keep the call) and nothing waits on DSR.
  return s;
}

void TComm::ApplyIfOpen() {
  if (!IsOpen()) return;
  try {
    device_.Apply(Settings());
  } catch (const serial::SerialFailure& f) {
    throw ECommReadWriteError(f.Error().code, openPath_, ReasonText(f.Error()));
  }
}

void TComm::SetBaudRate(std::int32_t rate) {
  baudRate_ = rate;
  ApplyIfOpen();
}
void TComm::SetParityBits(TCommParityBits parity) {
  parityBits_ = parity;
  ApplyIfOpen();
}
void TComm::SetByteSize(TCommByteSize size) {
  byteSize_ = size;
  ApplyIfOpen();
}
void TComm::SetStopBits(TCommStopBits bits) {
  stopBits_ = bits;
  ApplyIfOpen();
}
void TComm::SetFlowControls(TCommFlowControls flow) {
  flowControls_ = flow;
  ApplyIfOpen();
}

bool TComm::DsrState() const {
  return IsOpen() && device_.Dsr();
}

CarrierSource::Carrier TComm::CarrierState() const {
  if (!IsOpen()) return Carrier::Unknown;
  const std::optional<bool> dcd = device_.Dcd();
  if (!dcd) return Carrier::Unknown;
  (*dcd ? dcdSeenUp_ : dcdSeenDown_) = true;
  if (!dcdSeenUp_ || !dcdSeenDown_) return Carrier::Unknown;
  return *dcd ? Carrier::Up : Carrier::Down;
}

std::size_t TComm::InQueueCount() const {
  return IsOpen() ? device_.InQueue() : 0;
}
std::size_t TComm::OutQueueCount() const {
  return IsOpen() ? device_.OutQueue() : 0;
}

serial::LineSettings TComm::DeviceSettings() const {
  if (!IsOpen()) throw ECommError(kNotOpen);
  return device_.Read();
}

void TComm::Open() {
  if (IsOpen()) return;
  // A watcher that ended on its own (device lost, or Close from inside a handler) is reaped here.
  Watcher.reset();
  const QString path = DeviceName();
  try {
    device_.Open(path.toStdString());
  } catch (const serial::SerialFailure& f) {
    throw ECommOpenError(kOpenFailed, path, ReasonText(f.Error()));
  }
  try {
    device_.Purge();
    device_.Apply(Settings());
  } catch (const serial::SerialFailure& f) {
    device_.Close();
    throw ECommOpenError(kOpenFailed, path, ReasonText(f.Error()));
  } catch (const ECommError& e) {
    device_.Close();
    throw ECommOpenError(kOpenFailed, path, e.Message());
  }
  openPath_ = path;
  dcdSeenUp_ = dcdSeenDown_ = false;
  handedOver_ = 0;
  ++generation_;
  handle_ = device_.Fd();
  try {
    Watcher = std::make_unique<TCommWatch>(*this, device_.Fd());
  } catch (...) {
    handle_ = -1;
    device_.Close();
    throw;
  }
  device_.SetDtr(true);
}

void TComm::Close() {
  if (!IsOpen()) return;
  if (Watcher) {
    Watcher->Stop();
    // From inside a handler the watcher cannot wait for itself; it sees the stop signal as
    // soon as the handler returns, and the next Open or the destructor reaps it.
    if (!Watcher->IsWatcherThread()) Watcher.reset();
  }
  std::lock_guard lock(writeLock_);
  const bool drained = DrainOutput();
  device_.SetDtr(false);  // the modem hangs up
  // Flushing a pty's output would also drop what its far end has not read yet.
  if (drained) {
    device_.PurgeInput();
  } else {
    device_.Purge();
  }
  handle_ = -1;
  owed_.clear();  // the rest of a stalled unit has no line left to go to
  device_.Close();
}

// The last unit written before a close (the farewell "Bye") must reach the line, not be purged
// with the queue. The wait follows the line's speed but never passes kDrainLimitMs: a line held
// by flow control, or a slow line with a full queue (minutes at 110 bit/s), loses the rest
// rather than hang the program. A moving line has sent the farewell long before.
bool TComm::DrainOutput() {
  using Clock = std::chrono::steady_clock;
  try {
    const auto deadline = Clock::now() + CloseWait(device_.OutQueue());
    while (device_.OutQueue() > 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kDrainStepMs));
    }
    return device_.OutQueue() == 0;
  } catch (const serial::SerialFailure&) {
    return false;  // a device that cannot report its queue has nothing we could still deliver
  }
}

std::chrono::milliseconds TComm::CloseWait(std::size_t queued) const {
  return std::min(TransmitLimit(queued), std::chrono::milliseconds(kDrainLimitMs));
}

void TComm::Purge() {
  if (IsOpen()) device_.Purge();
}

// How long `bytes` take to leave at the line's speed, plus a second for a modem's own pace and the
// scheduler. A slow line with a full queue gets the time it needs; a line that does not move at
// all is still reported within a bounded time.
std::chrono::milliseconds TComm::TransmitLimit(std::size_t bytes) const {
  const int dataBits = 4 + static_cast<int>(byteSize_);
  const int bitsPerByte = 1 + dataBits + (parityBits_ == TCommParityBits::cpbNone ? 0 : 1) +
                          (stopBits_ == TCommStopBits::csb1 ? 1 : 2);
  const std::int64_t rate = std::max<std::int64_t>(baudRate_ == -1 ? baudRateUserDefined_ : baudRate_, 1);
  const std::int64_t lineMs = static_cast<std::int64_t>(bytes) * bitsPerByte * 1000 / rate;
  return std::chrono::milliseconds(lineMs + kIoTimeoutMs);
}

void TComm::Write(std::span<const std::uint8_t> buffer) {
  Write(buffer, std::chrono::milliseconds::max());
}

void TComm::Write(std::span<const std::uint8_t> buffer, std::chrono::milliseconds limit) {
  std::lock_guard lock(writeLock_);
  if (!IsOpen()) throw ECommError(kNotOpen);
  if (buffer.size() > OutQueueSize()) throw ECommError(kTooLong);
  using Clock = std::chrono::steady_clock;
  std::size_t queued = 0;
  try {
    queued = device_.OutQueue();
  } catch (const serial::SerialFailure& f) {
    throw ECommReadWriteError(f.Error().code, openPath_, ReasonText(f.Error()));
  }
  const auto deadline =
      Clock::now() + std::min(TransmitLimit(queued + owed_.size() + buffer.size()), limit);
  // The rest of a unit a stall interrupted goes first: the peer's receiver stays in step.
  if (!owed_.empty()) {
    std::span<const std::uint8_t> rest(owed_);
    const bool done = SendAll(rest, deadline);
    owed_.erase(owed_.begin(), owed_.end() - static_cast<std::ptrdiff_t>(rest.size()));
    if (!done) throw ECommReadWriteError(ETIMEDOUT, openPath_, kStalled);
    try {
      queued = device_.OutQueue();  // what is left of the queue after the rest went in
    } catch (const serial::SerialFailure& f) {
      throw ECommReadWriteError(f.Error().code, openPath_, ReasonText(f.Error()));
    }
  }
  // Before the first byte: a unit that would not fit beside what is queued waits until the driver
  // has room (it signals writability once its queue is nearly empty), so it goes in in one write.
  if (queued > 0 && queued + buffer.size() > kDriverRoom && !WaitForRoom(deadline)) {
    throw ECommReadWriteError(ETIMEDOUT, openPath_, kStalled);
  }
  const std::size_t unitSize = buffer.size();
  if (!SendAll(buffer, deadline)) {
    // A driver that does not tell its room (a pty) may have taken part of the unit. Half a unit
    // would throw the peer's receiver out of step (a frame would take the next unit's bytes), so
    // the rest is kept and goes out before the next unit; a close drops it with the line.
    const bool started = buffer.size() < unitSize;
    if (started) owed_.assign(buffer.begin(), buffer.end());
    throw ECommReadWriteError(ETIMEDOUT, openPath_, started ? kStalledPart : kStalled);
  }
}

// Writes what `rest` holds, waiting on the descriptor for room; false when the time limit passed,
// with `rest` left holding what did not go in.
bool TComm::SendAll(std::span<const std::uint8_t>& rest, std::chrono::steady_clock::time_point deadline) {
  while (!rest.empty()) {
    std::size_t sent = 0;
    try {
      sent = device_.WriteSome(rest);
    } catch (const serial::SerialFailure& f) {
      throw ECommReadWriteError(f.Error().code, openPath_, ReasonText(f.Error()));
    }
    rest = rest.subspan(sent);
    if (rest.empty()) break;
    if (!WaitForRoom(deadline)) return false;
  }
  return true;
}

// Waits for room on the descriptor, not in a loop; false when the time limit passed.
bool TComm::WaitForRoom(std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{device_.Fd(), POLLOUT, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      const auto e = serial::LastError();
      throw ECommReadWriteError(e.code, openPath_, ReasonText(e));
    }
    if (fd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
      throw ECommReadWriteError(EIO, openPath_, ReasonText(serial::SerialError{EIO, {}}));
    }
    if (ready > 0) return true;
  }
}

void TComm::WriteString(QByteArrayView text) {
  Write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::size_t>(text.size())));
}

std::size_t TComm::Read(std::span<std::uint8_t> buffer) {
  if (!IsOpen()) throw ECommError(kNotOpen);
  std::size_t total = 0;
  while (total < buffer.size()) {
    std::size_t got = 0;
    try {
      got = device_.ReadSome(buffer.subspan(total));
    } catch (const serial::SerialFailure& f) {
      throw ECommReadWriteError(f.Error().code, openPath_, ReasonText(f.Error()));
    }
    if (got == 0) break;  // the queue held less than asked: hand over what came
    total += got;
  }
  handedOver_ += total;
  return total;
}

void TComm::DoCommEvent(TCommEventMask events) {
  if (IsOpen() && OnCommEvent) OnCommEvent(*this, events);
}

void TComm::DoCommReceive() {
  if (!IsOpen()) return;
  if (!OnCommReceive) {
    // Nobody takes the bytes; left queued they would wake the watcher again at once.
    device_.PurgeInput();
    return;
  }
  const std::size_t queued = InQueueCount();
  if (queued == 0) return;
  OnCommReceive(*this, static_cast<std::uint16_t>(std::min<std::size_t>(queued, 0xFFFF)));
}

void TComm::DoCommTransmit() {
  if (IsOpen() && OnCommTransmit) OnCommTransmit(*this, static_cast<std::uint16_t>(OutQueueCount()));
}
