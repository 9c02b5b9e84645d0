#include "modem/Sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace modem {

namespace {

constexpr int kKeepIdleS = 10;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 25000;
constexpr int kListenBacklog = 16;

}  // namespace

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Idle, by keep-alive probes; with data unacknowledged, by the user timeout.
void SetCallOptions(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
}

namespace {

// Writes from the front of `queue` until it is empty or `put` takes no more.
template <typename Put>
bool Drain(std::string& queue, Put put) {
  while (!queue.empty()) {
    const ssize_t n = put(queue.data(), queue.size());
    if (n > 0) {
      queue.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return true;
}

}  // namespace

bool SendSome(int fd, std::string& queue) {
  return Drain(queue, [fd](const char* data, std::size_t size) {
    return ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  });
}

bool WriteSome(int fd, std::string& queue) {
  return Drain(queue, [fd](const char* data, std::size_t size) { return ::write(fd, data, size); });
}

std::string AddressText(const sockaddr_storage& a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
      ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
    } else {
      ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    }
  } else if (a.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
  }
  return text;
}

socklen_t LengthOf(const sockaddr_storage& a) {
  return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

std::uint16_t PortOf(const sockaddr_storage& a) {
  return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(a).sin6_port
                                       : reinterpret_cast<const sockaddr_in&>(a).sin_port);
}

bool PollWait(std::chrono::steady_clock::time_point next, std::chrono::steady_clock::time_point now,
              timespec& wait) {
  if (next == std::chrono::steady_clock::time_point::max()) return false;
  // A line that has something to send at once says so with the earliest time there is, from
  // which nothing may be subtracted (the difference would overflow into a wait of a minute).
  const auto ns = next <= now ? 0
                              : std::clamp<long long>(
                                    std::chrono::duration_cast<std::chrono::nanoseconds>(next - now).count(), 0,
                                    60'000'000'000LL);
  wait.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
  wait.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  return true;
}

int Listen(std::uint16_t port, sockaddr_storage& bound) {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  const int zero = 0;
  int result = -1;
  if (fd >= 0) {
    // One socket for both families: IPv4 callers come in as mapped addresses.
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(port);
    result = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    // A machine without IPv6.
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_ANY);
      a.sin_port = htons(port);
      result = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
  }
  if (result == 0) result = ::listen(fd, kListenBacklog);
  if (fd < 0 || result != 0) {
    const int e = errno;
    CloseFd(fd);
    errno = e;
    return -1;
  }
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  return fd;
}

int DatagramTwin(const sockaddr_storage& bound) {
  const int zero = 0;
  int fd = ::socket(bound.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (bound.ss_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&bound), LengthOf(bound)) != 0) CloseFd(fd);
  return fd;
}

// ------------------------------------------------------------------ name lookups

struct NameLookups::Lookup {
  int done = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::atomic<bool> finished{false};  // its thread may be joined
  std::mutex lock;
  Answer answer;
  ~Lookup() { CloseFd(done); }
};

NameLookups::~NameLookups() {
  Reap(true);
}

bool NameLookups::Start(const std::string& host, std::uint16_t port) try {
  auto lookup = std::make_shared<Lookup>();
  std::thread thread([lookup, host, port = std::to_string(port)] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    {
      std::lock_guard guard(lookup->lock);
      lookup->answer.error = error;
      for (addrinfo* a = found; a; a = a->ai_next) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(a->ai_addr);
        lookup->answer.addresses.emplace_back(p, p + a->ai_addrlen);
      }
    }
    if (found) ::freeaddrinfo(found);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(lookup->done, &one, sizeof one);
    lookup->finished = true;
  });
  threads_.emplace_back(lookup, std::move(thread));
  current_ = std::move(lookup);
  return true;
} catch (const std::exception&) {
  return false;
}

int NameLookups::ReadyFd() const {
  return current_ ? current_->done : -1;
}

NameLookups::Answer NameLookups::Take() {
  Answer answer;
  if (!current_) return answer;
  {
    std::lock_guard guard(current_->lock);
    answer = std::move(current_->answer);
  }
  current_.reset();
  return answer;
}

void NameLookups::Reap(bool wait) {
  std::erase_if(threads_, [wait](auto& t) {
    if (!wait && !t.first->finished) return false;
    t.second.join();
    return true;
  });
}

}  // namespace modem
