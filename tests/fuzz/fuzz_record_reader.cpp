// Bytes from the network on a standing call. The input names the units one side sealed and
// what happened to the stream of records on the way (bytes changed, cut, the stream cut into
// reads anywhere). What the reader opens must be the sender's units, whole and in order, up to
// the first record that failed; datagrams (each record alone, changed or replayed) must never
// yield a unit twice nor one that was not sent.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <span>

#include "modem/SealedRecords.h"

using namespace modem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  CallKey key;
  key.fill(0x5A);
  const std::size_t units = 1 + data[0] % 8;
  const std::size_t step = 1 + data[1] % 64;
  const std::size_t flipAt = data[2] | (std::size_t{data[3]} << 8);
  const std::span<const std::uint8_t> rest(data + 4, size - 4);

  // The sent units: slices of the rest, each numbered in its first byte.
  RecordSealer sealer(key);
  std::vector<Bytes> sent, records;
  Bytes stream;
  for (std::size_t i = 0; i < units; ++i) {
    const std::size_t from = rest.size() * i / units, to = rest.size() * (i + 1) / units;
    Bytes unit{static_cast<std::uint8_t>(i)};
    unit.insert(unit.end(), rest.begin() + static_cast<std::ptrdiff_t>(from), rest.begin() + static_cast<std::ptrdiff_t>(to));
    sent.push_back(unit);
    records.push_back(sealer.Seal(unit));
    StreamFramer::Append(records.back(), stream);
  }
  if (flipAt < stream.size()) stream[flipAt] ^= 0x20;
  // Fuzzer bytes added at the end: more records that are no records.
  stream.insert(stream.end(), rest.begin(), rest.end());

  StreamFramer framer(4096 + RecordSealer::kOverhead);
  RecordOpener opener(key, RecordOpener::Order::Strict);
  std::size_t opened = 0;
  bool ended = false;
  for (std::size_t at = 0; at < stream.size() && !ended; at += step) {
    if (!framer.Feed(std::span(stream).subspan(at, std::min(step, stream.size() - at)))) break;
    while (auto unit = framer.Next()) {
      const auto plain = opener.Open(*unit);
      if (!plain) {
        ended = true;  // the call ends here
        break;
      }
      if (opened >= sent.size() || *plain != sent[opened]) std::abort();
      ++opened;
    }
  }
  if (flipAt >= stream.size() - rest.size() && !framer.Failed() && opened != sent.size()) std::abort();

  // The same records as datagrams, each twice, the one at flipAt changed, in the input's order.
  RecordOpener window(key, RecordOpener::Order::Window);
  std::set<std::uint8_t> heard;
  for (std::size_t i = 0; i < rest.size() && i < 64; ++i) {
    Bytes d = records[rest[i] % records.size()];
    if (i == flipAt % 64) d[(flipAt >> 6) % d.size()] ^= 1;
    if (const auto plain = window.Open(d)) {
      if (plain->empty() || *plain != sent[(*plain)[0] % sent.size()] || !heard.insert((*plain)[0]).second) std::abort();
    }
  }
  return 0;
}
