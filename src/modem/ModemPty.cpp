#include "modem/ModemPty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QString>
#include <cerrno>
#include <cstring>

#include "modem/Sockets.h"

namespace modem {

namespace {

std::string LinkTarget(const std::string& link) {
  char target[256] = {};
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

QString ErrnoText(int code) {
  return QString::fromLocal8Bit(std::strerror(code));
}

}  // namespace

void ModemPty::Fail(const QString& text, int error) {
  CloseFd(master_);
  CloseFd(watch_);
  throw ModemError(text.arg(ErrnoText(error)));
}

ModemPty::ModemPty(std::string linkPath) : linkPath_(std::move(linkPath)) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  char name[128] = {};
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, name, sizeof name) != 0) {
    Fail(QStringLiteral("モデム用の疑似端末を作れません: %1"), errno);
  }
  slavePath_ = name;
  // Closing this first opening leaves the master reporting hang-up until a program opens the slave.
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave >= 0) {
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::close(slave);
  }
  watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_ < 0 || ::inotify_add_watch(watch_, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    Fail(QStringLiteral("モデムを用意できません: %1"), errno);
  }
  devicePath_ = slavePath_;
  if (linkPath_.empty()) return;
  const auto fail = [this](const QString& why) {
    CloseFd(master_);
    CloseFd(watch_);
    throw ModemError(
        QStringLiteral("%1 を作れません: %2").arg(QString::fromLocal8Bit(linkPath_.c_str()), why));
  };
  struct stat st {};
  // An old link of ours (a modem that did not end cleanly: its pty is gone) is replaced; a link
  // to a pty that is still there is another modem's; anything else stays.
  if (::lstat(linkPath_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    struct stat target {};
    const bool ours = LinkTarget(linkPath_) == slavePath_;
    if (!ours && ::stat(linkPath_.c_str(), &target) == 0 && S_ISCHR(target.st_mode)) {
      fail(QStringLiteral("ほかのモデムが使っています"));
    }
    ::unlink(linkPath_.c_str());
  }
  if (::symlink(slavePath_.c_str(), linkPath_.c_str()) != 0) fail(ErrnoText(errno));
  devicePath_ = linkPath_;
}

ModemPty::~ModemPty() {
  // The link goes only while it is still ours: a later modem may have put its own there.
  if (!linkPath_.empty() && LinkTarget(linkPath_) == slavePath_) ::unlink(linkPath_.c_str());
  CloseFd(master_);
  CloseFd(watch_);
}

std::vector<std::uint32_t> ModemPty::SlaveEvents() {
  alignas(inotify_event) char buf[4096];
  std::vector<std::uint32_t> events;
  for (;;) {
    const ssize_t n = ::read(watch_, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      events.push_back(e->mask);
    }
  }
  return events;
}

bool ModemPty::HungUp() const {
  pollfd p{master_, POLLIN, 0};
  ::poll(&p, 1, 0);
  return (p.revents & POLLHUP) != 0;
}

}  // namespace modem
