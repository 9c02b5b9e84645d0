#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// How two built-in modems agree that a call stands: a password-authenticated key exchange
// (CPace on the ristretto255 group), then a confirmation each way.
//
//   caller -> answerer  HELLO    greeting, session id (16 random bytes), Ya = a*G, proof (16)
//   answerer -> caller  ANSWER   greeting, Yb = b*G, the answerer's confirmation tag
//   caller -> answerer  CONFIRM  greeting, the caller's confirmation tag
//   answerer -> caller  WELCOME  greeting, the answerer's acceptance tag   (or BUSY)
//
// G is hashed from the password and the session id, so the shares say nothing about the
// password; both sides get the same key a*b*G only when they hold the same password. The tags
// are keyed with that key: a caller with another password learns it from the ANSWER's tag, and
// an answerer only takes a call whose CONFIRM tag is right. A stranger gets one guess per
// connection (its share was made with one password), a recording of a call allows none, and
// nothing replays: every call has fresh random scalars on both sides. An empty password on both
// sides is an open call: encrypted all the same, with keys of its own.
//
// The proof is a MAC over the session id and Ya, keyed with the partner key both modems kept
// from their last call confirmed by the password (random bytes from a caller that has none): it
// lets the answerer tell a partner it has played with from a stranger before any curve work.
//
// A message is a whole unit here; the line carrying it (length-prefixed on a TCP stream, one
// datagram each) keeps its bounds. Pure: no sockets, no clock of its own.
namespace modem {

// A key of a call: wiped from memory when it goes, wherever a copy of it went (the sealers, the
// datagram line's keys, the modem's), so that nothing of an ended call lingers to be read.
struct CallKey : std::array<std::uint8_t, 32> {
  ~CallKey();
};
using Bytes = std::vector<std::uint8_t>;

// The keys a standing call's records are sealed with, one per direction.
struct CallKeys {
  CallKey send{};
  CallKey receive{};
};

// Readies the cryptographic library; any thread, any number of times.
void InitCrypto();

class CallHandshake {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Role { Caller, Answerer };
  enum class Step {
    Hello,      // caller: nothing sent yet; answerer: waiting for the HELLO
    Answer,     // caller: HELLO sent, waiting for the ANSWER
    Confirm,    // answerer: ANSWER sent, waiting for the CONFIRM
    Welcome,    // caller: CONFIRM sent, waiting for the WELCOME
    Confirmed,  // answerer: the caller proved the password; Accept() or turn it away
    Established,
    Failed,
  };
  enum class Failure {
    None,
    NotSonavel,     // the peer said something that is not one of these messages
    WrongPassword,  // (caller) the answerer's tag is wrong; (answerer) the caller's tag is wrong
    Busy,           // (caller) the answerer has a call already
    TooManyTries,   // (caller) the answerer slows this address down after failed tries
    Unsafe,         // a share that would make a known key (the group's identity)
    OlderModem,     // the peer greets with an older version of these messages
    NewerModem,     // the peer greets with a newer version
  };

  // The greetings the messages begin with: the version of the modems' protocol (these messages
  // and the records and datagrams after them), readable in a capture. 3: datagrams carry the
  // times their bytes were written, and the losses each side sees. 4: the HELLO carries the
  // partner's proof, and the records on TCP carry their bytes' times as datagrams do. 5: the
  // datagram's header shrinks (stream positions in 32 bits, the echo and the loss report only
  // where they are new).
  static constexpr int kVersion = 5;
  static constexpr std::string_view kGreeting = "SONAVEL-MODEM/";
  static constexpr std::string_view kHello = "SONAVEL-MODEM/5 CALL\n";
  static constexpr std::string_view kAnswer = "SONAVEL-MODEM/5 ANSWER\n";
  static constexpr std::string_view kConfirm = "SONAVEL-MODEM/5 CONFIRM\n";
  static constexpr std::string_view kWelcome = "SONAVEL-MODEM/5 WELCOME\n";
  static constexpr std::string_view kBusy = "SONAVEL-MODEM/5 BUSY\n";
  static constexpr std::string_view kLater = "SONAVEL-MODEM/5 LATER\n";
  // The answer to a greeting of another version: this one's, so the caller can say which.
  static constexpr std::string_view kVersionWord = "SONAVEL-MODEM/5 VERSION\n";
  // No message is longer.
  static constexpr std::size_t kMaxMessage = 96;
  static constexpr std::size_t kSessionIdSize = 16;
  static constexpr std::size_t kProofSize = 16;

  // `password`: the bytes both sides must hold alike; empty for an open call. The handshake
  // fails (Expired) when it has not stood by `deadline`.
  CallHandshake(Role role, std::string_view password, Clock::time_point deadline);
  ~CallHandshake();
  CallHandshake(const CallHandshake&) = delete;
  CallHandshake& operator=(const CallHandshake&) = delete;

  // The caller's first message, with a session id of its own; once. `partner`: the key kept
  // from the last call confirmed by the password, to prove it with; none: random bytes instead.
  Bytes Start(const CallKey* partner = nullptr);
  // A message from the peer. Returns what to send back (may be empty); see step() and failure().
  Bytes Receive(std::span<const std::uint8_t> message);
  // The answerer takes the confirmed call: the WELCOME to send. Keys() are valid from here on.
  Bytes Accept();

  Step step() const { return step_; }
  Failure failure() const { return failure_; }
  bool Expired(Clock::time_point now) const { return step_ != Step::Established && now >= deadline_; }
  bool PasswordProtected() const { return passwordSet_; }
  // Valid once established (the answerer: once confirmed).
  const CallKeys& Keys() const { return keys_; }
  // Six digits from the session's key, valid from the same point: the same on both sides only
  // when each share reached the other unchanged, so an open call can be checked by comparing them.
  const std::string& CheckCode() const { return checkCode_; }
  // The key both sides keep for the next call's proof, valid from the same point (an open call
  // proves nothing, and gives none to keep).
  const CallKey& PartnerKey() const { return partnerKey_; }

  // Whether a HELLO's proof was made with `key`: a keyed hash, no curve work.
  static bool Proves(std::span<const std::uint8_t> hello, const CallKey& key);
  static bool IsHello(std::span<const std::uint8_t> message);
  // The version a message greeting as these do names (any version); nothing for any other.
  static std::optional<int> GreetingVersion(std::span<const std::uint8_t> message);
  static Bytes BusyMessage();
  static Bytes LaterMessage();
  static Bytes VersionMessage() { return Bytes(kVersionWord.begin(), kVersionWord.end()); }

 private:
  Bytes Fail(Failure why);
  bool MakeShare();
  bool Agree(const std::uint8_t* peerShare, const std::uint8_t* callerShare, const std::uint8_t* answererShare);

  Role role_;
  bool passwordSet_;
  Clock::time_point deadline_;
  Step step_ = Step::Hello;
  Failure failure_ = Failure::None;
  std::array<std::uint8_t, kSessionIdSize> sid_{};
  std::array<std::uint8_t, kProofSize> proof_{};  // the HELLO's, bound into the key like the rest of it
  std::array<std::uint8_t, 32> generator_{};
  std::array<std::uint8_t, 32> scalar_{};
  std::array<std::uint8_t, 32> share_{};
  std::array<std::uint8_t, 32> answerTag_{};
  std::array<std::uint8_t, 32> confirmTag_{};
  std::array<std::uint8_t, 32> welcomeTag_{};
  std::string password_;
  CallKeys keys_;
  CallKey partnerKey_{};
  std::string checkCode_;
};

}  // namespace modem
