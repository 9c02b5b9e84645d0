#include "modem/DatagramCall.h"

#include <sodium.h>

namespace modem {

namespace {

constexpr char kContext[crypto_kdf_CONTEXTBYTES] = {'S', 'N', 'V', 'D', 'G', 'R', 'A', 'M'};
constexpr std::uint64_t kLineKeyId = 1;

CallKey Derived(const CallKey& key) {
  static_assert(crypto_kdf_KEYBYTES == sizeof(CallKey));
  CallKey out{};
  crypto_kdf_derive_from_key(out.data(), out.size(), kLineKeyId, kContext, key.data());
  return out;
}

}  // namespace

CallKeys DatagramCall::LineKeys(const CallKeys& callKeys) {
  InitCrypto();
  return {Derived(callKeys.send), Derived(callKeys.receive)};
}

DatagramCall::DatagramCall(const CallKeys& callKeys, const sockaddr_storage* peer, Time now)
    : sealer_(LineKeys(callKeys).send),
      opener_(LineKeys(callKeys).receive, RecordOpener::Order::Window),
      line_(now) {
  if (peer) {
    peer_ = *peer;
    havePeer_ = true;
  }
}

bool DatagramCall::Received(std::span<const std::uint8_t> datagram, const sockaddr_storage& from, Time now) {
  const std::uint64_t highest = opener_.Next();
  const auto plain = opener_.Open(datagram);
  if (!plain || !line_.Receive(*plain, now)) return false;
  // The partner's newest datagram says where it is now (a NAT may have given it a new port); an
  // old one arriving late does not move it back.
  if (!havePeer_ || opener_.Next() > highest) {
    peer_ = from;
    havePeer_ = true;
  }
  return true;
}

std::optional<std::pair<Bytes, sockaddr_storage>> DatagramCall::Next(Time now) {
  while (auto plain = line_.Next(now)) {
    if (!havePeer_) continue;  // nobody to send to yet: the line repeats what matters later
    return std::pair(sealer_.Seal(*plain), peer_);
  }
  return std::nullopt;
}

}  // namespace modem
