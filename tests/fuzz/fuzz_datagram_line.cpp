// Datagrams from the network: whatever arrives, the datagram line neither crashes nor grows past
// its windows, sends nothing larger than a datagram, and hands its reader only bytes the peer
// carried in order. The input is a series of datagrams, each led by its length (two bytes) and
// how many milliseconds passed before it (one byte).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "FuzzedLine.h"

using modem::DatagramLine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto now = FuzzedLineStart();
  DatagramLine line = FuzzedLine();

  std::size_t at = 0;
  while (at + 3 <= size) {
    const std::size_t length = std::size_t{data[at]} << 8 | data[at + 1];
    now += std::chrono::milliseconds(data[at + 2]);
    at += 3;
    const std::span<const std::uint8_t> datagram(data + at, std::min(length, size - at));
    at += datagram.size();
    line.Receive(datagram, now);
    while (auto out = line.Next(now)) {
      if (out->size() > DatagramLine::kMaxDatagram || out->size() < DatagramLine::kHeader) std::abort();
    }
    // Whatever was due went: the line's next wake is not long past (a time from a broken sum).
    if (line.Wake() < now - std::chrono::hours(1)) std::abort();
    if (line.Readable() > DatagramLine::kReceiveWindow) std::abort();
    if (line.Room() > DatagramLine::kSendWindow) std::abort();
    if (data[at - 1] & 1) line.Take(data[at - 1] * 64);
    while (line.TakeEvent()) {
    }
  }
  return 0;
}
