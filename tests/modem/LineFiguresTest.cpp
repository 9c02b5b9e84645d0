// The figures the status bar shows come from the modem: during a call over loopback, on TCP or on
// datagrams, it knows the round trip and that nothing had to be repaired; before a call it has none.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "modem/TcpModem.h"

using namespace modem;

namespace {

struct Port {
  int fd;
  explicit Port(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
  }
  ~Port() { ::close(fd); }
  bool Say(const std::string& line, const std::string& answer) const {
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.find(answer) == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      char buf[256];
      if (::poll(&p, 1, 20) > 0) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
      }
    }
    return got.find(answer) != std::string::npos;
  }
};

TEST(LineFigures, ACallOnEitherLineReportsItsRoundTripAndNothingRepairedOnLoopback) {
  for (const auto& [setup, line] : {std::pair{"ATS40=1\r", LineKind::Tcp}, std::pair{"ATS40=0\r", LineKind::Datagram}}) {
  ModemOptions o;
  o.listenPort = 0;
  o.utf8 = true;
  o.portMap = false;  // no router to ask here
  TcpModem answering(o), calling(o);
  Port a(answering.DevicePath()), b(calling.DevicePath());
  EXPECT_EQ(calling.Status().roundTripMs, -1);
  ASSERT_TRUE(a.Say("ATS0=1\r", "OK"));
  ASSERT_TRUE(b.Say(setup, "OK"));
  ASSERT_TRUE(b.Say("ATDT127.0.0.1:" + std::to_string(answering.BoundPort()) + "\r", "CONNECT"));
  ASSERT_TRUE(b.Say("hello\r", ""));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (const TcpModem* m : {&calling, &answering}) {
    const CallStatus s = m->Status();
    EXPECT_TRUE(s.carrier);
    EXPECT_EQ(s.line, line);
    EXPECT_GE(s.roundTripMs, 0);
    EXPECT_LT(s.roundTripMs, 50);
    EXPECT_EQ(s.repairedShare, 0);
  }
  }
}

}  // namespace
