#include "modem/DatagramCall.h"

#include <netinet/in.h>
#include <sodium.h>

#include <cerrno>

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

socklen_t LengthOf(const sockaddr_storage& a) {
  return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

}  // namespace

CallKeys DatagramCall::LineKeys(const CallKeys& callKeys) {
  InitCrypto();
  return {Derived(callKeys.send), Derived(callKeys.receive)};
}

DatagramCall::DatagramCall(int socket, const CallKeys& callKeys, const sockaddr_storage* peer, Time now)
    : socket_(socket),
      sealer_(LineKeys(callKeys).send),
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

void DatagramCall::Probe(Time now) {
  line_.Probe();
  Send(now);
}

void DatagramCall::Send(Time now) {
  while (auto plain = line_.Next(now)) {
    if (!havePeer_) continue;  // nobody to send to yet: the line repeats what matters later
    const Bytes record = sealer_.Seal(*plain);
    // A full buffer or an unreachable partner loses the datagram like the network would; the
    // line repairs it or notices the silence.
    ::sendto(socket_, record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&peer_),
             LengthOf(peer_));
  }
}

}  // namespace modem
