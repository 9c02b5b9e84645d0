// The partner's notes through the datagram line and the playout, each end on a clock of its own
// that drifts from true time (two PCs differ by up to about 100 ppm), over a seeded path whose
// jitter changes while they play. The simulated clocks are exact, so every gap can be checked.
#include "modem/Playout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "modem/DatagramLine.h"
#include "support/SimulatedPath.h"

using namespace modem;
using namespace std::chrono_literals;
using Time = DatagramLine::Time;

namespace {

constexpr Time kStart = Time{} + 1h;

struct Phase {
  std::chrono::seconds from;
  sim::Path path;
};

struct Note {
  Time sent{};      // on the player's clock, as its line was given it
  Time arrived{};   // on the listener's clock: readable from the line
  Time released{};  // on the listener's clock: handed on by the playout
};

// Side 0 plays notes (gaps of 25-100 ms, seeded) to side 1, which only listens.
class DriftingCall {
 public:
  DriftingCall(Playout::Setting setting, double ppm0, double ppm1, std::uint64_t seed, std::vector<Phase> phases)
      : phases_(std::move(phases)),
        random_(seed),
        wire_(phases_.front().path, random_, kStart),
        playout_(setting),
        ppm_{ppm0, ppm1},
        lines_{DatagramLine(Local(0, kStart)), DatagramLine(Local(1, kStart))} {}

  // Plays for `length` (true time), then lets the line settle; `look(trueSeconds)` runs once at
  // each of `lookAt`.
  template <typename Look>
  void Run(std::chrono::seconds length, const std::vector<int>& lookAt, Look&& look) {
    const Time stop = kStart + length, end = stop + 3s;
    const std::chrono::milliseconds gaps[] = {25ms, 50ms, 50ms, 75ms, 100ms};
    Time nextNote = Local(0, kStart) + 100ms;  // the player's clock
    std::size_t phase = 0, looked = 0;
    for (Time now = kStart; now < end;) {
      while (phase + 1 < phases_.size() && now >= kStart + phases_[phase + 1].from) wire_.Change(phases_[++phase].path);
      while (looked < lookAt.size() && now >= kStart + std::chrono::seconds(lookAt[looked])) look(lookAt[looked++]);
      if (now < stop && Local(0, now) >= nextNote) {
        const auto k = notes.size();
        const std::uint8_t note[] = {0xFF, 0x90, static_cast<std::uint8_t>(k & 0x7F), static_cast<std::uint8_t>(k >> 7 & 0x7F)};
        written.insert(written.end(), std::begin(note), std::end(note));
        notes.push_back({Local(0, now)});
        EXPECT_EQ(lines_[0].Write(note, Local(0, now)), 4u);
        nextNote += gaps[random_() % std::size(gaps)];
      }
      for (int side = 0; side < 2; ++side) {
        while (auto d = lines_[side].Next(Local(side, now))) wire_.Carry(side, std::move(*d), now);
      }
      wire_.Deliver(now, [&](int to, const std::vector<std::uint8_t>& bytes) {
        EXPECT_TRUE(lines_[to].Receive(bytes, Local(to, now)));
      });
      Listen(Local(1, now));
      Time next = std::min({True(0, lines_[0].Wake(), now), True(1, lines_[1].Wake(), now), wire_.NextDue(),
                            True(1, playout_.Wake(), now), end});
      if (now < stop) next = std::min(next, True(0, nextNote, now));
      now = std::max(next, now + 1us);
    }
  }

  Playout& playout() { return playout_; }
  std::vector<Note> notes;
  std::vector<std::uint8_t> written, received;

  // The same instant on side `side`'s clock, and back.
  Time Local(int side, Time t) const {
    return kStart + std::chrono::nanoseconds(std::llround(static_cast<long double>((t - kStart).count()) * Rate(side)));
  }
  Time True(int side, Time local, Time now) const {
    if (local == Time::max()) return Time::max();
    if (local <= Local(side, now)) return now;
    return kStart + std::chrono::nanoseconds(std::llround(static_cast<long double>((local - kStart).count()) / Rate(side)));
  }

 private:
  long double Rate(int side) const { return 1 + static_cast<long double>(ppm_[side]) * 1e-6L; }

  void Listen(Time local) {
    for (const auto& h : lines_[1].TakeHeard()) playout_.Heard(h.sent, h.arrived);
    while (auto piece = lines_[1].TakePiece(SIZE_MAX)) {
      for (std::size_t i = 0; i < piece->bytes.size(); i += 4) notes.at((taken_ + i) / 4).arrived = piece->arrived;
      taken_ += piece->bytes.size();
      playout_.Add(piece->bytes, piece->sent, piece->arrived, piece->repaired);
    }
    const auto out = playout_.Take(local);
    for (std::size_t i = 0; i < out.size(); i += 4) notes.at((received.size() + i) / 4).released = local;
    received.insert(received.end(), out.begin(), out.end());
  }

  std::vector<Phase> phases_;
  std::mt19937_64 random_;
  sim::Wire wire_;
  Playout playout_;
  double ppm_[2];
  DatagramLine lines_[2];
  std::size_t taken_ = 0;
};

double Ms(std::chrono::nanoseconds d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

bool Late(const Note& n) {
  return n.released - n.arrived < 1us;
}

struct Results {
  std::size_t late = 0;
  double worstGapErrorMs = 0;  // between two notes on time
};

Results Check(const DriftingCall& call) {
  Results r;
  for (std::size_t k = 0; k < call.notes.size(); ++k) {
    const Note& n = call.notes[k];
    if (Late(n)) ++r.late;
    if (k == 0 || Late(n) || Late(call.notes[k - 1])) continue;
    const Note& before = call.notes[k - 1];
    r.worstGapErrorMs = std::max(r.worstGapErrorMs, std::abs(Ms((n.released - before.released) - (n.sent - before.sent))));
  }
  return r;
}

// Ten minutes through a path with 1 % loss whose jitter is 2 ms, then 20 ms for two minutes,
// then 2 ms again; the clocks drift 100 ppm apart each way from true time.
struct DriftCase {
  const char* name;
  double ppm0, ppm1;
};

class PlayoutOverDriftingClocks : public ::testing::TestWithParam<DriftCase> {};

TEST_P(PlayoutOverDriftingClocks, KeepsEveryGapFollowsThePathAndLosesNothing) {
  const DriftCase& c = GetParam();
  const sim::Path calm{20ms, 0.01, 1, 2ms}, rough{20ms, 0.01, 1, 20ms};
  DriftingCall call({}, c.ppm0, c.ppm1, 5, {{0s, calm}, {200s, rough}, {320s, calm}});
  // When (s), and the delay then (ms): calm; risen within 3 s; the rough path's jitter spans 20 ms;
  // falling slowly once it calms; but falling.
  const struct {
    int at;
    double low, high;
  } delays[] = {{190, 0, 4}, {203, 15, 23}, {310, 18, 23}, {325, 10, 23}, {360, 0, 4}, {590, 0, 4}};
  std::vector<int> lookAt;
  for (const auto& d : delays) lookAt.push_back(d.at);
  std::map<int, double> delayMs;
  call.Run(600s, lookAt, [&](int at) { delayMs[at] = Ms(call.playout().Delay()); });

  EXPECT_EQ(call.received, call.written);
  ASSERT_GT(call.notes.size(), 9000u);
  const Results r = Check(call);
  EXPECT_LE(r.worstGapErrorMs, 0.5);
  EXPECT_EQ(r.late, call.playout().Late());
  EXPECT_GT(r.late, 0u);  // the path got worse faster than the delay may rise
  EXPECT_LT(static_cast<double>(r.late), 0.01 * static_cast<double>(call.notes.size()));
  for (const auto& d : delays) {
    EXPECT_GE(delayMs[d.at], d.low) << d.at << " s";
    EXPECT_LE(delayMs[d.at], d.high) << d.at << " s";
  }
}

INSTANTIATE_TEST_SUITE_P(Clocks, PlayoutOverDriftingClocks,
                         ::testing::Values(DriftCase{"ListenerFast", -100, 100}, DriftCase{"ListenerSlow", 100, -100}),
                         [](const auto& param) { return std::string(param.param.name); });

// Each setting of the register over a path with 20 ms of jitter, and the automatic one over a
// path without: what a note waits for.
struct ModeCase {
  const char* name;
  int s41;
  sim::Path path;
  double addedMs;  // beyond the path's lowest delay, a note's median; <0: as it came
  double worstGapErrorMs;
};

class PlayoutModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(PlayoutModes, HoldEachNoteAsTheRegisterSays) {
  const ModeCase& c = GetParam();
  DriftingCall call(Playout::Setting::FromRegister(c.s41), 50, -50, 9, {{0s, c.path}});
  call.Run(120s, {}, [](int) {});
  EXPECT_EQ(call.received, call.written);
  const Results r = Check(call);
  std::vector<double> added;
  for (const Note& n : call.notes) {
    added.push_back(Ms(call.True(1, n.released, kStart) - call.True(0, n.sent, kStart)) - 20);
    if (c.addedMs < 0) {
      EXPECT_EQ(n.released, n.arrived);
    }
  }
  std::sort(added.begin(), added.end());
  const double median = added[added.size() / 2];
  if (c.addedMs >= 0) {
    EXPECT_NEAR(median, c.addedMs, 1.5);
    EXPECT_LE(r.worstGapErrorMs, c.worstGapErrorMs);
  } else {
    EXPECT_EQ(call.playout().Delay(), 0us);
    EXPECT_EQ(r.late, call.notes.size());  // every note as it came
    EXPECT_EQ(call.playout().Late(), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Register, PlayoutModes,
                         ::testing::Values(ModeCase{"Automatic", 255, {20ms, 0.01, 1, 20ms}, 21, 0.5},
                                           ModeCase{"FixedThirtyMs", 30, {20ms, 0.01, 1, 20ms}, 30, 0.5},
                                           ModeCase{"OnArrival", 0, {20ms, 0.01, 1, 20ms}, -1, 0},
                                           // A note repaired late plays late, and does not hold the rest.
                                           ModeCase{"AutomaticOnASteadyPathWithLoss", 255, {20ms, 0.1}, 1, 0.5}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
