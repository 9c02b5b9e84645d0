#include "netem/EmulatedLink.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr const char* kPrefix = "dgram-";
constexpr const char* kDevice = "dgram-tun";

int Shell(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A line from the emulator, waiting at most `ms`.
std::string ReadLine(int fd, int ms) {
  std::string line;
  char c = 0;
  while (line.empty() || line.back() != '\n') {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0 || ::read(fd, &c, 1) != 1) return {};
    line.push_back(c);
  }
  line.pop_back();
  return line;
}

// Namespaces "dgram-<pid>-<n>a/b" left by a test process that died before its destructor ran.
void RemoveOrphans() {
  DIR* dir = ::opendir("/run/netns");
  if (!dir) return;
  std::vector<std::string> stale;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.rfind(kPrefix, 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + std::strlen(kPrefix), nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(name);
  }
  ::closedir(dir);
  for (const auto& name : stale) Shell("ip netns del " + name);
}

}  // namespace

EmulatedLink::Inside::Inside(const std::string& ns) {
  home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  const int there = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  const bool entered = home_ >= 0 && there >= 0 && ::setns(there, CLONE_NEWNET) == 0;
  if (there >= 0) ::close(there);
  if (!entered) throw std::runtime_error("cannot enter network namespace " + ns);
}

EmulatedLink::Inside::~Inside() {
  if (::setns(home_, CLONE_NEWNET) != 0) std::abort();  // a thread left in the wrong network is worse
  ::close(home_);
}

std::string EmulatedLink::Possible() {
  if (::geteuid() != 0) return "network namespaces need root";
  if (::access("/dev/net/tun", R_OK | W_OK) != 0) return "no /dev/net/tun";
  if (Shell("ip -V") != 0) return "no ip command";
  return {};
}

EmulatedLink::EmulatedLink(const LinkSettings& s) {
  error_ = Possible();
  if (!Ok()) return;
  RemoveOrphans();
  static std::atomic<int> made{0};
  const std::string stem = kPrefix + std::to_string(::getpid()) + "-" + std::to_string(made++);
  nsA_ = stem + "a";
  nsB_ = stem + "b";
  if (Shell("ip netns add " + nsA_) != 0 || Shell("ip netns add " + nsB_) != 0) {
    error_ = "cannot make the network namespaces";
    TearDown();
    return;
  }

  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    error_ = "pipe";
    TearDown();
    return;
  }
  const std::vector<std::string> args = {SONAVEL_LINK_EMULATOR,
                                         "--ns-a", nsA_, "--dev-a", kDevice, "--ns-b", nsB_, "--dev-b", kDevice,
                                         "--delay", std::to_string(s.delayMs), "--jitter", std::to_string(s.jitterMs),
                                         "--loss", std::to_string(s.loss), "--burst", std::to_string(s.burst),
                                         "--seed", std::to_string(s.seed)};
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  emulator_ = ::fork();
  if (emulator_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  toEmulator_ = in[1];
  fromEmulator_ = out[0];
  if (emulator_ < 0 || ReadLine(fromEmulator_, 5000) != "ready") {
    error_ = "the link emulator did not start";
    TearDown();
    return;
  }
  struct Side {
    std::string ns;
    const char* mine;
    const char* theirs;
  };
  for (const Side& side : {Side{nsA_, kAddressA, kAddressB}, Side{nsB_, kAddressB, kAddressA}}) {
    const std::string ip = "ip -n " + side.ns + " ";
    const std::string mine = side.mine, theirs = side.theirs, ns = side.ns;
    if (Shell(ip + "link set lo up") != 0 ||
        Shell(ip + "addr add " + mine + " peer " + theirs + " dev " + kDevice) != 0 ||
        Shell(ip + "link set " + kDevice + " up") != 0) {
      error_ = "cannot set up the addresses in " + ns;
      TearDown();
      return;
    }
  }
}

EmulatedLink::~EmulatedLink() {
  TearDown();
}

bool EmulatedLink::Command(const std::string& line) {
  const std::string text = line + "\n";
  if (toEmulator_ < 0 || ::write(toEmulator_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return false;
  return ReadLine(fromEmulator_, 2000).rfind("ok", 0) == 0;
}

int EmulatedLink::Run(const std::string& ns, const std::string& command) const {
  return Shell("ip netns exec " + ns + " " + command);
}

void EmulatedLink::TearDown() {
  if (toEmulator_ >= 0) ::close(toEmulator_);  // the end of its input stops it
  if (emulator_ > 0) {
    ::kill(emulator_, SIGTERM);
    ::waitpid(emulator_, nullptr, 0);
  }
  if (fromEmulator_ >= 0) ::close(fromEmulator_);
  toEmulator_ = fromEmulator_ = -1;
  emulator_ = -1;
  for (const auto& ns : {nsA_, nsB_}) {
    if (!ns.empty()) Shell("ip netns del " + ns);
  }
}
