#include "modem/DatagramLine.h"

#include <algorithm>
#include <cmath>

namespace modem {

namespace {

// The datagram, big-endian:
//   0  kind (kLineKind)            1  flags
//   2  packet number (16)          4  sender's time, microseconds (32)
//   8  stream bytes received in order (the low 32 bits)   12  room for more beyond them (16)
//  14  stream offset of the bytes carried (the low 32 bits)
//  18  how many time marks (8)
//  19  with kEcho: the peer's time echoed, plus how long it was held (32)
//      with kReport: the peer's datagrams lately as seen here: how many, how many of them lost,
//      how many of those right after another lost (16 each, in sixteenths)
//      with kNack: where the bytes held after the gap begin (the low 32 bits)
//      the time marks: how many bytes after the mark before (the first: 0) they begin, and how
//      long before this datagram's own time they were written, in microseconds (each an
//      unsigned LEB128)
//      the bytes, to the end
// The stream's positions go as their low 32 bits: each side knows where the stream stands within
// a window or two, and a datagram from further back than that never opens (the record opener
// takes only the last RecordOpener::kWindow numbers), so the nearest position with those bits is
// the one meant. A copy leaves out what the datagram before it said: the echo, the report.
constexpr std::uint8_t kLineKind = 0xD1;
constexpr std::uint8_t kPing = 0x01;   // answer at once
constexpr std::uint8_t kClose = 0x02;  // the stream ends where these bytes end
constexpr std::uint8_t kNack = 0x04;   // bytes after a gap arrived: send again from the acknowledged point
constexpr std::uint8_t kEcho = 0x08;   // the echo field holds a time
constexpr std::uint8_t kEndSeen = 0x10;  // the whole of the peer's stream arrived, its end included
constexpr std::uint8_t kReport = 0x20;   // the loss report is there
constexpr std::uint8_t kKnownFlags = kPing | kClose | kNack | kEcho | kEndSeen | kReport;
constexpr std::size_t kEchoBytes = 4, kReportBytes = 6, kNackBytes = 4;
constexpr std::size_t kMaxHeldStretches = 256;
constexpr std::size_t kMaxMarks = 255;
constexpr std::size_t kMaxVarint = 5;  // a 32-bit value
constexpr auto kMarkMerge = std::chrono::microseconds(10);  // writes closer than this share a time
// The share of new bytes the planned copies may leave unrepaired within their few milliseconds.
constexpr double kResidualLoss = 3e-4;
// Copies cost no more than this many datagrams a second may go whatever the loss: sparse notes
// get the whole schedule, a fast run only what the loss asks for.
constexpr double kAffordedPerSecond = 40;
// What is assumed of a path before it is known: one datagram lost in a hundred, and losses mostly
// alone. A path that loses in runs shows it within a few runs (the assumption weighs as one
// loss), and until then each note still has its first copy.
constexpr double kPriorLost = 0.5, kPriorSeen = 50, kPriorLosses = 1, kPriorAfterLoss = 0.1;
// Bytes older than this when their datagram left were not on their first way (microseconds).
constexpr std::uint32_t kFirstSendAge = 1000;
constexpr double kCountUnit = 16;  // the counts of a report, in sixteenths
// The counts fade over thousands of datagrams: a report now and then says all there is.
constexpr auto kReportEvery = std::chrono::milliseconds(100);

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

std::size_t VarintSize(std::uint32_t value) {
  std::size_t n = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++n;
  }
  return n;
}

void PutVarint(DatagramLine::Datagram& d, std::size_t& at, std::uint32_t value) {
  for (; value >= 0x80; value >>= 7) d[at++] = static_cast<std::uint8_t>(value | 0x80);
  d[at++] = static_cast<std::uint8_t>(value);
}

// Nothing when it runs past the end or past 32 bits.
std::optional<std::uint32_t> GetVarint(std::span<const std::uint8_t> d, std::size_t& at) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < kMaxVarint && at < d.size(); ++i) {
    const std::uint8_t b = d[at++];
    value |= std::uint64_t{b & 0x7Fu} << (7 * i);
    if (!(b & 0x80)) {
      if (value > UINT32_MAX) return std::nullopt;
      return static_cast<std::uint32_t>(value);
    }
  }
  return std::nullopt;
}

// The stream position whose low 32 bits are `low`, nearest to `near`; negative: before the stream.
std::int64_t Near(std::uint64_t near, std::uint64_t low) {
  return static_cast<std::int64_t>(near) + static_cast<std::int32_t>(static_cast<std::uint32_t>(low) - static_cast<std::uint32_t>(near));
}

std::uint16_t Sixteenths(double x) {
  return static_cast<std::uint16_t>(std::lround(std::clamp(x * kCountUnit, 0.0, 65535.0)));
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
  if (n > 0 && (marks_.empty() || now - marks_.back().at >= kMarkMerge)) marks_.push_back({acked_ + out_.size(), now});
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
  return repeatsDone_ < RepeatsPlanned() && (sent_ > acked_ || (closing_ && !closeSeen_));
}

// As many copies as it takes for new bytes to be lost with all of them at most kResidualLoss of
// the time, when a datagram is lost with the share the peer reports and one after a lost one with
// the share it reports of those.
std::size_t DatagramLine::RepeatsPlanned() const {
  // A path loses much alike both ways, as far as this side can know: what it sees of the peer's
  // datagrams counts too, and a call learns the path twice as fast.
  const double seen = peerReport_.seen + own_.seen, losses = peerReport_.lost + own_.lost;
  const double lost = (losses + kPriorLost) / (seen + kPriorSeen);
  const double after = (peerReport_.afterLoss + own_.afterLoss + kPriorLosses * kPriorAfterLoss) / (losses + kPriorLosses);
  std::size_t copies = kLeastRepeats;
  double unrepaired = lost * std::pow(after, static_cast<double>(copies));
  while (copies < std::size(kRepeatAfter) && unrepaired > kResidualLoss) {
    ++copies;
    unrepaired *= after;
  }
  const double afforded = std::floor(kAffordedPerSecond * newBytesEvery_) - 1;
  return std::clamp<std::size_t>(std::max(copies, static_cast<std::size_t>(std::max(afforded, 0.0))), kLeastRepeats,
                                 std::size(kRepeatAfter));
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

// The mark that holds the byte at `offset`.
std::size_t DatagramLine::MarksFrom(std::uint64_t offset) const {
  const auto after = std::upper_bound(marks_.begin(), marks_.end(), offset,
                                      [](std::uint64_t o, const Mark& m) { return o < m.offset; });
  return after == marks_.begin() ? 0 : static_cast<std::size_t>(after - marks_.begin() - 1);
}

// The marks of the bytes from `from` to `to` as a datagram carries them: how many bytes after
// the mark before each begins, and how long before `now` they were written.
std::vector<std::pair<std::uint32_t, std::uint32_t>> DatagramLine::MarkFields(std::uint64_t from, std::uint64_t to,
                                                                               Time now) const {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> fields;
  std::uint64_t previous = from;
  for (std::size_t i = MarksFrom(from); to > from && i < marks_.size() && (fields.empty() || marks_[i].offset < to); ++i) {
    const std::uint64_t begins = std::max(marks_[i].offset, from);
    fields.emplace_back(static_cast<std::uint32_t>(begins - previous), Micros(now) - Micros(marks_[i].at));
    previous = begins;
  }
  return fields;
}

// What the marks of the bytes from `from` to `to` take in a datagram; SIZE_MAX past kMaxMarks.
std::size_t DatagramLine::MarkBytes(std::uint64_t from, std::uint64_t to, Time now) const {
  const auto fields = MarkFields(from, to, now);
  std::size_t size = 0;
  for (const auto& [step, age] : fields) size += VarintSize(step) + VarintSize(age);
  return fields.size() > kMaxMarks ? SIZE_MAX : size;
}

DatagramLine::Datagram DatagramLine::Build(Kind kind, Time now) {
  const std::uint64_t written = acked_ + out_.size();
  std::uint64_t from = sent_, to = sent_;
  if (kind == Kind::Data) {
    to = std::min({written, std::max(peerLimit_, sent_), sent_ + kMaxPayload});
    // The new bytes lead with the recent ones not yet acknowledged: a datagram lost before this
    // one is repaired by it.
    from = sent_ - std::min<std::uint64_t>({sent_ - acked_, kRepeatBytes, kMaxPayload - (to - sent_)});
  } else if (kind == Kind::Repeat) {
    from = std::max(acked_, sent_ > kRepeatBytes ? sent_ - kRepeatBytes : 0);
  } else if (kind == Kind::Repair) {
    from = acked_;
    to = std::min({repairTo_, sent_, acked_ + kMaxPayload});
  }
  // The echo goes once for each time heard from the peer, the report now and then: a copy
  // repeats only the bytes.
  const bool echo = peerStamp_ && echoOwed_;
  const bool report = kind == Kind::Ack || now - reportSentAt_ >= kReportEvery;
  // Bytes written at many times need many marks: the oldest bytes of a lead make room first,
  // then the newest. Two marks always fit beside a full payload.
  const std::size_t fixed =
      kHeader + (echo ? kEchoBytes : 0) + (report ? kReportBytes : 0) + (nackOwed_ ? kNackBytes : 0);
  for (std::size_t marks; to > from && ((marks = MarkBytes(from, to, now)) == SIZE_MAX ||
                                        fixed + marks + (to - from) > kMaxDatagram);) {
    const std::size_t first = MarksFrom(from);
    const std::uint64_t leadEnds = kind == Kind::Data ? sent_ + 1 : kind == Kind::Repeat ? to : from;
    if (first + 1 < marks_.size() && marks_[first + 1].offset < leadEnds) {
      from = marks_[first + 1].offset;
    } else {
      to = marks_[MarksFrom(to - 1)].offset;
    }
  }
  if (kind == Kind::Data) {
    const double gap = std::chrono::duration<double>(now - tailSentAt_).count();
    newBytesEvery_ = 0.75 * newBytesEvery_ + 0.25 * std::min(gap, 1.0);
    sent_ = to;
    highestSent_ = std::max(highestSent_, sent_);
    tailSentAt_ = now;
    repeatsDone_ = 0;
    if (retransmitAt_ == Time::max() && sent_ > acked_) retransmitAt_ = now + RetransmitTimeout();
  } else if (kind == Kind::Repeat) {
    ++repeatsDone_;
    ++counters_.repeats;
  } else if (kind == Kind::Repair) {
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
  if (echo) flags |= kEcho;
  if (report) flags |= kReport;

  const std::size_t markBytes = MarkBytes(from, to, now);
  Datagram d(fixed + markBytes + static_cast<std::size_t>(to - from));
  d[0] = kLineKind;
  d[1] = flags;
  Put(d, 2, number_++, 2);
  Put(d, 4, Micros(now), 4);
  Put(d, 8, delivered_, 4);
  Put(d, 12, std::min<std::uint64_t>(ReceiveLimit() - delivered_, 0xFFFF), 2);
  Put(d, 14, from, 4);
  std::size_t at = kHeader;
  if (echo) {
    Put(d, at, *peerStamp_ + static_cast<std::uint32_t>(Micros(now) - Micros(peerStampAt_)), 4);
    at += kEchoBytes;
    echoOwed_ = false;
  }
  if (report) {
    Put(d, at, Sixteenths(own_.seen), 2);
    Put(d, at + 2, Sixteenths(own_.lost), 2);
    Put(d, at + 4, Sixteenths(own_.afterLoss), 2);
    at += kReportBytes;
    reportSentAt_ = now;
  }
  if (flags & kNack) {
    // (The gap filled meanwhile: nothing held beyond what arrived in order.)
    Put(d, at, held_.empty() ? delivered_ : held_.begin()->first, 4);
    at += kNackBytes;
  }
  const auto fields = MarkFields(from, to, now);
  for (const auto& [step, age] : fields) {
    PutVarint(d, at, step);
    PutVarint(d, at, age);
  }
  d[18] = static_cast<std::uint8_t>(fields.size());
  std::copy(out_.begin() + static_cast<std::ptrdiff_t>(from - acked_), out_.begin() + static_cast<std::ptrdiff_t>(to - acked_),
            d.begin() + static_cast<std::ptrdiff_t>(at));

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
  const auto number = static_cast<std::uint16_t>(Get(d, 2, 2));
  const auto stamp = static_cast<std::uint32_t>(Get(d, 4, 4));
  const std::int64_t ack = Near(acked_, Get(d, 8, 4));
  const auto window = static_cast<std::uint32_t>(Get(d, 12, 2));
  const std::int64_t offset = Near(delivered_, Get(d, 14, 4));
  const std::size_t markCount = d[18];
  const std::size_t optional = ((flags & kEcho) ? kEchoBytes : 0) + ((flags & kReport) ? kReportBytes : 0) +
                               ((flags & kNack) ? kNackBytes : 0);
  if (d.size() < kHeader + optional) {
    ++counters_.rejected;
    return false;
  }
  std::size_t at = kHeader;
  std::uint32_t echo = 0;
  if (flags & kEcho) {
    echo = static_cast<std::uint32_t>(Get(d, at, 4));
    at += kEchoBytes;
  }
  std::optional<LossReport> report;
  if (flags & kReport) {
    report = LossReport{static_cast<double>(Get(d, at, 2)) / kCountUnit,
                        static_cast<double>(Get(d, at + 2, 2)) / kCountUnit,
                        static_cast<double>(Get(d, at + 4, 2)) / kCountUnit};
    at += kReportBytes;
  }
  std::int64_t heldFrom = 0;
  if (flags & kNack) {
    heldFrom = Near(acked_, Get(d, at, 4));
    at += kNackBytes;
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> fields;
  bool marksOk = true;
  while (marksOk && fields.size() < markCount) {
    const auto step = GetVarint(d, at);
    const auto age = GetVarint(d, at);
    marksOk = step && age;
    if (marksOk) fields.emplace_back(*step, *age);
  }
  const std::size_t length = marksOk ? d.size() - at : 0;
  // The times of the bytes, on the peer's clock unwrapped beyond its 32 bits.
  const std::int64_t peerNow =
      peerClock_ ? *peerClock_ + static_cast<std::int32_t>(stamp - static_cast<std::uint32_t>(*peerClock_)) : stamp;
  PeerMarks marks;
  marksOk = marksOk && (markCount > 0) == (length > 0) && offset >= 0;
  for (std::uint64_t begins = static_cast<std::uint64_t>(std::max<std::int64_t>(offset, 0));
       marksOk && marks.size() < fields.size();) {
    const auto [step, age] = fields[marks.size()];
    marksOk = (marks.empty() ? step == 0 : step > 0) && step < length &&
              begins + step < static_cast<std::uint64_t>(offset) + length;
    begins += step;
    // The peer sends new bytes the moment they are written: older ones come in a copy, a lead
    // or a repair.
    marks.push_back({begins, peerNow - age, {}, age > kFirstSendAge});
  }
  // The peer cannot acknowledge bytes never written, nor carry more than a datagram holds, nor
  // send beyond the room this side gave it.
  if (!marksOk || length > kMaxPayload || ack < 0 || static_cast<std::uint64_t>(ack) > acked_ + out_.size() ||
      heldFrom < 0 || static_cast<std::uint64_t>(offset) > ReceiveLimit()) {
    ++counters_.rejected;
    return false;
  }

  ++counters_.received;
  lastHeard_ = now;
  peerClock_ = std::max(peerClock_.value_or(peerNow), peerNow);
  heard_.push_back({std::chrono::microseconds(peerNow), now});
  if (heard_.size() > kHeardKept) heard_.pop_front();
  if (report) peerReport_ = *report;
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
  echoOwed_ = true;
  const auto acknowledged = static_cast<std::uint64_t>(ack);
  TakeAck(acknowledged, window, (flags & kNack) ? std::optional(static_cast<std::uint64_t>(heldFrom)) : std::nullopt,
          now);
  // (Nothing is written after Close, so the end the peer has is ours, even while the timer has
  // just taken it back to be sent again.)
  if ((flags & kEndSeen) && closing_ && acknowledged == acked_ + out_.size()) closeSeen_ = true;
  TakeData(static_cast<std::uint64_t>(offset), d.subspan(at), marks, (flags & kClose) != 0, now);
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
    while (marks_.size() >= 2 && marks_[1].offset <= acked_) marks_.pop_front();
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

void DatagramLine::TakeData(std::uint64_t offset, std::span<const std::uint8_t> data, const PeerMarks& marks, bool close,
                            Time now) {
  const std::uint64_t end = offset + data.size();
  if (close) peerEnd_ = end;
  if (offset > delivered_) {
    // A gap: bytes before these were lost beyond what the repeats carry. These wait for it.
    Hold(offset, data, marks);
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
    Deliver(offset, data, marks, false, now);
    while (!held_.empty() && held_.begin()->first <= delivered_) {
      const auto node = held_.extract(held_.begin());
      Deliver(node.key(), node.mapped().bytes, node.mapped().marks, true, now);
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

// The marks of `marks` (those of a stretch) that hold the bytes from `from` to `to`, the first
// moved up to `from`.
DatagramLine::PeerMarks DatagramLine::Slice(const PeerMarks& marks, std::uint64_t from, std::uint64_t to) {
  PeerMarks out;
  for (std::size_t i = 0; i < marks.size(); ++i) {
    const std::uint64_t ends = i + 1 < marks.size() ? marks[i + 1].offset : UINT64_MAX;
    if (ends <= from || marks[i].offset >= to) continue;
    out.push_back({std::max(marks[i].offset, from), marks[i].sentUs, marks[i].arrived, marks[i].repaired});
  }
  return out;
}

// The part of a stretch starting at or before delivered_ that is new, as far as the window goes.
void DatagramLine::Deliver(std::uint64_t offset, std::span<const std::uint8_t> data, const PeerMarks& marks, bool held,
                           Time now) {
  const std::uint64_t limit = std::min(offset + data.size(), ReceiveLimit());
  if (limit <= delivered_) return;
  for (const PeerMark& m : Slice(marks, delivered_, limit)) inMarks_.push_back({m.offset, m.sentUs, now, m.repaired || held});
  const auto first = data.begin() + static_cast<std::ptrdiff_t>(delivered_ - offset);
  in_.insert(in_.end(), first, first + static_cast<std::ptrdiff_t>(limit - delivered_));
  delivered_ = limit;
  ackOwed_ = true;
  ackAt_ = std::min(ackAt_, now + kAckDelay);
}

// Keeps the bytes of a stretch after a gap that are not held yet, within the window: the held
// stretches stay disjoint, so they never hold more than the window.
void DatagramLine::Hold(std::uint64_t offset, std::span<const std::uint8_t> data, const PeerMarks& marks) {
  std::uint64_t at = offset;
  const std::uint64_t end = std::min(offset + data.size(), ReceiveLimit());
  auto next = held_.upper_bound(at);
  if (next != held_.begin()) {
    const auto before = std::prev(next);
    at = std::max(at, before->first + before->second.bytes.size());
  }
  while (at < end && held_.size() < kMaxHeldStretches) {
    const std::uint64_t stop = next == held_.end() ? end : std::min(end, next->first);
    if (stop > at) {
      const auto first = data.begin() + static_cast<std::ptrdiff_t>(at - offset);
      held_.emplace(at, Held{std::vector<std::uint8_t>(first, first + static_cast<std::ptrdiff_t>(stop - at)),
                             Slice(marks, at, stop)});
    }
    if (next == held_.end()) break;
    at = next->first + next->second.bytes.size();
    ++next;
  }
}

std::vector<std::uint8_t> DatagramLine::Take(std::size_t max) {
  const std::size_t n = std::min(max, in_.size());
  std::vector<std::uint8_t> bytes(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n));
  Consumed(n);
  return bytes;
}

void DatagramLine::Consumed(std::size_t n) {
  const bool wasTight = kReceiveWindow - in_.size() < kReceiveWindow / 2;
  in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n));
  const std::uint64_t readTo = delivered_ - in_.size();
  while (inMarks_.size() >= 2 && inMarks_[1].offset <= readTo) inMarks_.pop_front();
  if (wasTight && kReceiveWindow - in_.size() >= kReceiveWindow / 2) {
    // The sender may be waiting for room: tell it at once.
    ackOwed_ = true;
    ackAt_ = Time::min();
  }
}

std::optional<DatagramLine::Piece> DatagramLine::TakePiece(std::size_t max) {
  if (in_.empty() || max == 0) return std::nullopt;
  const std::uint64_t readFrom = delivered_ - in_.size();
  const std::uint64_t ends = inMarks_.size() >= 2 ? inMarks_[1].offset : delivered_;
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(max, ends - readFrom));
  Piece piece{std::vector<std::uint8_t>(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n)),
              std::chrono::microseconds(inMarks_.empty() ? 0 : inMarks_.front().sentUs),
              inMarks_.empty() ? lastHeard_ : inMarks_.front().arrived, !inMarks_.empty() && inMarks_.front().repaired};
  Consumed(n);
  return piece;
}

std::vector<DatagramLine::Heard> DatagramLine::TakeHeard() {
  std::vector<Heard> out(heard_.begin(), heard_.end());
  heard_.clear();
  return out;
}

std::optional<DatagramLine::Event> DatagramLine::TakeEvent() {
  if (events_.empty()) return std::nullopt;
  const Event e = events_.front();
  events_.pop_front();
  return e;
}

// ------------------------------------------------------------------ figures

void DatagramLine::CountPacket(std::uint16_t number) {
  if (!highest_) {
    highest_ = number;
  } else {
    const auto ahead = static_cast<std::int16_t>(static_cast<std::uint16_t>(number - *highest_));
    if (ahead > 0) {
      // (A jump of more than the counts look back on says no more than one of that length.)
      const double missed = std::min<double>(ahead - 1, kCountWindow);
      own_.lost += missed;
      own_.seen += missed;
      if (missed > 1) own_.afterLoss += missed - 1;
      highest_ = number;
    } else if (ahead < 0 && own_.lost >= 1) {
      own_.lost -= 1;  // late, not lost
      own_.seen -= 1;
      own_.afterLoss = std::min(own_.afterLoss, std::max(0.0, own_.lost - 1));
    } else if (ahead == 0) {
      return;  // the network doubled it
    }
  }
  own_.seen += 1;
  while (own_.seen > kCountWindow) {
    own_.seen /= 2;
    own_.lost /= 2;
    own_.afterLoss /= 2;
  }
}

std::optional<std::chrono::microseconds> DatagramLine::RoundTrip() const {
  if (!srttUs_) return std::nullopt;
  return std::chrono::microseconds(static_cast<std::int64_t>(*srttUs_));
}

double DatagramLine::RepairedShare() const {
  return own_.seen > 0 ? own_.lost / own_.seen : 0;
}

}  // namespace modem
