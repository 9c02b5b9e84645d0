#pragma once

#include <sys/socket.h>

#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "modem/CallHandshake.h"
#include "modem/DatagramLine.h"
#include "modem/SealedRecords.h"

// A standing call's datagram line: each datagram of the line is one sealed record. A datagram that does not open with the partner's key - a stranger's, a replayed or an
// altered one - is dropped without a word, so someone who guesses the addresses can neither
// speak in the call nor end it.
//
// Pure: the modem's loop reads the socket and hands each datagram here, and sends what Next gives
// when the line has something due (DatagramLine::Wake).
namespace modem {

class DatagramCall {
 public:
  using Time = DatagramLine::Time;

  // `peer`: where the partner is; an answerer that does not know yet passes nothing and learns it
  // from the partner's first datagram.
  DatagramCall(const CallKeys& callKeys, const sockaddr_storage* peer, Time now);

  // The keys of the datagram line, derived from the call's own so that the stream's records and
  // the datagrams never share a nonce under one key.
  static CallKeys LineKeys(const CallKeys& callKeys);

  // A datagram from the socket. False when it is not the partner's: dropped, nothing changed.
  bool Received(std::span<const std::uint8_t> datagram, const sockaddr_storage& from, Time now);
  // The next sealed datagram due now and where it goes; nothing once all that is due has gone.
  std::optional<std::pair<Bytes, sockaddr_storage>> Next(Time now);
  // Asks the partner for an answer at once (to learn whether the path carries datagrams both
  // ways): the question comes from the next Next.
  void Probe() { line_.Probe(); }
  // A datagram of ours has come back acknowledged: the path carries datagrams both ways.
  bool BothWays() const { return line_.RoundTrip().has_value(); }
  bool KnowsPeer() const { return havePeer_; }

  DatagramLine& Line() { return line_; }
  const DatagramLine& Line() const { return line_; }

 private:
  sockaddr_storage peer_{};
  bool havePeer_ = false;
  RecordSealer sealer_;
  RecordOpener opener_;
  DatagramLine line_;
};

}  // namespace modem
