#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "modem/DatagramCall.h"

// One end of a sealed datagram call, worked as the modem's loop works it, with a pipe each way
// in place of the pty: bytes written to In() go to the partner, what the partner sent comes out
// of Out(). Runs on a thread of its own, started where the pump is made (inside a network
// namespace, the thread lives there too). For tests and benchmarks of the datagram line.
class DatagramPump {
 public:
  // `socket` is bound; `peer` is where the partner is, or null to learn it from its first datagram.
  DatagramPump(int socket, const modem::CallKeys& keys, const sockaddr_storage* peer)
      : socket_(socket), call_(socket, keys, peer, modem::DatagramLine::Clock::now()) {
    if (::pipe2(in_, O_CLOEXEC | O_NONBLOCK) != 0 || ::pipe2(out_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    if (peer) call_.Probe(modem::DatagramLine::Clock::now());
    thread_ = std::thread([this] { Run(); });
  }
  ~DatagramPump() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : {in_[0], in_[1], out_[0], out_[1], socket_}) ::close(fd);
  }
  DatagramPump(const DatagramPump&) = delete;
  DatagramPump& operator=(const DatagramPump&) = delete;

  int In() const { return in_[1]; }
  int Out() const { return out_[0]; }
  // Stalls and comebacks the line reported, in order ('s', 'r'); read after the pump is stopped
  // or while nothing else runs.
  const std::vector<char>& Events() const { return events_; }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    using Clock = modem::DatagramLine::Clock;
    std::vector<std::uint8_t> pending;  // read from In but not yet taken by the line
    std::vector<std::uint8_t> delivering;
    std::uint8_t buf[4096];
    while (!stop_) {
      auto& line = call_.Line();
      const auto now = Clock::now();
      const auto wake = std::min(line.Wake(), now + std::chrono::milliseconds(20));
      const int ms = static_cast<int>(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count()));
      pollfd fds[3] = {{socket_, POLLIN, 0},
                       {pending.empty() ? in_[0] : -1, POLLIN, 0},
                       {delivering.empty() ? -1 : out_[1], POLLOUT, 0}};
      ::poll(fds, 3, ms);
      sockaddr_storage from{};
      socklen_t len = sizeof from;
      for (ssize_t n; (n = ::recvfrom(socket_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len)) >= 0;
           len = sizeof from) {
        call_.Received({buf, static_cast<std::size_t>(n)}, from, Clock::now());
      }
      if (pending.empty()) {
        const ssize_t n = ::read(in_[0], buf, sizeof buf);
        if (n > 0) pending.assign(buf, buf + n);
      }
      if (!pending.empty()) {
        const std::size_t taken = line.Write(pending, Clock::now());
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(taken));
      }
      if (delivering.empty()) delivering = line.Take(sizeof buf);
      if (!delivering.empty()) {
        const ssize_t n = ::write(out_[1], delivering.data(), delivering.size());
        if (n > 0) delivering.erase(delivering.begin(), delivering.begin() + n);
      }
      while (auto e = line.TakeEvent()) {
        if (*e == modem::DatagramLine::Event::Stalled) events_.push_back('s');
        if (*e == modem::DatagramLine::Event::Resumed) events_.push_back('r');
        if (*e == modem::DatagramLine::Event::PeerGone) events_.push_back('g');
      }
      call_.Send(Clock::now());
    }
  }

  int socket_;
  int in_[2] = {-1, -1};
  int out_[2] = {-1, -1};
  modem::DatagramCall call_;
  std::vector<char> events_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
