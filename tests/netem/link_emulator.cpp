// link_emulator: an internet path between two network namespaces, for tests. The kernel here has
// no netem qdisc, so this program stands in for it: it opens a TUN device in each namespace and
// carries every IP packet from one to the other after a set one-way delay, with jitter (packets
// keep their order, as on one path), random loss, or loss in bursts (a Gilbert-Elliott channel
// whose bad state loses everything). Seeded, so a run can be repeated.
//
//   link_emulator --ns-a NS --dev-a DEV --ns-b NS --dev-b DEV [--delay MS] [--jitter MS]
//                 [--loss SHARE] [--burst MEAN] [--seed N]
//
// Reads commands from standard input, one a line: "down" (a blackout: everything is lost),
// "up", "loss SHARE [BURST]". Prints "ready" once both devices are open, and on SIGTERM or the
// end of its input the packets it carried and lost each way.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string nsA, devA, nsB, devB;
  double delayMs = 20;
  double jitterMs = 0;
  double loss = 0;
  double burst = 1;  // mean length of a run of lost packets; 1 is independent loss
  std::uint64_t seed = 1;
};

// Loss in runs: in the good state nothing is lost, in the bad state everything. The two
// transition probabilities give the asked-for average share and mean run length. A mean of 1
// asks for independent loss.
class LossModel {
 public:
  void Set(double share, double meanBurst) {
    share_ = std::clamp(share, 0.0, 0.99);
    leaveBad_ = 1.0 / std::max(1.0, meanBurst);
    enterBad_ = share_ * leaveBad_ / (1.0 - share_);
  }
  bool Lose(std::mt19937_64& random) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    if (leaveBad_ >= 1.0) return u(random) < share_;  // independent loss
    bad_ = bad_ ? u(random) >= leaveBad_ : u(random) < enterBad_;
    return bad_;
  }

 private:
  double share_ = 0;
  double enterBad_ = 0;
  double leaveBad_ = 1;
  bool bad_ = false;
};

struct Packet {
  Clock::time_point due;
  std::vector<std::uint8_t> bytes;
};

// One direction of the path: its own loss state and its own queue, in arrival order.
struct Direction {
  int from = -1;
  int to = -1;
  const char* name = "";
  LossModel loss;
  std::deque<Packet> queue;
  Clock::time_point lastDue{};
  long carried = 0;
  long lost = 0;
  long refused = 0;
  int firstRefusal = 0;
};

volatile sig_atomic_t stopping = 0;

void Stop(int) {
  stopping = 1;
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "link_emulator: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

// The TUN device is made inside the namespace, and its descriptor works from anywhere after.
int OpenTunIn(const std::string& ns, const std::string& dev) {
  const int here = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  const int there = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (here < 0 || there < 0) Fail("namespace " + ns);
  if (::setns(there, CLONE_NEWNET) != 0) Fail("setns " + ns);
  const int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) Fail("/dev/net/tun");
  ifreq ifr{};
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", dev.c_str());
  if (::ioctl(fd, TUNSETIFF, &ifr) != 0) Fail("TUNSETIFF " + dev);
  if (::setns(here, CLONE_NEWNET) != 0) Fail("setns back");
  ::close(here);
  ::close(there);
  return fd;
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--ns-a") o.nsA = value;
    else if (key == "--dev-a") o.devA = value;
    else if (key == "--ns-b") o.nsB = value;
    else if (key == "--dev-b") o.devB = value;
    else if (key == "--delay") o.delayMs = std::atof(value);
    else if (key == "--jitter") o.jitterMs = std::atof(value);
    else if (key == "--loss") o.loss = std::atof(value);
    else if (key == "--burst") o.burst = std::atof(value);
    else if (key == "--seed") o.seed = std::strtoull(value, nullptr, 10);
    else return false;
  }
  return argc % 2 == 1 && !o.nsA.empty() && !o.devA.empty() && !o.nsB.empty() && !o.devB.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: link_emulator --ns-a NS --dev-a DEV --ns-b NS --dev-b DEV [--delay MS] [--jitter MS]\n"
                 "                     [--loss SHARE] [--burst MEAN] [--seed N]\n");
    return 2;
  }
  // The path's timing should not depend on how busy the machine is: a real-time priority where
  // that is allowed (as root), else the ordinary one.
  sched_param rt{};
  rt.sched_priority = 20;
  ::sched_setscheduler(0, SCHED_FIFO, &rt);

  struct sigaction sa {};
  sa.sa_handler = Stop;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);

  Direction ab, ba;
  ab.from = ba.to = OpenTunIn(o.nsA, o.devA);
  ab.to = ba.from = OpenTunIn(o.nsB, o.devB);
  ab.name = "a->b";
  ba.name = "b->a";
  ab.loss.Set(o.loss, o.burst);
  ba.loss.Set(o.loss, o.burst);
  std::mt19937_64 random(o.seed);
  const auto delay = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(o.delayMs));
  std::uniform_real_distribution<double> jitter(0.0, o.jitterMs);
  bool down = false;
  std::string input;
  bool inputOpen = true;
  std::printf("ready\n");
  std::fflush(stdout);

  std::vector<std::uint8_t> buf(65536);
  while (!stopping) {
    Clock::time_point next = Clock::time_point::max();
    for (Direction* d : {&ab, &ba}) {
      if (!d->queue.empty()) next = std::min(next, d->queue.front().due);
    }
    timespec wait{1, 0};
    if (next != Clock::time_point::max()) {
      const auto ns = std::max<long long>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now()).count());
      wait = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    }
    pollfd fds[3] = {{ab.from, POLLIN, 0}, {ba.from, POLLIN, 0}, {inputOpen ? 0 : -1, POLLIN, 0}};
    if (::ppoll(fds, 3, &wait, nullptr) < 0 && errno != EINTR) Fail("poll");

    const auto now = Clock::now();
    for (Direction* d : {&ab, &ba}) {
      for (;;) {
        const ssize_t n = ::read(d->from, buf.data(), buf.size());
        if (n <= 0) break;
        const bool lost = d->loss.Lose(random);  // the chain moves on every packet, also in a blackout
        if (down || lost) {
          ++d->lost;
          continue;
        }
        auto due = now + delay + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(jitter(random)));
        due = std::max(due, d->lastDue);  // jitter never reorders: one path, one queue
        d->lastDue = due;
        d->queue.push_back({due, {buf.begin(), buf.begin() + n}});
      }
      while (!d->queue.empty() && d->queue.front().due <= Clock::now()) {
        const auto& p = d->queue.front().bytes;
        if (::write(d->to, p.data(), p.size()) > 0) {
          ++d->carried;
        } else {
          if (d->refused++ == 0) d->firstRefusal = errno;  // lost like any other
        }
        d->queue.pop_front();
      }
    }
    if (inputOpen && (fds[2].revents & (POLLIN | POLLHUP))) {
      char chunk[256];
      const ssize_t n = ::read(0, chunk, sizeof chunk);
      if (n <= 0) {
        inputOpen = false;
        break;
      }
      input.append(chunk, static_cast<std::size_t>(n));
      for (std::size_t end; (end = input.find('\n')) != std::string::npos; input.erase(0, end + 1)) {
        std::istringstream line(input.substr(0, end));
        std::string word;
        line >> word;
        if (word == "down") {
          down = true;
        } else if (word == "up") {
          down = false;
        } else if (word == "loss") {
          double share = 0, burst = 1;
          line >> share >> burst;
          ab.loss.Set(share, burst);
          ba.loss.Set(share, burst);
        }
        std::printf("ok %s\n", word.c_str());
        std::fflush(stdout);
      }
    }
  }
  for (const Direction* d : {&ab, &ba}) {
    std::fprintf(stderr, "%s: %ld carried, %ld lost, %ld refused by the device%s%s\n", d->name, d->carried, d->lost,
                 d->refused, d->refused ? ": " : "", d->refused ? std::strerror(d->firstRefusal) : "");
  }
  return 0;
}
