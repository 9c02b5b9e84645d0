#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QDir>
#include <chrono>
#include <string>
#include <thread>

extern char** environ;

namespace {

TEST(SonavelModem, MakesALinkThatAnswersLikeAModemAndRemovesItWhenStopped) {
  const std::string link = QDir::current().filePath("ttyModem").toStdString();
  ::unlink(link.c_str());
  const char* argv[] = {SONAVEL_MODEM, "--listen", "24999", link.c_str(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, SONAVEL_MODEM, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  struct stat st {};
  for (int i = 0; i < 200 && ::lstat(link.c_str(), &st) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(S_ISLNK(st.st_mode));

  const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(fd, TCSANOW, &tio);
  ASSERT_EQ(::write(fd, "ATI\r", 4), 4);
  std::string got;
  for (int i = 0; i < 100 && got.find("OK\r\n") == std::string::npos; ++i) {
    pollfd p{fd, POLLIN, 0};
    char buf[256];
    if (::poll(&p, 1, 20) > 0) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  EXPECT_EQ(got, "ATI\r\r\nSonavel TCP/IP modem, port 24999\r\n\r\nOK\r\n");

  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(::lstat(link.c_str(), &st), 0) << "the link goes with the modem";
}

}  // namespace
