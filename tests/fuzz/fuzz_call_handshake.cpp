// Bytes from the network in the call's handshake. The input is a genuine handshake between a
// caller and an answerer plus changes made to its messages on the way (bytes flipped, cut off,
// added, a message swapped for the fuzzer's own). Neither side may crash, answer with more than
// a message's length, or take a call whose keys the other side does not share.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "modem/CallHandshake.h"

using namespace modem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const auto later = CallHandshake::Clock::now() + std::chrono::hours(1);
  // First byte: passwords alike or not; second: which message is changed and how.
  const bool samePassword = data[0] & 1;
  const int hop = (data[1] & 0x0F) % 4;
  const int how = (data[1] >> 4) % 4;
  const std::span<const std::uint8_t> change(data + 2, size - 2);
  CallHandshake caller(CallHandshake::Role::Caller, "pw", later);
  CallHandshake answerer(CallHandshake::Role::Answerer, samePassword ? "pw" : "px", later);
  Bytes m = caller.Start();
  bool changed = false;
  for (int h = 0; !m.empty() && h < 8; ++h) {
    if (m.size() > CallHandshake::kMaxMessage) std::abort();
    if (h == hop && !change.empty()) {
      const Bytes before = m;
      switch (how) {
        case 0:
          for (std::size_t i = 0; i < change.size(); ++i) m[i % m.size()] ^= change[i];
          break;
        case 1: m.resize(change[0] % (m.size() + 1)); break;
        case 2: m.insert(m.end(), change.begin(), change.end()); break;
        default: m.assign(change.begin(), change.end());
      }
      changed = m != before;
    }
    CallHandshake& to = h % 2 == 0 ? answerer : caller;
    m = to.Receive(m);
    if (&to == &answerer && answerer.step() == CallHandshake::Step::Confirmed) m = answerer.Accept();
  }
  const bool both = caller.step() == CallHandshake::Step::Established &&
                    answerer.step() == CallHandshake::Step::Established;
  if (caller.step() == CallHandshake::Step::Established && !both) std::abort();
  if (both && (!samePassword || changed || caller.Keys().send != answerer.Keys().receive)) std::abort();
  if (!both && samePassword && !changed) std::abort();
  return 0;
}
