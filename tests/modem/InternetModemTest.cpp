#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "modem/SealedRecords.h"
#include "support/ModemTerminal.h"

using namespace modem;

namespace {

// On either line: datagrams (the default), or TCP where the caller holds the modem to it (S40=1).
TEST(InternetModem, ACallCarriesEveryByteValueBothWaysAndAHangUpReachesTheFarSide) {
  for (const auto& [setup, line] : {std::pair{"", "回線: UDP（欠けた音はすぐに補います）"}, std::pair{"ATS40=1\r", "回線: TCP"}}) {
    InternetModem answering(AnyPort()), calling(AnyPort());
    Terminal a(answering.DevicePath()), b(calling.DevicePath());
    a.Send("ats0=1\r");
    ASSERT_NE(a.ReadUntil("OK\r\n").find("OK"), std::string::npos);
    ASSERT_NE(answering.BoundPort(), 0);
    b.Send(setup);
    b.ReadUntil(*setup ? "OK\r\n" : "");

    b.Send(DialCommand(answering));
    EXPECT_NE(b.ReadUntil("CONNECT 115200\r\n").find(std::string(line) + "\r\n\r\nCONNECT 115200"), std::string::npos);
    const std::string rang = a.ReadUntil("CONNECT 115200\r\n");
    EXPECT_NE(rang.find("RING\r\n\r\n着信: 127.0.0.1\r\n\r\n" +
                        Said("通話は暗号化されていますが、相手は確かめられていません。確認コード " +
                             calling.Status().checkCode + " を相手と比べ、同じなら確かです") +
                        "\r\n\r\n" +
                        std::string(line) + "\r\n\r\nCONNECT 115200\r\n"),
              std::string::npos)
        << rang;

    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    all += "+++ATH\r";  // only data now
    b.Send(all);
    EXPECT_EQ(a.ReadUntil(all), all);
    a.Send(all);
    EXPECT_EQ(b.ReadUntil(all), all);

    b.Send("Bye\r");
    b.Close();  // DTR drops
    EXPECT_EQ(a.ReadUntil("NO CARRIER\r\n"), "Bye\r\r\n相手が切断しました\r\n\r\nNO CARRIER\r\n") << line;
  }
}

// The modem torn down in a call (its program quits without closing the port): the partner's
// modem reads the end at once, on either line, not after the line's silence.
TEST(InternetModem, AModemTornDownInACallEndsItForThePartnerAtOnce) {
  for (const char* setup : {"", "ATS40=1\r"}) {
    InternetModem answering(AnyPort());
    Terminal a(answering.DevicePath());
    a.Send("ats0=1\r");
    ASSERT_NE(a.ReadUntil("OK\r\n").find("OK"), std::string::npos);
    auto calling = std::make_unique<InternetModem>(AnyPort());
    Terminal b(calling->DevicePath());
    b.Send(setup);
    b.ReadUntil(*setup ? "OK\r\n" : "");
    b.Send(DialCommand(answering));
    ASSERT_NE(b.ReadUntil("CONNECT 115200\r\n").find("CONNECT"), std::string::npos);
    ASSERT_NE(a.ReadUntil("CONNECT 115200\r\n").find("CONNECT"), std::string::npos);
    const auto start = std::chrono::steady_clock::now();
    calling.reset();
    EXPECT_NE(a.ReadUntil("NO CARRIER\r\n", 1000).find("相手が切断しました\r\n\r\nNO CARRIER"), std::string::npos)
        << setup;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << setup;
  }
}

// A program that stops reading holds the partner back (nothing is lost, memory stays bounded);
// once it reads again, the rest comes whole and in order.
TEST(InternetModem, AFloodToAProgramThatReadsLateArrivesWhole) {
  InternetModem answering(AnyPort()), calling(AnyPort());
  Terminal a(answering.DevicePath()), b(calling.DevicePath());
  a.Send("ATS0=1\r");
  a.ReadUntil("OK\r\n");
  b.Send(DialCommand(answering));
  ASSERT_NE(b.ReadUntil("回線: UDP").find("UDP"), std::string::npos);
  b.ReadUntil("CONNECT 115200\r\n");
  a.ReadUntil("CONNECT 115200\r\n");
  std::string flood;
  for (int i = 0; flood.size() < 400'000; ++i) flood += "line " + std::to_string(i) + "\r";
  std::thread writer([&] { b.Send(flood); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(a.ReadUntil(flood, 10000), flood);
  writer.join();
}

TEST(InternetModem, ASecondCallerHearsBusyWhileTheFirstCallStands) {
  InternetModem answering(AnyPort()), first(AnyPort()), second(AnyPort());
  Terminal a(answering.DevicePath()), b(first.DevicePath()), c(second.DevicePath());
  a.Send("ATS0=1\r");
  a.ReadUntil("OK\r\n");
  b.Send(DialCommand(answering));
  ASSERT_NE(b.ReadUntil("CONNECT").find("CONNECT"), std::string::npos);
  c.Send(DialCommand(answering));
  EXPECT_NE(c.ReadUntil("BUSY\r\n").find("\r\nBUSY\r\n"), std::string::npos);
  // The call in progress is not disturbed.
  b.Send("still here\r");
  EXPECT_NE(a.ReadUntil("still here\r").find("still here\r"), std::string::npos);
}

// A modem of another version calls: it is told this one's (its player reads why it failed), and
// the answering player reads it too, before NO CARRIER - once a minute, however often it calls.
TEST(InternetModem, AModemOfAnotherVersionIsNamedOnTheAnsweringSideAndHearsThisOnesVersion) {
  const struct {
    const char* hello;
    const char* said;
  } rows[] = {{"SONAVEL-MODEM/3 CALL\n", "古い版のモデムから着信"}, {"SONAVEL-MODEM/6 CALL\n", "新しい版のモデムから着信"}};
  for (const auto& r : rows) {
    InternetModem answering(AnyPort());
    Terminal a(answering.DevicePath());
    a.Send("ATS0=1\r");
    a.ReadUntil("OK\r\n");
    for (int knock = 0; knock < 2; ++knock) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      to.sin_port = htons(answering.BoundPort());
      ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
      std::vector<std::uint8_t> hello(r.hello, r.hello + std::strlen(r.hello)), framed;
      hello.resize(hello.size() + 64, 0x11);
      StreamFramer::Append(hello, framed);
      ::send(fd, framed.data(), framed.size(), MSG_NOSIGNAL);
      StreamFramer reply(CallHandshake::kMaxMessage);
      std::uint8_t buf[256];
      const timeval patience{3, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
      // The word, then the modem stops sending.
      for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) reply.Feed(std::span(buf, static_cast<std::size_t>(n)));
      const auto unit = reply.Next();
      ASSERT_TRUE(unit) << r.hello;
      EXPECT_EQ(CallHandshake::GreetingVersion(*unit), CallHandshake::kVersion) << r.hello;
      ::close(fd);
      const std::string got = knock == 0 ? a.ReadUntil("NO CARRIER\r\n") : a.ReadUntilOrEmpty("NO CARRIER\r\n", 500);
      if (knock == 0) {
        EXPECT_NE(got.find(r.said), std::string::npos) << got;
        EXPECT_LT(got.find(r.said), got.find("\r\nNO CARRIER\r\n")) << got;
      } else {
        EXPECT_EQ(got.find("NO CARRIER"), std::string::npos) << "told again within the minute: " << got;
      }
    }
  }
}

TEST(InternetModem, NobodyListensOutsideAWaitAndAClosedPortIsARefusalWithinASecond) {
  InternetModem idle(AnyPort()), calling(AnyPort());
  Terminal a(idle.DevicePath()), b(calling.DevicePath());
  a.Send("ATS0=1\r");
  a.ReadUntil("OK\r\n");
  EXPECT_EQ(idle.Status().waitingPort, idle.BoundPort());
  const std::string dial = DialCommand(idle);
  a.Send("ATS0=0\r");
  a.ReadUntil("OK\r\n");
  EXPECT_EQ(idle.BoundPort(), 0);
  EXPECT_EQ(idle.Status().waitingPort, 0);

  const auto start = Clock::now();
  b.Send(dial);
  const std::string got = b.ReadUntil("NO CARRIER\r\n", 1000);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_NE(got.find("接続を拒否しました"), std::string::npos) << got;
  EXPECT_NE(got.find("\r\nNO CARRIER\r\n"), std::string::npos) << got;
}

TEST(InternetModem, ClosingThePortEndsTheWaitAndResetsTheModem) {
  InternetModem modem(AnyPort());
  {
    Terminal a(modem.DevicePath());
    a.Send("ATE0S0=1\r");
    a.ReadUntil("OK\r\n");
    ASSERT_NE(modem.BoundPort(), 0);
  }
  // The modem sees the close on its own thread; a program opening the port again at once could
  // still meet the old state, so the test waits for the hang-up to be taken.
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (modem.BoundPort() != 0 && Clock::now() < deadline) usleep(1000);
  EXPECT_EQ(modem.BoundPort(), 0) << "it no longer listens";
  Terminal again(modem.DevicePath());
  // Echo is back on: the modem started afresh.
  again.Send("AT\r");
  EXPECT_EQ(again.ReadUntil("OK\r\n"), "AT\r\r\nOK\r\n");
}

TEST(InternetModem, AnUnknownHostIsNamedBeforeNoCarrier) {
  InternetModem calling(AnyPort());
  Terminal b(calling.DevicePath());
  b.Send("ATDTno-such-host.invalid\r");
  const std::string got = b.ReadUntil("NO CARRIER\r\n", 10000);
  // "not found", or "cannot be looked up" on a machine without a name server: the host is named.
  EXPECT_NE(got.find("\r\n接続先 no-such-host.invalid "), std::string::npos) << got;
  EXPECT_NE(got.find("\r\n\r\nNO CARRIER\r\n"), std::string::npos) << got;
}

TEST(InternetModem, ATelephoneNumberIsRefusedWithoutALookup) {
  InternetModem calling(AnyPort());
  Terminal b(calling.DevicePath());
  b.Send("ATE0\r");
  b.ReadUntil("OK\r\n");
  for (const std::string number : {"0120123456", "3232235777", "1.2"}) {
    const auto start = Clock::now();
    b.Send("atdt" + number + "\r");
    const std::string got = b.ReadUntil("NO CARRIER\r\n", 2000);
    // Read as an old-style address, 0120123456 would be 1.64.167.46: a connection tried there.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200)) << number;
    EXPECT_EQ(got.rfind("\r\n" + number + " は", 0), 0U) << got;
    EXPECT_NE(got.find("\r\n\r\nNO CARRIER\r\n"), std::string::npos) << got;
  }
}

}  // namespace
