#pragma once

// A simulated network path between two ends, for tests that run on a simulated clock: a seeded
// channel that delays, loses (at random or in bursts), reorders, doubles and blacks out
// datagrams, so minutes of a lossy call run in milliseconds and the same every time.

#include <chrono>
#include <cstdint>
#include <queue>
#include <random>
#include <vector>

namespace sim {

using namespace std::chrono_literals;
using Time = std::chrono::steady_clock::time_point;

struct Path {
  std::chrono::milliseconds delay = 20ms;
  double loss = 0;
  double burst = 1;                        // mean run of lost datagrams; 1: independent
  std::chrono::milliseconds jitter = 0ms;  // reorders: each datagram its own delay
  double duplicate = 0;
  std::chrono::milliseconds blackoutAt = 0ms, blackoutFor = 0ms;  // from the start
};

// The datagrams on their way between side 0 and side 1. The random numbers come from the
// caller's generator, which may serve the test for other things too.
class Wire {
 public:
  Wire(Path path, std::mt19937_64& random, Time start) : path_(path), random_(random), start_(start) {}

  const Path& path() const { return path_; }
  // The path gets better or worse: datagrams sent from now on go as `path` says.
  void Change(Path path) { path_ = path; }

  // A datagram side `from` sends at `now`: lost, or on its way (perhaps twice).
  void Carry(int from, std::vector<std::uint8_t> bytes, Time now) {
    ++datagrams;
    std::uniform_real_distribution<double> u(0, 1);
    const bool blackout =
        now >= start_ + path_.blackoutAt && now < start_ + path_.blackoutAt + path_.blackoutFor;
    bool& bad = bad_[from];
    if (path_.burst > 1) {
      const double leave = 1 / path_.burst;
      bad = bad ? u(random_) >= leave : u(random_) < path_.loss * leave / (1 - path_.loss);
    } else {
      bad = u(random_) < path_.loss;
    }
    if (blackout || bad) return;
    const int copies = u(random_) < path_.duplicate ? 2 : 1;
    for (int i = 0; i < copies; ++i) {
      Time due = now + path_.delay;
      if (path_.jitter > 0ms) due += std::chrono::microseconds(random_() % (path_.jitter.count() * 1000));
      wire_.push({due, order_++, 1 - from, bytes});
    }
  }

  bool Empty() const { return wire_.empty(); }
  // When the next datagram arrives; Time::max() with none on the way.
  Time NextDue() const { return wire_.empty() ? Time::max() : wire_.top().due; }

  // Hands every datagram due by `now` to `arrive(to, bytes)`, in the order they arrive.
  template <typename Arrive>
  void Deliver(Time now, Arrive&& arrive) {
    while (!wire_.empty() && wire_.top().due <= now) {
      OnWire w = wire_.top();
      wire_.pop();
      arrive(w.to, w.bytes);
    }
  }

  long datagrams = 0;  // sent into the path, lost or not

 private:
  struct OnWire {
    Time due;
    long order;
    int to;
    std::vector<std::uint8_t> bytes;
    bool operator>(const OnWire& o) const { return due != o.due ? due > o.due : order > o.order; }
  };

  Path path_;
  std::mt19937_64& random_;
  Time start_;
  std::priority_queue<OnWire, std::vector<OnWire>, std::greater<>> wire_;
  long order_ = 0;
  bool bad_[2] = {false, false};
};

}  // namespace sim
