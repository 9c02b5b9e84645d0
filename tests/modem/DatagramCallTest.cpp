// The datagram line on real UDP sockets over loopback, each datagram sealed: the partner's bytes
// pass; what a stranger sends, replays or alters is dropped without a word and the call goes on.
#include "modem/DatagramCall.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace modem;
using Clock = std::chrono::steady_clock;

namespace {

struct Socket {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_storage address{};
  Socket() {
    auto& a = reinterpret_cast<sockaddr_in&>(address);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  }
  ~Socket() { ::close(fd); }
  // Whatever the call has due now, from this socket.
  void Send(DatagramCall& call) const {
    while (auto d = call.Next(Clock::now())) {
      const auto* to = reinterpret_cast<const sockaddr*>(&d->second);
      ::sendto(fd, d->first.data(), d->first.size(), 0, to, sizeof(sockaddr_in));
    }
  }
  void SendTo(const Socket& to, const std::vector<std::uint8_t>& d) const {
    ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to.address), sizeof(sockaddr_in));
  }
  std::vector<std::vector<std::uint8_t>> ReadAll(std::vector<sockaddr_storage>* from = nullptr) const {
    std::vector<std::vector<std::uint8_t>> got;
    std::uint8_t buf[2048];
    sockaddr_storage f{};
    socklen_t len = sizeof f;
    for (ssize_t n; (n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&f), &len)) >= 0; len = sizeof f) {
      got.emplace_back(buf, buf + n);
      if (from) from->push_back(f);
    }
    return got;
  }
};

CallKeys Keys(std::uint8_t a, std::uint8_t b) {
  CallKeys k;
  k.send.fill(a);
  k.receive.fill(b);
  return k;
}

TEST(DatagramCall, ThePartnersBytesPassAndAStrangersReplayedOrAlteredDatagramsChangeNothing) {
  // The call goes through a tap that records each datagram on its way to the answerer.
  Socket callerSocket, tap, answererSocket, stranger;
  DatagramCall caller(Keys(1, 2), &tap.address, Clock::now());
  DatagramCall answerer(Keys(2, 1), nullptr, Clock::now());
  std::vector<std::vector<std::uint8_t>> recorded;
  std::string heard;
  int dropped = 0;
  auto run = [&](int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      std::vector<sockaddr_storage> via;
      const auto passing = tap.ReadAll(&via);
      for (std::size_t i = 0; i < passing.size(); ++i) {
        const bool back = reinterpret_cast<sockaddr_in&>(via[i]).sin_port == reinterpret_cast<sockaddr_in&>(answererSocket.address).sin_port;
        if (!back) recorded.push_back(passing[i]);
        tap.SendTo(back ? callerSocket : answererSocket, passing[i]);
      }
      std::vector<sockaddr_storage> from;
      const auto toAnswerer = answererSocket.ReadAll(&from);
      for (std::size_t i = 0; i < toAnswerer.size(); ++i) dropped += !answerer.Received(toAnswerer[i], from[i], Clock::now());
      for (auto& d : callerSocket.ReadAll()) caller.Received(d, answererSocket.address, Clock::now());
      const auto bytes = answerer.Line().Take(4096);
      heard.append(bytes.begin(), bytes.end());
      callerSocket.Send(caller);
      answererSocket.Send(answerer);
      ::usleep(1000);
    }
  };
  const std::string first = "\xFF\x90\x3C\x64hello\r";
  caller.Line().Write({reinterpret_cast<const std::uint8_t*>(first.data()), first.size()}, Clock::now());
  caller.Probe();
  run(100);
  ASSERT_EQ(heard, first);
  EXPECT_TRUE(caller.BothWays());
  ASSERT_FALSE(recorded.empty());

  auto flipped = recorded.front();
  flipped[flipped.size() / 2] ^= 0x01;
  const std::vector<std::vector<std::uint8_t>> bad = {recorded.front(), recorded.back(), flipped, {1, 2, 3}, {}};
  for (const auto& d : bad) stranger.SendTo(answererSocket, d);
  run(50);
  EXPECT_EQ(dropped, static_cast<int>(bad.size()));
  EXPECT_EQ(heard, first);
  EXPECT_EQ(answerer.Line().Count().rejected, 0u);  // they never got as far as the line

  const std::string second = "still here\r";
  caller.Line().Write({reinterpret_cast<const std::uint8_t*>(second.data()), second.size()}, Clock::now());
  run(100);
  EXPECT_EQ(heard, first + second);
  EXPECT_FALSE(answerer.Line().TakeEvent().has_value());
}

}  // namespace
