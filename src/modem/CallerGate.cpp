#include "modem/CallerGate.h"

#include <netinet/in.h>

#include <algorithm>

namespace modem {

namespace {

void AppendFramed(const Bytes& unit, Bytes& out) {
  StreamFramer::Append(unit, out);
}

}  // namespace

std::string CallerGate::AddressKey(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
      return std::string(reinterpret_cast<const char*>(&v6.sin6_addr.s6_addr[12]), 4);
    }
    return std::string(reinterpret_cast<const char*>(v6.sin6_addr.s6_addr), 8);
  }
  if (a.ss_family == AF_INET) {
    return std::string(reinterpret_cast<const char*>(&reinterpret_cast<const sockaddr_in&>(a).sin_addr), 4);
  }
  return {};
}

// Six bytes of an IPv6 address (a length no AddressKey has, so the two never meet in a table).
std::string CallerGate::SiteKey(const sockaddr_storage& a) {
  const std::string key = AddressKey(a);
  return key.size() == 8 ? key.substr(0, 6) : std::string();
}

std::optional<CallerGate::Id> CallerGate::Knock(const sockaddr_storage& from, Time now) {
  std::string address = AddressKey(from), site = SiteKey(from);
  std::map<std::string, std::size_t> held;
  for (const auto& c : callers_) {
    ++held[c.second.address];
    if (!c.second.site.empty()) ++held[c.second.site];
  }
  // Full: the oldest of the address holding the most makes room (callers_ is in the order they
  // came), or of the newcomer's own address or site when that holds its share already.
  std::string own;
  if (held[address] >= kMaxIncomingPerAddress) own = address;
  if (!site.empty() && held[site] >= kMaxIncomingPerAddress) own = site;
  if (!own.empty() || callers_.size() >= kMaxIncoming) {
    std::size_t most = 0;
    for (const auto& c : callers_) most = std::max(most, held[c.second.address]);
    const auto gone = std::find_if(callers_.begin(), callers_.end(), [&](const auto& c) {
      return own.empty() ? held[c.second.address] == most : c.second.address == own || c.second.site == own;
    });
    Left(gone->second);
    ++counts_.turnedAway;
    evicted_.push_back(gone->first);
    callers_.erase(gone);
  }
  const Id id = nextId_++;
  Caller& caller = callers_[id];
  caller.address = std::move(address);
  caller.site = std::move(site);
  caller.knocked = now;
  caller.deadline = now + kGreetingTime;
  return id;
}

CallerGate::Verdict CallerGate::Received(Id id, std::span<const std::uint8_t> bytes, bool busy,
                                         std::string_view password, Time now,
                                         std::span<const CallKey> partners) {
  Verdict verdict;
  const auto found = callers_.find(id);
  if (found == callers_.end()) {
    verdict.kind = Verdict::Kind::Drop;
    return verdict;
  }
  Caller& caller = found->second;
  if (caller.busy) return verdict;  // a turned-away caller's words are read and dropped until it hangs up
  // Not one of ours (a port scan, a browser, an old modem) or words out of turn: not a sound here.
  if (!caller.framer.Feed(bytes)) verdict.kind = Verdict::Kind::Drop;
  while (verdict.kind == Verdict::Kind::Wait && !caller.busy) {
    const auto unit = caller.framer.Next();
    if (!unit) break;
    Unit(caller, *unit, busy, password, now, partners, verdict);
  }
  if (verdict.kind == Verdict::Kind::Wait && caller.framer.Failed()) verdict.kind = Verdict::Kind::Drop;
  if (verdict.kind == Verdict::Kind::Drop) Left(caller);
  if (verdict.kind == Verdict::Kind::Drop || verdict.kind == Verdict::Kind::Answer) callers_.erase(found);
  return verdict;
}

void CallerGate::Unit(Caller& caller, std::span<const std::uint8_t> unit, bool busy,
                      std::string_view password, Time now, std::span<const CallKey> partners,
                      Verdict& verdict) {
  // Only a call that stands (or nobody at the port) makes a caller hear BUSY; handshakes under
  // way do not, and the first to be proved wins.
  if (!caller.handshake) {
    // An older or newer modem: told this one's version, which costs no curve work.
    if (const auto v = CallHandshake::GreetingVersion(unit); v && *v != CallHandshake::kVersion) {
      if (!versionTold_ || now - *versionTold_ >= kVersionToldEvery) {
        versionTold_ = now;
        verdict.otherVersion = *v;
      }
      return TurnAway(caller, CallHandshake::VersionMessage(), now, verdict);
    }
    if (!CallHandshake::IsHello(unit) || Replayed(unit)) {
      verdict.kind = Verdict::Kind::Drop;
      return;
    }
    if (busy) return TurnAway(caller, CallHandshake::BusyMessage(), now, verdict);
    for (std::size_t i = 0; i < partners.size() && !verdict.spent; ++i) {
      if (CallHandshake::Proves(unit, partners[i])) verdict.spent = i;
    }
    if (!verdict.spent && MustWait(caller, now)) {
      ++counts_.turnedAway;
      return TurnAway(caller, CallHandshake::LaterMessage(), now, verdict);
    }
    caller.deadline = caller.knocked + kHandshakeTime;
    caller.handshake =
        std::make_unique<CallHandshake>(CallHandshake::Role::Answerer, password, caller.deadline);
    const Bytes answer = caller.handshake->Receive(unit);
    if (answer.empty()) {
      verdict.kind = Verdict::Kind::Drop;
      return;
    }
    Tried(caller.address, false, now);
    Tried(caller.site, false, now);
    caller.guessed = true;
    AppendFramed(answer, verdict.reply);
    return;
  }
  caller.handshake->Receive(unit);
  if (caller.handshake->step() != CallHandshake::Step::Confirmed) {
    verdict.kind = Verdict::Kind::Drop;  // a wrong password, or words out of turn
    return;
  }
  Tried(caller.address, true, now);
  caller.guessed = false;
  if (busy) return TurnAway(caller, CallHandshake::BusyMessage(), now, verdict);
  // The caller proved the password: it is the call now.
  AppendFramed(caller.handshake->Accept(), verdict.reply);
  verdict.call = std::move(caller.handshake);
  verdict.kind = Verdict::Kind::Answer;
}

void CallerGate::TurnAway(Caller& caller, const Bytes& word, Time now, Verdict& verdict) {
  AppendFramed(word, verdict.reply);
  verdict.kind = Verdict::Kind::TurnAway;
  caller.busy = true;
  caller.handshake.reset();
  caller.deadline = now + kTurnAwayTime;
}

void CallerGate::Forget(Id id) {
  if (const auto found = callers_.find(id); found != callers_.end()) {
    Left(found->second);
    callers_.erase(found);
  }
}

// Checked before any handshake work: a HELLO's session id is fresh random bytes for every call.
bool CallerGate::Replayed(std::span<const std::uint8_t> hello) {
  std::string sid(reinterpret_cast<const char*>(hello.data()) + CallHandshake::kHello.size(),
                  CallHandshake::kSessionIdSize);
  if (!hellos_.insert(sid).second) return true;
  helloOrder_.push_back(std::move(sid));
  if (helloOrder_.size() > kHellosKept) {
    hellos_.erase(helloOrder_.front());
    helloOrder_.pop_front();
  }
  return false;
}

void CallerGate::Left(const Caller& caller) {
  if (caller.guessed) ++counts_.wrongPasswords;
}

std::vector<CallerGate::Id> CallerGate::Expired(Time now) {
  std::vector<Id> gone;
  std::erase_if(callers_, [&](const auto& c) {
    if (now < c.second.deadline) return false;
    Left(c.second);
    gone.push_back(c.first);
    return true;
  });
  return gone;
}

std::vector<CallerGate::Id> CallerGate::DropUnanswered() {
  std::vector<Id> gone;
  std::erase_if(callers_, [&](const auto& c) {
    if (c.second.busy) return false;
    Left(c.second);
    gone.push_back(c.first);
    return true;
  });
  return gone;
}

CallerGate::Time CallerGate::Wake() const {
  Time next = Time::max();
  for (const auto& [id, caller] : callers_) next = std::min(next, caller.deadline);
  return next;
}

// A stranger's HELLO waits when its address or site is slowed down, when the table of addresses
// has no room for it (rather than forgetting the waits of others), or when the budget is spent.
// Only a HELLO let through here takes from the budget.
bool CallerGate::MustWait(const Caller& caller, Time now) {
  if (Throttled(caller.address, now) || (!caller.site.empty() && Throttled(caller.site, now))) return true;
  const std::size_t newKeys = !tries_.contains(caller.address) + (!caller.site.empty() && !tries_.contains(caller.site));
  if (tries_.size() + newKeys > kTriesKept) {
    std::erase_if(tries_, [&](const auto& t) { return now - t.second.last > kTriesForgotten; });
    if (tries_.size() + newKeys > kTriesKept) return true;
  }
  if (budgetAt_ - (kBudgetBurst - 1) * kBudgetEvery > now) return true;
  budgetAt_ = std::max(budgetAt_, now) + kBudgetEvery;
  return false;
}

bool CallerGate::Throttled(const std::string& address, Time now) const {
  const auto t = tries_.find(address);
  return t != tries_.end() && now < t->second.until;
}

// Each handshake answered is a guess at the password; a call coming of it clears the books.
// After kFreeTries without one, the address waits twice as long each time.
void CallerGate::Tried(const std::string& address, bool succeeded, Time now) {
  if (address.empty()) return;
  if (succeeded) {
    tries_.erase(address);
    return;
  }
  // Room was made before a stranger was answered; a partner's failed proof finds none only in a
  // table full of others, whose waits stay.
  if (tries_.size() >= kTriesKept && !tries_.contains(address)) return;
  Tries& t = tries_[address];
  if (now - t.last > kTriesForgotten) t.failed = 0;
  t.last = now;
  if (++t.failed >= kFreeTries) {
    const int doublings = std::min(t.failed - kFreeTries, 6);
    t.until = now + std::min<std::chrono::steady_clock::duration>(std::chrono::seconds(1) * (1 << doublings),
                                                                  kLongestWait);
  }
}

}  // namespace modem
