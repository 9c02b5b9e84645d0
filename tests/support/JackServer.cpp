#include "support/JackServer.h"

#include <jack/jack.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {
std::atomic<int> serial{0};
void Quiet(const char*) {}
}  // namespace

JackServer::JackServer(int framesPerPeriod, Mode mode) {
  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);
  name_ = "sonavel-test-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
  const std::string period = std::to_string(framesPerPeriod);
  // A generous timeout, for clients slowed down by a sanitizer. (Built before the fork: the
  // child of a threaded process must not allocate.)
  std::vector<const char*> args{"jackd", "--no-realtime", "--timeout", "10000", "-n", name_.c_str()};
  if (mode == Mode::Synchronous) args.push_back("--sync");
  for (const char* a : {"-d", "dummy", "-r", "48000", "-p", period.c_str()}) args.push_back(a);
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    return;
  }
  if (pid_ == 0) {
    // A test process that dies (a sanitizer stopping it, a crash) must not leave its server
    // behind: JACK allows only a few servers per machine.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    execvp("jackd", const_cast<char* const*>(args.data()));
    _exit(127);
  }
  setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);

  // Waiting for a server to come up is the one place a test may wait on the clock.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      error_ = "jackd exited at start (status " + std::to_string(status) + ")";
      pid_ = -1;
      return;
    }
    jack_status_t js{};
    jack_client_t* c =
        jack_client_open("sonavel-test-probe",
                         static_cast<jack_options_t>(JackNoStartServer | JackServerName), &js, name_.c_str());
    if (c != nullptr) {
      jack_client_close(c);
      running_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  error_ = "jackd did not answer within 15 s";
}

void JackServer::Pause() {
  if (pid_ > 0) kill(pid_, SIGSTOP);
}

void JackServer::Resume() {
  if (pid_ > 0) kill(pid_, SIGCONT);
}

JackServer::~JackServer() {
  if (pid_ > 0) {
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  unsetenv("JACK_DEFAULT_SERVER");
}
