// Writes the starting inputs of the fuzz targets that take protocol messages, made by the
// protocol code itself: `make_fuzz_seeds tests/fuzz/corpus`. Run it again when a message's
// layout changes. A handshake's messages differ from run to run (fresh random shares), so the
// files change every time; commit them only when the layout did.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "FuzzedLine.h"
#include "modem/CallHandshake.h"
#include "modem/SealedRecords.h"
#include "platform/ShiftJis.h"
#include "routing/RoutingEngine.h"

using namespace modem;
using std::chrono::milliseconds;

namespace {

std::filesystem::path corpus;

void Put(const char* target, const char* name, const Bytes& bytes) {
  const auto folder = corpus / target;
  std::filesystem::create_directories(folder);
  std::ofstream(folder / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::printf("%s/%s: %zu bytes\n", target, name, bytes.size());
}

Bytes Joined(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// fuzz_call_handshake: [passwords alike][which message | how << 4][change]. A call as the target
// makes it, and messages of another genuine call put in place of its own.
void HandshakeSeeds() {
  constexpr const char* kTarget = "fuzz_call_handshake";
  constexpr std::uint8_t kFlip = 0, kCut = 1, kSwap = 3;
  Put(kTarget, "same_password", {1, 0});
  Put(kTarget, "other_password", {0, 0});

  const auto later = CallHandshake::Clock::now() + std::chrono::hours(1);
  CallHandshake caller(CallHandshake::Role::Caller, "pw", later);
  CallHandshake answerer(CallHandshake::Role::Answerer, "pw", later);
  std::vector<Bytes> call{caller.Start()};
  call.push_back(answerer.Receive(call.back()));
  call.push_back(caller.Receive(call.back()));
  answerer.Receive(call.back());
  call.push_back(answerer.Accept());
  const char* names[] = {"replayed_hello", "replayed_answer", "replayed_confirm", "replayed_welcome"};
  for (std::uint8_t hop = 0; hop < 4; ++hop) {
    Put(kTarget, names[hop], Joined({1, static_cast<std::uint8_t>(hop | kSwap << 4)}, call[hop]));
  }
  Put(kTarget, "busy_answer", Joined({1, 1 | kSwap << 4}, CallHandshake::BusyMessage()));
  Put(kTarget, "later_answer", Joined({1, 1 | kSwap << 4}, CallHandshake::LaterMessage()));
  Put(kTarget, "answer_cut_after_greeting",
      {1, 1 | kCut << 4, static_cast<std::uint8_t>(CallHandshake::kAnswer.size())});
  Bytes lastByte(call[2].size(), 0);  // the end of the caller's confirmation tag
  lastByte.back() = 0x01;
  Put(kTarget, "confirm_tag_flipped", Joined({1, 2 | kFlip << 4}, lastByte));
}

// fuzz_record_reader: [units - 1][read size - 1][where a byte is flipped, two bytes][the units'
// bytes]. The units are what a call carries: MIDI frames and a chat line.
const std::uint8_t kEscape = RoutingEngine::kFrameEscape;

// Where the target's stream puts record `k` (it cuts `rest` into `units` slices, each led by its
// number), as the sealer and framer make it.
std::size_t RecordStart(std::size_t units, std::size_t rest, std::size_t k) {
  CallKey key;
  key.fill(0x5A);
  RecordSealer sealer(key);
  Bytes stream;
  for (std::size_t i = 0; i < k; ++i) {
    StreamFramer::Append(sealer.Seal(Bytes(1 + rest * (i + 1) / units - rest * i / units)), stream);
  }
  return stream.size();
}

void RecordSeeds() {
  constexpr const char* kTarget = "fuzz_record_reader";
  const QByteArray chat = ShiftJis::Encode(QStringLiteral("よろしく\r"));
  Bytes rest{kEscape, 0x90, 60, 100, kEscape, 0x80, 60, 0};
  rest.insert(rest.end(), chat.begin(), chat.end());
  const auto seed = [&](std::size_t units, std::size_t step, std::size_t flipAt) {
    return Joined({static_cast<std::uint8_t>(units - 1), static_cast<std::uint8_t>(step - 1),
                   static_cast<std::uint8_t>(flipAt & 0xFF), static_cast<std::uint8_t>(flipAt >> 8)},
                  rest);
  };
  constexpr std::size_t kNowhere = 0xFFFF;
  Put(kTarget, "three_units_whole_reads", seed(3, 64, kNowhere));
  Put(kTarget, "three_units_byte_by_byte", seed(3, 1, kNowhere));
  Put(kTarget, "eight_units_odd_reads", seed(8, 7, kNowhere));
  Put(kTarget, "second_tag_flipped", seed(3, 64, RecordStart(3, rest.size(), 2) - 1));
  Put(kTarget, "third_body_flipped",
      seed(3, 5, RecordStart(3, rest.size(), 2) + StreamFramer::kPrefix + RecordSealer::kHeader));
  Put(kTarget, "first_length_flipped", seed(3, 64, 0));
}

// fuzz_datagram_line: datagrams, each led by its length (two bytes) and the milliseconds since
// the one before (one byte). The peer's side of a call with the target's own line: the peer
// plays `notes` notes 10 ms apart and, with `hangUp`, says goodbye and closes; `lost(n)` drops
// the n-th datagram each way. What reached the target's line is the seed.
Bytes Conversation(int notes, bool hangUp, const std::function<bool(int)>& lost) {
  auto now = FuzzedLineStart();
  DatagramLine ours = FuzzedLine();
  DatagramLine peer(now);
  Bytes seed;
  auto last = now;
  int fromOurs = 0, fromPeer = 0, heard = 0;
  for (int ms = 0; ms < 400 && heard < 24; ++ms, now += milliseconds(1)) {
    if (ms % 10 == 0 && ms / 10 < notes) {
      const std::uint8_t note[] = {kEscape, 0x90, static_cast<std::uint8_t>(60 + ms / 10), 100};
      peer.Write(note, now);
    }
    if (hangUp && ms == notes * 10) {
      const QByteArray bye = ShiftJis::Encode(QStringLiteral("またね\r"));
      peer.Write(std::span(reinterpret_cast<const std::uint8_t*>(bye.data()), bye.size()), now);
      peer.Close();
    }
    while (const auto d = ours.Next(now)) {
      if (!lost(fromOurs++)) peer.Receive(*d, now);
    }
    while (const auto d = peer.Next(now)) {
      if (lost(fromPeer++)) continue;
      ours.Receive(*d, now);
      const auto gap = std::min<long long>(255, std::chrono::duration_cast<milliseconds>(now - last).count());
      seed.insert(seed.end(), {static_cast<std::uint8_t>(d->size() >> 8),
                               static_cast<std::uint8_t>(d->size()), static_cast<std::uint8_t>(gap)});
      seed.insert(seed.end(), d->begin(), d->end());
      last = now;
      ++heard;
    }
    ours.Take(DatagramLine::kReceiveWindow);
    peer.Take(DatagramLine::kReceiveWindow);
  }
  return seed;
}

void DatagramSeeds() {
  constexpr const char* kTarget = "fuzz_datagram_line";
  Put(kTarget, "conversation", Conversation(8, false, [](int) { return false; }));
  Put(kTarget, "lossy_conversation", Conversation(8, false, [](int n) { return n % 3 == 1; }));
  Put(kTarget, "peer_hangs_up", Conversation(3, true, [](int) { return false; }));
}

// fuzz_call_session: [path and S40][how long the call runs first], then steps: an opcode (0 stream
// bytes, 1 a datagram, 2 the program's bytes, 3 time passing, 4 a hang-up; the top bit the side),
// a length and that many bytes.
void SessionSeeds() {
  constexpr const char* kTarget = "fuzz_call_session";
  const auto step = [](std::uint8_t op, const Bytes& bytes) {
    return Joined({op, static_cast<std::uint8_t>(bytes.size())}, bytes);
  };
  const Bytes talk =
      Joined(Joined(step(2, {0xFF, 0x90, 60, 100}), step(0x82, {'h', 'i', '\r'})), step(3, Bytes(10)));
  Put(kTarget, "datagram_call", Joined({0, 50}, talk));
  Put(kTarget, "udp_blocked", Joined({1, 200}, talk));
  Put(kTarget, "held_to_tcp", Joined({2, 50}, talk));
  Put(kTarget, "lossy_hang_up", Joined(Joined({8, 100}, talk), step(4, {})));
  Put(kTarget, "hang_up_while_choosing", Joined({1, 40}, step(4, {})));
  Put(kTarget, "stranger_at_the_gate",
      Joined({0, 3}, Joined(step(0x80, {0, 3, 'G', 'E', 'T'}), step(1, Bytes(30, 7)))));
}

}  // namespace

// fuzz_caller_gate: steps of an opcode and an argument (0 knock, 1 a caller's next handshake
// message, 2 raw bytes, 3 and 4 time passing, 5 a hang-up, 6 the deadlines, 7 a crowd saying
// HELLO at once, from eight addresses a step). A crowd past the budget, one past the places, the partner with a key and
// without amid them, and a table of addresses filled within the budget.
void GateSeeds() {
  constexpr const char* kTarget = "fuzz_caller_gate";
  Put(kTarget, "crowd_spends_the_budget", {7, 40, 3, 50, 7, 30, 4, 2, 7, 10});
  Put(kTarget, "crowd_takes_the_places", {0, 0, 0, 1, 0, 3, 0, 4, 0, 6, 0, 7, 0, 9, 0, 10, 0, 12, 0, 13, 0, 15,
                                          0, 16, 0, 18, 0, 19, 0, 21, 0, 22, 0, 24, 0, 25, 6, 0});
  Put(kTarget, "partner_amid_the_crowd", {7, 30, 0, 3, 1 | 2 << 3, 0, 1, 0, 0, 6, 1, 1, 1, 1, 6, 0});
  Put(kTarget, "wrong_password_then_waits", {0, 5, 1 | 1 << 3, 0, 1, 0, 4, 1, 0, 5, 1, 1, 1, 1, 4, 9, 6, 0});
  Bytes table;
  for (int i = 0; i < 32; ++i) table.insert(table.end(), {static_cast<std::uint8_t>(7 + 8 * i), 8, 4, 8});
  Put(kTarget, "a_table_filled_within_the_budget", table);
  Put(kTarget, "junk_at_the_door", {0, 2, 2, 5, 'G', 'E', 'T', ' ', '/', 0, 8, 2, 3, 0, 1, 0});
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds <corpus folder, e.g. tests/fuzz/corpus>\n");
    return 2;
  }
  corpus = argv[1];
  HandshakeSeeds();
  RecordSeeds();
  DatagramSeeds();
  SessionSeeds();
  GateSeeds();
  return 0;
}
