// Two calls talking over a simulated path on a simulated clock (support/SessionPair.h): each row
// gives the path and the settings, and the line the call takes, what each side's program reads
// and when.
#include "modem/CallSession.h"

#include <gtest/gtest.h>

#include <string>

#include "support/ModemSaid.h"
#include "support/SessionPair.h"

using namespace std::chrono_literals;
using modem::LineKind;
using sim::SessionPair;

namespace {

struct Row {
  const char* name;
  SessionPair::Setup setup;
  std::chrono::milliseconds giveUpAt;  // the caller's program closes the port then; 0: never
  LineKind line;                       // the line both sides stand on, None: no call
  const char* callerText;              // a line the caller's program reads
  const char* answererText;            // nullptr: the answering program reads nothing at all
  std::chrono::milliseconds within;    // the caller's last word (CONNECT or its end) by then
  std::chrono::milliseconds after = 0ms;
};

void PrintTo(const Row& r, std::ostream* os) {
  *os << r.name;
}

class CallOverAPath : public ::testing::TestWithParam<Row> {};

std::chrono::milliseconds FirstAt(SessionPair& pair, int side, const std::string& text,
                                  std::chrono::milliseconds limit) {
  for (auto t = 0ms; t <= limit; t += 5ms) {
    if (pair.Heard(side).find(text) != std::string::npos) return t;
    pair.RunFor(5ms);
  }
  return -1ms;
}

TEST_P(CallOverAPath, TakesTheLineItShouldAndSaysSoInTime) {
  const Row& r = GetParam();
  SessionPair pair(r.setup);
  pair.Dial();
  const char* last = r.line == LineKind::None ? "NO CARRIER" : "CONNECT";
  if (r.setup.answererBusy) last = "BUSY";
  if (r.giveUpAt > 0ms) {
    pair.RunFor(r.giveUpAt);
    pair.HangUp(SessionPair::kCaller);
    // The answering side hears of it within a round trip or two, not after its own waits.
    const auto heard = FirstAt(pair, SessionPair::kAnswerer, "NO CARRIER", 3s);
    EXPECT_GE(heard, 0ms) << pair.Heard(SessionPair::kAnswerer);
    EXPECT_LE(heard, r.within);
  } else {
    const auto at = FirstAt(pair, SessionPair::kCaller, last, 10s);
    ASSERT_GE(at, 0ms) << pair.Heard(SessionPair::kCaller);
    EXPECT_LE(at, r.within);
    EXPECT_GE(at, r.after);
  }
  pair.RunFor(500ms);
  EXPECT_NE(pair.Heard(SessionPair::kCaller).find(modem::Said(r.callerText)), std::string::npos)
      << pair.Heard(SessionPair::kCaller);
  if (r.answererText) {
    EXPECT_NE(pair.Heard(SessionPair::kAnswerer).find(modem::Said(r.answererText)), std::string::npos)
        << pair.Heard(SessionPair::kAnswerer);
  } else {
    EXPECT_EQ(pair.Heard(SessionPair::kAnswerer), "");
  }
  if (r.line == LineKind::None) {
    for (int side = 0; side < 2; ++side) {
      EXPECT_TRUE(!pair.Session(side) || !pair.Session(side)->Busy());
    }
    return;
  }
  // The call carries the programs' bytes both ways on the line it chose.
  for (int side = 0; side < 2; ++side) {
    ASSERT_TRUE(pair.Session(side));
    EXPECT_EQ(pair.Session(side)->Line(), r.line);
    EXPECT_NE(pair.Heard(side).find("CONNECT"), std::string::npos);
  }
  const std::string note = "\xFF\x90\x3C\x64", chat = "hello\r";
  pair.Write(SessionPair::kCaller, note + chat);
  pair.Write(SessionPair::kAnswerer, chat + note);
  pair.RunFor(3s);
  EXPECT_TRUE(pair.Heard(SessionPair::kAnswerer).ends_with(note + chat));
  EXPECT_TRUE(pair.Heard(SessionPair::kCaller).ends_with(chat + note));
}

const sim::Path kClean{.delay = 20ms}, kLossy{.delay = 30ms, .loss = 0.2, .jitter = 5ms};

INSTANTIATE_TEST_SUITE_P(
    Rows, CallOverAPath,
    ::testing::Values(Row{"DatagramsWhereThePathCarriesThem",
                          {.path = kClean},
                          0ms,
                          LineKind::Datagram,
                          "回線: UDP（欠けた音はすぐに補います）",
                          "回線: UDP（欠けた音はすぐに補います）",
                          250ms},
                      Row{"DatagramsThroughLossWithinTheChoiceWait",
                          {.path = kLossy, .callerPassword = "pw", .answererPassword = "pw"},
                          0ms,
                          LineKind::Datagram,
                          "パスワードで相手を確かめました",
                          "回線: UDP",
                          1100ms},
                      Row{"TcpAfterTheChoiceWaitWhenUdpIsBlocked",
                          {.path = kClean, .udpBlocked = true},
                          0ms,
                          LineKind::Tcp,
                          "回線: TCP（UDP が届かないため）",
                          "回線: TCP",
                          1200ms,
                          1000ms},
                      Row{"TcpAtOnceWhenHeldToIt",
                          {.path = kClean, .lineChoice = 1},
                          0ms,
                          LineKind::Tcp,
                          "回線: TCP\r",
                          "回線: TCP\r",
                          150ms},
                      Row{"NoCallWhenHeldToDatagramsAndUdpIsBlocked",
                          {.path = kClean, .udpBlocked = true, .lineChoice = 2},
                          0ms,
                          LineKind::None,
                          "相手から UDP の応答がありません（TCP は使わない設定です）",
                          "相手が切断しました",
                          1200ms,
                          1000ms},
                      Row{"CallerGivesUpWhileTheLineIsChosen",
                          {.path = kClean, .udpBlocked = true},
                          500ms,
                          LineKind::None,
                          "通話は暗号化されています",
                          "相手が切断しました",
                          100ms},
                      Row{"AHangUpOnALossyPathReachesThePartnerWhileItsEndIsRepeated",
                          {.path = kLossy},
                          2s,
                          LineKind::None,
                          "回線: UDP",
                          "相手が切断しました",
                          1600ms},
                      Row{"AWrongPasswordIsNamedAndTheAnswererHearsNothing",
                          {.path = kClean, .callerPassword = "one", .answererPassword = "two"},
                          0ms,
                          LineKind::None,
                          "パスワードが相手と一致しません（つながりませんでした）",
                          nullptr,
                          200ms},
                      Row{"ABusyAnswererSaysSo",
                          {.path = kClean, .answererBusy = true},
                          0ms,
                          LineKind::None,
                          "相手は通話中です",
                          nullptr,
                          200ms}),
    [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

}  // namespace

namespace {

// A player's notes every 50 ms through a path that jitters and loses: what the answering program
// hears, and when, for each setting of its playout.
struct PlayoutRow {
  const char* name;
  sim::Path path;
  int s41;
  double gapP99Ms[2];   // the 99th percentile of how far a gap heard differs from the one played
  double delayMs[2];    // the median time from the write to the program, above the path's delay
  int s40 = 0;          // 1: the call held to TCP, whose stream jitters as the path does
};

void PrintTo(const PlayoutRow& r, std::ostream* os) {
  *os << r.name;
}

class PlayoutInTheCall : public ::testing::TestWithParam<PlayoutRow> {};

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

TEST_P(PlayoutInTheCall, HoldsTheNotesAtASteadyDelayAsSet) {
  const PlayoutRow& r = GetParam();
  SessionPair pair({.path = r.path, .lineChoice = r.s40, .playout = r.s41, .seed = 7});
  pair.Dial();
  pair.RunFor(1500ms);
  ASSERT_TRUE(pair.Session(SessionPair::kAnswerer));
  ASSERT_EQ(pair.Session(SessionPair::kAnswerer)->Line(), r.s40 == 1 ? LineKind::Tcp : LineKind::Datagram);
  const std::size_t before = pair.Heard(SessionPair::kAnswerer).size();
  constexpr int kNotes = 300;
  std::vector<sim::Time> played;
  std::string sent;
  for (int i = 0; i < kNotes; ++i) {
    const std::string note = {'\xFF', '\x90', static_cast<char>(i % 128), static_cast<char>(1 + i / 128)};
    sent += note;
    played.push_back(pair.Now());
    pair.Write(SessionPair::kCaller, note);
    pair.RunFor(50ms);
  }
  pair.RunFor(1s);
  // Every note, once, in order, and nothing of the modem's own in between.
  ASSERT_EQ(pair.Heard(SessionPair::kAnswerer).substr(before), sent);
  const auto& at = pair.HeardAt(SessionPair::kAnswerer);
  std::vector<double> gapError, delay;
  for (int i = 0; i < kNotes; ++i) {
    const sim::Time heard = at[before + 4 * static_cast<std::size_t>(i)];
    delay.push_back(std::chrono::duration<double, std::milli>(heard - played[i] - r.path.delay).count());
    // The first seconds size the delay; the rhythm is judged after them.
    if (i >= 60) {
      const sim::Time previous = at[before + 4 * static_cast<std::size_t>(i - 1)];
      gapError.push_back(std::abs(std::chrono::duration<double, std::milli>(heard - previous).count() - 50));
    }
  }
  const double gapP99 = Percentile(gapError, 0.99), delayMedian = Percentile(delay, 0.5);
  EXPECT_GE(gapP99, r.gapP99Ms[0]);
  EXPECT_LE(gapP99, r.gapP99Ms[1]);
  EXPECT_GE(delayMedian, r.delayMs[0]);
  EXPECT_LE(delayMedian, r.delayMs[1]);
  pair.HangUp(SessionPair::kCaller);
  pair.RunFor(100ms);
}

const sim::Path kJittery{.delay = 20ms, .loss = 0.01, .jitter = 20ms};

INSTANTIATE_TEST_SUITE_P(
    Rows, PlayoutInTheCall,
    ::testing::Values(
        // Automatic: the jitter (0-20 ms) is held out of the rhythm at about its span.
        PlayoutRow{"AutomaticThroughJitterAndLoss", kJittery, 255, {0, 0.5}, {12, 25}},
        PlayoutRow{"AutomaticOnACleanPathAddsLittle", {.delay = 20ms}, 255, {0, 0.5}, {0, 3}},
        // Fixed: that much above the path's lowest, late notes at once.
        PlayoutRow{"FixedAboveTheLowest", kJittery, 30, {0, 0.5}, {28, 33}},
        // On arrival: the path's jitter is the rhythm heard.
        PlayoutRow{"OnArrivalAsItComes", kJittery, 0, {8, 25}, {3, 14}},
        // On TCP the records carry their times too: the same playout, from the same figures.
        PlayoutRow{"AutomaticOnTcpThroughJitter", kJittery, 255, {0, 0.5}, {12, 25}, 1},
        PlayoutRow{"OnArrivalOnTcpAsItComes", kJittery, 0, {8, 25}, {3, 14}, 1}),
    [](const ::testing::TestParamInfo<PlayoutRow>& row) { return std::string(row.param.name); });

}  // namespace
