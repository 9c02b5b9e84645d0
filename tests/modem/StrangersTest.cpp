// Strangers in numbers at a modem that waits for calls: clients of the test's own (their HELLO
// made here from the bytes on the wire, with libsodium's group), each from a loopback address
// of its own, guessing in turn as fast as the modem answers them.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <thread>

#include "support/ModemTerminal.h"

using namespace modem;
using namespace std::chrono_literals;

namespace {

constexpr std::string_view kHello = "SONAVEL-MODEM/5 CALL\n";
constexpr std::string_view kAnswer = "SONAVEL-MODEM/5 ANSWER\n";
constexpr std::string_view kLater = "SONAVEL-MODEM/5 LATER\n";

enum class Heard { Answer, Later, Other };

// One guess: a HELLO with a fresh session id, a share that is a point of the group and a proof
// of no key; the modem's first word, then the stranger hangs up.
Heard Guess(const std::string& from, std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, from.c_str(), &a.sin_addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  a.sin_port = htons(port);
  Heard heard = Heard::Other;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    std::string hello(kHello);
    hello.resize(kHello.size() + 16 + 32 + 16);
    auto* body = reinterpret_cast<unsigned char*>(hello.data() + kHello.size());
    randombytes_buf(body, 16);
    crypto_core_ristretto255_random(body + 16);
    randombytes_buf(body + 48, 16);
    const std::string framed = std::string{'\0', static_cast<char>(hello.size())} + hello;
    ::send(fd, framed.data(), framed.size(), MSG_NOSIGNAL);
    std::string got;
    char buf[256];
    for (ssize_t n; got.size() < 2 + kAnswer.size();) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 3000) <= 0 || (n = ::recv(fd, buf, sizeof buf, 0)) <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    if (got.size() > 2 && got.compare(2, kAnswer.size(), kAnswer) == 0) heard = Heard::Answer;
    if (got.size() > 2 && got.compare(2, kLater.size(), kLater) == 0) heard = Heard::Later;
  }
  ::close(fd);
  return heard;
}

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double ProcessCpu() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

double ThreadCpu() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void Answer(Terminal& t) {
  t.Send("ATS0=1\r");
  ASSERT_NE(t.ReadUntil("OK\r\n").find("OK\r\n"), std::string::npos);
}

TEST(Strangers, ThreeHundredAddressesGuessingForAMinuteGetTheBudgetAndTheKnownPartnerConnectsAtOnce) {
  ASSERT_GE(sodium_init(), 0);
  const QTemporaryDir dir;
  const auto options = [&](const char* keys) {
    ModemOptions o = AnyPort("partner's password");
    o.partnerKeys = dir.filePath(keys).toStdString();
    return o;
  };
  InternetModem answering(options("answering.key"));
  Terminal a(answering.DevicePath());
  Answer(a);
  // The partner's first call leaves a key on both sides, in files only their owner may read.
  {
    InternetModem partner(options("partner.key"));
    Terminal b(partner.DevicePath());
    b.Send(DialCommand(answering));
    ASSERT_NE(b.ReadUntil("CONNECT 115200\r\n").find("CONNECT 115200"), std::string::npos);
    ASSERT_NE(a.ReadUntil("CONNECT 115200\r\n").find("CONNECT 115200"), std::string::npos);
  }
  a.ReadUntil("NO CARRIER\r\n");
  for (const char* keys : {"answering.key", "partner.key"}) {
    struct stat st {};
    ASSERT_EQ(::stat(dir.filePath(keys).toLocal8Bit().constData(), &st), 0) << keys;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << keys;
    EXPECT_EQ(st.st_size, 32) << keys;
  }
  Answer(a);

  const std::uint16_t port = answering.BoundPort();
  std::atomic<bool> stop{false}, minuteOver{false};
  std::atomic<int> answered{0}, later{0}, other{0};
  std::atomic<double> crowdCpu{0};
  const double cpuBefore = ProcessCpu();
  std::thread crowd([&] {
    const double start = ThreadCpu();
    for (int i = 0; !stop; ++i) {
      const int n = i % 300;
      const Heard h = Guess("127.1." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1), port);
      if (minuteOver) continue;
      (h == Heard::Answer ? answered : h == Heard::Later ? later : other)++;
      crowdCpu = ThreadCpu() - start;
    }
  });
  std::this_thread::sleep_for(60s);
  minuteOver = true;
  const double modemCpu = ProcessCpu() - cpuBefore - crowdCpu;

  // The partner, its modem started afresh from its file, calls while the crowd goes on.
  InternetModem partner(options("partner.key"));
  Terminal b(partner.DevicePath());
  const auto dialled = Clock::now();
  b.Send(DialCommand(answering));
  const bool connected = b.ReadUntil("CONNECT 115200\r\n", 10000).find("CONNECT 115200") != std::string::npos;
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - dialled);
  // A first-time partner is a stranger to the gate: while the crowd spends the budget it is told
  // to wait, and a second after the crowd stops the budget has room for it.
  b.Close();
  a.ReadUntil("NO CARRIER\r\n");
  Answer(a);
  InternetModem newcomer(options("newcomer.key"));
  Terminal c(newcomer.DevicePath());
  c.Send(DialCommand(answering));
  const std::string firstTry = c.ReadUntil("NO CARRIER\r\n", 10000);
  stop = true;
  crowd.join();
  std::this_thread::sleep_for(CallerGate::kBudgetEvery);
  c.Send(DialCommand(answering));
  EXPECT_NE(c.ReadUntil("CONNECT 115200\r\n", 10000).find("CONNECT 115200"), std::string::npos);

  std::printf("strangers: %d guesses answered in the minute, %d told LATER, %d other; the known partner "
              "connected after %lld ms; modem CPU %.3f s, %.1f us per refused handshake\n",
              answered.load(), later.load(), other.load(), static_cast<long long>(wait.count()), modemCpu,
              later > 0 ? modemCpu / later * 1e6 : 0.0);
  std::printf("a first-time partner during the crowd: %s\n", firstTry.find("しばらく") != std::string::npos
                                                                ? "told to call again later"
                                                                : "got through");
  EXPECT_TRUE(connected);
  EXPECT_LT(wait, 3s);
  EXPECT_LE(answered, CallerGate::kBudgetBurst + 60);
  EXPECT_GE(answered, CallerGate::kBudgetBurst) << "the crowd was answered while the budget lasted";
  EXPECT_GT(later, 10 * answered) << "and then refused";
}

}  // namespace
