#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

// The partner's bytes at a steady delay: each stretch is handed on at the time it left the
// partner, plus the offset between the two clocks, plus a playout delay - so the path's jitter
// does not become the partner's rhythm.
//
// - The clocks' offset comes from the lowest one-way delays seen (the partner's time against the
//   time of arrival), window by window; the two clocks drift (two PCs by up to about 100 ppm),
//   and the drift is the slope through those lowest delays.
// - Automatic: the delay is a high percentile of how far above the lowest the stretches and
//   datagrams of the last seconds came, so it rises within a moment when the path gets worse
//   and falls only once the worse ones are seconds behind. A stretch that came by a repair does
//   not count: a lost note is rare, and holding every note for the time its repair took would
//   add that time to every note to spare the odd one; it plays late instead.
// - The time added changes by at most a small share of the time between two stretches (more
//   slowly when it falls), so a change of the delay does not change the rhythm heard; across a
//   pause it may change at once.
// - A stretch that comes after its time is handed on at once and counted late: never held
//   longer, never dropped. Order is kept: nothing goes before the bytes ahead of it.
//
// A pure state machine: the stretches and the time go in; the bytes due, and when the next are,
// come out. No clock inside.
namespace modem {

class Playout {
 public:
  using Clock = std::chrono::steady_clock;
  using Time = Clock::time_point;

  enum class Mode {
    OnArrival,  // every byte at once, as it comes
    Fixed,      // a set delay above the path's lowest
    Automatic,  // a delay sized to the path's recent jitter
  };
  struct Setting {
    Mode mode = Mode::Automatic;
    std::chrono::milliseconds fixed{0};
    // The modem register's value: 0 on arrival, 1-200 a fixed delay in milliseconds, any
    // other automatic.
    static Setting FromRegister(int value);
  };
  static constexpr int kMaxFixedMs = 200;
  // However the partner's times read, nothing is held longer than this.
  static constexpr std::chrono::milliseconds kMaxHold{400};

  explicit Playout(Setting setting);

  // A datagram from the partner: when it left (the partner's clock) and when it came.
  void Heard(std::chrono::microseconds sent, Time arrived);
  // Bytes in stream order that left the partner at `sent` (nothing: no time known, handed on as
  // they came) and could be read at `arrived`. `repaired`: they came by a repair (their first
  // datagram was lost), so their delay says what the repair took, not what the path does.
  void Add(std::span<const std::uint8_t> bytes, std::optional<std::chrono::microseconds> sent, Time arrived,
           bool repaired = false);
  // The bytes whose time has come by `now`, in order.
  std::vector<std::uint8_t> Take(Time now);
  // When the next bytes are due; Time::max() with none held.
  Time Wake() const;
  std::size_t Held() const { return heldBytes_; }

  // --- figures
  // How long bytes are held now beyond the path's lowest delay.
  std::chrono::microseconds Delay() const;
  std::uint64_t Stretches() const { return stretches_; }
  std::uint64_t Late() const { return late_; }

 private:
  struct Sample {
    double sentUs;
    double delayUs;  // arrival minus the partner's time: the path's delay plus the clocks' offset
    Time arrived;
  };
  struct Lowest {
    double sentUs;
    double delayUs;
  };
  struct Due {
    Time at;
    std::vector<std::uint8_t> bytes;
  };

  void Observe(double sentUs, double delayUs, Time arrived);
  double Baseline(double sentUs) const;
  double Target(double sentUs, Time now);
  void FitDrift();

  Setting setting_;
  std::deque<Sample> samples_;   // the last seconds, for the jitter
  std::deque<Lowest> lowest_;    // the lowest of each window, for the offset and the drift
  std::optional<Lowest> window_;  // the window being filled
  double windowStartUs_ = 0;
  double drift_ = 0;  // the partner's clock against ours: our microseconds per one of its, minus 1
  double jitterUs_ = 0;
  Time jitterAt_{};
  bool jitterKnown_ = false;
  std::vector<double> scratch_;

  std::optional<double> lastSentUs_;
  double addedUs_ = 0;  // release = partner's time + addedUs_ (in our clock's microseconds)
  Time lastRelease_{};
  std::deque<Due> due_;
  std::size_t heldBytes_ = 0;
  std::uint64_t stretches_ = 0;
  std::uint64_t late_ = 0;
};

}  // namespace modem
