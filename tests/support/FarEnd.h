#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <QByteArray>
#include <QString>

// The far end of a raw pty, standing in for a modem or the peer's machine: the program opens
// Path() as its serial port; what it writes arrives in Heard(), and what Send() writes reaches
// the program as if the line had carried it.
class FarEnd {
 public:
  FarEnd() {
    termios raw{};
    cfmakeraw(&raw);
    ok_ = openpty(&master_, &slave_, name_, &raw, nullptr) == 0;
    if (ok_) fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~FarEnd() {
    if (ok_) {
      HangUp();
      close(slave_);
    }
  }
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  bool Ok() const { return ok_; }
  QString Path() const { return QString::fromLocal8Bit(name_); }
  void Send(const QByteArray& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), static_cast<size_t>(bytes.size())), bytes.size());
  }
  // Everything the program has written so far (since the last Clear).
  const QByteArray& Heard() {
    char buf[512];
    ssize_t n;
    while ((n = read(master_, buf, sizeof buf)) > 0) got_.append(buf, static_cast<qsizetype>(n));
    return got_;
  }
  // The far end goes away: the program's writes fail and its watcher sees the line end.
  void HangUp() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  void Clear() {
    Heard();
    got_.clear();
  }

 private:
  bool ok_ = false;
  int master_ = -1;
  int slave_ = -1;  // held open so the line stays up while the program reopens its end
  char name_[128] = {};
  QByteArray got_;
};
