#include "platform/serial/SerialDevice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace serial {

namespace {

constexpr std::uint8_t kXon = 0x11;
constexpr std::uint8_t kXoff = 0x13;

[[noreturn]] void Fail() {
  throw SerialFailure(LastError());
}

std::uint32_t SizeFlag(int dataBits) {
  switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

int BitsOf(std::uint32_t cflag) {
  switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
  }
}

}  // namespace

SerialError LastError() {
  const int code = errno;
  return SerialError{code, std::strerror(code)};
}

void SerialDevice::Open(const std::string& path) {
  Close();
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) Fail();
  // Two processes sharing a modem would mix their bytes; the second one is refused.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    SerialError error = LastError();
    if (error.code == EWOULDBLOCK) error.reason = "the device is already in use";
    ::close(fd);
    throw SerialFailure(error);
  }
  if (!::isatty(fd)) {
    ::close(fd);
    throw SerialFailure(SerialError{ENOTTY, std::strerror(ENOTTY)});
  }
  // Best effort: a busy device opened by someone without flock is refused here.
  ::ioctl(fd, TIOCEXCL);
  fd_ = fd;
}

void SerialDevice::Close() {
  if (fd_ < 0) return;
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);
  fd_ = -1;
}

void Encode(const LineSettings& s, RawTermios& tio) {
  // Raw bytes: no line editing, echo, signals or translation of CR and LF.
  tio.iflag &= ~static_cast<std::uint32_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                           IXOFF | IXANY);
  tio.oflag &= ~static_cast<std::uint32_t>(OPOST);
  tio.lflag &= ~static_cast<std::uint32_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.cflag &= ~static_cast<std::uint32_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.cflag |= CREAD | CLOCAL | SizeFlag(s.dataBits);
  switch (s.parity) {
    case Parity::None: break;
    case Parity::Odd: tio.cflag |= PARENB | PARODD; break;
    case Parity::Even: tio.cflag |= PARENB; break;
    // CMSPAR turns odd/even into a fixed parity bit: PARODD gives mark (1), without it space (0).
    case Parity::Mark: tio.cflag |= PARENB | CMSPAR | PARODD; break;
    case Parity::Space: tio.cflag |= PARENB | CMSPAR; break;
  }
  if (s.twoStopBits) tio.cflag |= CSTOPB;
  if (s.rtsCts) tio.cflag |= CRTSCTS;
  if (s.xonXoff) tio.iflag |= IXON | IXOFF;
  tio.cc[VSTART] = kXon;
  tio.cc[VSTOP] = kXoff;
  tio.cc[VMIN] = 0;
  tio.cc[VTIME] = 0;
  tio.baudRate = s.baudRate;
}

LineSettings Decode(const RawTermios& tio) {
  LineSettings s;
  s.baudRate = tio.baudRate;
  s.dataBits = BitsOf(tio.cflag);
  if (!(tio.cflag & PARENB)) {
    s.parity = Parity::None;
  } else if (tio.cflag & CMSPAR) {
    s.parity = (tio.cflag & PARODD) ? Parity::Mark : Parity::Space;
  } else {
    s.parity = (tio.cflag & PARODD) ? Parity::Odd : Parity::Even;
  }
  s.twoStopBits = (tio.cflag & CSTOPB) != 0;
  s.rtsCts = (tio.cflag & CRTSCTS) != 0;
  s.xonXoff = (tio.iflag & IXON) && (tio.iflag & IXOFF);
  return s;
}

void SerialDevice::Apply(const LineSettings& s) {
  RawTermios tio;
  if (!GetTermios2(fd_, tio)) Fail();
  Encode(s, tio);
  if (!SetTermios2(fd_, tio)) Fail();
}

LineSettings SerialDevice::Read() const {
  RawTermios tio;
  if (!GetTermios2(fd_, tio)) Fail();
  return Decode(tio);
}

bool SerialDevice::HasModemLines() const {
  int lines = 0;
  return fd_ >= 0 && ::ioctl(fd_, TIOCMGET, &lines) == 0;
}

void SerialDevice::SetDtr(bool on) {
  int bit = TIOCM_DTR;
  // A pty answers ENOTTY/EINVAL: it has no DTR, and there is nothing to hang up.
  ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit);
}

bool SerialDevice::Dsr() const {
  int lines = 0;
  if (fd_ < 0 || ::ioctl(fd_, TIOCMGET, &lines) != 0) return false;
  return (lines & TIOCM_DSR) != 0;
}

std::optional<bool> SerialDevice::Dcd() const {
  int lines = 0;
  if (fd_ < 0 || ::ioctl(fd_, TIOCMGET, &lines) != 0) return std::nullopt;
  return (lines & TIOCM_CD) != 0;
}

void SerialDevice::Purge() {
  if (fd_ >= 0) ::tcflush(fd_, TCIOFLUSH);
}

void SerialDevice::PurgeInput() {
  if (fd_ >= 0) ::tcflush(fd_, TCIFLUSH);
}

std::size_t SerialDevice::InQueue() const {
  int count = 0;
  if (::ioctl(fd_, FIONREAD, &count) != 0) Fail();
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

std::size_t SerialDevice::OutQueue() const {
  int count = 0;
  if (::ioctl(fd_, TIOCOUTQ, &count) != 0) Fail();
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

std::size_t SerialDevice::WriteSome(std::span<const std::uint8_t> bytes) {
  for (;;) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    Fail();
  }
}

std::size_t SerialDevice::ReadSome(std::span<std::uint8_t> bytes) {
  for (;;) {
    const ssize_t n = ::read(fd_, bytes.data(), bytes.size());
    // With VMIN = VTIME = 0 an empty queue reads as 0, not EAGAIN: nothing is queued. A lost
    // device is told by the watcher's hang-up and queue checks, not here.
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    Fail();
  }
}

}  // namespace serial
