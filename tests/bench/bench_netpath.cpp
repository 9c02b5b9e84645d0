// Notes over an emulated internet path: what each line adds to a note's way beyond the path's own
// one-way minimum, and what the path's jitter does to the rhythm, when packets are delayed by
// different amounts and lost. Two network namespaces joined by the link emulator; in one, a player
// writes MIDI frames at a steady pace, in the other they are read and timed. Lines: a plain TCP
// socket pair, and the built-in modem (a pty at each end) on the datagram line (S40=2) with the
// listener's playout automatic (S41 as it starts), fixed at 30 ms (S41=30: the smallest choice of
// the settings page above the 20 ms the jittery path spans) and off (S41=0: on arrival).
//
// Per row: the added delay (median, p99), the gap error (median, p99: how far each gap between
// two notes at the listener differs from the gap the player left), the share of the partner's
// stretches the listening modem counted late (its status), frames lost and bytes out of step,
// and what the player's side sends into the path (kbit/s, IP headers included), and the round trip
// the player's modem reports at the end (ms, the status bar's 往復). Needs root for the
// namespaces (skips otherwise).
//
//   bench_netpath [--seconds N] [--only TEXT] [--all]
//     --seconds  each row plays N seconds (60 unless given)
//     --only     only the rows whose path, playing or line name holds TEXT (e.g. "jitter", "UDP auto")
//     --all      also the heavier losses (3 %, bursts) and the modem held to TCP (S40=1)
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "modem/InternetModem.h"
#include "netem/EmulatedLink.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Pattern {
  const char* name;
  int notesPerUnit;
  std::chrono::milliseconds every;
};
constexpr Pattern kNotes{"20 notes/s", 1, 50ms};
constexpr Pattern kChords{"5 chords/s", 3, 200ms};

struct PathRow {
  const char* name;
  LinkSettings link;
  bool always;  // in the table without --all
};

// One line's two ends: where the player writes, where the partner reads.
struct Ends {
  int write = -1;
  int read = -1;
  std::function<void()> close;
  // What serves each end (the modems), until the row is over; none on plain TCP.
  std::shared_ptr<modem::InternetModem> a, b;
};

struct Figures {
  std::vector<double> addedMs;
  std::vector<double> gapErrorMs;
  int frames = 0;
  int lost = 0;
  long outOfStep = 0;
};

double At(const std::vector<double>& sorted, double q) {
  return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(sorted.size() * q))];
}

// Bytes side A has sent into the path so far (IP packets, headers included): what a line costs.
unsigned long long SentByA(const EmulatedLink& link) {
  return link.InA([] {
    std::ifstream dev("/proc/thread-self/net/dev");  // the namespace of this thread
    std::string line;
    unsigned long long total = 0;
    while (std::getline(dev, line)) {
      const auto colon = line.find(':');
      if (colon == std::string::npos || line.substr(0, colon).find("lo") != std::string::npos) continue;
      unsigned long long v[16] = {};
      std::istringstream fields(line.substr(colon + 1));
      for (auto& x : v) fields >> x;
      total += v[8];  // transmitted bytes
    }
    return total;
  });
}

int OpenRaw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

// What arrives on `fd` until `want` has (or `ms` pass).
bool ReadUntil(int fd, const std::string& want, int ms) {
  std::string got;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (got.find(want) == std::string::npos && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    char buf[512];
    if (::poll(&p, 1, 20) > 0) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
  }
  return got.find(want) != std::string::npos;
}

void Drain(int fd, int quietMs) {
  char buf[512];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, quietMs) > 0 && ::read(fd, buf, sizeof buf) > 0) {
  }
}

Ends PlainTcp(const EmulatedLink& link) {
  const int server = link.InB([] { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); });
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, EmulatedLink::kAddressB, &a.sin_addr);
  socklen_t len = sizeof a;
  ::bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(server, reinterpret_cast<sockaddr*>(&a), &len);
  ::listen(server, 1);
  const int client = link.InA([] { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); });
  if (::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return {};
  const int accepted = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(server);
  const int one = 1;
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return {client, accepted, [=] {
            ::close(client);
            ::close(accepted);
          }, nullptr, nullptr};
}

// Two built-in modems, one in each namespace (its thread lives where it was made), called over
// the path; `setup` goes to the caller before the dial command (ATS40=1: TCP only, ATS40=2:
// datagrams only), `listener` to the answering side, whose playout times what the player sends.
Ends ModemCall(const EmulatedLink& link, const char* setup, const char* listener = "AT") {
  modem::ModemOptions o;
  o.listenPort = 0;
  o.utf8 = true;
  o.portMap = false;  // no router on the emulated path to ask; its asking would only add noise
  auto answering =
      std::shared_ptr<modem::InternetModem>(link.InB([&] { return new modem::InternetModem(o); }));
  auto calling = std::shared_ptr<modem::InternetModem>(link.InA([&] { return new modem::InternetModem(o); }));
  const int b = OpenRaw(answering->DevicePath());
  const int a = OpenRaw(calling->DevicePath());
  auto close = [=] {
    ::close(a);
    ::close(b);
  };
  const std::string answer = std::string(listener) + "S0=1\r";
  if (::write(b, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size()) || !ReadUntil(b, "OK", 2000)) {
    close();
    return {};
  }
  const std::string held = std::string(setup) + "\r";
  if (::write(a, held.data(), held.size()) != static_cast<ssize_t>(held.size()) || !ReadUntil(a, "OK", 2000)) {
    close();
    return {};
  }
  const std::string dial = std::string("ATDT") + EmulatedLink::kAddressB + ":" + std::to_string(answering->BoundPort()) + "\r";
  if (::write(a, dial.data(), dial.size()) != static_cast<ssize_t>(dial.size()) || !ReadUntil(a, "CONNECT", 5000) ||
      !ReadUntil(b, "CONNECT", 5000)) {
    close();
    return {};
  }
  Drain(b, 300);
  return {a, b, close, calling, answering};
}

// Plays the pattern for `length` into `ends.write`, reading and timing everything at `ends.read`.
Figures Play(const Ends& ends, const Pattern& pattern, std::chrono::seconds length, double delayMs) {
  // Frame k: a note on with the number and velocity spelling k, so each is told apart.
  auto frame = [](int k) {
    return std::array<std::uint8_t, 4>{0xFF, static_cast<std::uint8_t>(0x90 | (k >> 14 & 0x0F)),
                                       static_cast<std::uint8_t>(k & 0x7F), static_cast<std::uint8_t>(k >> 7 & 0x7F)};
  };
  const int units = static_cast<int>(length / pattern.every);
  const int frames = units * pattern.notesPerUnit;
  std::vector<Clock::time_point> sentAt(static_cast<std::size_t>(frames));
  std::vector<std::uint8_t> received;
  std::vector<std::pair<std::size_t, Clock::time_point>> arrivals;  // received size after each read
  std::atomic<bool> done{false};
  std::thread reader([&] {
    // The reader is the measuring instrument: a real-time priority keeps a busy machine's
    // scheduling out of its time stamps.
    sched_param rt{};
    rt.sched_priority = 10;
    ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &rt);
    std::uint8_t buf[4096];
    while (!done) {
      pollfd p{ends.read, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::read(ends.read, buf, sizeof buf);
      if (n <= 0) continue;
      received.insert(received.end(), buf, buf + n);
      arrivals.emplace_back(received.size(), Clock::now());
    }
  });
  const auto start = Clock::now() + 100ms;
  for (int u = 0, k = 0; u < units; ++u) {
    std::this_thread::sleep_until(start + u * pattern.every);
    for (int i = 0; i < pattern.notesPerUnit; ++i, ++k) {
      const auto f = frame(k);
      sentAt[static_cast<std::size_t>(k)] = Clock::now();
      if (::write(ends.write, f.data(), f.size()) != 4) break;
    }
  }
  std::this_thread::sleep_for(3s);  // what is late arrives
  done = true;
  reader.join();

  Figures fig;
  fig.frames = frames;
  std::size_t arrival = 0;
  std::vector<std::optional<Clock::time_point>> heardAt(static_cast<std::size_t>(frames));
  for (int k = 0; k < frames; ++k) {
    const std::size_t end = static_cast<std::size_t>(k + 1) * 4;
    if (end > received.size()) {
      ++fig.lost;
      continue;
    }
    const auto f = frame(k);
    if (!std::equal(f.begin(), f.end(), received.begin() + static_cast<std::ptrdiff_t>(end - 4))) {
      fig.outOfStep += 4;
      continue;
    }
    while (arrivals[arrival].first < end) ++arrival;
    const auto uk = static_cast<std::size_t>(k);
    heardAt[uk] = arrivals[arrival].second;
    fig.addedMs.push_back(std::chrono::duration<double, std::milli>(*heardAt[uk] - sentAt[uk]).count() - delayMs);
    if (k > 0 && heardAt[uk - 1]) {
      const auto heardGap = *heardAt[uk] - *heardAt[uk - 1];
      const auto playedGap = sentAt[uk] - sentAt[uk - 1];
      fig.gapErrorMs.push_back(std::abs(std::chrono::duration<double, std::milli>(heardGap - playedGap).count()));
    }
  }
  if (received.size() > static_cast<std::size_t>(frames) * 4) fig.outOfStep += static_cast<long>(received.size() - static_cast<std::size_t>(frames) * 4);
  std::sort(fig.addedMs.begin(), fig.addedMs.end());
  std::sort(fig.gapErrorMs.begin(), fig.gapErrorMs.end());
  return fig;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  bool all = false;
  std::vector<std::string> only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--all") == 0) all = true;
    if (i + 1 >= argc) continue;
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--only") == 0) only.emplace_back(argv[i + 1]);
  }
  auto chosen = [&](const std::string& row) {
    return std::all_of(only.begin(), only.end(), [&](const std::string& o) { return row.find(o) != std::string::npos; });
  };
  if (const auto why = EmulatedLink::Possible(); !why.empty()) {
    std::printf("bench_netpath skipped: %s (run as root)\n", why.c_str());
    return 0;
  }
  // What is measured is what the path does to each line, not how busy this machine is: the
  // modems' threads (started from here, so they inherit it) run at a real-time priority as the
  // emulator and the reader do, as the kernel's own TCP does in the plain rows.
  sched_param rt{};
  rt.sched_priority = 5;
  const bool realTime = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &rt) == 0;
  // Jitter: each packet's delay is the one-way minimum plus 0..jitterMs, order kept.
  const PathRow paths[] = {
      {"20 ms, no loss", {20, 0, 0, 1, 1}, true},
      {"20 ms, 1 % random", {20, 0, 0.01, 1, 2}, true},
      {"20 ms, no loss", {20, 20, 0, 1, 5}, true},
      {"20 ms, 1 % random", {20, 20, 0.01, 1, 6}, true},
      {"20 ms, 3 % random", {20, 0, 0.03, 1, 3}, false},
      {"40 ms, 2 % in bursts of 3", {40, 0, 0.02, 3, 4}, false},
  };
  struct Line {
    const char* name;
    std::function<Ends(const EmulatedLink&)> make;
    bool always;
  };
  const Line lines[] = {
      {"plain TCP", PlainTcp, true},
      {"modem, TCP", [](const EmulatedLink& l) { return ModemCall(l, "ATS40=1"); }, false},
      {"UDP auto", [](const EmulatedLink& l) { return ModemCall(l, "ATS40=2"); }, true},
      {"UDP S41=30", [](const EmulatedLink& l) { return ModemCall(l, "ATS40=2", "ATS41=30"); }, true},
      {"UDP S41=0", [](const EmulatedLink& l) { return ModemCall(l, "ATS40=2", "ATS41=0"); }, true}};

  std::printf("In ms: the added delay beyond the path's one-way minimum, and the gap error; late: the share of\n"
              "stretches the listening modem counted late; %d s of playing a row%s.\n",
              seconds, realTime ? "" : " (no real-time priority: the machine's load is in the figures)");
  std::printf("%-26s %-6s %-11s %-11s %6s %13s %13s %6s %5s %6s %7s %5s\n", "path", "jitter", "playing", "line", "frames",
              "added med/p99", "gap med/p99", "late%", "lost", "o.o.s.", "kbit/s", "rtt");
  for (const auto& path : paths) {
    if (!path.always && !all) continue;
    // "±10": the 0..20 ms the path adds, about its middle (padded by hand: "±" is two bytes).
    std::string jitter = path.link.jitterMs > 0 ? "±" + std::to_string(static_cast<int>(path.link.jitterMs / 2)) + "   " : "0     ";
    for (const Pattern& pattern : {kNotes, kChords}) {
      for (const auto& line : lines) {
        if (!line.always && !all) continue;
        const std::string row = std::string(path.name) + (path.link.jitterMs > 0 ? " jitter " : " steady ") + pattern.name + " " + line.name;
        if (!chosen(row)) continue;
        EmulatedLink link(path.link);
        if (!link.Ok()) {
          std::printf("%-26s cannot make the emulated link: %s\n", path.name, link.Error().c_str());
          return 1;
        }
        const Ends ends = line.make(link);
        if (ends.write < 0) {
          std::printf("%-26s %s %-11s %-11s no call\n", path.name, jitter.c_str(), pattern.name, line.name);
          continue;
        }
        const unsigned long long before = SentByA(link);
        const Figures f = Play(ends, pattern, std::chrono::seconds(seconds), path.link.delayMs);
        const double kbits = static_cast<double>(SentByA(link) - before) * 8 / 1000 / (seconds + 3);
        char late[16] = "-", trip[16] = "-";
        if (ends.b && ends.b->Status().playoutMs >= 0) std::snprintf(late, sizeof late, "%.1f", 100 * ends.b->Status().lateShare);
        if (ends.a && ends.a->Status().roundTripMs >= 0) std::snprintf(trip, sizeof trip, "%d", ends.a->Status().roundTripMs);
        ends.close();  // the modems hang up as their ends close, and go with `ends`
        char added[24], gap[24];
        std::snprintf(added, sizeof added, "%.1f/%.1f", At(f.addedMs, 0.5), At(f.addedMs, 0.99));
        std::snprintf(gap, sizeof gap, "%.2f/%.2f", At(f.gapErrorMs, 0.5), At(f.gapErrorMs, 0.99));
        std::printf("%-26s %s %-11s %-11s %6d %13s %13s %6s %5d %6ld %7.1f %5s\n", path.name, jitter.c_str(), pattern.name,
                    line.name, f.frames, added, gap, late, f.lost, f.outOfStep, kbits, trip);
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
