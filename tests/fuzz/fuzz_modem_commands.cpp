// Random bytes typed at the modem: the interpreter must neither crash nor answer a line with
// more than one result, and cutting the same bytes into blocks anywhere must give the same
// echo, answers and requests.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "modem/ModemCommands.h"

namespace {

struct Line final : modem::ModemLine {
  std::vector<std::string> calls;
  std::size_t dials = 0;
  bool SetAnswering(bool on, std::string& why) override {
    calls.push_back(on ? "on" : "off");
    // Every other request is refused, so the refusal path is walked too.
    if (calls.size() % 2 == 0) {
      why = "busy port";
      return false;
    }
    return true;
  }
  void Dial(const modem::DialTarget& t) override {
    if (t.host.empty() || t.port == 0) std::abort();
    calls.push_back("dial " + t.host + ":" + std::to_string(t.port));
    ++dials;
  }
  std::uint16_t DefaultPort() const override { return modem::kDefaultPort; }
  std::string Identification() const override { return "fuzz"; }
};

// Feeds in blocks of `step`. After a dial, the next byte abandons it (NO CARRIER) and is
// dropped, the way the modem treats a key pressed while it dials.
std::string Run(std::span<const std::uint8_t> bytes, std::size_t step, Line& line) {
  modem::CommandInterpreter c(line);
  std::string out;
  std::vector<std::uint8_t> pending;
  bool dialling = false;
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    const auto block = bytes.subspan(at, std::min(step, bytes.size() - at));
    pending.insert(pending.end(), block.begin(), block.end());
    while (!pending.empty()) {
      if (dialling) {
        out += c.Format(modem::Result::NoCarrier);
        c.ClearLine();
        pending.erase(pending.begin());
        dialling = false;
        continue;
      }
      const std::size_t dials = line.dials;
      const std::size_t taken = c.Feed(pending, out);
      if (taken > pending.size() || (taken < pending.size() && line.dials == dials)) std::abort();
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(taken));
      dialling = line.dials != dials;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = 1 + data[0] % 13;
  const std::span<const std::uint8_t> stream(data + 1, size - 1);
  Line a, b;
  const std::string whole = Run(stream, stream.size() + 1, a);
  const std::string split = Run(stream, step, b);
  if (whole != split || a.calls != b.calls) std::abort();
  // Only so much can come back: the echo, and per line a few result and register lines.
  if (whole.size() > 64 * (stream.size() + 1)) std::abort();
  return 0;
}
