// The figures the status bar shows come from the modem: during a call over loopback, on TCP or on
// datagrams, it knows the round trip and that nothing had to be repaired; before a call it has none.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "modem/InternetModem.h"
#include "support/ModemTerminal.h"

using namespace modem;

namespace {

// Sends `line` and waits for `answer`.
bool Say(Terminal& t, const std::string& line, const std::string& answer) {
  t.Send(line);
  return t.ReadUntil(answer, 5000).find(answer) != std::string::npos;
}

TEST(LineFigures, ACallOnEitherLineReportsItsRoundTripAndNothingRepairedOnLoopback) {
  for (const auto& [setup, line] : {std::pair{"ATS40=1\r", LineKind::Tcp}, std::pair{"ATS40=0\r", LineKind::Datagram}}) {
    ModemOptions o;
    o.listenPort = 0;
    o.utf8 = true;
    o.portMap = false;  // no router to ask here
    InternetModem answering(o), calling(o);
    Terminal a(answering.DevicePath()), b(calling.DevicePath());
    EXPECT_EQ(calling.Status().roundTripMs, -1);
    ASSERT_TRUE(Say(a, "ATS0=1\r", "OK"));
    ASSERT_TRUE(Say(b, setup, "OK"));
    ASSERT_TRUE(Say(b, "ATDT127.0.0.1:" + std::to_string(answering.BoundPort()) + "\r", "CONNECT"));
    b.Send("hello\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const InternetModem* m : {&calling, &answering}) {
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
