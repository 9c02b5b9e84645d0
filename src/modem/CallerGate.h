#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "modem/CallHandshake.h"
#include "modem/SealedRecords.h"

// Who may knock at the answering port, and what each caller is told before one of them is the
// call. A caller costs a bounded amount: one handshake message held, a deadline, a place in a
// table of limited size. Each handshake answered is a guess at the password, so an address that
// keeps guessing waits longer each time, and all strangers together share one budget of guesses
// that fails closed: when it is spent, or the table of addresses is full, a stranger hears LATER
// before any curve work. A partner who proves a key kept from an earlier call skips both.
//
// Pure: the modem accepts the connections and keeps their sockets, keyed by the id the gate
// gives; it hands each caller's bytes here with the time and carries out the verdict.
namespace modem {

class CallerGate {
 public:
  using Time = std::chrono::steady_clock::time_point;
  using Id = std::uint64_t;

  // Callers being answered at once, in all and from one address (IPv6: one /64, and one /48).
  static constexpr std::size_t kMaxIncoming = 16;
  static constexpr std::size_t kMaxIncomingPerAddress = 4;
  // Handshakes answered for an address before it is slowed down, and the longest wait then.
  static constexpr int kFreeTries = 3;
  static constexpr std::chrono::seconds kLongestWait{60};
  static constexpr std::chrono::seconds kGreetingTime{1};   // for a caller's HELLO to come
  static constexpr std::chrono::seconds kHandshakeTime{5};  // from the knock, to prove who it is
  static constexpr std::chrono::seconds kTurnAwayTime{2};   // for a busy caller to read BUSY
  static constexpr std::chrono::minutes kTriesForgotten{10};
  static constexpr std::size_t kTriesKept = 256;
  // The strangers' budget: this many handshakes at once, then one each kBudgetEvery. In a
  // minute of guessing from any number of addresses at most kBurst + 60 are answered.
  static constexpr int kBudgetBurst = 20;
  static constexpr std::chrono::seconds kBudgetEvery{1};
  // Session ids of the HELLOs answered lately: one seen again is a replay, dropped before the
  // curve arithmetic it would cost.
  static constexpr std::size_t kHellosKept = 1024;

  struct Verdict {
    enum class Kind {
      Wait,      // nothing more to do until it says more
      Drop,      // hang up at once, without a word
      TurnAway,  // send `reply`, then stop sending (BUSY or LATER); hang up once it has or at its deadline
      Answer,    // send `reply`; `call` is the confirmed handshake and the caller the call now
    };
    Kind kind = Kind::Wait;
    Bytes reply;  // framed, for the caller's stream
    std::unique_ptr<CallHandshake> call;
    // The partner key (its index among those given) whose proof let this HELLO through: spent.
    std::optional<std::size_t> spent;
    // A modem of this other version called (told at most once in kVersionToldEvery): the
    // answering player hears why the call did not come.
    std::optional<int> otherVersion;
  };
  static constexpr std::chrono::seconds kVersionToldEvery{60};

  // Whom the limits count: an IPv4 address, or an IPv6 one's /64 (what one line gets); and an
  // IPv6 address's /48 (what one site may get: 65,536 /64s), empty for IPv4.
  static std::string AddressKey(const sockaddr_storage& address);
  static std::string SiteKey(const sockaddr_storage& address);

  // A caller accepted at `now`: the id its bytes come with. When the places are full (in all, or
  // for its address) the oldest caller of the address holding the most goes (of its own address
  // when that is full): take them with Evicted and hang up on them. No crowd holds the line: a
  // place is held only by one that keeps proving faster than newcomers come.
  std::optional<Id> Knock(const sockaddr_storage& from, Time now);
  std::vector<Id> Evicted() { return std::exchange(evicted_, {}); }
  // Bytes from a caller. `busy`: a call stands, or no program holds the port; `password`: what a
  // caller must prove; `partners`: the keys kept from earlier calls, whose proof lets a HELLO
  // past the waits. After Drop and Answer the gate has forgotten the id.
  Verdict Received(Id id, std::span<const std::uint8_t> bytes, bool busy, std::string_view password,
                   Time now, std::span<const CallKey> partners = {});
  // The caller hung up, or the modem did.
  void Forget(Id id);
  // The callers whose time is up at `now`, forgotten here: to hang up on.
  std::vector<Id> Expired(Time now);
  // Nobody answers the callers still proving who they are (the modem stopped taking calls): to
  // hang up on. Those being turned away stay until they have read why.
  std::vector<Id> DropUnanswered();
  void Clear() {
    for (const auto& c : callers_) Left(c.second);
    callers_.clear();
  }

  // At the door since ResetCounts: callers whose handshake was answered and who went without a
  // call coming of it (each one a wrong guess at the password), and callers turned away or hung
  // up on because too many knocked or their address must wait.
  struct Counts {
    int wrongPasswords = 0;
    int turnedAway = 0;
  };
  const Counts& counts() const { return counts_; }
  void ResetCounts() { counts_ = {}; }

  // The earliest deadline of a caller; Time::max() with none.
  Time Wake() const;
  std::size_t Callers() const { return callers_.size(); }
  // Whether an address (AddressKey or SiteKey) must wait before its next handshake is answered.
  bool Throttled(const std::string& address, Time now) const;

 private:
  struct Caller {
    std::string address;  // AddressKey
    std::string site;     // SiteKey
    Time deadline;
    bool busy = false;  // told BUSY or LATER; kept until it hangs up so the word is not lost to a reset
    bool guessed = false;
    Time knocked;  // its HELLO was answered; a call has not come of it (yet)
    StreamFramer framer{CallHandshake::kMaxMessage};
    std::unique_ptr<CallHandshake> handshake;
  };
  struct Tries {
    int failed = 0;  // handshakes answered without a call coming of them
    Time last, until;
  };

  void Unit(Caller& caller, std::span<const std::uint8_t> unit, bool busy, std::string_view password,
            Time now, std::span<const CallKey> partners, Verdict& verdict);
  bool MustWait(const Caller& caller, Time now);
  void TurnAway(Caller& caller, const Bytes& word, Time now, Verdict& verdict);
  void Tried(const std::string& address, bool succeeded, Time now);
  void Left(const Caller& caller);
  bool Replayed(std::span<const std::uint8_t> hello);

  Id nextId_ = 1;
  std::map<Id, Caller> callers_;
  std::map<std::string, Tries> tries_;  // by address and site, at most kTriesKept
  // The budget's clock: one kBudgetEvery on for each handshake answered, never behind now; a
  // stranger is answered while it runs at most kBudgetBurst - 1 steps ahead.
  Time budgetAt_{};
  Counts counts_;
  std::optional<Time> versionTold_;
  std::vector<Id> evicted_;
  std::set<std::string> hellos_;     // session ids answered lately
  std::deque<std::string> helloOrder_;  // the same, oldest first
};

}  // namespace modem
