#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QByteArray>
#include <QString>
#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "modem/InternetModem.h"

// The resident memory of this process, in KiB (-1 where the system does not tell).
inline long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == "VmRSS:") {
      long kib = -1;
      status >> kib;
      return kib;
    }
  }
  return -1;
}

// A peer that calls with a built-in modem of its own and floods the call with empty lines and
// lines far longer than a line may be, as fast as the line takes them, from a thread of its own
// straight on its modem's pty. It ends with the line "end of flood", reads what comes back
// and counts the notes (note on 60, velocity 100, on the first channel) among it.
class FloodingPeer {
 public:
  FloodingPeer(std::uint16_t port, qint64 bytes) : bytes_(bytes) {
    thread_ = std::thread([this, port] { Run(port); });
  }
  ~FloodingPeer() {
    stop_ = true;
    thread_.join();
  }
  FloodingPeer(const FloodingPeer&) = delete;
  FloodingPeer& operator=(const FloodingPeer&) = delete;

  std::atomic<bool> online{false};
  std::atomic<bool> sentAll{false};
  std::atomic<qint64> sent{0};
  std::atomic<int> notesHeard{0};

 private:
  void Run(std::uint16_t port) {
    modem::ModemOptions options;
    options.listenPort = 0;
    modem::InternetModem modem(options);
    const int fd = ::open(modem.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return;
    termios raw{};
    ::tcgetattr(fd, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(fd, TCSANOW, &raw);
    QByteArray out = QStringLiteral("atdt127.0.0.1:%1\r").arg(port).toLatin1();
    // Each 64 KiB: 256 empty lines, then one line sixteen times longer than a line may be.
    const QByteArray chunk = QByteArray(256, '\r') + QByteArray(64 * 1024 - 257, 'x') + '\r';
    const QByteArray note("\xFF\x90\x3C\x64", 4);
    QByteArray heard;
    while (!stop_) {
      if (online && out.isEmpty() && !sentAll) {
        if (sent < bytes_) {
          out = chunk;
        } else {
          out = "end of flood\r";
          sentAll = true;
        }
      }
      pollfd p{fd, static_cast<short>(POLLIN | (out.isEmpty() ? 0 : POLLOUT)), 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      if (p.revents & POLLOUT) {
        const ssize_t n = ::write(fd, out.constData(), static_cast<std::size_t>(out.size()));
        if (n > 0) {
          out.remove(0, n);
          if (online) sent += n;
        }
      }
      char buf[4096];
      const ssize_t n = (p.revents & POLLIN) ? ::read(fd, buf, sizeof buf) : 0;
      if (n <= 0) continue;
      heard.append(buf, n);
      if (!online && heard.contains("CONNECT")) {
        online = true;
        heard.clear();
      }
      for (qsizetype at; (at = heard.indexOf(note)) >= 0;) {
        ++notesHeard;
        heard.remove(0, at + note.size());
      }
      if (heard.size() > note.size()) heard = heard.right(note.size() - 1);
    }
    ::close(fd);
  }

  const qint64 bytes_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
