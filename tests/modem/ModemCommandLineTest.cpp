#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ModemTerminal.h"

extern char** environ;

namespace {

// sonavel-modem with the arguments given; its error output goes to a file of the test's.
struct Modem {
  pid_t pid = 0;
  std::string errors;  // beside the link, the last argument: tests running at once keep apart
  explicit Modem(std::vector<std::string> args) : errors(args.back() + ".errors") {
    std::vector<char*> argv{const_cast<char*>(SONAVEL_MODEM)};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(::posix_spawn(&pid, SONAVEL_MODEM, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  // Stops it (unless it ended by itself) and returns its exit status.
  int Stop() {
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int Ended() {
    int status = 0;
    for (int i = 0; i < 1000 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Errors() const {
    std::ifstream f(errors);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
};

std::string WaitForLink(const std::string& link) {
  char to[256] = {};
  for (int i = 0; i < 1000 && ::readlink(link.c_str(), to, sizeof to - 1) <= 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return to;
}

// Each test's link, error output and password file go to a folder of its own.
TEST(SonavelModem, MakesALinkThatAnswersLikeAModemAndRemovesItWhenStopped) {
  const QTemporaryDir dir;
  const std::string link = dir.filePath("ttyModem").toStdString();
  const char* argv[] = {SONAVEL_MODEM, "--open", "--listen", "24999", link.c_str(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, SONAVEL_MODEM, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  struct stat st {};
  for (int i = 0; i < 200 && ::lstat(link.c_str(), &st) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(S_ISLNK(st.st_mode));

  modem::Terminal t(link);
  ASSERT_TRUE(t.Open());
  t.Send("ATI\r");
  const std::string got = t.ReadUntil("OK\r\n", 2000);
  t.Close();
  EXPECT_EQ(got, "ATI\r\r\nSonavel TCP/IP modem, port 24999\r\n\r\nOK\r\n");

  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_NE(::lstat(link.c_str(), &st), 0) << "the link goes with the modem";
}

TEST(SonavelModem, ASecondModemOnTheSameLinkRefusesAndTheFirstKeepsIt) {
  const QTemporaryDir dir;
  const std::string link = dir.filePath("ttyShared").toStdString();
  Modem first({"--open", link});
  const std::string pty = WaitForLink(link);
  ASSERT_FALSE(pty.empty());
  Modem second({"--open", link});
  EXPECT_EQ(second.Ended(), 1);
  EXPECT_NE(second.Errors().find("ほかのモデムが使っています"), std::string::npos) << second.Errors();
  EXPECT_EQ(WaitForLink(link), pty);
  EXPECT_EQ(first.Stop(), 0);
  struct stat st {};
  EXPECT_NE(::lstat(link.c_str(), &st), 0);
}

TEST(SonavelModem, ThePasswordComesFromTheFilesFirstLine) {
  const QTemporaryDir dir;
  const std::string link = dir.filePath("ttyLocked").toStdString();
  const std::string file = dir.filePath("password").toStdString();
  Modem missing({"--password-file", "/nonexistent/password", link});
  EXPECT_EQ(missing.Ended(), 1);
  EXPECT_NE(missing.Errors().find("パスワードのファイル /nonexistent/password を読めません"), std::string::npos);

  // A modem open to anyone is asked for, never the fallout of an empty file or a forgotten option.
  const std::string empty = dir.filePath("empty").toStdString();
  std::ofstream(empty) << "\r\nhunter22\n";
  const struct {
    std::vector<std::string> args;
    int exit;
    const char* says;
  } refused[] = {
      {{"--password-file", empty, link}, 1, "1 行目が空です"},
      {{link}, 2, "--open"},
      {{"--open", "--password-file", empty, link}, 2, "--open"},
  };
  for (const auto& r : refused) {
    Modem m(r.args);
    EXPECT_EQ(m.Ended(), r.exit) << r.says;
    EXPECT_NE(m.Errors().find(r.says), std::string::npos) << m.Errors();
  }

  std::ofstream(file) << "合言葉\r\nnot this line\n";
  const int port = modem::FreePort();
  Modem locked({"--password-file", file, "--listen", std::to_string(port), "--utf8", "--no-portmap", link});
  WaitForLink(link);
  modem::Terminal a(link);
  a.Send("ATS0=1\r");
  ASSERT_NE(a.ReadUntil("OK\r\n").find("OK"), std::string::npos);
  modem::InternetModem calling(modem::AnyPort("合言葉"));
  modem::Terminal b(calling.DevicePath());
  b.Send("ATDT127.0.0.1:" + std::to_string(port) + "\r");
  EXPECT_NE(b.ReadUntil("CONNECT 115200\r\n").find("パスワードで相手を確かめました"), std::string::npos);
  EXPECT_EQ(locked.Stop(), 0);
}

}  // namespace
