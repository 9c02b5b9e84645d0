// The call's handshake and its sealed records, driven as two modems would drive them: messages
// handed from one side to the other, some of them altered, replayed or dropped on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <new>
#include <string>

#include "modem/CallHandshake.h"
#include "modem/SealedRecords.h"

using namespace modem;
using Step = CallHandshake::Step;
using Failure = CallHandshake::Failure;
using Role = CallHandshake::Role;

namespace {

const auto kLater = CallHandshake::Clock::now() + std::chrono::hours(1);

Bytes B(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

// Both sides through to the end, or as far as they get; each message may be changed on its way.
struct Pair {
  CallHandshake caller;
  CallHandshake answerer;
  Pair(std::string_view callerPassword, std::string_view answererPassword)
      : caller(Role::Caller, callerPassword, kLater), answerer(Role::Answerer, answererPassword, kLater) {}
  void Run(const std::function<void(int, Bytes&)>& onTheWay = [](int, Bytes&) {}) {
    Bytes m = caller.Start();
    for (int hop = 0; !m.empty(); ++hop) {
      onTheWay(hop, m);
      CallHandshake& to = hop % 2 == 0 ? answerer : caller;
      m = to.Receive(m);
      if (&to == &answerer && answerer.step() == Step::Confirmed) m = answerer.Accept();
    }
  }
};

TEST(CallHandshake, PasswordsDecideWhoGetsThroughAndEachSideKnowsWhy) {
  struct Case {
    const char* caller;
    const char* answerer;
    Step callerEnds, answererEnds;
    Failure callerWhy;
    bool protectedCall;
  };
  const Case cases[] = {
      {"", "", Step::Established, Step::Established, Failure::None, false},
      {"same secret", "same secret", Step::Established, Step::Established, Failure::None, true},
      {"日本語の合言葉", "日本語の合言葉", Step::Established, Step::Established, Failure::None, true},
      {"", "secret", Step::Failed, Step::Confirm, Failure::WrongPassword, false},
      {"secret", "", Step::Failed, Step::Confirm, Failure::WrongPassword, true},
      {"secret", "Secret", Step::Failed, Step::Confirm, Failure::WrongPassword, true},
  };
  for (const auto& c : cases) {
    Pair p(c.caller, c.answerer);
    p.Run();
    SCOPED_TRACE(std::string(c.caller) + " / " + c.answerer);
    EXPECT_EQ(p.caller.step(), c.callerEnds);
    EXPECT_EQ(p.answerer.step(), c.answererEnds);  // the answerer waits for a CONFIRM that never comes
    EXPECT_EQ(p.caller.failure(), c.callerWhy);
    EXPECT_EQ(p.caller.PasswordProtected(), c.protectedCall);
    if (c.callerEnds == Step::Established) {
      EXPECT_EQ(p.caller.Keys().send, p.answerer.Keys().receive);
      EXPECT_EQ(p.caller.Keys().receive, p.answerer.Keys().send);
      EXPECT_NE(p.caller.Keys().send, p.caller.Keys().receive);
    }
  }
}

TEST(CallHandshake, AnAlteredOrForeignMessageFailsTheSideThatReadsIt) {
  struct Case {
    int hop;            // 0 HELLO, 1 ANSWER, 2 CONFIRM, 3 WELCOME
    std::size_t at;     // byte changed (from the end when past the size)
    bool callerFails;   // else the answerer
    Failure why;
  };
  const Case cases[] = {
      {0, 3, false, Failure::NotSonavel},         // the greeting
      {0, 30, true, Failure::WrongPassword},      // the session id: another generator
      {1, 5, true, Failure::NotSonavel},
      {1, 80, true, Failure::WrongPassword},      // its tag
      {2, 30, false, Failure::WrongPassword},     // the caller's tag
      {3, 30, true, Failure::NotSonavel},         // the welcome's tag
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "hop " << c.hop << " byte " << c.at);
    Pair p("pw", "pw");
    p.Run([&](int hop, Bytes& m) {
      if (hop == c.hop) m[std::min(c.at, m.size() - 1)] ^= 0x01;
    });
    const CallHandshake& failed = c.callerFails ? p.caller : p.answerer;
    EXPECT_EQ(failed.step(), Step::Failed);
    EXPECT_EQ(failed.failure(), c.why);
    EXPECT_NE(p.caller.step(), Step::Established);
  }
}

TEST(CallHandshake, TheAnswerersWordsAndWhatCannotBeReplayed) {
  {
    Pair p("", "");
    p.caller.Start();
    p.caller.Receive(CallHandshake::BusyMessage());
    EXPECT_EQ(p.caller.failure(), Failure::Busy);
  }
  {
    Pair p("", "");
    p.caller.Start();
    p.caller.Receive(CallHandshake::LaterMessage());
    EXPECT_EQ(p.caller.failure(), Failure::TooManyTries);
  }
  {
    // Greetings of other versions (the answer of one who is called too), something that only
    // looks like one, and a share that is the group's identity (it would make a known key).
    const struct {
      Role role;
      const char* message;
      Failure failure;
    } greetings[] = {{Role::Answerer, "SONAVEL-MODEM/1 CALL\n", Failure::OlderModem},
                     {Role::Answerer, "SONAVEL-MODEM/2 CALL\n", Failure::OlderModem},
                     {Role::Answerer, "SONAVEL-MODEM/3 CALL\n", Failure::OlderModem},
                     {Role::Caller, "SONAVEL-MODEM/12 ANSWER\n", Failure::NewerModem},
                     {Role::Answerer, "SONAVEL-MODEM/x CALL\n", Failure::NotSonavel},
                     {Role::Answerer, "SONAVEL-MODEM/2", Failure::NotSonavel}};
    for (const auto& g : greetings) {
      CallHandshake a(g.role, "", kLater);
      if (g.role == Role::Caller) a.Start();
      a.Receive(B(g.message));
      EXPECT_EQ(a.failure(), g.failure) << g.message;
    }
    Bytes hello = B(CallHandshake::kHello);
    hello.resize(hello.size() + CallHandshake::kSessionIdSize + 32 + CallHandshake::kProofSize, 0);
    EXPECT_TRUE(CallHandshake::IsHello(hello));
    CallHandshake b(Role::Answerer, "", kLater);
    EXPECT_TRUE(b.Receive(hello).empty());
    EXPECT_EQ(b.failure(), Failure::Unsafe);
  }
  {
    // A recorded call played again to the answerer: its HELLO gets an ANSWER with a new share,
    // and the recorded CONFIRM does not fit it.
    Bytes hello, confirm;
    Pair p("pw", "pw");
    p.Run([&](int hop, Bytes& m) {
      if (hop == 0) hello = m;
      if (hop == 2) confirm = m;
    });
    ASSERT_EQ(p.answerer.step(), Step::Established);
    CallHandshake again(Role::Answerer, "pw", kLater);
    again.Receive(hello);
    again.Receive(confirm);
    EXPECT_EQ(again.failure(), Failure::WrongPassword);
  }
  CallHandshake slow(Role::Answerer, "", CallHandshake::Clock::now());
  EXPECT_TRUE(slow.Expired(CallHandshake::Clock::now()));
}

CallKey KeyOf(std::uint8_t v) {
  CallKey k;
  k.fill(v);
  return k;
}

// The keys of an ended call leave nothing behind in the memory they held.
TEST(SealedRecords, AKeyIsWipedWhenItGoes) {
  alignas(RecordSealer) std::uint8_t room[sizeof(RecordSealer)];
  auto* sealer = new (room) RecordSealer(KeyOf(0xA5));
  EXPECT_NE(std::search_n(std::begin(room), std::end(room), 32, 0xA5), std::end(room)) << "the key is in there";
  sealer->~RecordSealer();
  EXPECT_EQ(std::search_n(std::begin(room), std::end(room), 8, 0xA5), std::end(room));
}

TEST(SealedRecords, AStreamTakesOnlyTheNextRecordUnchangedAndDatagramsDropWhatTheyHaveSeen) {
  RecordSealer sealer(KeyOf(7));
  std::vector<Bytes> r;
  for (int i = 0; i < 5; ++i) r.push_back(sealer.Seal(B("note " + std::to_string(i))));
  EXPECT_EQ(r[0].size(), 6 + RecordSealer::kOverhead);
  const std::string plain = "note 0";
  EXPECT_EQ(std::search(r[0].begin(), r[0].end(), plain.begin(), plain.end()), r[0].end()) << "sealed, not clear";

  Bytes altered = r[1];
  altered[RecordSealer::kHeader + 2] ^= 0x40;
  Bytes renumbered = r[2];
  renumbered[7] = 1;
  struct Case {
    RecordOpener::Order order;
    std::vector<Bytes> records;
    std::vector<bool> opened;
  };
  const Case cases[] = {
      {RecordOpener::Order::Strict, {r[0], r[1], r[2]}, {true, true, true}},
      {RecordOpener::Order::Strict, {r[0], r[0]}, {true, false}},        // replayed
      {RecordOpener::Order::Strict, {r[0], r[2]}, {true, false}},        // one missing
      {RecordOpener::Order::Strict, {r[1]}, {false}},                    // reordered
      {RecordOpener::Order::Strict, {r[0], altered, r[1]}, {true, false, true}},
      {RecordOpener::Order::Strict, {r[0], renumbered}, {true, false}},
      {RecordOpener::Order::Strict, {Bytes(RecordSealer::kOverhead - 1, 0)}, {false}},
      {RecordOpener::Order::Window, {r[2], r[0], r[1], r[1], r[4], r[2], r[3]}, {true, true, true, false, true, false, true}},
      {RecordOpener::Order::Window, {r[0], altered, r[1], renumbered}, {true, false, true, false}},
  };
  for (const auto& c : cases) {
    RecordOpener opener(KeyOf(7), c.order);
    for (std::size_t i = 0; i < c.records.size(); ++i) {
      const auto got = opener.Open(c.records[i]);
      EXPECT_EQ(got.has_value(), c.opened[i]) << "case " << (&c - cases) << " record " << i;
    }
  }
  RecordOpener otherKey(KeyOf(8), RecordOpener::Order::Strict);
  EXPECT_FALSE(otherKey.Open(r[0]));
  RecordOpener opener(KeyOf(7), RecordOpener::Order::Strict);
  EXPECT_EQ(opener.Open(r[0]), B("note 0"));
}

TEST(SealedRecords, TheDatagramWindowForgetsOnlyWhatIsTooOldAndBindsTheLinesHeader) {
  RecordSealer sealer(KeyOf(1));
  RecordOpener opener(KeyOf(1), RecordOpener::Order::Window);
  std::vector<Bytes> r;
  for (std::uint64_t i = 0; i < RecordOpener::kWindow + 10; ++i) r.push_back(sealer.Seal(B("x")));
  EXPECT_TRUE(opener.Open(r[0]));
  EXPECT_TRUE(opener.Open(r.back()));                          // far ahead: the window moves up
  EXPECT_FALSE(opener.Open(r[5])) << "behind the window: cannot tell, so dropped";
  EXPECT_TRUE(opener.Open(r[r.size() - RecordOpener::kWindow]));  // the oldest still inside
  EXPECT_FALSE(opener.Open(r[r.size() - RecordOpener::kWindow]));
  const Bytes header = B("hdr");
  const Bytes withHeader = sealer.Seal(B("y"), header);
  EXPECT_FALSE(opener.Open(withHeader, B("hdX")));
  EXPECT_TRUE(opener.Open(withHeader, header));
}

TEST(StreamFramer, UnitsComeOutWholeHoweverTheBytesAreCutAndAnImpossibleLengthStopsIt) {
  Bytes stream;
  StreamFramer::Append(B("first"), stream);
  StreamFramer::Append(Bytes(300, 'x'), stream);
  StreamFramer::Append(B("z"), stream);
  for (std::size_t cut : {1U, 2U, 3U, 7U, 1000U}) {
    StreamFramer f(300);
    std::vector<Bytes> units;
    for (std::size_t at = 0; at < stream.size(); at += cut) {
      ASSERT_TRUE(f.Feed(std::span(stream).subspan(at, std::min(cut, stream.size() - at))));
      while (auto u = f.Next()) units.emplace_back(u->begin(), u->end());
    }
    ASSERT_EQ(units.size(), 3U) << cut;
    EXPECT_EQ(units[0], B("first"));
    EXPECT_EQ(units[1].size(), 300U);
    EXPECT_EQ(units[2], B("z"));
  }
  for (const Bytes& bad : {B("SONAVEL-MODEM/1 CALL\n"), Bytes{0, 0}, Bytes{0x01, 0x2D}}) {
    StreamFramer f(300);
    f.Feed(bad);
    EXPECT_FALSE(f.Next());
    EXPECT_TRUE(f.Failed());
  }
}

}  // namespace
