// Who may knock at the answering port: the limits on callers, the waits of an address that keeps
// guessing the password, and each caller's deadline, on a simulated clock.
#include "modem/CallerGate.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace modem;
using namespace std::chrono_literals;
using Time = CallerGate::Time;
using Kind = CallerGate::Verdict::Kind;

namespace {

constexpr Time kStart = Time{} + 1h;

sockaddr_storage Address(const char* text) {
  sockaddr_storage a{};
  if (std::string(text).find(':') != std::string::npos) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(a);
    v6.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, text, &v6.sin6_addr);
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(a);
    v4.sin_family = AF_INET;
    ::inet_pton(AF_INET, text, &v4.sin_addr);
  }
  return a;
}

Bytes Framed(const Bytes& unit) {
  Bytes out;
  StreamFramer::Append(unit, out);
  return out;
}

// One guess at the password from `from`: a HELLO answered, then the caller hangs up. With
// `proof`, the HELLO proves that key and the answerer keeps `kept`.
Kind Guess(CallerGate& gate, const std::string& from, Time now, const CallKey* proof = nullptr,
           std::span<const CallKey> kept = {}) {
  CallHandshake caller(CallHandshake::Role::Caller, "guess", now + 5s);
  const auto id = gate.Knock(Address(from.c_str()), now);
  if (!id) return Kind::Drop;
  const auto v = gate.Received(*id, Framed(caller.Start(proof)), false, "secret", now, kept);
  gate.Forget(*id);
  return v.kind == Kind::Wait && v.reply.empty() ? Kind::Drop : v.kind;
}

struct WaitRow {
  int guesses;                // failed guesses in a row, a second apart
  std::chrono::seconds wait;  // how long the address then waits
};

class GuessesInARow : public ::testing::TestWithParam<WaitRow> {};

TEST_P(GuessesInARow, DoubleTheWaitPastTheFreeTriesUpToTheLongest) {
  const WaitRow r = GetParam();
  CallerGate gate;
  Time now = kStart;
  for (int i = 0; i < r.guesses; ++i, now += 1s) {
    // Each guess waits out the one before it.
    while (gate.Throttled(CallerGate::AddressKey(Address("192.0.2.7")), now)) now += 1s;
    ASSERT_EQ(Guess(gate, "192.0.2.7", now), Kind::Wait) << i;
  }
  const Time last = now - 1s;
  const std::string key = CallerGate::AddressKey(Address("192.0.2.7"));
  EXPECT_EQ(gate.Throttled(key, last + r.wait - 1ms), r.wait > 0s);
  EXPECT_FALSE(gate.Throttled(key, last + r.wait));
  if (r.wait > 0s) {
    EXPECT_EQ(Guess(gate, "192.0.2.7", last + r.wait - 1ms), Kind::TurnAway);  // LATER
  }
  EXPECT_FALSE(gate.Throttled(CallerGate::AddressKey(Address("192.0.2.8")), last));  // others are not slowed
}

INSTANTIATE_TEST_SUITE_P(Waits, GuessesInARow,
                         ::testing::Values(WaitRow{2, 0s}, WaitRow{3, 1s}, WaitRow{4, 2s}, WaitRow{5, 4s},
                                           WaitRow{8, 32s}, WaitRow{9, 60s}, WaitRow{15, 60s}));

TEST(CallerGate, AnAddressQuietForTenMinutesStartsAfreshAndWhenTheTableIsFullNewcomersWait) {
  CallerGate gate;
  const std::string key = CallerGate::AddressKey(Address("192.0.2.7"));
  Time now = kStart;
  for (int i = 0; i < CallerGate::kFreeTries; ++i) Guess(gate, "192.0.2.7", now += 1ms);
  ASSERT_TRUE(gate.Throttled(key, now));
  // Ten minutes on, one more wrong guess is a first one again.
  now += CallerGate::kTriesForgotten + 1s;
  ASSERT_EQ(Guess(gate, "192.0.2.7", now), Kind::Wait);
  EXPECT_FALSE(gate.Throttled(key, now));

  for (int i = 1; i < CallerGate::kFreeTries; ++i) Guess(gate, "192.0.2.7", now += 1ms);
  ASSERT_TRUE(gate.Throttled(key, now));
  // A table full of other guessers (a second apart, within the budget): the next newcomer
  // waits, and the books of the first are kept.
  const auto other = [](std::size_t i) { return "198.51." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1); };
  const Time firstOther = now + 1s;
  for (std::size_t i = 0; i + 1 < CallerGate::kTriesKept; ++i) ASSERT_EQ(Guess(gate, other(i), now += 1s), Kind::Wait);
  EXPECT_EQ(Guess(gate, other(CallerGate::kTriesKept), now += 1s), Kind::TurnAway);
  ASSERT_EQ(Guess(gate, "192.0.2.7", now += 1s), Kind::Wait);
  EXPECT_TRUE(gate.Throttled(key, now + 1s)) << "its fourth wrong guess in a row";
  // Once the first of them is ten minutes quiet, a newcomer has its place.
  EXPECT_EQ(Guess(gate, other(CallerGate::kTriesKept), firstOther + CallerGate::kTriesForgotten + 1s), Kind::Wait);
}

struct CrowdRow {
  const char* name;
  std::string (*from)(int i);  // the address of the i-th guess
  std::chrono::milliseconds every;
  int answeredAtLeast, answeredAtMost;  // in a minute
};

class Crowds : public ::testing::TestWithParam<CrowdRow> {};

// Guesses without pause for a minute; then the partner, who kept a key from their last call,
// is answered at once while a stranger still waits.
TEST_P(Crowds, GetNoMoreThanTheBudgetInAMinuteAndThePartnerGetsThrough) {
  const CrowdRow r = GetParam();
  CallerGate gate;
  int answered = 0, i = 0;
  Time now = kStart;
  for (; now < kStart + 60s; now += r.every) answered += Guess(gate, r.from(i++), now) == Kind::Wait;
  EXPECT_GE(answered, r.answeredAtLeast);
  EXPECT_LE(answered, r.answeredAtMost);
  CallKey kept{}, other{};
  kept.fill(7);
  other.fill(8);
  const CallKey both[] = {other, kept};
  // At the moment of the crowd's last guess: the budget or the address's wait is spent then.
  const Time last = now - r.every;
  EXPECT_EQ(Guess(gate, r.from(i++), last, nullptr, both), Kind::TurnAway) << "a stranger";
  EXPECT_EQ(Guess(gate, r.from(i++), last, &kept, std::span(both, 1)), Kind::TurnAway) << "a key not kept";
  EXPECT_EQ(Guess(gate, r.from(i - 2), last, &kept, both), Kind::Wait) << "the partner";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Crowds,
    ::testing::Values(
        // The budget: 20 at once, then one a second; each address guessing once every 6 s.
        CrowdRow{"ThreeHundredAddressesInTurn",
                 [](int i) { return "10.0." + std::to_string(i % 300 / 250) + "." + std::to_string(i % 250 + 1); },
                 20ms, CallerGate::kBudgetBurst + 55, CallerGate::kBudgetBurst + 60},
        // The /48's own waits: three free, then 1, 2, 4, 8, 16, 32 s.
        CrowdRow{"EveryGuessFromANewSlash64OfOneSlash48",
                 [](int i) { return "2001:db8:7:" + std::to_string(i % 9000) + "::1"; }, 20ms,
                 CallerGate::kFreeTries + 5, CallerGate::kFreeTries + 6},
        CrowdRow{"AStrangerAlone", [](int) { return std::string("192.0.2.1"); }, 1s, CallerGate::kFreeTries + 5,
                 CallerGate::kFreeTries + 6}),
    [](const ::testing::TestParamInfo<CrowdRow>& row) { return std::string(row.param.name); });

struct LimitRow {
  const char* name;
  std::vector<const char*> callers;  // knocking in this order, none hanging up
  std::size_t held;                  // how many hold a place at the end
  std::vector<CallerGate::Id> gone;  // the ids (from 1, in knocking order) that made room
};

class CallerLimits : public ::testing::TestWithParam<LimitRow> {};

TEST_P(CallerLimits, PastThemTheOldestOfTheAddressHoldingTheMostMakesRoom) {
  CallerGate gate;
  std::vector<CallerGate::Id> gone;
  for (const char* c : GetParam().callers) {
    ASSERT_TRUE(gate.Knock(Address(c), kStart));
    for (const auto id : gate.Evicted()) gone.push_back(id);
  }
  EXPECT_EQ(gate.Callers(), GetParam().held);
  EXPECT_EQ(gone, GetParam().gone);
  EXPECT_EQ(gate.counts().turnedAway, static_cast<int>(gone.size()));
}

std::vector<const char*> Repeat(std::vector<const char*> some, int times) {
  std::vector<const char*> all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), some.begin(), some.end());
  return all;
}

std::vector<const char*> Then(std::vector<const char*> a, const std::vector<const char*>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CallerLimits,
    ::testing::Values(
        LimitRow{"FourFromOneAddress", Repeat({"192.0.2.1"}, 6), 4, {1, 2}},
        LimitRow{"FourFromOneSlash64",
                 {"2001:db8::1", "2001:db8::2", "2001:db8::3:4", "2001:db8::5", "2001:db8::6"},
                 4,
                 {1}},
        LimitRow{"OtherSlash48sCountApart", Repeat({"2001:db8:1::1", "2001:db8:2::1"}, 3), 6, {}},
        LimitRow{"FourFromOneSlash48",
                 {"2001:db8:0:1::1", "2001:db8:0:2::1", "2001:db8:0:3::1", "2001:db8:0:4::1", "2001:db8:0:5::1"},
                 4,
                 {1}},
        LimitRow{"AnIpv4CallerOnTheIpv6SocketIsItsIpv4Address",
                 {"::ffff:192.0.2.1", "192.0.2.1", "::ffff:192.0.2.1", "192.0.2.1", "192.0.2.1"},
                 4,
                 {1}},
        LimitRow{"SixteenInAll", Repeat({"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4", "192.0.2.5"}, 4),
                 16, {1, 2, 3, 4}},
        // Two old ones from .9, then four each from three others: a newcomer pushes out the
        // oldest of a crowd of four, not the older two.
        LimitRow{"TheCrowdMakesRoomNotTheOldest",
                 Then(Then({"192.0.2.9", "192.0.2.9"}, Repeat({"192.0.2.1", "192.0.2.2", "192.0.2.3"}, 4)),
                      {"192.0.2.4", "192.0.2.4", "192.0.2.5"}),
                 16, {3}}),
    [](const ::testing::TestParamInfo<LimitRow>& row) { return std::string(row.param.name); });

TEST(CallerGate, ACallerHasASecondToGreetFiveToProveItselfAndOneTurnedAwayTwoToReadWhy) {
  CallerGate gate;
  const auto silent = gate.Knock(Address("192.0.2.3"), kStart);
  const auto slow = gate.Knock(Address("192.0.2.1"), kStart);
  const auto busy = gate.Knock(Address("192.0.2.2"), kStart + 500ms);
  ASSERT_TRUE(silent && slow && busy);
  EXPECT_EQ(gate.Wake(), kStart + CallerGate::kGreetingTime);
  CallHandshake guesser(CallHandshake::Role::Caller, "", kStart + 5s);
  ASSERT_EQ(gate.Received(*slow, Framed(guesser.Start()), false, "", kStart + 900ms).kind, Kind::Wait);
  EXPECT_EQ(gate.Expired(kStart + 1s), std::vector<CallerGate::Id>{*silent});
  CallHandshake caller(CallHandshake::Role::Caller, "", kStart + 5s);
  const auto v = gate.Received(*busy, Framed(caller.Start()), true, "", kStart + 1s);
  ASSERT_EQ(v.kind, Kind::TurnAway);
  EXPECT_EQ(v.reply, Framed(CallHandshake::BusyMessage()));
  EXPECT_EQ(gate.Wake(), kStart + 1s + CallerGate::kTurnAwayTime);
  // What a turned-away caller says more is read and dropped.
  EXPECT_EQ(gate.Received(*busy, Framed(caller.Start()), false, "", kStart + 2s).kind, Kind::Wait);
  EXPECT_EQ(gate.Expired(kStart + 3s - 1ms), std::vector<CallerGate::Id>{});
  EXPECT_EQ(gate.Expired(kStart + 3s), std::vector<CallerGate::Id>{*busy});
  EXPECT_EQ(gate.Expired(kStart + 5s), std::vector<CallerGate::Id>{*slow});
  EXPECT_EQ(gate.Wake(), Time::max());
}

TEST(CallerGate, TheCallerWithThePasswordIsAnsweredAndAnythingElseIsDroppedWithoutAWord) {
  CallerGate gate;
  CallHandshake caller(CallHandshake::Role::Caller, "secret", kStart + 5s);
  const auto id = gate.Knock(Address("192.0.2.1"), kStart);
  auto answer = gate.Received(*id, Framed(caller.Start()), false, "secret", kStart);
  ASSERT_EQ(answer.kind, Kind::Wait);
  StreamFramer framer(CallHandshake::kMaxMessage);
  ASSERT_TRUE(framer.Feed(answer.reply));
  const Bytes confirm = caller.Receive(*framer.Next());
  const auto v = gate.Received(*id, Framed(confirm), false, "secret", kStart + 10ms);
  ASSERT_EQ(v.kind, Kind::Answer);
  ASSERT_TRUE(v.call);
  ASSERT_TRUE(framer.Feed(v.reply));
  caller.Receive(*framer.Next());
  ASSERT_EQ(caller.step(), CallHandshake::Step::Established);
  EXPECT_EQ(v.call->Keys().send, caller.Keys().receive);
  EXPECT_EQ(gate.Callers(), 0u);

  for (const Bytes& junk : {Bytes{'G', 'E', 'T', ' ', '/'}, Framed({'h', 'i'}), Bytes{0, 0}}) {
    const auto stranger = gate.Knock(Address("192.0.2.9"), kStart);
    const auto d = gate.Received(*stranger, junk, false, "secret", kStart);
    EXPECT_EQ(d.kind, Kind::Drop);
    EXPECT_TRUE(d.reply.empty());
  }
  EXPECT_EQ(gate.Callers(), 0u);
  // A HELLO heard before (a replay) is dropped before its curve work, from any address.
  {
    CallHandshake replayed(CallHandshake::Role::Caller, "x", kStart + 5s);
    const Bytes hello = Framed(replayed.Start());
    const auto first = gate.Knock(Address("192.0.2.10"), kStart);
    EXPECT_EQ(gate.Received(*first, hello, false, "secret", kStart).kind, Kind::Wait);
    gate.Forget(*first);
    const auto again = gate.Received(*gate.Knock(Address("192.0.2.11"), kStart), hello, false, "secret", kStart);
    EXPECT_EQ(again.kind, Kind::Drop);
    EXPECT_TRUE(again.reply.empty());
  }
  // The partner's call counts as no wrong password, the junk neither (no HELLO was answered).
  EXPECT_EQ(gate.counts().wrongPasswords, 1) << "the one whose HELLO was answered";
}

TEST(CallerGate, CountsWrongGuessesAndTheTurnedAwayUntilReset) {
  CallerGate gate;
  Time now = kStart;
  for (int i = 0; i < CallerGate::kFreeTries; ++i) ASSERT_EQ(Guess(gate, "192.0.2.7", now += 1ms), Kind::Wait);
  ASSERT_EQ(Guess(gate, "192.0.2.7", now), Kind::TurnAway);  // LATER
  for (int i = 0; i <= static_cast<int>(CallerGate::kMaxIncomingPerAddress); ++i) gate.Knock(Address("192.0.2.8"), now);
  // A caller answered and left to expire is a guess too.
  CallHandshake caller(CallHandshake::Role::Caller, "guess", now + 5s);
  const auto id = gate.Knock(Address("192.0.2.9"), now);
  ASSERT_EQ(gate.Received(*id, Framed(caller.Start()), false, "secret", now).kind, Kind::Wait);
  gate.Expired(now + CallerGate::kHandshakeTime);
  EXPECT_EQ(gate.counts().wrongPasswords, CallerGate::kFreeTries + 1);
  EXPECT_EQ(gate.counts().turnedAway, 2);
  gate.ResetCounts();
  EXPECT_EQ(gate.counts().wrongPasswords + gate.counts().turnedAway, 0);
}

}  // namespace
