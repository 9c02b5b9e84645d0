// A call between two modems over a simulated path, fed whatever the network may bring in any
// order: bytes on the stream to either side (the answering side's reach its gate until the
// caller is the call), datagrams from anybody, the programs' bytes, time passing, a hang-up.
// Whatever comes, neither side crashes, wakes in the past or takes more from its program than
// one record. The input's first byte sets the path (1: UDP blocked, 8: lossy) and S40 (bits 1-2),
// its second how long the call runs before the rest comes (8 ms a step); then each step is an
// opcode (its top bit the side), a length and that many bytes.
// (The handshake's keys are random, so a record the fuzzer makes never opens; the genuine
// records come from the programs' bytes.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "support/SessionPair.h"

using namespace std::chrono_literals;

namespace {

void Check(sim::SessionPair& pair) {
  for (int side = 0; side < 2; ++side) {
    modem::CallSession* s = pair.Session(side);
    if (!s) continue;
    if (s->ProgramRoom() > modem::CallSession::kChunk) std::abort();
    const auto wake = s->Wake();
    if (wake != sim::Time::max() && wake < pair.Now() - 1h) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  sim::SessionPair pair({.path = {.delay = 10ms, .loss = (data[0] & 8) ? 0.3 : 0},
                         .udpBlocked = (data[0] & 1) != 0,
                         .lineChoice = (data[0] >> 1 & 3) % 3});
  pair.Dial();
  pair.RunFor(std::chrono::milliseconds(data[1] * 8));
  for (std::size_t at = 2; at + 2 <= size;) {
    const std::uint8_t op = data[at];
    const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
    const std::vector<std::uint8_t> bytes(data + at + 2, data + at + 2 + length);
    at += 2 + length;
    const int side = op >> 7;
    switch ((op & 0x7F) % 6) {
      case 0: pair.InjectStream(side, bytes); break;
      case 1: pair.InjectDatagram(side, bytes); break;
      case 2: pair.Write(side, std::string(bytes.begin(), bytes.end())); break;
      case 3: pair.RunFor(std::chrono::milliseconds(length * 16 + 1)); break;
      case 4: pair.HangUp(side); break;
      default: pair.RunFor(std::chrono::microseconds(length * 100 + 1)); break;
    }
    Check(pair);
  }
  pair.RunFor(3s);
  Check(pair);
  return 0;
}
