#pragma once

// Two modems' calls on a simulated clock: a caller's CallSession, and on the answering side a
// CallerGate that hands the proved caller to a CallSession of its own. Their streams arrive
// whole and in order after the path's delay and its jitter (a late segment holds back those
// behind it, as TCP does); their datagrams go through a sim::Wire, which may lose them all (a
// path that blocks UDP). What the sessions ask of the sockets is carried out
// here, as the modem would.
#include <netinet/in.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "modem/CallSession.h"
#include "modem/CallerGate.h"
#include "support/SimulatedPath.h"

namespace sim {

class SessionPair : modem::ModemLine {
 public:
  static constexpr int kCaller = 0, kAnswerer = 1;
  struct Setup {
    Path path;
    bool udpBlocked = false;
    int lineChoice = 0;  // the caller's S40
    int playout = modem::CommandInterpreter::kPlayoutAutomatic;  // the answerer's S41
    std::string callerPassword{}, answererPassword{};
    bool answererBusy = false;  // a call stands there already
    std::uint64_t seed = 1;
  };

  explicit SessionPair(Setup setup)
      : setup_(std::move(setup)), random_(setup_.seed), wire_(Blocked(setup_), random_, kStart) {
    std::string ignored;
    const std::string s40 = "ATS40=" + std::to_string(setup_.lineChoice) + "\r";
    words_[kCaller].Feed({reinterpret_cast<const std::uint8_t*>(s40.data()), s40.size()}, ignored);
    const std::string s41 = "ATS41=" + std::to_string(setup_.playout) + "\r";
    words_[kAnswerer].Feed({reinterpret_cast<const std::uint8_t*>(s41.data()), s41.size()}, ignored);
    address_[kCaller] = Address(1, 40000);
    address_[kAnswerer] = Address(2, modem::kDefaultPort);
  }

  static constexpr Time kStart = Time{} + 1h;
  Time Now() const { return now_; }
  modem::CallSession* Session(int side) { return session_[side].get(); }
  std::string& Heard(int side) { return heard_[side]; }  // the program's bytes, the modem's texts
  // When each of the program's bytes reached it.
  const std::vector<Time>& HeardAt(int side) const { return heardAt_[side]; }
  modem::CallerGate& Gate() { return gate_; }

  void Dial() {
    session_[kCaller] = std::make_unique<modem::CallSession>(words_[kCaller], true);
    session_[kCaller]->Dial({"partner.example", modem::kDefaultPort}, now_);
    Apply(kCaller);
  }
  // The program on `side` writes; what the call does not take yet waits, as in the pty.
  void Write(int side, const std::string& bytes) { pending_[side] += bytes; }
  void HangUp(int side) {
    if (!session_[side]) return;
    session_[side]->ProgramGone(now_);
    Apply(side);
  }
  // Bytes or a datagram from nobody the call knows, arriving now.
  void InjectStream(int to, const std::vector<std::uint8_t>& bytes) { Arrive(to, bytes); }
  void InjectDatagram(int to, const std::vector<std::uint8_t>& bytes) {
    if (session_[to]) session_[to]->Datagram(bytes, Address(9, 9), now_);
    Apply(to);
  }

  void RunFor(std::chrono::microseconds length) {
    const Time end = now_ + length;
    while (now_ < end) {
      for (int side = 0; side < 2; ++side) Step(side);
      Time next = std::min(wire_.NextDue(), end);
      for (int side = 0; side < 2; ++side) {
        if (session_[side]) next = std::min(next, session_[side]->Wake());
        if (!pending_[side].empty() && session_[side] && session_[side]->ProgramRoom() > 0) next = now_;
      }
      if (!stream_.empty()) next = std::min(next, stream_.front().due);
      next = std::min(next, gate_.Wake());
      now_ = std::max(next, now_ + 1us);
      while (!stream_.empty() && stream_.front().due <= now_) {
        Segment s = std::move(stream_.front());
        stream_.pop_front();
        if (s.end) {
          Ended(s.to);
        } else {
          Arrive(s.to, s.bytes);
        }
      }
      wire_.Deliver(now_, [&](int to, const std::vector<std::uint8_t>& d) {
        if (session_[to]) session_[to]->Datagram(d, address_[1 - to], now_);
        Apply(to);
      });
      for (const auto id : gate_.Expired(now_)) Close(kAnswerer, id == callerId_);
    }
  }

 private:
  struct Segment {
    Time due;
    int to;
    std::vector<std::uint8_t> bytes;
    bool end = false;
  };

  static Path Blocked(const Setup& s) {
    Path p = s.path;
    if (s.udpBlocked) p.loss = 1;
    return p;
  }
  static sockaddr_storage Address(std::uint8_t host, std::uint16_t port) {
    sockaddr_storage a{};
    auto& in = reinterpret_cast<sockaddr_in&>(a);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(0x0A000000u | host);
    in.sin_port = htons(port);
    return a;
  }

  // SetAnswering, Dial and the rest are not used: the test drives the sessions itself.
  bool SetAnswering(bool, std::string&) override { return true; }
  void Dial(const modem::DialTarget&) override {}
  std::uint16_t DefaultPort() const override { return modem::kDefaultPort; }
  std::string Identification() const override { return {}; }

  void Step(int side) {
    auto& s = session_[side];
    if (!s) return;
    while (!pending_[side].empty() && s->ProgramRoom() > 0 && !s->Over()) {
      const std::size_t n = std::min(pending_[side].size(), s->ProgramRoom());
      s->FromProgram({reinterpret_cast<const std::uint8_t*>(pending_[side].data()), n}, now_);
      pending_[side].erase(0, n);
      Apply(side);
    }
    s->Tick(now_, modem::CallSession::kBacklog);
    Apply(side);
  }

  void Send(int from, const std::string& bytes) {
    if (!open_ || bytes.empty()) return;
    Time due = now_ + wire_.path().delay;
    // Its own generator: the datagrams' draws stay as they were without it.
    if (wire_.path().jitter > 0ms) due += std::chrono::microseconds(streamRandom_() % (wire_.path().jitter.count() * 1000));
    due = std::max(due, streamDue_[from]);
    streamDue_[from] = due;
    Queue({due, 1 - from, {bytes.begin(), bytes.end()}});
  }
  void Close(int from, bool theCall) {
    if (!theCall || !open_) return;
    open_ = false;
    Segment end{std::max(now_ + wire_.path().delay, streamDue_[from]), 1 - from, {}, true};
    Queue(std::move(end));
  }
  void Queue(Segment s) {
    const auto at = std::upper_bound(stream_.begin(), stream_.end(), s.due,
                                     [](Time due, const Segment& o) { return due < o.due; });
    stream_.insert(at, std::move(s));
  }

  // Stream bytes for `to`: the answering side's go to the gate until the caller is the call.
  void Arrive(int to, const std::vector<std::uint8_t>& bytes) {
    if (to == kCaller || session_[kAnswerer]) {
      if (session_[to]) session_[to]->StreamBytes(bytes, now_);
      return Apply(to);
    }
    if (!callerId_) return;
    auto v = gate_.Received(*callerId_, bytes, setup_.answererBusy, setup_.answererPassword, now_);
    Send(kAnswerer, std::string(v.reply.begin(), v.reply.end()));
    using Kind = modem::CallerGate::Verdict::Kind;
    if (v.kind == Kind::Drop || v.kind == Kind::TurnAway) Close(kAnswerer, true);
    if (v.kind != Kind::Answer) return;
    session_[kAnswerer] = std::make_unique<modem::CallSession>(words_[kAnswerer], true);
    session_[kAnswerer]->Answer(std::move(v.call), "10.0.0.1", true, now_);
    Apply(kAnswerer);
  }
  void Ended(int to) {
    if (session_[to]) session_[to]->StreamEnded(0, now_);
    if (to == kAnswerer && callerId_ && !session_[kAnswerer]) gate_.Forget(*callerId_);
    Apply(to);
  }

  void Apply(int side) {
    auto& s = session_[side];
    if (!s) return;
    auto e = s->Take();
    for (auto& [d, peer] : e.datagrams) wire_.Carry(side, std::move(d), now_);
    heard_[side] += e.toProgram;
    heardAt_[side].insert(heardAt_[side].end(), e.toProgram.size(), now_);
    if (e.closeStream != modem::CallSession::StreamClose::Keep) Close(side, true);
    Send(side, e.toStream);
    if (e.lookUp) {
      s->Resolved(modem::CallSession::Lookup::Found, 1, now_);
      Apply(side);
    }
    if (e.connectTo) {
      // The connection stands after one round trip; the gate meets it at once.
      open_ = true;
      callerId_ = gate_.Knock(address_[kCaller], now_);
      now_ += 2 * wire_.path().delay;
      s->StreamConnected(setup_.callerPassword, true, address_[kAnswerer], now_);
      Apply(side);
    }
  }

  Setup setup_;
  std::mt19937_64 random_;
  Wire wire_;
  Time now_ = kStart;
  modem::CommandInterpreter words_[2] = {modem::CommandInterpreter(*this), modem::CommandInterpreter(*this)};
  std::unique_ptr<modem::CallSession> session_[2];
  sockaddr_storage address_[2]{};
  modem::CallerGate gate_;
  std::optional<modem::CallerGate::Id> callerId_;
  bool open_ = false;
  std::deque<Segment> stream_;  // by due time: each direction's in order
  std::mt19937_64 streamRandom_{setup_.seed + 1};
  Time streamDue_[2]{};
  std::string pending_[2], heard_[2];
  std::vector<Time> heardAt_[2];
};

}  // namespace sim
