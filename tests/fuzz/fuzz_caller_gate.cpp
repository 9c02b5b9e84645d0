// The gate at the answering port, fed callers as the network brings them: knocks from a few
// IPv4 addresses, /64s of one /48 and other /48s, their bytes (genuine handshake messages with
// the password or without, with a kept partner key or none, or anything), hang-ups and time
// passing on a simulated clock. Whatever comes, the places stay within their limits, an
// evicted or expired caller is one the gate held, and strangers are never answered faster than
// the budget allows. Steps: an opcode, an argument, and for raw bytes that many bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include <arpa/inet.h>

#include "modem/CallerGate.h"

using namespace modem;
using namespace std::chrono_literals;

namespace {

sockaddr_storage Address(std::uint8_t n) {
  sockaddr_storage a{};
  if (n % 3 == 0) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(a);
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(0xC0000200u + n);
    return a;
  }
  auto& v6 = reinterpret_cast<sockaddr_in6&>(a);
  v6.sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, "2001:db8::1", &v6.sin6_addr);
  v6.sin6_addr.s6_addr[n % 3 == 1 ? 7 : 5] = n;  // another /64 of one /48, or another /48
  return a;
}

struct Caller {
  std::unique_ptr<CallHandshake> handshake;
  Bytes next;  // what it sends when its turn comes
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CallerGate gate;
  const CallerGate::Time start = CallerGate::Time{} + 1h;
  CallerGate::Time now = start;
  CallKey kept{};
  kept.fill(0x5A);
  const CallKey keys[] = {kept};
  std::map<CallerGate::Id, Caller> callers;
  int strangersAnswered = 0;
  const auto gone = [&](CallerGate::Id id) {
    if (callers.erase(id) != 1) std::abort();  // never one the gate did not hold
  };
  const auto knock = [&](std::uint8_t from) {
    const auto id = gate.Knock(Address(from), now);
    if (!id || callers.contains(*id)) std::abort();
    for (const auto e : gate.Evicted()) gone(e);
    callers[*id];
    return *id;
  };
  const auto hello = [&](CallerGate::Id id, std::uint8_t how) {
    Caller& c = callers[id];
    c.handshake = std::make_unique<CallHandshake>(CallHandshake::Role::Caller, how & 1 ? "px" : "pw", now + 5s);
    Bytes framed;
    StreamFramer::Append(c.handshake->Start(how & 2 ? &kept : nullptr), framed);
    return framed;
  };
  const auto send = [&](CallerGate::Id id, const Bytes& bytes, bool proven) {
    auto v = gate.Received(id, bytes, false, "pw", now, keys);
    if (v.spent && !proven) std::abort();
    const bool answer = v.reply.size() > 2 && v.reply[2 + CallHandshake::kGreeting.size() + 2] == 'A';
    if (answer && !v.spent && v.kind == CallerGate::Verdict::Kind::Wait) ++strangersAnswered;
    if (v.kind == CallerGate::Verdict::Kind::Drop || v.kind == CallerGate::Verdict::Kind::Answer) {
      callers.erase(id);
    } else if (auto it = callers.find(id); it != callers.end() && it->second.handshake && v.reply.size() > 2) {
      // Its CONFIRM, for the next turn.
      const Bytes reply = it->second.handshake->Receive(std::span(v.reply).subspan(StreamFramer::kPrefix));
      it->second.next.clear();
      if (!reply.empty()) StreamFramer::Append(reply, it->second.next);
    }
  };
  const auto pick = [&](std::uint8_t arg) {
    auto it = callers.begin();
    std::advance(it, arg % callers.size());
    return it->first;
  };
  for (std::size_t at = 0; at + 2 <= size;) {
    const std::uint8_t op = data[at], arg = data[at + 1];
    at += 2;
    switch (op % 8) {
      case 0: knock(arg); break;
      case 1:
        if (callers.empty()) break;
        if (const auto id = pick(arg); callers[id].next.empty()) {
          send(id, hello(id, op >> 3), (op >> 3 & 2) != 0);
        } else {
          send(id, std::exchange(callers[id].next, {}), false);
        }
        break;
      case 2: {
        const std::size_t length = std::min<std::size_t>(arg, size - at);
        if (!callers.empty()) send(pick(op >> 3), Bytes(data + at, data + at + length), false);
        at += length;
        break;
      }
      case 3: now += arg * 10ms; break;
      case 4: now += arg * 1s; break;
      case 5:
        if (!callers.empty()) {
          const auto id = pick(arg);
          gate.Forget(id);
          callers.erase(id);
        }
        break;
      case 6:
        for (const auto id : arg & 1 ? gate.DropUnanswered() : gate.Expired(now)) gone(id);
        break;
      default:  // a crowd: each knocks and says HELLO at once, from addresses in turn
        for (int i = 0; i < arg % 64; ++i) {
          const auto id = knock(static_cast<std::uint8_t>((op >> 3) * 8 + i));
          send(id, hello(id, 0), false);
        }
    }
    if (gate.Callers() > CallerGate::kMaxIncoming || gate.Callers() != callers.size()) std::abort();
    const auto budget = CallerGate::kBudgetBurst + (now - start) / CallerGate::kBudgetEvery;
    if (strangersAnswered > budget) std::abort();
  }
  return 0;
}
