#include "modem/CallHandshake.h"

#include <cstdio>

#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace modem {

namespace {

constexpr std::string_view kGeneratorDomain = "Sonavel call CPace-ristretto255 generator";
constexpr std::string_view kKeyDomain = "Sonavel call CPace-ristretto255 key";
constexpr std::size_t kPoint = crypto_core_ristretto255_BYTES;
constexpr std::size_t kTag = 32;

static_assert(kPoint == 32 && crypto_core_ristretto255_SCALARBYTES == 32);
constexpr std::size_t kHelloSize =
    CallHandshake::kHello.size() + CallHandshake::kSessionIdSize + kPoint + CallHandshake::kProofSize;
static_assert(CallHandshake::kMaxMessage >= kHelloSize);
static_assert(CallHandshake::kMaxMessage >= CallHandshake::kAnswer.size() + kPoint + kTag);

// Each part with its length in front, so no two different lists hash alike.
void Absorb(crypto_hash_sha512_state& h, const void* data, std::size_t size) {
  const std::uint32_t n = static_cast<std::uint32_t>(size);
  const std::uint8_t length[4] = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                                  static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
  crypto_hash_sha512_update(&h, length, sizeof length);
  crypto_hash_sha512_update(&h, static_cast<const std::uint8_t*>(data), size);
}

void Absorb(crypto_hash_sha512_state& h, std::string_view text) {
  Absorb(h, text.data(), text.size());
}

// A key of its own for each use, from the session's key and a label.
void Derive(std::uint8_t* out, const std::uint8_t (&isk)[crypto_hash_sha512_BYTES], std::string_view label) {
  crypto_generichash(out, 32, reinterpret_cast<const std::uint8_t*>(label.data()), label.size(), isk, sizeof isk);
}

bool StartsWith(std::span<const std::uint8_t> message, std::string_view tag) {
  return message.size() >= tag.size() && std::memcmp(message.data(), tag.data(), tag.size()) == 0;
}

Bytes Message(std::string_view tag, std::initializer_list<std::span<const std::uint8_t>> parts) {
  Bytes out(tag.begin(), tag.end());
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The MAC over a HELLO's session id and share.
void Proof(std::uint8_t (&out)[CallHandshake::kProofSize], const std::uint8_t* sidAndShare, const CallKey& key) {
  crypto_generichash(out, sizeof out, sidAndShare, CallHandshake::kSessionIdSize + kPoint, key.data(), key.size());
}

}  // namespace

void InitCrypto() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (sodium_init() < 0) std::abort();  // no source of random numbers: nothing could be sealed
  });
}

CallKey::~CallKey() {
  sodium_memzero(data(), size());
}

CallHandshake::CallHandshake(Role role, std::string_view password, Clock::time_point deadline)
    : role_(role), passwordSet_(!password.empty()), deadline_(deadline), password_(password) {
  InitCrypto();
}

CallHandshake::~CallHandshake() {
  sodium_memzero(password_.data(), password_.size());
  sodium_memzero(scalar_.data(), scalar_.size());
  sodium_memzero(&keys_, sizeof keys_);
  sodium_memzero(generator_.data(), generator_.size());
}

Bytes CallHandshake::BusyMessage() {
  return Bytes(kBusy.begin(), kBusy.end());
}

Bytes CallHandshake::LaterMessage() {
  return Bytes(kLater.begin(), kLater.end());
}

bool CallHandshake::IsHello(std::span<const std::uint8_t> message) {
  return message.size() == kHelloSize && StartsWith(message, kHello);
}

bool CallHandshake::Proves(std::span<const std::uint8_t> hello, const CallKey& key) {
  if (!IsHello(hello)) return false;
  std::uint8_t expected[kProofSize];
  Proof(expected, hello.data() + kHello.size(), key);
  return sodium_memcmp(expected, hello.data() + kHelloSize - kProofSize, kProofSize) == 0;
}

std::optional<int> CallHandshake::GreetingVersion(std::span<const std::uint8_t> message) {
  if (!StartsWith(message, kGreeting)) return std::nullopt;
  int version = 0;
  std::size_t at = kGreeting.size();
  for (; at < message.size() && at < kGreeting.size() + 4 && message[at] >= '0' && message[at] <= '9'; ++at) {
    version = version * 10 + (message[at] - '0');
  }
  if (at == kGreeting.size() || at >= message.size() || message[at] != ' ') return std::nullopt;
  return version;
}

Bytes CallHandshake::Fail(Failure why) {
  step_ = Step::Failed;
  failure_ = why;
  sodium_memzero(scalar_.data(), scalar_.size());
  sodium_memzero(&keys_, sizeof keys_);
  sodium_memzero(partnerKey_.data(), partnerKey_.size());
  return {};
}

Bytes CallHandshake::Start(const CallKey* partner) {
  if (role_ != Role::Caller || step_ != Step::Hello) return {};
  randombytes_buf(sid_.data(), sid_.size());
  if (!MakeShare()) return Fail(Failure::Unsafe);
  step_ = Step::Answer;
  Bytes hello = Message(kHello, {sid_, share_});
  std::uint8_t proof[kProofSize];
  if (partner) {
    Proof(proof, hello.data() + kHello.size(), *partner);
  } else {
    randombytes_buf(proof, sizeof proof);  // alike to the eye: a capture does not tell who has a key
  }
  hello.insert(hello.end(), proof, proof + sizeof proof);
  return hello;
}

// The generator from the password and the session id, a fresh secret scalar and this side's
// share. The password is not needed after this.
bool CallHandshake::MakeShare() {
  crypto_hash_sha512_state h;
  crypto_hash_sha512_init(&h);
  Absorb(h, kGeneratorDomain);
  Absorb(h, password_);
  Absorb(h, sid_.data(), sid_.size());
  std::uint8_t hash[crypto_hash_sha512_BYTES];
  crypto_hash_sha512_final(&h, hash);
  crypto_core_ristretto255_from_hash(generator_.data(), hash);
  sodium_memzero(hash, sizeof hash);
  sodium_memzero(password_.data(), password_.size());
  crypto_core_ristretto255_scalar_random(scalar_.data());
  return crypto_scalarmult_ristretto255(share_.data(), scalar_.data(), generator_.data()) == 0;
}

// The shared point, the session key from it and everything both sides saw, and the keys and
// tags from that. False when the peer's share is no point or makes the identity.
bool CallHandshake::Agree(const std::uint8_t* peerShare, const std::uint8_t* callerShare,
                          const std::uint8_t* answererShare) {
  std::uint8_t k[kPoint];
  if (!crypto_core_ristretto255_is_valid_point(peerShare) ||
      crypto_scalarmult_ristretto255(k, scalar_.data(), peerShare) != 0) {
    return false;
  }
  crypto_hash_sha512_state h;
  crypto_hash_sha512_init(&h);
  Absorb(h, kKeyDomain);
  Absorb(h, sid_.data(), sid_.size());
  Absorb(h, k, sizeof k);
  Absorb(h, callerShare, kPoint);
  Absorb(h, answererShare, kPoint);
  std::uint8_t isk[crypto_hash_sha512_BYTES];
  crypto_hash_sha512_final(&h, isk);
  sodium_memzero(k, sizeof k);
  const bool caller = role_ == Role::Caller;
  Derive(caller ? keys_.send.data() : keys_.receive.data(), isk, "records caller to answerer");
  Derive(caller ? keys_.receive.data() : keys_.send.data(), isk, "records answerer to caller");
  Derive(answerTag_.data(), isk, "answerer confirms");
  Derive(confirmTag_.data(), isk, "caller confirms");
  Derive(welcomeTag_.data(), isk, "answerer welcomes");
  if (passwordSet_) Derive(partnerKey_.data(), isk, "partner proves the next call");
  std::uint8_t check[32];
  Derive(check, isk, "players compare");
  std::uint64_t n = 0;
  for (int i = 0; i < 8; ++i) n = n << 8 | check[i];
  sodium_memzero(check, sizeof check);
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06u", static_cast<unsigned>(n % 1'000'000));
  checkCode_ = digits;
  sodium_memzero(isk, sizeof isk);
  sodium_memzero(scalar_.data(), scalar_.size());
  return true;
}

Bytes CallHandshake::Receive(std::span<const std::uint8_t> message) {
  // Another version of these messages: the peer is a modem like this one, older or newer, and
  // the user needs to hear which rather than that it is none.
  if (const auto version = GreetingVersion(message); version && *version != kVersion && step_ != Step::Failed) {
    return Fail(*version < kVersion ? Failure::OlderModem : Failure::NewerModem);
  }
  if (role_ == Role::Answerer) {
    if (step_ == Step::Hello) {
      if (!IsHello(message)) return Fail(Failure::NotSonavel);
      const auto* sid = message.data() + kHello.size();
      std::copy(sid, sid + kSessionIdSize, sid_.begin());
      const std::uint8_t* callerShare = sid + kSessionIdSize;
      if (!MakeShare()) return Fail(Failure::Unsafe);
      if (!Agree(callerShare, callerShare, share_.data())) return Fail(Failure::Unsafe);
      step_ = Step::Confirm;
      return Message(kAnswer, {share_, answerTag_});
    }
    if (step_ == Step::Confirm) {
      if (message.size() != kConfirm.size() + kTag || !StartsWith(message, kConfirm)) {
        return Fail(Failure::NotSonavel);
      }
      if (sodium_memcmp(message.data() + kConfirm.size(), confirmTag_.data(), kTag) != 0) {
        return Fail(Failure::WrongPassword);
      }
      step_ = Step::Confirmed;
      return {};
    }
    return Fail(Failure::NotSonavel);  // nothing more is due before the call is taken
  }

  // The caller.
  if (step_ == Step::Answer || step_ == Step::Welcome) {
    if (message.size() == kBusy.size() && StartsWith(message, kBusy)) return Fail(Failure::Busy);
    if (message.size() == kLater.size() && StartsWith(message, kLater)) return Fail(Failure::TooManyTries);
  }
  if (step_ == Step::Answer) {
    if (message.size() != kAnswer.size() + kPoint + kTag || !StartsWith(message, kAnswer)) {
      return Fail(Failure::NotSonavel);
    }
    const std::uint8_t* answererShare = message.data() + kAnswer.size();
    if (!Agree(answererShare, share_.data(), answererShare)) return Fail(Failure::Unsafe);
    if (sodium_memcmp(answererShare + kPoint, answerTag_.data(), kTag) != 0) return Fail(Failure::WrongPassword);
    step_ = Step::Welcome;
    return Message(kConfirm, {confirmTag_});
  }
  if (step_ == Step::Welcome) {
    if (message.size() != kWelcome.size() + kTag || !StartsWith(message, kWelcome) ||
        sodium_memcmp(message.data() + kWelcome.size(), welcomeTag_.data(), kTag) != 0) {
      return Fail(Failure::NotSonavel);
    }
    step_ = Step::Established;
    return {};
  }
  return Fail(Failure::NotSonavel);
}

Bytes CallHandshake::Accept() {
  if (role_ != Role::Answerer || step_ != Step::Confirmed) return {};
  step_ = Step::Established;
  return Message(kWelcome, {welcomeTag_});
}

}  // namespace modem
