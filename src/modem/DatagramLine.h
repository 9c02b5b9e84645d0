#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

// The call's byte stream over datagrams: every byte arrives once, in order, as over TCP, but a
// lost datagram is repaired without waiting for a retransmission timeout, so one lost packet
// does not hold up every note behind it.
//
// - Each datagram carries one stretch of the stream: the new bytes, led by the recent bytes the
//   peer has not acknowledged yet (up to kRepeatBytes). A note lost with its datagram comes with
//   the next one.
// - The newest bytes are sent again a few milliseconds later, and again, while unacknowledged
//   (kRepeatAfter): an isolated note does not wait for the next to be repaired. How many of
//   these copies go depends on the loss the peer reports: one on a clean path or where losses
//   come alone, more as losses come in runs (a copy helps only if it is not lost with the rest).
// - Each stretch of bytes carries the time it was written on the sender's clock (time marks, one
//   where the time changes), so the reader can take the bytes with the peer's times (TakePiece)
//   and play them at a steady delay.
// - Every datagram acknowledges what arrived; bytes that come again a round trip after the
//   acknowledgement went say it was lost, and are acknowledged again. A receiver that sees a gap
//   asks for it again at once (and says where the bytes it holds begin: only the gap goes again);
//   bytes still unacknowledged after a retransmission timeout go again from the gap.
// - The sender keeps at most kSendWindow bytes unacknowledged and paces itself; Write takes only
//   what fits, so a program that floods the line is held back and memory stays bounded. The
//   receiver holds at most kReceiveWindow bytes its reader has not taken, and says how much room
//   it has.
// - Idle, a keep-alive goes every 15 s (NAT bindings); a peer heard from for 25 s is gone; bytes
//   unacknowledged for a second make the line stalled until the peer answers again. While it is,
//   what went before goes again one datagram at a time, but new bytes still go at once.
//
// A pure state machine: bytes, datagrams and the time go in; datagrams to send, bytes received,
// events and the next time to be called come out. No sockets and no clock inside.
namespace modem {

class DatagramLine {
 public:
  using Clock = std::chrono::steady_clock;
  using Time = Clock::time_point;
  using Datagram = std::vector<std::uint8_t>;

  static constexpr std::size_t kHeader = 19;         // the least a datagram holds
  static constexpr std::size_t kMaxDatagram = 1200;  // fits any path's MTU with room for sealing
  // Stream bytes a datagram carries at most: room is left for the optional fields (the echo, the
  // loss report, the repair field) and two marks.
  static constexpr std::size_t kMaxPayload = kMaxDatagram - kHeader - 14 - 16;
  static constexpr std::size_t kRepeatBytes = 512;
  static constexpr std::size_t kSendWindow = 32 * 1024;
  static constexpr std::size_t kReceiveWindow = 64 * 1024;
  static constexpr double kBytesPerSecond = 1 << 20;
  // A loss rarely comes alone: the copies go early and often, so that a burst of lost packets
  // costs a note a few milliseconds, not a retransmission timeout; then further apart, until the
  // peer acknowledges (in the usual case one round trip) or the retransmission timer takes over.
  static constexpr std::chrono::milliseconds kRepeatAfter[] = {
      std::chrono::milliseconds(2),  std::chrono::milliseconds(4),  std::chrono::milliseconds(6),
      std::chrono::milliseconds(8),  std::chrono::milliseconds(10), std::chrono::milliseconds(12),
      std::chrono::milliseconds(14), std::chrono::milliseconds(17), std::chrono::milliseconds(20),
      std::chrono::milliseconds(23), std::chrono::milliseconds(30), std::chrono::milliseconds(45),
      std::chrono::milliseconds(60), std::chrono::milliseconds(80), std::chrono::milliseconds(100)};
  // Of the copies above, the first so many go; the rest only as the peer reports losses in runs.
  static constexpr std::size_t kLeastRepeats = 1;
  static constexpr std::chrono::milliseconds kAckDelay{2};
  static constexpr std::chrono::seconds kKeepAlive{15};
  static constexpr std::chrono::seconds kStall{1};
  static constexpr std::chrono::seconds kGone{25};

  enum class Event {
    Stalled,     // bytes have waited a second for the peer's acknowledgement
    Resumed,     // the peer answers again; nothing was lost
    PeerClosed,  // the peer ended the stream, and every byte it sent has arrived
    PeerGone,    // nothing heard from the peer for kGone
  };

  struct Counters {
    std::uint64_t sent = 0;         // datagrams
    std::uint64_t received = 0;     // datagrams taken
    std::uint64_t rejected = 0;     // not one of ours: dropped
    std::uint64_t repeats = 0;      // datagrams sent again on the repeat schedule
    std::uint64_t retransmits = 0;  // times the sender went back to the gap (timeout or asked)
  };

  // A stretch of the peer's bytes that were written at one time.
  struct Piece {
    std::vector<std::uint8_t> bytes;
    std::chrono::microseconds sent{};  // on the peer's clock (from its own start)
    Time arrived;                      // when the stretch could be read, in order
    // Not brought by the datagram that first carried it (it was lost: a copy, a later datagram
    // or a repair brought it), or held until a gap before it was filled: its delay is the
    // repair's, not the path's.
    bool repaired = false;
  };
  // A datagram from the peer: when it left (the peer's clock) and when it came.
  struct Heard {
    std::chrono::microseconds sent{};
    Time arrived;
  };
  // Datagrams lately, as their receiver counts them (fading: halved now and then).
  struct LossReport {
    double seen = 0;       // arrived or known lost
    double lost = 0;       // lost on the way
    double afterLoss = 0;  // of those, lost right after one lost before it
  };

  explicit DatagramLine(Time now);

  // --- the bytes to send
  // How many bytes Write takes now.
  std::size_t Room() const;
  // Takes what fits of `bytes` (Room); the caller keeps the rest until there is room.
  std::size_t Write(std::span<const std::uint8_t> bytes, Time now);
  // No more bytes: once all written are sent, the peer is told the stream ends there, and told
  // again on the retransmission schedule until it says it has the end.
  void Close();
  // Close was called and the peer has every byte and the end.
  bool Finished() const;

  // --- what the peer sent
  // A datagram from the peer. False when it is none of ours (too short, an unknown kind, figures
  // that cannot be): it is dropped and changes nothing.
  bool Receive(std::span<const std::uint8_t> datagram, Time now);
  // Bytes that arrived in order, for the reader; Take removes up to `max` of them.
  std::size_t Readable() const { return in_.size(); }
  std::vector<std::uint8_t> Take(std::size_t max);
  // The next readable bytes that were written at one time on the peer's side, up to `max`.
  std::optional<Piece> TakePiece(std::size_t max);
  // The peer's datagrams since the last call, the newest kHeardKept of them: the path's delay.
  std::vector<Heard> TakeHeard();
  static constexpr std::size_t kHeardKept = 64;
  std::optional<Event> TakeEvent();

  // --- the driving loop
  // A datagram to send now, if one is due; call until none is.
  std::optional<Datagram> Next(Time now);
  // The next datagram asks the peer to answer at once (a probe of the path).
  void Probe() { pingNext_ = true; }
  // The time Next should be called at the latest (unless a datagram or bytes come first).
  Time Wake() const;

  // --- figures
  // The smoothed round-trip time; nothing until measured.
  std::optional<std::chrono::microseconds> RoundTrip() const;
  // Of the peer's datagrams lately, the share lost on the way (whose bytes the line repaired).
  double RepairedShare() const;
  // The losses the peer reports of our datagrams, and how many copies of new bytes go for that
  // and for what this side sees of the peer's.
  const LossReport& PeerReport() const { return peerReport_; }
  std::size_t RepeatsPlanned() const;
  bool IsStalled() const { return stalled_; }
  const Counters& Count() const { return counters_; }

 private:
  enum class Kind { Data, Repeat, Repair, Ack };
  // Where the stream's bytes from `offset` on were written (our clock) or, received, when they
  // left the peer (its clock, microseconds) and when they could be read here.
  struct Mark {
    std::uint64_t offset;
    Time at;
  };
  struct PeerMark {
    std::uint64_t offset;
    std::int64_t sentUs;
    Time arrived{};
    bool repaired = false;
  };
  using PeerMarks = std::vector<PeerMark>;
  struct Held {
    std::vector<std::uint8_t> bytes;
    PeerMarks marks;
  };

  Datagram Build(Kind kind, Time now);
  std::size_t MarksFrom(std::uint64_t offset) const;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> MarkFields(std::uint64_t from, std::uint64_t to, Time now) const;
  std::size_t MarkBytes(std::uint64_t from, std::uint64_t to, Time now) const;
  static PeerMarks Slice(const PeerMarks& marks, std::uint64_t from, std::uint64_t to);
  std::uint32_t Micros(Time t) const;
  void CheckTimers(Time now);
  void Refill(Time now);
  bool HasNewData() const;
  bool CloseUnacknowledged() const;
  bool Waiting() const;
  bool RepeatDue() const;
  bool Probing() const;
  Time KeepAliveAt() const;
  std::uint64_t ReceiveLimit() const;
  void TakeAck(std::uint64_t ack, std::uint32_t window, std::optional<std::uint64_t> heldFrom, Time now);
  void Hold(std::uint64_t offset, std::span<const std::uint8_t> data, const PeerMarks& marks);
  void Deliver(std::uint64_t offset, std::span<const std::uint8_t> data, const PeerMarks& marks, bool held, Time now);
  void TakeData(std::uint64_t offset, std::span<const std::uint8_t> data, const PeerMarks& marks, bool close, Time now);
  void Consumed(std::size_t n);
  void CountPacket(std::uint16_t number);
  std::chrono::microseconds RetransmitTimeout() const;

  Time epoch_;
  Counters counters_;
  std::deque<Event> events_;

  // Sending: out_ holds the stream from acked_ to acked_ + out_.size(); sent_ is how far it went.
  std::deque<std::uint8_t> out_;
  std::deque<Mark> marks_;  // the first at or before acked_
  std::uint64_t acked_ = 0;
  std::uint64_t sent_ = 0;
  std::uint64_t highestSent_ = 0;  // the furthest the stream ever went
  std::uint64_t peerLimit_ = kReceiveWindow;
  bool closing_ = false;
  bool closeSent_ = false;
  bool closeSeen_ = false;  // the peer says it has the end of the stream
  std::uint16_t number_ = 0;
  double tokens_ = kSendWindow;
  Time refilled_;
  Time tailSentAt_;          // when the newest bytes first went
  double newBytesEvery_ = 1;  // seconds between datagrams with new bytes, smoothed
  std::size_t repeatsDone_ = std::size(kRepeatAfter);
  Time retransmitAt_ = Time::max();
  int backoff_ = 0;
  Time progressAt_;          // when acked_ last moved, or bytes began to wait
  Time lastSent_;
  Time lastRewind_{};
  std::uint64_t repairTo_ = 0;  // the gap the peer asked for ends here; 0: none asked
  bool pingNext_ = false;  // the next datagram asks for an answer at once
  bool stalled_ = false;

  // Receiving: in_ holds the bytes up to delivered_ that the reader has not taken.
  std::deque<std::uint8_t> in_;
  std::deque<PeerMark> inMarks_;  // the first at or before the first byte of in_
  std::uint64_t delivered_ = 0;
  // Bytes that came after a gap, kept (within the receive window) until the gap is filled:
  // disjoint stretches by offset.
  std::map<std::uint64_t, Held> held_;
  std::optional<std::int64_t> peerClock_;  // the peer's newest time, unwrapped
  std::deque<Heard> heard_;
  std::optional<std::uint64_t> peerEnd_;
  bool peerClosedTold_ = false;
  bool ackOwed_ = false;
  Time ackAt_ = Time::max();
  bool nackOwed_ = false;
  Time lastNackAt_{};
  Time lastHeard_;
  bool gone_ = false;
  std::optional<std::uint32_t> peerStamp_;  // the peer's newest timestamp, echoed back
  Time peerStampAt_;
  bool echoOwed_ = false;  // the peer's newest timestamp has not been echoed yet
  Time reportSentAt_{};

  // Figures
  std::optional<double> srttUs_;
  double rttVarUs_ = 0;
  std::optional<std::uint16_t> highest_;  // the peer's highest packet number seen
  LossReport own_;  // of the peer's datagrams
  LossReport peerReport_;
};

}  // namespace modem
