// Two built-in modems, one in each network namespace, calling over the emulated internet path.
// At 2 % loss, with a 5 s blackout in the middle, everything both players send - notes and chat
// lines - arrives whole and in order, and each side is told the line stalled and came back.
// A hang-up reaches the partner within 2 s though its first copies are lost, also while the line
// is still being chosen. With UDP blocked on the answering side, the call stands on TCP within 2 s.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "netem/EmulatedLink.h"
#include "support/ModemTerminal.h"

using namespace modem;

namespace {

const std::string kStalled = "\r\n" + modem::Said("回線が途切れています（この間の音は、戻りしだい順に届きます）") + "\r\n";
const std::string kBack = "\r\n回線が戻りました\r\n";

// What one player sends: 2,000 note frames with a chat line after every hundredth.
std::string Playing(char who) {
  std::string s;
  for (int i = 0; i < 2000; ++i) {
    s += {'\xFF', static_cast<char>(0x90), static_cast<char>(i & 0x7F), static_cast<char>(i >> 7 & 0x7F)};
    if (i % 100 == 99) s += std::string("chat ") + who + " " + std::to_string(i / 100) + "\r";
  }
  return s;
}

std::string Without(std::string s, const std::string& part) {
  for (std::size_t at; (at = s.find(part)) != std::string::npos;) s.erase(at, part.size());
  return s;
}

// Datagrams into namespace `ns` are dropped, as by a network that carries only TCP.
bool BlockUdp(const EmulatedLink& link, const std::string& ns) {
  return link.Run(ns, "nft add table inet dgram") == 0 &&
         link.Run(ns, "nft add chain inet dgram in '{ type filter hook input priority 0; }'") == 0 &&
         link.Run(ns, "nft add rule inet dgram in meta l4proto udp drop") == 0;
}

struct Call {
  std::unique_ptr<InternetModem> answering, calling;
  std::unique_ptr<Terminal> a, b;
  std::string dialled;  // what the caller read up to CONNECT
  std::chrono::steady_clock::duration took{};  // from the dial to CONNECT
  Call(const EmulatedLink& link, const std::string& setup = {}) {
    answering.reset(link.InB([] { return new InternetModem(AnyPort()); }));
    calling.reset(link.InA([] { return new InternetModem(AnyPort()); }));
    a = std::make_unique<Terminal>(answering->DevicePath());
    b = std::make_unique<Terminal>(calling->DevicePath());
    a->Send("ATS0=1\r");
    a->ReadUntil("OK\r\n");
    const auto start = std::chrono::steady_clock::now();
    b->Send(setup + "ATDT" + EmulatedLink::kAddressB + ":" + std::to_string(answering->BoundPort()) + "\r");
    dialled = b->ReadUntil("CONNECT 115200\r\n", 5000);
    took = std::chrono::steady_clock::now() - start;
    a->ReadUntil("CONNECT 115200\r\n", 5000);
  }
};

TEST(ModemOverPath, FramesAndChatCrossTwoPercentLossAndABlackoutWholeOnTheDatagramLine) {
  if (const auto why = EmulatedLink::Possible(); !why.empty()) GTEST_SKIP() << why;
  EmulatedLink link({20, 0, 0.02, 1, 19});
  ASSERT_TRUE(link.Ok()) << link.Error();
  Call call(link);
  ASSERT_NE(call.dialled.find("回線: UDP"), std::string::npos) << call.dialled;
  EXPECT_EQ(call.calling->Status().line, LineKind::Datagram);

  const std::string fromA = Playing('a'), fromB = Playing('b');
  auto play = [](Terminal& t, const std::string& s) {
    // A unit at a time, a frame every 2 ms, as a player's program writes them.
    for (std::size_t at = 0; at < s.size();) {
      const std::size_t end = s[at] == '\xFF' ? at + 4 : s.find('\r', at) + 1;
      t.Send(std::string_view(s).substr(at, end - at));
      at = end;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  std::string atA, atB;
  std::thread playA([&] { play(*call.b, fromA); }), playB([&] { play(*call.a, fromB); });
  std::thread hearA([&] { atA = call.b->ReadUntil(fromB.substr(fromB.size() - 12), 30000); });
  std::thread hearB([&] { atB = call.a->ReadUntil(fromA.substr(fromA.size() - 12), 30000); });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_TRUE(link.Command("down"));
  std::this_thread::sleep_for(std::chrono::seconds(5));
  ASSERT_TRUE(link.Command("up"));
  for (auto* t : {&playA, &playB, &hearA, &hearB}) t->join();
  // A side whose own notes were the last to get through hears of the comeback after the partner's.
  if (atA.find(kBack) == std::string::npos) atA += call.b->ReadUntil(kBack, 3000);
  if (atB.find(kBack) == std::string::npos) atB += call.a->ReadUntil(kBack, 3000);

  for (const std::string* heard : {&atA, &atB}) {
    EXPECT_NE(heard->find(kStalled), std::string::npos);
    EXPECT_NE(heard->find(kBack), std::string::npos);
    EXPECT_LT(heard->find(kStalled), heard->find(kBack));
  }
  EXPECT_TRUE(Without(Without(atB, kStalled), kBack) == fromA) << atB.size() << " of " << fromA.size();
  EXPECT_TRUE(Without(Without(atA, kStalled), kBack) == fromB) << atA.size() << " of " << fromB.size();
  EXPECT_TRUE(call.calling->Status().carrier);
}

// Either side hangs up (drops DTR) while the path is down, so every first copy of the end is
// lost, and a third of the later ones: the partner still reads the farewell, why and NO CARRIER
// within 2 s, not after the 25 s a vanished peer takes; the side that hung up is free at once.
TEST(ModemOverPath, AHangUpReachesThePartnerWithinTwoSecondsThoughItsFirstCopiesAreLost) {
  if (const auto why = EmulatedLink::Possible(); !why.empty()) GTEST_SKIP() << why;
  for (const bool callerHangsUp : {true, false}) {
    SCOPED_TRACE(callerHangsUp ? "the caller hangs up" : "the answerer hangs up");
    EmulatedLink link({20, 0, 0, 1, 29});
    ASSERT_TRUE(link.Ok()) << link.Error();
    Call call(link);
    ASSERT_NE(call.dialled.find("回線: UDP"), std::string::npos) << call.dialled;
    InternetModem& mine = callerHangsUp ? *call.calling : *call.answering;
    Terminal& me = callerHangsUp ? *call.b : *call.a;
    Terminal& partner = callerHangsUp ? *call.a : *call.b;

    ASSERT_TRUE(link.Command("loss 0.3"));
    ASSERT_TRUE(link.Command("down"));
    me.Send("Bye\r");
    me.Close();
    const auto start = std::chrono::steady_clock::now();
    // (A program opening the port again before the modem saw the close would be the one it
    // hears: the farewell would then be a command.)
    while (mine.Status().carrier && std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_until(start + std::chrono::milliseconds(300));
    ASSERT_TRUE(link.Command("up"));
    Terminal again(mine.DevicePath());
    again.Send("AT\r");
    EXPECT_EQ(again.ReadUntil("OK\r\n", 1000), "AT\r\r\nOK\r\n");  // not held while the end is repeated
    const std::string heard = partner.ReadUntil("NO CARRIER\r\n", 2000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_NE(heard.find("Bye\r\r\n相手が切断しました\r\n\r\nNO CARRIER\r\n"), std::string::npos) << heard;
  }
}

// The caller gives up while the line is still being chosen: its datagrams reach the answerer,
// the answers do not come back. The answerer, which takes the call on datagrams when the stream
// closes, hears the end within 2 s, not after 25.
TEST(ModemOverPath, ACallerGivingUpWhileTheLineIsChosenEndsTheCallOnTheAnsweringSideAtOnce) {
  if (const auto why = EmulatedLink::Possible(); !why.empty()) GTEST_SKIP() << why;
  EmulatedLink link({20, 0, 0, 1, 31});
  ASSERT_TRUE(link.Ok()) << link.Error();
  ASSERT_TRUE(BlockUdp(link, link.NamespaceA()));
  std::unique_ptr<InternetModem> answering(link.InB([] { return new InternetModem(AnyPort()); }));
  std::unique_ptr<InternetModem> calling(link.InA([] { return new InternetModem(AnyPort()); }));
  Terminal a(answering->DevicePath()), b(calling->DevicePath());
  a.Send("ATS0=1\r");
  a.ReadUntil("OK\r\n");
  b.Send(std::string("ATDT") + EmulatedLink::kAddressB + ":" + std::to_string(answering->BoundPort()) + "\r");
  ASSERT_NE(a.ReadUntil("RING\r\n", 5000).find("RING"), std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the caller's first datagrams are there
  ASSERT_EQ(b.ReadUntil("CONNECT", 100).find("CONNECT"), std::string::npos);  // still choosing
  b.Close();
  const auto start = std::chrono::steady_clock::now();
  const std::string heard = a.ReadUntil("NO CARRIER\r\n", 3000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_NE(heard.find("相手が切断しました\r\n\r\nNO CARRIER\r\n"), std::string::npos) << heard;
}

TEST(ModemOverPath, WithUdpBlockedTheCallStandsOnTcpWithinTwoSeconds) {
  if (const auto why = EmulatedLink::Possible(); !why.empty()) GTEST_SKIP() << why;
  EmulatedLink link({20, 0, 0, 1, 1});
  ASSERT_TRUE(link.Ok()) << link.Error();
  ASSERT_TRUE(BlockUdp(link, link.NamespaceB()));
  Call call(link);
  ASSERT_NE(call.dialled.find("回線: TCP（UDP が届かないため）\r\n\r\nCONNECT"), std::string::npos) << call.dialled;
  EXPECT_LT(call.took, std::chrono::seconds(2));
  call.b->Send("hello\r");
  EXPECT_EQ(call.a->ReadUntil("hello\r"), "hello\r");
  EXPECT_EQ(call.answering->Status().line, LineKind::Tcp);
}

}  // namespace
