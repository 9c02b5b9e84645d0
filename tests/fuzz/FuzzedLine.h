#pragma once

// The datagram line fuzz_datagram_line feeds, made alike by the target and by make_fuzz_seeds
// (which talks to it to record a peer's datagrams): an hour into its clock, with notes and a
// chat line of ours waiting to go, so that the peer's acknowledgements and requests to repair
// have something to name.
#include <chrono>
#include <cstdint>

#include "modem/DatagramLine.h"

inline modem::DatagramLine::Time FuzzedLineStart() {
  return modem::DatagramLine::Time{} + std::chrono::hours(1);
}

inline modem::DatagramLine FuzzedLine() {
  const auto now = FuzzedLineStart();
  modem::DatagramLine line(now);
  const std::uint8_t frames[] = {0xFF, 0x90, 60, 100, 0xFF, 0x80, 60, 0, 'h', 'i', '\r'};
  for (int i = 0; i < 300; ++i) line.Write(frames, now);
  return line;
}
