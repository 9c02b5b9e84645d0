// The link emulator itself: what crosses it arrives after the set delay, in order, with the set
// share lost, and TCP works through it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "netem/EmulatedLink.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Row {
  const char* name;
  LinkSettings link;
  int packets;
  double minLoss, maxLoss;   // share lost, bounds for the seeded run
  double minRun;             // mean length of the runs of lost packets, at least
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

class LinkEmulatorTest : public ::testing::TestWithParam<Row> {};

sockaddr_in Address(const char* ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

// Each datagram carries its number and the time it was sent; both ends are in this process, so
// the receiver's clock is the sender's.
struct Probe {
  int number;
  Clock::rep sentAt;
};

TEST_P(LinkEmulatorTest, DelaysKeepsOrderAndLosesTheSetShare) {
  if (const auto why = EmulatedLink::Possible(); !why.empty()) GTEST_SKIP() << why;
  const Row& row = GetParam();
  EmulatedLink link(row.link);
  ASSERT_TRUE(link.Ok()) << link.Error();

  const int rx = link.InB([] { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
  const int tx = link.InA([] { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
  auto bind = Address(EmulatedLink::kAddressB, 0);
  ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&bind), sizeof bind), 0);
  socklen_t len = sizeof bind;
  ::getsockname(rx, reinterpret_cast<sockaddr*>(&bind), &len);
  const auto to = Address(EmulatedLink::kAddressB, ntohs(bind.sin_port));

  std::vector<double> delays;
  std::vector<int> numbers;
  std::thread receiver([&] {
    Probe p{};
    pollfd fd{rx, POLLIN, 0};
    while (::poll(&fd, 1, 500) > 0 && ::recv(rx, &p, sizeof p, 0) == sizeof p) {
      numbers.push_back(p.number);
      const Clock::time_point sent{Clock::duration(p.sentAt)};
      delays.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    }
  });
  for (int i = 0; i < row.packets; ++i) {
    const Probe p{i, Clock::now().time_since_epoch().count()};
    ::sendto(tx, &p, sizeof p, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  receiver.join();
  ::close(rx);
  ::close(tx);

  ASSERT_FALSE(delays.empty());
  EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end())) << "jitter reordered packets";
  std::vector<double> sorted = delays;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_GE(sorted.front(), row.link.delayMs);
  EXPECT_LT(sorted[sorted.size() / 2], row.link.delayMs + row.link.jitterMs / 2 + 3);
  if (row.link.jitterMs > 0) {
    EXPECT_GT(sorted[sorted.size() * 9 / 10] - sorted.front(), row.link.jitterMs / 2);
  }

  const double lost = 1.0 - static_cast<double>(numbers.size()) / row.packets;
  EXPECT_GE(lost, row.minLoss);
  EXPECT_LE(lost, row.maxLoss);
  int runs = 0;
  for (std::size_t i = 0; i + 1 < numbers.size(); ++i) runs += numbers[i + 1] != numbers[i] + 1;
  if (runs > 0) {
    EXPECT_GE((row.packets - static_cast<double>(numbers.size())) / runs, row.minRun);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, LinkEmulatorTest,
    ::testing::Values(Row{"Lossless", {20, 0, 0, 1, 1}, 400, 0, 0, 0},
                      Row{"Jitter", {10, 8, 0, 1, 2}, 400, 0, 0, 0},
                      Row{"RandomLoss", {20, 0, 0.03, 1, 3}, 2000, 0.015, 0.045, 1.0},
                      Row{"Bursts", {40, 0, 0.02, 3, 4}, 3000, 0.008, 0.04, 2.0}),
    [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

// TCP sees the path too: its handshake takes one round trip, and a stream crosses a lossy link
// whole.
TEST(LinkEmulator, TcpConnectsInOneRoundTripAndCarriesAStreamWholeThroughLoss) {
  if (const auto why = EmulatedLink::Possible(); !why.empty()) GTEST_SKIP() << why;
  EmulatedLink link({15, 0, 0.05, 1, 5});
  ASSERT_TRUE(link.Ok()) << link.Error();
  const int server = link.InB([] { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); });
  auto a = Address(EmulatedLink::kAddressB, 0);
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(server, reinterpret_cast<sockaddr*>(&a), &len);
  ASSERT_EQ(::listen(server, 1), 0);

  std::vector<unsigned char> sent(200000), got;
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i * 7 + i / 251);
  std::thread reader([&] {
    const int c = ::accept(server, nullptr, nullptr);
    unsigned char buf[4096];
    for (ssize_t n; (n = ::recv(c, buf, sizeof buf, 0)) > 0;) got.insert(got.end(), buf, buf + n);
    ::close(c);
  });
  const int client = link.InA([] { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); });
  const auto start = Clock::now();
  // The handshake's SYN may itself be lost (then it takes a second): the first try is what counts.
  const bool connected = ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  const double connectMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  ASSERT_TRUE(connected);
  EXPECT_GE(connectMs, 30.0);
  ::send(client, sent.data(), sent.size(), MSG_NOSIGNAL);
  ::shutdown(client, SHUT_WR);
  reader.join();
  ::close(client);
  ::close(server);
  EXPECT_EQ(got, sent);
}

}  // namespace
