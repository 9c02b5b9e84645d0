// The sealed datagram line over the emulated internet path, each end worked as the modem's loop
// works it: at 2 % loss, with a 5 s blackout in the middle, everything both players send - notes
// and chat lines - arrives whole and in order, and the line says it stalled and came back.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "netem/DatagramPump.h"
#include "netem/EmulatedLink.h"

namespace {

int BoundSocket(const char* address, sockaddr_storage& bound) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  auto& a = reinterpret_cast<sockaddr_in&>(bound);
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &a.sin_addr);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return fd;
}

modem::CallKeys Keys(std::uint8_t send, std::uint8_t receive) {
  modem::CallKeys k;
  k.send.fill(send);
  k.receive.fill(receive);
  return k;
}

// What one player sends: 2,000 note frames with a chat line after every hundredth.
std::string Playing(char who) {
  std::string s;
  for (int i = 0; i < 2000; ++i) {
    s += {'\xFF', static_cast<char>(0x90), static_cast<char>(i & 0x7F), static_cast<char>(i >> 7 & 0x7F)};
    if (i % 100 == 99) s += std::string("chat ") + who + " " + std::to_string(i / 100) + "\r";
  }
  return s;
}

TEST(DatagramOverPath, TwoThousandFramesAndTwentyChatLinesEachWayCrossLossAndABlackoutWhole) {
  if (const auto why = EmulatedLink::Possible(); !why.empty()) GTEST_SKIP() << why;
  EmulatedLink link({20, 0, 0.02, 1, 19});
  ASSERT_TRUE(link.Ok()) << link.Error();
  sockaddr_storage a{}, b{};
  const int sa = link.InA([&] { return BoundSocket(EmulatedLink::kAddressA, a); });
  const int sb = link.InB([&] { return BoundSocket(EmulatedLink::kAddressB, b); });
  DatagramPump caller(sa, Keys(1, 2), &b), answerer(sb, Keys(2, 1), nullptr);

  const std::string fromA = Playing('a'), fromB = Playing('b');
  std::string atA, atB;
  auto play = [](int fd, const std::string& s) {
    // A unit at a time, a frame every 2 ms, as a player's program writes them.
    for (std::size_t at = 0; at < s.size();) {
      const std::size_t end = s[at] == '\xFF' ? at + 4 : s.find('\r', at) + 1;
      while (::write(fd, s.data() + at, end - at) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      at = end;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  auto hear = [](int fd, std::string& got, std::size_t want) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    char buf[4096];
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
      }
    }
  };
  std::thread playA([&] { play(caller.In(), fromA); }), playB([&] { play(answerer.In(), fromB); });
  std::thread hearA([&] { hear(caller.Out(), atA, fromB.size()); }), hearB([&] { hear(answerer.Out(), atB, fromA.size()); });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_TRUE(link.Command("down"));
  std::this_thread::sleep_for(std::chrono::seconds(5));
  ASSERT_TRUE(link.Command("up"));
  for (auto* t : {&playA, &playB, &hearA, &hearB}) t->join();
  caller.Stop();
  answerer.Stop();

  EXPECT_TRUE(atB == fromA) << atB.size() << " of " << fromA.size();
  EXPECT_TRUE(atA == fromB) << atA.size() << " of " << fromB.size();
  EXPECT_EQ(std::string(caller.Events().begin(), caller.Events().end()), "sr");
  EXPECT_EQ(std::string(answerer.Events().begin(), answerer.Events().end()), "sr");
}

}  // namespace
