#pragma once

#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// The system's side of the modem's network: the socket calls it makes in more than one place,
// the answering port, and name lookups on threads of their own.
namespace modem {

void CloseFd(int& fd);
// A call's TCP stream: no delay for small writes, and a partner that vanished without closing
// (cable, power, NAT) noticed within about 25 s.
void SetCallOptions(int fd);
// Sends what it can without waiting; false when the connection failed.
bool SendSome(int fd, std::string& queue);
// The same for any descriptor that is not a socket (the pty).
bool WriteSome(int fd, std::string& queue);
// An address as the user reads it (an IPv4 caller on the IPv6 socket without its prefix).
std::string AddressText(const sockaddr_storage& address);
socklen_t LengthOf(const sockaddr_storage& address);

// ppoll()'s timeout for waking at `next`, to the microsecond (the partner's notes are written
// on time to a fraction of a millisecond): false for never (Time::max()), at most a minute.
bool PollWait(std::chrono::steady_clock::time_point next, std::chrono::steady_clock::time_point now,
              timespec& wait);

// A listening TCP socket on `port` for both families (IPv4 where there is no IPv6), and the
// address it took; -1 with errno set when it cannot be had.
int Listen(std::uint16_t port, sockaddr_storage& bound);
// A datagram socket on the same address as `bound`; -1 when it cannot be had.
int DatagramTwin(const sockaddr_storage& bound);
std::uint16_t PortOf(const sockaddr_storage& address);

// getaddrinfo blocks for as long as the name servers take, so each lookup runs on a thread of
// its own. The modem may give up on one (the call abandoned); its thread then finishes into its
// own record alone, which lives until both are done with it. Every thread is joined once done,
// and at the latest when this ends.
class NameLookups {
 public:
  struct Answer {
    int error = 0;                                     // getaddrinfo's
    std::vector<std::vector<std::uint8_t>> addresses;  // sockaddr bytes, in the order to try
  };

  NameLookups() = default;
  ~NameLookups();
  NameLookups(const NameLookups&) = delete;
  NameLookups& operator=(const NameLookups&) = delete;

  // Looks `host` up, giving up the lookup before; false when no thread can be had for it.
  bool Start(const std::string& host, std::uint16_t port);
  // Readable once the current lookup is done; -1 with none.
  int ReadyFd() const;
  Answer Take();
  void Abandon() { current_.reset(); }
  // Joins the threads that are done.
  void Reap(bool wait = false);

 private:
  struct Lookup;
  std::shared_ptr<Lookup> current_;
  std::vector<std::pair<std::shared_ptr<Lookup>, std::thread>> threads_;
};

}  // namespace modem
