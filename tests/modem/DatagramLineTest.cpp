// The datagram line between two ends over a simulated path (support/SimulatedPath.h) and a
// simulated clock, so minutes of a lossy call run in milliseconds and the same every time.
#include "modem/DatagramLine.h"
#include "modem/SealedRecords.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>

#include "support/SimulatedPath.h"

using namespace modem;
using namespace std::chrono_literals;
using Time = DatagramLine::Time;
using Event = DatagramLine::Event;
using sim::Path;

namespace {

double Percentile(const std::vector<double>& sorted, double q) {
  return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(sorted.size() * q))];
}

enum class Play { Notes, NotesAlone, Chords, ChordsAlone, Flood, Idle };

// Two lines and the path between them. Side 0 plays; side 1 plays too for Notes and Chords
// (the partner answers), so acknowledgements ride on data both ways; for NotesAlone and
// ChordsAlone the partner only listens, and its acknowledgements go alone.
class Call {
 public:
  Call(Path path, std::uint64_t seed)
      : random_(seed), wire_(path, random_, kStart), lines_{DatagramLine(kStart), DatagramLine(kStart)} {}

  static constexpr Time kStart = Time{} + 1h;

  DatagramLine& operator[](int side) { return lines_[side]; }
  Time Now() const { return now_; }
  std::size_t readLimit = SIZE_MAX;  // bytes a reader takes each time it is woken (a slow program)
  std::chrono::milliseconds readEvery{0};  // a slow program also wakes on its own this often
  std::size_t peakUnread = 0;

  // Plays for `length`, then lets the line settle for `settle`.
  void Run(Play play, std::chrono::milliseconds length, std::chrono::milliseconds settle = 2s) {
    const Time stop = now_ + length;
    const Time end = stop + settle;
    Time nextPlay = now_;
    int unit = 0;
    while (now_ < end) {
      if (play != Play::Idle && now_ >= nextPlay && now_ < stop) {
        const bool alone = play == Play::Flood || play == Play::NotesAlone || play == Play::ChordsAlone;
        for (int side = 0; side < (alone ? 1 : 2); ++side) {
          const int count = play == Play::Chords || play == Play::ChordsAlone ? 3 : 1;
          // A flooding program blocks in its write while the line holds it back.
          if (play == Play::Flood && pending_[side].size() > 64 * 1024) continue;
          for (int i = 0; i < count; ++i) Write(side, play == Play::Flood ? 4096 : 4, unit++);
        }
        nextPlay = now_ + (play == Play::Notes || play == Play::NotesAlone ? 50ms : play == Play::Flood ? 1ms : 200ms);
      }
      for (int side = 0; side < 2; ++side) {
        if (!pending_[side].empty()) {
          const std::size_t n = lines_[side].Write(pending_[side], now_);
          pending_[side].erase(pending_[side].begin(), pending_[side].begin() + static_cast<std::ptrdiff_t>(n));
        }
        while (auto d = lines_[side].Next(now_)) {
          if (side == 0) bytesFrom0 += static_cast<double>(d->size() + kPacketOverhead);
          wire_.Carry(side, std::move(*d), now_);
        }
        while (auto e = lines_[side].TakeEvent()) events[side].push_back({*e, now_});
      }
      Time next = std::min({lines_[0].Wake(), lines_[1].Wake(), end});
      if (play != Play::Idle && now_ < stop) next = std::min(next, nextPlay);
      next = std::min(next, wire_.NextDue());
      if (!pending_[0].empty() || !pending_[1].empty()) next = std::min(next, now_ + 1ms);
      if (readEvery > 0ms) next = std::min(next, now_ + readEvery);
      now_ = std::max(next, now_ + 1us);
      wire_.Deliver(now_, [&](int to, const std::vector<std::uint8_t>& bytes) {
        if (!cut_[to]) {
          const bool taken = lines_[to].Receive(bytes, now_);
          EXPECT_TRUE(taken);
        }
      });
      for (int side = 0; side < 2; ++side) Read(side);
    }
  }

  // Everything side `from` wrote reached the other side whole and in order.
  bool Whole(int from) const { return received_[1 - from] == written_[from]; }
  std::size_t Written(int side) const { return written_[side].size(); }
  // Added delay of every unit side 0 wrote, beyond the path's own: sorted.
  std::vector<double> AddedMs() const {
    std::vector<double> added;
    for (const auto& [unit, ms] : addedMs_) added.push_back(ms);
    std::sort(added.begin(), added.end());
    return added;
  }
  void Write(int side, std::size_t size, int unit) {
    for (std::size_t i = 0; i < size; ++i) {
      const auto byte = static_cast<std::uint8_t>(random_());
      written_[side].push_back(byte);
      pending_[side].push_back(byte);
    }
    if (side == 0) writtenAt_[written_[0].size()] = now_;  // the unit is whole once its last byte is
    (void)unit;
  }
  // For a failure's message.
  std::string Debug() const {
    std::size_t same = 0;
    while (same < received_[1].size() && same < written_[0].size() && received_[1][same] == written_[0][same]) ++same;
    const auto& n = lines_[0].Count();
    return "written " + std::to_string(written_[0].size()) + ", received " + std::to_string(received_[1].size()) +
           ", equal up to " + std::to_string(same) + "; sent " + std::to_string(n.sent) + " datagrams, " +
           std::to_string(n.repeats) + " repeats, " + std::to_string(n.retransmits) + " repairs";
  }
  void CutOff(int side) { cut_[side] = true; }  // nothing reaches this side any more

  std::vector<std::pair<Event, Time>> events[2];
  long datagrams() const { return wire_.datagrams; }
  // What side 0 sent into the path, sealed and with IPv4 and UDP headers.
  double bytesFrom0 = 0;
  static constexpr std::size_t kPacketOverhead = 20 + 8 + RecordSealer::kOverhead;

 private:
  void Read(int side) {
    const auto bytes = lines_[side].Take(readLimit);
    peakUnread = std::max(peakUnread, lines_[side].Readable() + bytes.size());
    auto& got = received_[side];
    got.insert(got.end(), bytes.begin(), bytes.end());
    if (side == 1) {
      for (auto it = writtenAt_.begin(); it != writtenAt_.end() && it->first <= got.size();) {
        addedMs_[it->first] = std::chrono::duration<double, std::milli>(now_ - it->second - wire_.path().delay).count();
        it = writtenAt_.erase(it);
      }
    }
  }

  std::mt19937_64 random_;
  sim::Wire wire_;
  DatagramLine lines_[2];
  Time now_ = kStart;
  bool cut_[2] = {false, false};
  std::vector<std::uint8_t> written_[2], received_[2], pending_[2];
  std::map<std::size_t, Time> writtenAt_;
  std::map<std::size_t, double> addedMs_;
};


bool Has(const std::vector<std::pair<Event, Time>>& events, Event e) {
  return std::any_of(events.begin(), events.end(), [e](const auto& x) { return x.first == e; });
}

struct Case {
  const char* name;
  Path path;
  Play play;
  std::chrono::milliseconds length;
  double budgetMs;  // the added delay 999 notes in 1000 stay within, over three calls
  // What the player's side sends into the path, at most, in kbit/s over the call: a partner who
  // plays too is acknowledged in datagrams of their own besides.
  double kbits;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class DatagramLineOverAPath : public ::testing::TestWithParam<Case> {};

TEST_P(DatagramLineOverAPath, EveryByteArrivesOnceInOrderAndLossIsRepairedWithinItsBudget) {
  const Case& c = GetParam();
  std::vector<double> added;  // of the three calls together
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    Call call(c.path, seed);
    call.Run(c.play, c.length, 3s);
    const double kbits = call.bytesFrom0 * 8 / 1000 / std::chrono::duration<double>(c.length + 3s).count();
    if (c.play != Play::Flood) {
      EXPECT_LE(kbits, c.kbits) << "seed " << seed;
    }
    ASSERT_GT(call.Written(0), 0u);
    EXPECT_TRUE(call.Whole(0)) << "seed " << seed << " " << call.Debug();
    EXPECT_TRUE(call.Whole(1)) << "seed " << seed;
    const auto one = call.AddedMs();
    added.insert(added.end(), one.begin(), one.end());
    EXPECT_FALSE(Has(call.events[0], Event::PeerGone));
    EXPECT_FALSE(Has(call.events[1], Event::PeerGone));
    EXPECT_LE(call[0].Count().rejected + call[1].Count().rejected, 0u);
  }
  std::sort(added.begin(), added.end());
  if (c.play != Play::Flood) {
    EXPECT_LE(Percentile(added, 0.999), c.budgetMs) << "worst " << added.back() << " ms";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DatagramLineOverAPath,
    ::testing::Values(
        Case{"Clean", {20ms}, Play::Notes, 60s, 0.0, 50},
        Case{"RandomLossOnePercent", {20ms, 0.01}, Play::Notes, 120s, 5, 55},
        Case{"CleanToASilentPartner", {20ms}, Play::NotesAlone, 60s, 0.0, 30},
        Case{"RandomLossOnePercentToASilentPartner", {20ms, 0.01}, Play::NotesAlone, 60s, 5, 40},
        Case{"RandomLossThreePercent", {20ms, 0.03}, Play::Chords, 120s, 5, 40},
        Case{"BurstsOfThree", {40ms, 0.02, 3}, Play::Notes, 120s, 25, 240},
        Case{"BurstsOfThreeChords", {40ms, 0.02, 3}, Play::Chords, 120s, 25, 60},
        Case{"BurstsOfThreeChordsToASilentPartner", {40ms, 0.02, 3}, Play::ChordsAlone, 120s, 25, 65},
        Case{"LongBursts", {20ms, 0.05, 10}, Play::Notes, 60s, 200, 210},
        Case{"ReorderedAndDoubled", {20ms, 0.02, 1, 15ms, 0.05}, Play::Chords, 60s, 25, 45},
        Case{"FloodThroughLoss", {20ms, 0.02}, Play::Flood, 5s, 0, 0},
        Case{"FloodThroughBursts", {40ms, 0.03, 4, 5ms}, Play::Flood, 5s, 0, 0}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(DatagramLine, ABlackoutOfSecondsLosesNothingAndIsReportedAsAStallThatEnds) {
  Call call({20ms, 0.01, 1, 0ms, 0, 10s, 5s}, 7);
  call.Run(Play::Notes, 20s);
  EXPECT_TRUE(call.Whole(0));
  EXPECT_TRUE(call.Whole(1));
  ASSERT_TRUE(Has(call.events[0], Event::Stalled));
  const auto& e = call.events[0];
  const auto stalled = std::find_if(e.begin(), e.end(), [](const auto& x) { return x.first == Event::Stalled; });
  const auto resumed = std::find_if(stalled, e.end(), [](const auto& x) { return x.first == Event::Resumed; });
  ASSERT_NE(resumed, e.end());
  EXPECT_LE(stalled->second, Call::kStart + 11500ms);  // noticed within about a second
  EXPECT_LE(resumed->second, Call::kStart + 16500ms);  // and over soon after the path is back
  EXPECT_FALSE(Has(e, Event::PeerGone));
  // What was played during the blackout arrived late, in order: the worst delay is the blackout's.
  EXPECT_GT(call.AddedMs().back(), 4000);
}

TEST(DatagramLine, AFloodIsHeldBackAndASlowReaderHoldsBackTheSender) {
  Call call({20ms, 0.01}, 3);
  call.readLimit = 2000;  // the program takes 2 kB whenever it is woken, and every 10 ms at least
  call.readEvery = 10ms;
  call.Run(Play::Flood, 3s, 20s);
  EXPECT_TRUE(call.Whole(0)) << call.Debug();
  EXPECT_LE(call.peakUnread, DatagramLine::kReceiveWindow);
  // Pacing: what 3 s of flooding took went out no faster than the line's rate.
  EXPECT_GT(call.Written(0), 100'000u);
  EXPECT_LT(call.datagrams(), static_cast<long>(call.Written(0) / 1000 * 2 + 2000));
}

TEST(DatagramLine, IdleCallsKeepAliveAndAVanishedPeerIsNoticedWithinTwentyFiveSeconds) {
  Call call({30ms}, 1);
  call.Run(Play::Idle, 0ms, 100s);
  EXPECT_TRUE(call.events[0].empty());
  EXPECT_TRUE(call.events[1].empty());
  // A keep-alive round every 15 s, each answered: a handful of datagrams a minute.
  EXPECT_GE(call.datagrams(), 100 / 15);
  EXPECT_LE(call.datagrams(), 4 * 100 / 15 + 2);

  const Time cut = call.Now();
  call.CutOff(0);
  call.CutOff(1);
  call.Run(Play::Idle, 0ms, 40s);
  ASSERT_TRUE(Has(call.events[0], Event::PeerGone));
  const Time gone = call.events[0].back().second;
  EXPECT_GT(gone, cut);
  EXPECT_LE(gone, cut + 25s);
}

TEST(DatagramLine, ClosingDeliversTheLastBytesThenTellsThePeer) {
  Call call({20ms, 0.3}, 5);
  call.Write(0, 4, 0);  // a farewell
  call.Run(Play::Idle, 0ms, 1ms);
  call[0].Close();
  EXPECT_EQ(call[0].Room(), 0u);
  call.Run(Play::Idle, 0ms, 3s);
  EXPECT_TRUE(call[0].Finished());
  EXPECT_TRUE(call.Whole(0));
  ASSERT_TRUE(Has(call.events[1], Event::PeerClosed));
}

// Every copy of a hang-up sent in the first 300 ms is lost, and a third of the rest: the end is
// sent again until the partner says it has it (with a farewell before it, or with nothing left
// unacknowledged), and the partner hears of it within the modem's linger.
TEST(DatagramLine, AHangUpWhoseFirstCopiesAreAllLostStillReachesThePeerWithinASecondAndAHalf) {
  for (const std::size_t farewell : {4, 0}) {
    for (std::uint64_t seed = 1; seed <= 5; ++seed) {
      SCOPED_TRACE("farewell " + std::to_string(farewell) + ", seed " + std::to_string(seed));
      Call call({20ms, 0.3, 1, 0ms, 0, 5s, 300ms}, seed);
      call.Run(Play::Notes, 5s, 0ms);
      const Time hangUp = call.Now();
      const long before = call.datagrams();
      call.Write(0, farewell, 0);
      call.Run(Play::Idle, 0ms, 1ms);
      call[0].Close();
      call.Run(Play::Idle, 0ms, 3s);
      ASSERT_TRUE(Has(call.events[1], Event::PeerClosed));
      EXPECT_LE(call.events[1].back().second, hangUp + 1500ms);
      EXPECT_TRUE(call.Whole(0));
      EXPECT_TRUE(call[0].Finished());
      // Paced: a few dozen small datagrams in all, and none once the end is acknowledged.
      const long sent = call.datagrams() - before;
      EXPECT_LT(sent, 80);
      call.Run(Play::Idle, 0ms, 5s);
      EXPECT_EQ(call.datagrams() - before, sent);
    }
  }
}

TEST(DatagramLine, MeasuresTheRoundTripAndTheShareOfLostPackets) {
  Call call({20ms, 0.05}, 11);
  call.Run(Play::Notes, 60s);
  ASSERT_TRUE(call[0].RoundTrip());
  EXPECT_NEAR(call[0].RoundTrip()->count() / 1000.0, 40, 3);
  EXPECT_NEAR(call[1].RepairedShare(), 0.05, 0.02);
  Call clean({20ms}, 11);
  clean.Run(Play::Notes, 10s);
  EXPECT_EQ(clean[1].RepairedShare(), 0);
}

// What a stranger or a broken peer might send: each is dropped whole and changes nothing.
TEST(DatagramLine, DatagramsThatAreNoneOfOursAreDroppedAndChangeNothing) {
  DatagramLine sender(Call::kStart), receiver(Call::kStart);
  const std::uint8_t note[] = {0xFF, 0x90, 60, 100};
  sender.Write(note, Call::kStart);
  const auto good = *sender.Next(Call::kStart);
  auto with = [&](std::size_t at, std::uint8_t value) {
    auto d = good;
    d[at] = value;
    return d;
  };
  const std::vector<std::vector<std::uint8_t>> bad = {
      {},
      {good.begin(), good.begin() + DatagramLine::kHeader - 1},  // short
      {good.begin(), good.end() - 5},                           // cut inside its time marks
      with(0, 0x17),                                            // another kind
      with(1, 0x80),                                            // unknown flag
      with(8, 0x01),                                            // acknowledges bytes never written
      with(14, 0x7F),                                           // bytes beyond the room given
  };
  for (const auto& d : bad) EXPECT_FALSE(receiver.Receive(d, Call::kStart + 20ms));
  EXPECT_EQ(receiver.Readable(), 0u);
  EXPECT_FALSE(receiver.Next(Call::kStart + 30ms));  // nothing owed
  EXPECT_TRUE(receiver.Receive(good, Call::kStart + 20ms));
  EXPECT_EQ(receiver.Take(10), std::vector<std::uint8_t>(std::begin(note), std::end(note)));
}

}  // namespace
