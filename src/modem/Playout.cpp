#include "modem/Playout.h"

#include <algorithm>
#include <cmath>

namespace modem {

namespace {

constexpr auto kJitterWindow = std::chrono::seconds(10);
constexpr std::size_t kMaxSamples = 4096;
constexpr double kLowestWindowUs = 2e6;  // of the partner's time
constexpr std::size_t kLowestKept = 30;  // a minute of windows for the drift
constexpr std::size_t kLowestForDrift = 4;
constexpr double kMaxDrift = 500e-6;
// Of the samples of the last seconds, all but this share come within the delay, and then some.
constexpr double kPercentile = 0.995;
constexpr double kMarginUs = 1000;
constexpr auto kRecompute = std::chrono::milliseconds(20);
// How fast the time added may change, as a share of the partner's time between two stretches:
// half a millisecond in a gap of 50 ms is not heard as a change of rhythm.
constexpr double kRiseShare = 0.008, kFallShare = 0.002;
constexpr double kMaxStepUs = 400;
constexpr double kPauseUs = 1e6;  // after a pause this long the delay may change at once

double Micros(Playout::Time t) {
  return std::chrono::duration<double, std::micro>(t.time_since_epoch()).count();
}

Playout::Time AtMicros(double us) {
  return Playout::Time(std::chrono::duration_cast<Playout::Clock::duration>(
      std::chrono::nanoseconds(std::llround(us * 1000))));
}

}  // namespace

Playout::Setting Playout::Setting::FromRegister(int value) {
  if (value == 0) return {Mode::OnArrival, {}};
  if (value >= 1 && value <= kMaxFixedMs) return {Mode::Fixed, std::chrono::milliseconds(value)};
  return {Mode::Automatic, {}};
}

Playout::Playout(Setting setting) : setting_(setting) {}

void Playout::Heard(std::chrono::microseconds sent, Time arrived) {
  const double sentUs = static_cast<double>(sent.count());
  Observe(sentUs, Micros(arrived) - sentUs, arrived);
}

void Playout::Observe(double sentUs, double delayUs, Time arrived) {
  samples_.push_back({sentUs, delayUs, arrived});
  while (samples_.size() > kMaxSamples || samples_.front().arrived < arrived - kJitterWindow) samples_.pop_front();
  if (!window_ || sentUs - windowStartUs_ >= kLowestWindowUs) {
    if (window_) {
      lowest_.push_back(*window_);
      if (lowest_.size() > kLowestKept) lowest_.pop_front();
      FitDrift();
    }
    window_ = Lowest{sentUs, delayUs};
    windowStartUs_ = sentUs;
  } else if (delayUs < window_->delayUs) {
    window_ = Lowest{sentUs, delayUs};
  }
  // A sample above the delay is news to act on now, not at the next look.
  if (delayUs - Baseline(sentUs) > jitterUs_) jitterKnown_ = false;
}

// The slope through the lowest delay of each window: how fast the clocks part.
void Playout::FitDrift() {
  if (lowest_.size() < kLowestForDrift) return;
  double meanX = 0, meanY = 0;
  for (const Lowest& l : lowest_) {
    meanX += l.sentUs;
    meanY += l.delayUs;
  }
  meanX /= static_cast<double>(lowest_.size());
  meanY /= static_cast<double>(lowest_.size());
  double sxy = 0, sxx = 0;
  for (const Lowest& l : lowest_) {
    sxy += (l.sentUs - meanX) * (l.delayUs - meanY);
    sxx += (l.sentUs - meanX) * (l.sentUs - meanX);
  }
  if (sxx > 0) drift_ = std::clamp(sxy / sxx, -kMaxDrift, kMaxDrift);
}

// The lowest delay a stretch sent at `sentUs` can have, the drift taken into account.
double Playout::Baseline(double sentUs) const {
  double lowest = window_ ? window_->delayUs - drift_ * window_->sentUs : 0;
  for (const Lowest& l : lowest_) lowest = std::min(lowest, l.delayUs - drift_ * l.sentUs);
  return lowest + drift_ * sentUs;
}

// The delay (offset included) a stretch sent at `sentUs` should be handed on at.
double Playout::Target(double sentUs, Time now) {
  if (setting_.mode == Mode::Fixed) {
    return Baseline(sentUs) + std::chrono::duration<double, std::micro>(setting_.fixed).count();
  }
  if (!jitterKnown_ || now - jitterAt_ >= kRecompute) {
    const double base = Baseline(0);
    scratch_.clear();
    for (const Sample& s : samples_) scratch_.push_back(s.delayUs - drift_ * s.sentUs - base);
    const auto at = scratch_.begin() +
                    static_cast<std::ptrdiff_t>(std::min(scratch_.size() - 1, static_cast<std::size_t>(kPercentile * static_cast<double>(scratch_.size()))));
    std::nth_element(scratch_.begin(), at, scratch_.end());
    jitterUs_ = std::max(0.0, *at) + kMarginUs;
    jitterAt_ = now;
    jitterKnown_ = true;
  }
  return Baseline(sentUs) + jitterUs_;
}

void Playout::Add(std::span<const std::uint8_t> bytes, std::optional<std::chrono::microseconds> sent, Time arrived,
                  bool repaired) {
  if (bytes.empty()) return;
  ++stretches_;
  Time release = arrived;
  if (sent) {
    const double sentUs = static_cast<double>(sent->count());
    if (!repaired) Observe(sentUs, Micros(arrived) - sentUs, arrived);
    if (setting_.mode != Mode::OnArrival) {
      const double target = Target(sentUs, arrived);
      if (!lastSentUs_ || std::abs(sentUs - *lastSentUs_) >= kPauseUs) {
        addedUs_ = target;
      } else {
        const double gap = std::max(0.0, sentUs - *lastSentUs_);
        addedUs_ += std::clamp(target - addedUs_, -std::min(kFallShare * gap, kMaxStepUs),
                               std::min(kRiseShare * gap, kMaxStepUs));
      }
      lastSentUs_ = sentUs;
      release = AtMicros(sentUs + addedUs_);
      if (release < arrived) {
        ++late_;
        release = arrived;
      }
      release = std::min(release, arrived + kMaxHold);
    }
  }
  release = std::max(release, lastRelease_);
  lastRelease_ = release;
  if (!due_.empty() && due_.back().at == release) {
    due_.back().bytes.insert(due_.back().bytes.end(), bytes.begin(), bytes.end());
  } else {
    due_.push_back({release, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
  }
  heldBytes_ += bytes.size();
}

std::vector<std::uint8_t> Playout::Take(Time now) {
  std::vector<std::uint8_t> out;
  while (!due_.empty() && due_.front().at <= now) {
    out.insert(out.end(), due_.front().bytes.begin(), due_.front().bytes.end());
    heldBytes_ -= due_.front().bytes.size();
    due_.pop_front();
  }
  return out;
}

Playout::Time Playout::Wake() const {
  return due_.empty() ? Time::max() : due_.front().at;
}

std::chrono::microseconds Playout::Delay() const {
  if (setting_.mode == Mode::OnArrival || !lastSentUs_) return {};
  return std::chrono::microseconds(std::llround(std::max(0.0, addedUs_ - Baseline(*lastSentUs_))));
}

}  // namespace modem
