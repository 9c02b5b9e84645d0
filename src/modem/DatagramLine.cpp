#include "modem/DatagramLine.h"

#include <algorithm>
#include <cmath>

namespace modem {

namespace {

// The datagram, big-endian:
//   0  kind (kLineKind)            1  flags
//   2  packet number (32)          6  sender's time, microseconds (32)
//  10  the peer's time echoed, plus how long it was held (32)
//  14  stream bytes received in order (64)   22  room for more beyond them (32)
//  26  stream offset of the bytes carried (64)   34  their count (16)   36  the bytes
constexpr std::uint8_t kLineKind = 0xD1;
constexpr std::uint8_t kPing = 0x01;   // answer at once
constexpr std::uint8_t kClose = 0x02;  // the stream ends where these bytes end
constexpr std::uint8_t kNack = 0x04;   // bytes after a gap arrived: send again from the acknowledged point
constexpr std::uint8_t kEcho = 0x08;   // the echo field holds a time
constexpr std::uint8_t kEndSeen = 0x10;  // the whole of the peer's stream arrived, its end included
constexpr std::uint8_t kKnownFlags = kPing | kClose | kNack | kEcho | kEndSeen;
constexpr std::uint64_t kMaxOffset = std::uint64_t{1} << 62;
constexpr std::size_t kMaxHeldStretches = 256;

constexpr auto kInitialTimeout = std::chrono::milliseconds(300);
constexpr auto kMaxTimeout = std::chrono::seconds(1);  // after a blackout the stream goes on within a second
constexpr auto kMinTimeoutMargin = std::chrono::milliseconds(15);
constexpr auto kProbeEvery = std::chrono::seconds(1);       // once the peer has been quiet too long
constexpr auto kWindowProbe = std::chrono::milliseconds(200);  // while the peer has no room
constexpr double kCountWindow = 2000;                        // packets the repair share looks back on

void Put(DatagramLine::Datagram& d, std::size_t at, std::uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) d[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
}

std::uint64_t Get(std::span<const std::uint8_t> d, std::size_t at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | d[at + static_cast<std::size_t>(i)];
  return value;
}

}  // namespace

DatagramLine::DatagramLine(Time now)
    : epoch_(now), refilled_(now), tailSentAt_(now), progressAt_(now), lastSent_(now), lastHeard_(now) {}

std::uint32_t DatagramLine::Micros(Time t) const {
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::microseconds>(t - epoch_).count());
}

// ------------------------------------------------------------------ sending

std::size_t DatagramLine::Room() const {
  return closing_ ? 0 : kSendWindow - out_.size();
}

std::size_t DatagramLine::Write(std::span<const std::uint8_t> bytes, Time now) {
  const std::size_t n = std::min(bytes.size(), Room());
  if (out_.empty() && n > 0) progressAt_ = now;  // bytes begin to wait for the peer
  out_.insert(out_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

void DatagramLine::Close() {
  closing_ = true;
}

bool DatagramLine::Finished() const {
  return closing_ && closeSeen_;
}

bool DatagramLine::CloseUnacknowledged() const {
  return closeSent_ && !closeSeen_;
}

bool DatagramLine::HasNewData() const {
  const std::uint64_t written = acked_ + out_.size();
  return (sent_ < written && sent_ < peerLimit_) || (closing_ && !closeSent_ && sent_ == written);
}

// Bytes wait for the peer's acknowledgement, and not because its reader is slow.
bool DatagramLine::Waiting() const {
  return !out_.empty() && acked_ < peerLimit_;
}

// While stalled, bytes that went before and are unacknowledged go again one datagram at a time,
// probing the path; what was never sent still goes at once (it leads with the unacknowledged).
bool DatagramLine::Probing() const {
  return stalled_ && sent_ > acked_ && sent_ < highestSent_;
}

bool DatagramLine::RepeatDue() const {
  return repeatsDone_ < std::size(kRepeatAfter) && (sent_ > acked_ || (closing_ && !closeSeen_));
}

DatagramLine::Time DatagramLine::KeepAliveAt() const {
  Time at = std::min(lastSent_ + kKeepAlive, std::max(lastHeard_ + kKeepAlive, lastSent_ + kProbeEvery));
  if (sent_ < acked_ + out_.size() && sent_ >= peerLimit_) at = std::min(at, lastSent_ + kWindowProbe);
  return at;
}

std::chrono::microseconds DatagramLine::RetransmitTimeout() const {
  std::chrono::microseconds t = kInitialTimeout;
  if (srttUs_) {
    t = std::chrono::microseconds(static_cast<std::int64_t>(*srttUs_)) +
        std::max<std::chrono::microseconds>(std::chrono::microseconds(static_cast<std::int64_t>(4 * rttVarUs_)),
                                            kMinTimeoutMargin);
  }
  return std::min<std::chrono::microseconds>(t * (1 << std::min(backoff_, 6)), kMaxTimeout);
}

void DatagramLine::Refill(Time now) {
  const double seconds = std::chrono::duration<double>(now - refilled_).count();
  if (seconds > 0) tokens_ = std::min<double>(kSendWindow, tokens_ + seconds * kBytesPerSecond);
  refilled_ = std::max(refilled_, now);
}

void DatagramLine::CheckTimers(Time now) {
  if ((sent_ > acked_ || CloseUnacknowledged()) && now >= retransmitAt_) {
    // Unacknowledged past the timeout: everything from the gap goes again, the first datagram
    // asking for an answer at once. So does the end of the stream: a hang-up whose every copy
    // was lost would otherwise reach the peer only as silence.
    sent_ = acked_;
    closeSent_ = false;
    ++backoff_;
    ++counters_.retransmits;
    retransmitAt_ = now + RetransmitTimeout();
    pingNext_ = true;
  }
  if (!stalled_ && Waiting() && now - progressAt_ >= kStall) {
    stalled_ = true;
    events_.push_back(Event::Stalled);
  }
  if (!gone_ && now - lastHeard_ >= kGone) {
    gone_ = true;
    events_.push_back(Event::PeerGone);
  }
}

std::optional<DatagramLine::Datagram> DatagramLine::Next(Time now) {
  Refill(now);
  CheckTimers(now);
  // While stalled, one datagram from the gap at a time probes the path until it answers.
  if (HasNewData() && tokens_ >= 0 && !Probing()) return Build(Kind::Data, now);
  if (repairTo_ > acked_ && tokens_ >= 0) return Build(Kind::Repair, now);
  if (RepeatDue() && now >= tailSentAt_ + kRepeatAfter[repeatsDone_]) return Build(Kind::Repeat, now);
  if ((ackOwed_ && now >= ackAt_) || pingNext_) return Build(Kind::Ack, now);
  if (now >= KeepAliveAt()) {
    pingNext_ = true;
    return Build(Kind::Ack, now);
  }
  return std::nullopt;
}

DatagramLine::Time DatagramLine::Wake() const {
  Time at = Time::max();
  if ((HasNewData() && !Probing()) || repairTo_ > acked_) {
    at = tokens_ >= 0 ? refilled_ : refilled_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(-tokens_ / kBytesPerSecond));
  }
  if (RepeatDue()) at = std::min(at, tailSentAt_ + kRepeatAfter[repeatsDone_]);
  if (sent_ > acked_ || CloseUnacknowledged()) {
    at = std::min(at, retransmitAt_);
  }
  if (!stalled_ && Waiting()) at = std::min(at, progressAt_ + kStall);
  if (ackOwed_) at = std::min(at, ackAt_);
  if (pingNext_) at = Time::min();
  at = std::min(at, KeepAliveAt());
  if (!gone_) at = std::min(at, lastHeard_ + kGone);
  return at;
}

DatagramLine::Datagram DatagramLine::Build(Kind kind, Time now) {
  const std::uint64_t written = acked_ + out_.size();
  std::uint64_t from = sent_, to = sent_;
  if (kind == Kind::Data) {
    to = std::min({written, std::max(peerLimit_, sent_), sent_ + kMaxPayload});
    // The new bytes lead with the recent ones not yet acknowledged: a datagram lost before this
    // one is repaired by it.
    from = sent_ - std::min<std::uint64_t>({sent_ - acked_, kRepeatBytes, kMaxPayload - (to - sent_)});
    sent_ = to;
    highestSent_ = std::max(highestSent_, sent_);
    tailSentAt_ = now;
    repeatsDone_ = 0;
    if (retransmitAt_ == Time::max() && sent_ > acked_) retransmitAt_ = now + RetransmitTimeout();
  } else if (kind == Kind::Repeat) {
    from = std::max(acked_, sent_ > kRepeatBytes ? sent_ - kRepeatBytes : 0);
    ++repeatsDone_;
    ++counters_.repeats;
  } else if (kind == Kind::Repair) {
    from = acked_;
    to = std::min({repairTo_, sent_, acked_ + kMaxPayload});
    repairTo_ = 0;
    ++counters_.retransmits;
  }
  tokens_ -= static_cast<double>(to - from);

  std::uint8_t flags = 0;
  if (pingNext_) flags |= kPing;
  if (closing_ && sent_ == written && to == written) {
    flags |= kClose;
    closeSent_ = true;
    if (retransmitAt_ == Time::max() && !closeSeen_) retransmitAt_ = now + RetransmitTimeout();
  }
  if (peerEnd_ && delivered_ >= *peerEnd_) flags |= kEndSeen;
  if (nackOwed_) {
    flags |= kNack;
    lastNackAt_ = now;
  }
  if (peerStamp_) flags |= kEcho;

  Datagram d(kHeader + static_cast<std::size_t>(to - from));
  d[0] = kLineKind;
  d[1] = flags;
  Put(d, 2, number_++, 4);
  Put(d, 6, Micros(now), 4);
  if (peerStamp_) Put(d, 10, *peerStamp_ + static_cast<std::uint32_t>(Micros(now) - Micros(peerStampAt_)), 4);
  Put(d, 14, delivered_, 8);
  Put(d, 22, ReceiveLimit() - delivered_, 4);
  Put(d, 26, from, 8);
  Put(d, 34, to - from, 2);
  if ((flags & kNack) && !held_.empty()) Put(d, 36, held_.begin()->first, 8);
  std::copy(out_.begin() + static_cast<std::ptrdiff_t>(from - acked_), out_.begin() + static_cast<std::ptrdiff_t>(to - acked_),
            d.begin() + kHeader);

  pingNext_ = false;
  ackOwed_ = false;
  nackOwed_ = false;
  ackAt_ = Time::max();
  lastSent_ = now;
  ++counters_.sent;
  return d;
}

// ------------------------------------------------------------------ receiving

std::uint64_t DatagramLine::ReceiveLimit() const {
  return delivered_ + (kReceiveWindow - in_.size());
}

bool DatagramLine::Receive(std::span<const std::uint8_t> d, Time now) {
  if (d.size() < kHeader || d[0] != kLineKind || (d[1] & ~kKnownFlags) != 0) {
    ++counters_.rejected;
    return false;
  }
  const std::uint8_t flags = d[1];
  const auto number = static_cast<std::uint32_t>(Get(d, 2, 4));
  const auto stamp = static_cast<std::uint32_t>(Get(d, 6, 4));
  const auto echo = static_cast<std::uint32_t>(Get(d, 10, 4));
  const std::uint64_t ack = Get(d, 14, 8);
  const auto window = static_cast<std::uint32_t>(Get(d, 22, 4));
  const std::uint64_t offset = Get(d, 26, 8);
  const std::size_t length = static_cast<std::size_t>(Get(d, 34, 2));
  const std::uint64_t heldFrom = Get(d, 36, 8);
  // The peer cannot acknowledge bytes never written, nor carry more than a datagram holds.
  if (length != d.size() - kHeader || length > kMaxPayload || ack > acked_ + out_.size() || offset > kMaxOffset ||
      heldFrom > kMaxOffset) {
    ++counters_.rejected;
    return false;
  }

  ++counters_.received;
  lastHeard_ = now;
  CountPacket(number);
  if (flags & kEcho) {
    const std::uint32_t sample = Micros(now) - echo;
    if (sample < 10'000'000) {
      const double s = sample;
      if (!srttUs_) {
        srttUs_ = s;
        rttVarUs_ = s / 2;
      } else {
        rttVarUs_ = 0.75 * rttVarUs_ + 0.25 * std::abs(*srttUs_ - s);
        srttUs_ = 0.875 * *srttUs_ + 0.125 * s;
      }
    }
  }
  peerStamp_ = stamp;
  peerStampAt_ = now;
  TakeAck(ack, window, (flags & kNack) ? std::optional(heldFrom) : std::nullopt, now);
  // (Nothing is written after Close, so the end the peer has is ours, even while the timer has
  // just taken it back to be sent again.)
  if ((flags & kEndSeen) && closing_ && ack == acked_ + out_.size()) closeSeen_ = true;
  TakeData(offset, d.subspan(kHeader), (flags & kClose) != 0, now);
  if (flags & kPing) {
    ackOwed_ = true;
    ackAt_ = now;
  }
  return true;
}

void DatagramLine::TakeAck(std::uint64_t ack, std::uint32_t window, std::optional<std::uint64_t> heldFrom, Time now) {
  if (ack < acked_) return;  // an old datagram, overtaken
  if (ack > acked_) {
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(ack - acked_));
    acked_ = ack;
    sent_ = std::max(sent_, acked_);
    backoff_ = 0;
    progressAt_ = now;
    retransmitAt_ = sent_ > acked_ || CloseUnacknowledged() ? now + RetransmitTimeout() : Time::max();
    if (stalled_) {
      stalled_ = false;
      events_.push_back(Event::Resumed);
    }
  }
  peerLimit_ = ack + window;
  if (!heldFrom || sent_ <= acked_) return;
  if (*heldFrom > acked_) {
    // Only the gap goes again; the peer holds what came after it.
    repairTo_ = std::max(repairTo_, std::min(*heldFrom, sent_));
    return;
  }
  const auto halfRtt = std::chrono::microseconds(static_cast<std::int64_t>(srttUs_.value_or(0) / 2));
  if (now - lastRewind_ >= std::max<Clock::duration>(halfRtt, std::chrono::milliseconds(5))) {
    sent_ = acked_;
    lastRewind_ = now;
    ++counters_.retransmits;
  }
}

void DatagramLine::TakeData(std::uint64_t offset, std::span<const std::uint8_t> data, bool close, Time now) {
  const std::uint64_t end = offset + data.size();
  if (close) peerEnd_ = end;
  if (offset > delivered_) {
    // A gap: bytes before these were lost beyond what the repeats carry. These wait for it.
    Hold(offset, data);
    const auto halfRtt = std::chrono::microseconds(static_cast<std::int64_t>(srttUs_.value_or(0) / 2));
    if (now - lastNackAt_ >= std::max<Clock::duration>(halfRtt, std::chrono::milliseconds(5))) {
      nackOwed_ = true;
      ackOwed_ = true;
      ackAt_ = now;
    }
  } else {
    if (end <= delivered_ && !data.empty() && !ackOwed_ &&
        now - lastSent_ >= std::chrono::microseconds(static_cast<std::int64_t>(srttUs_.value_or(50'000)))) {
      // Bytes that arrived long ago come again, a round trip after our acknowledgement went: it
      // was lost, and the sender will go on repeating until it hears one.
      ackOwed_ = true;
      ackAt_ = now;
    }
    Deliver(offset, data, now);
    while (!held_.empty() && held_.begin()->first <= delivered_) {
      const auto node = held_.extract(held_.begin());
      Deliver(node.key(), node.mapped(), now);
    }
  }
  if (peerEnd_ && delivered_ >= *peerEnd_) {
    // The peer has hung up and waits only to hear that the end arrived: it is told at once, and
    // again for each copy of the end that still comes.
    if (close) {
      ackOwed_ = true;
      ackAt_ = now;
    }
    if (!peerClosedTold_) {
      peerClosedTold_ = true;
      events_.push_back(Event::PeerClosed);
    }
  }
}

// The part of a stretch starting at or before delivered_ that is new, as far as the window goes.
void DatagramLine::Deliver(std::uint64_t offset, std::span<const std::uint8_t> data, Time now) {
  const std::uint64_t limit = std::min(offset + data.size(), ReceiveLimit());
  if (limit <= delivered_) return;
  const auto first = data.begin() + static_cast<std::ptrdiff_t>(delivered_ - offset);
  in_.insert(in_.end(), first, first + static_cast<std::ptrdiff_t>(limit - delivered_));
  delivered_ = limit;
  ackOwed_ = true;
  ackAt_ = std::min(ackAt_, now + kAckDelay);
}

// Keeps the bytes of a stretch after a gap that are not held yet, within the window: the held
// stretches stay disjoint, so they never hold more than the window.
void DatagramLine::Hold(std::uint64_t offset, std::span<const std::uint8_t> data) {
  std::uint64_t at = offset;
  const std::uint64_t end = std::min(offset + data.size(), ReceiveLimit());
  auto next = held_.upper_bound(at);
  if (next != held_.begin()) {
    const auto before = std::prev(next);
    at = std::max(at, before->first + before->second.size());
  }
  while (at < end && held_.size() < kMaxHeldStretches) {
    const std::uint64_t stop = next == held_.end() ? end : std::min(end, next->first);
    if (stop > at) {
      const auto first = data.begin() + static_cast<std::ptrdiff_t>(at - offset);
      held_.emplace(at, std::vector<std::uint8_t>(first, first + static_cast<std::ptrdiff_t>(stop - at)));
    }
    if (next == held_.end()) break;
    at = next->first + next->second.size();
    ++next;
  }
}

std::vector<std::uint8_t> DatagramLine::Take(std::size_t max) {
  const bool wasTight = kReceiveWindow - in_.size() < kReceiveWindow / 2;
  const std::size_t n = std::min(max, in_.size());
  std::vector<std::uint8_t> bytes(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n));
  in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n));
  if (wasTight && kReceiveWindow - in_.size() >= kReceiveWindow / 2) {
    // The sender may be waiting for room: tell it at once.
    ackOwed_ = true;
    ackAt_ = Time::min();
  }
  return bytes;
}

std::optional<DatagramLine::Event> DatagramLine::TakeEvent() {
  if (events_.empty()) return std::nullopt;
  const Event e = events_.front();
  events_.pop_front();
  return e;
}

// ------------------------------------------------------------------ figures

void DatagramLine::CountPacket(std::uint32_t number) {
  if (!highest_) {
    highest_ = number;
  } else {
    const auto ahead = static_cast<std::int32_t>(number - *highest_);
    if (ahead > 0) {
      missing_ += ahead - 1;
      highest_ = number;
    } else if (ahead < 0 && missing_ >= 1) {
      missing_ -= 1;  // late, not lost
    } else if (ahead == 0) {
      return;  // the network doubled it
    }
  }
  arrived_ += 1;
  if (arrived_ + missing_ > kCountWindow) {
    arrived_ /= 2;
    missing_ /= 2;
  }
}

std::optional<std::chrono::microseconds> DatagramLine::RoundTrip() const {
  if (!srttUs_) return std::nullopt;
  return std::chrono::microseconds(static_cast<std::int64_t>(*srttUs_));
}

double DatagramLine::RepairedShare() const {
  const double total = arrived_ + missing_;
  return total > 0 ? missing_ / total : 0;
}

}  // namespace modem
