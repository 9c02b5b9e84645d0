#pragma once

// What the modem's tests share: a program's end of a modem, and modems on any free port.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "modem/InternetModem.h"
#include "support/ModemSaid.h"

namespace modem {

using Clock = std::chrono::steady_clock;

// A program's end of a modem: the pty slave, raw, as a serial device is opened.
class Terminal {
 public:
  explicit Terminal(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    termios tio{};
    ::tcgetattr(fd_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Terminal() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool Open() const { return fd_ >= 0; }
  // Waits while the pty is full; gives up on a closed or failed one (what follows then reads
  // nothing).
  void Send(std::string_view bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return;
      pollfd p{fd_, POLLOUT, 0};
      if (n <= 0) ::poll(&p, 1, 100);
    }
  }
  // Everything received until `want` has arrived, or all that came when the time is up.
  std::string ReadUntil(std::string_view want, int ms = 3000) {
    const bool found = Await(want, ms);
    return Take(found ? got_.find(want) + want.size() : got_.size());
  }
  // Everything up to and including `want`; empty when it does not come in time, and what did
  // come stays to be read.
  std::string ReadUntilOrEmpty(std::string_view want, int ms = 3000) {
    return Await(want, ms) ? Take(got_.find(want) + want.size()) : std::string();
  }

 private:
  bool Await(std::string_view want, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (got_.find(want) == std::string::npos && Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        char buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) got_.append(buf, static_cast<std::size_t>(n));
      }
    }
    return got_.find(want) != std::string::npos;
  }
  std::string Take(std::size_t count) {
    std::string out = got_.substr(0, count);
    got_.erase(0, count);
    return out;
  }

  int fd_;
  std::string got_;
};

inline ModemOptions AnyPort(std::string password = {}) {
  ModemOptions o;
  o.listenPort = 0;
  o.utf8 = true;
  o.password = std::move(password);
  o.portMap = false;  // the machine's own router is no test's business
  return o;
}

// A TCP port nobody listens on at the moment of asking.
inline int FreePort() {
  InternetModem probe(AnyPort());
  Terminal t(probe.DevicePath());
  t.Send("ATS0=1\r");
  t.ReadUntil("OK\r\n");
  return probe.BoundPort();
}

inline std::string DialCommand(const InternetModem& to) {
  return "ATDT127.0.0.1:" + std::to_string(to.BoundPort()) + "\r";
}

}  // namespace modem
