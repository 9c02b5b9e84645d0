// Random bytes from the peer: the parser must neither crash nor let a line outgrow its cap, and
// cutting the same bytes into blocks anywhere must give the same units.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "link/WireParser.h"

namespace {

struct Record final : WireSink {
  std::vector<std::string> units;
  void Frame(ShortMessage m) override {
    if ((m >> 24) != 0) std::abort();  // a frame carries three bytes
    units.push_back("F" + std::to_string(m));
  }
  void Line(QByteArrayView line) override {
    if (static_cast<std::size_t>(line.size()) > WireParser::kMaxLine) std::abort();
    units.push_back("L" + std::string(line.data(), static_cast<std::size_t>(line.size())));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the block size of the second pass.
  const std::size_t step = 1 + data[0] % 17;
  const std::span<const std::uint8_t> stream(data + 1, size - 1);

  WireParser whole;
  Record a;
  whole.Feed(stream, a);

  WireParser split;
  Record b;
  for (std::size_t at = 0; at < stream.size(); at += step) {
    split.Feed(stream.subspan(at, std::min(step, stream.size() - at)), b);
  }
  if (a.units != b.units || whole.CurrentState() != split.CurrentState() ||
      whole.PendingLineLength() != split.PendingLineLength()) {
    std::abort();
  }
  return 0;
}
