// sonavel-modem: the built-in TCP/IP modem for any program that talks to a modem on a serial
// device. It makes a pty, links it at the path given, and works until it is told to stop.
#include <signal.h>

#include <QString>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "modem/InternetModem.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: sonavel-modem (--password-file FILE | --open) [--listen PORT] [--utf8] [--no-portmap]\n"
               "                     [--partner-keys FILE] PATH\n"
               "  Makes PATH a serial device with a modem on it that dials and answers over TCP/IP:\n"
               "  ATDT host[:port] calls, ATS0=1 takes calls on PORT (default %u), TCP and UDP;\n"
               "  ATS40=1 holds calls to TCP, ATS40=2 to UDP (default: UDP when it answers)\n"
               "  --password-file FILE  calls only with a modem that holds the password on FILE's\n"
               "                        first line (every call is encrypted, with or without one)\n"
               "  --open        calls with any modem that knows the address, without a password\n"
               "  --utf8        the modem's own messages in UTF-8 (default Shift-JIS)\n"
               "  --partner-keys FILE  keeps on FILE (mode 0600) a key from each call confirmed by the\n"
               "                password, with which that partner's next call skips the strangers'\n"
               "                queue (by default they are kept until the modem stops)\n"
               "  --no-portmap  leave the router alone (by default a wait asks it to open PORT\n"
               "                by UPnP or NAT-PMP, and the address to give callers is printed)\n",
               static_cast<unsigned>(modem::kDefaultPort));
  return 2;
}

// Shorter passwords are allowed, with a warning: each guess costs a stranger a connection, but
// few letters leave few guesses.
constexpr std::size_t kShortPassword = 8;

// The first line of the file, without its line end.
bool ReadPassword(const char* path, std::string& password) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  password.clear();
  for (int c; (c = std::fgetc(f)) != EOF && c != '\n';) password.push_back(static_cast<char>(c));
  const bool ok = !std::ferror(f);
  std::fclose(f);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  modem::ModemOptions options;
  const char* passwordFile = nullptr;
  bool open = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--listen" && i + 1 < argc) {
      char* end = nullptr;
      errno = 0;
      const long port = std::strtol(argv[++i], &end, 10);
      if (errno != 0 || *end != '\0' || port < 1 || port > 65535) return Usage();
      options.listenPort = static_cast<std::uint16_t>(port);
    } else if (arg == "--password-file" && i + 1 < argc) {
      passwordFile = argv[++i];
    } else if (arg == "--partner-keys" && i + 1 < argc) {
      options.partnerKeys = argv[++i];
    } else if (arg == "--open") {
      open = true;
    } else if (arg == "--utf8") {
      options.utf8 = true;
    } else if (arg == "--no-portmap") {
      options.portMap = false;
    } else if (!arg.empty() && arg[0] != '-' && options.linkPath.empty()) {
      options.linkPath = arg;
    } else {
      return Usage();
    }
  }
  if (options.linkPath.empty() || (passwordFile != nullptr) == open) return Usage();
  if (passwordFile != nullptr) {
    if (!ReadPassword(passwordFile, options.password)) {
      const int e = errno;
      std::fprintf(stderr, "sonavel-modem: パスワードのファイル %s を読めません: %s\n", passwordFile, std::strerror(e));
      return 1;
    }
    // An empty file would make an open modem of one the user meant to lock.
    if (options.password.empty()) {
      std::fprintf(stderr,
                   "sonavel-modem: パスワードのファイル %s の 1 行目が空です。パスワードなしで待つなら --open を付けてください\n",
                   passwordFile);
      return 1;
    }
    if (QString::fromUtf8(options.password).size() < static_cast<qsizetype>(kShortPassword)) {
      std::fprintf(stderr, "sonavel-modem: パスワードが %zu 文字より短く、当てられやすくなっています\n", kShortPassword);
    }
  }
  // The router's answers, also for whoever runs the modem rather than the program on its line.
  options.onPortMapLine = [](const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
  };

  // Blocked before the modem's threads start, so they inherit it and only sigwait takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  try {
    modem::InternetModem modem(options);
    std::printf("%s -> %s: a modem that takes calls on TCP and UDP port %u after ATS0=1, %s\n",
                options.linkPath.c_str(), modem.SlavePath().c_str(), static_cast<unsigned>(options.listenPort),
                open ? "open to any caller (no password)" : "from callers that hold the password");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
  } catch (const modem::ModemError& e) {
    std::fprintf(stderr, "sonavel-modem: %s\n", e.what());
    return 1;
  }
  return 0;
}
