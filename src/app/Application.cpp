#include "app/Application.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>
#include <thread>

#include "controls/ErrorReport.h"
#include "platform/UserError.h"

namespace {

constexpr const char* kVersion = SONAVEL_VERSION;

// Qt's own options, which QApplication takes out of the arguments (with one dash or two).
constexpr std::array<std::string_view, 14> kQtOptionsWithValue = {"platform",
                                                                  "platformpluginpath",
                                                                  "platformtheme",
                                                                  "plugin",
                                                                  "qwindowgeometry",
                                                                  "qwindowicon",
                                                                  "qwindowtitle",
                                                                  "display",
                                                                  "geometry",
                                                                  "style",
                                                                  "stylesheet",
                                                                  "session",
                                                                  "name",
                                                                  "title"};
constexpr std::array<std::string_view, 5> kQtFlags = {"reverse", "nograb", "dograb", "sync", "widgetcount"};

// The name of a Qt option without its dashes, or empty for anything else.
std::string_view QtOptionName(std::string_view arg) {
  if (arg.size() < 2 || arg[0] != '-') return {};
  arg.remove_prefix(arg[1] == '-' ? 2 : 1);
  return arg;
}
bool IsQtOptionWithValue(std::string_view arg) {
  const std::string_view name = QtOptionName(arg);
  for (std::string_view o : kQtOptionsWithValue)
    if (name == o) return true;
  return false;
}
bool IsQtFlag(std::string_view arg) {
  const std::string_view name = QtOptionName(arg);
  for (std::string_view o : kQtFlags)
    if (name == o) return true;
  return name.starts_with("qmljsdebugger=");
}

// The value of a Qt option in the arguments (the last one given), or null.
const char* QtOptionValue(int argc, char** argv, std::string_view option) {
  const char* value = nullptr;
  for (int i = 1; i + 1 < argc; ++i) {
    if (QtOptionName(argv[i]) == option) value = argv[++i];
  }
  return value;
}

bool ParseDestination(std::string_view text, int& n) {
  if (text.size() != 1 || text[0] < '1' || text[0] > '5') return false;
  n = text[0] - '0';
  return true;
}

}  // namespace

// ================================================================================ CommandLine

CommandLine CommandLine::Parse(int argc, char** argv) {
  CommandLine line;
  auto refuse = [&line](std::string why) {
    line.action = Action::Refuse;
    line.refusal = std::move(why);
    return line;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      line.action = Action::Help;
      return line;
    }
    if (arg == "--version") {
      line.action = Action::Version;
      return line;
    }
    if (arg == "--list-midi-devices") {
      line.action = Action::ListMidiDevices;
    } else if (arg == "--answer") {
      line.answer = true;
    } else if (arg == "--dial" || arg.starts_with("--dial=")) {
      std::string_view value;
      if (arg != "--dial") {
        value = arg.substr(7);
      } else if (i + 1 < argc) {
        value = argv[++i];
      }
      if (!ParseDestination(value, line.dial)) return refuse("--dial needs a destination number from 1 to 5");
    } else if (IsQtOptionWithValue(arg)) {
      if (i + 1 >= argc) return refuse("option '" + std::string(arg) + "' needs a value");
      ++i;
    } else if (IsQtFlag(arg)) {
    } else if (arg.starts_with("-")) {
      return refuse("unknown option '" + std::string(arg) + "'");
    } else {
      return refuse("unexpected argument '" + std::string(arg) + "'");
    }
  }
  if (line.answer && line.dial > 0) return refuse("--answer and --dial cannot be used together");
  return line;
}

std::string CommandLine::Usage() {
  return "Usage: sonavel [--answer | --dial N]\n"
         "       sonavel --list-midi-devices\n"
         "       sonavel --help | --version\n"
         "Play MIDI together with a distant musician over a serial line or the internet.\n"
         "\n"
         "  --answer             wait for a call from the start, as the wait button does\n"
         "  --dial N             dial destination N (1 to 5) from the start, as its button does\n"
         "  --list-midi-devices  print the MIDI input and output devices and exit\n"
         "  --help, -h           print this help and exit\n"
         "  --version            print the name and version and exit\n"
         "\n"
         "Qt's own options are understood as well, for example -platform NAME and -display DISPLAY.\n"
         "Settings (Sonavel.ini) and the day's log are kept in the current directory;\n"
         "sonavel-start runs the program in the per-user data folder.\n"
         "Exit status: 0 on a normal end, 1 without a display, 2 for a wrong option.\n";
}

std::string CommandLine::Version() {
  return std::string("Sonavel ") + kVersion + "\n";
}

std::string CommandLine::MissingDisplay(int argc, char** argv) {
  const char* platformOption = QtOptionValue(argc, argv, "platform");
  std::string platform = platformOption != nullptr ? platformOption : "";
  if (platformOption == nullptr && std::getenv("QT_QPA_PLATFORM") != nullptr)
    platform = std::getenv("QT_QPA_PLATFORM");
  // "xcb;wayland", "xcb:option=value": the first choice, without its options.
  platform = platform.substr(0, platform.find_first_of(";:"));
  if (!platform.empty() && platform != "xcb") return {};  // offscreen, wayland, vnc… find their own way
  const char* displayOption = QtOptionValue(argc, argv, "display");
  const char* display = displayOption != nullptr ? displayOption : std::getenv("DISPLAY");
  if (display != nullptr && *display != '\0') return {};
  // Qt may choose Wayland by itself in a Wayland session.
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (platform.empty() && wayland != nullptr && *wayland != '\0') return {};
  return "no display: DISPLAY is not set (start it in a desktop session, or give -display)";
}

// ======================================================================== SonavelApplication

SonavelApplication::SonavelApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Sonavel"));
  setApplicationDisplayName(QStringLiteral("Sonavel"));
  setApplicationVersion(QString::fromLatin1(kVersion));
  // The program ends through its main window's shutdown, which quits once its own report has
  // been seen; the last window closing must not end the event loop under that report.
  setQuitOnLastWindowClosed(false);
}

bool SonavelApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ReportError(ErrorText(std::current_exception()));
  }
  return false;
}

void SonavelApplication::ReportError(const QString& message) {
  ErrorReport::Show(message);
}

// ------------------------------------------------------------------------------ end signals

namespace {

// The handler only counts and writes a byte (both async-signal-safe); the event loop reads it.
int endPipe[2] = {-1, -1};
std::atomic<int> endSignals{0};
std::atomic<bool> endAnswered{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

void OnEndSignalRaised(int signo) {
  if (endSignals.fetch_add(1) > 0 && !endAnswered.load()) _exit(128 + signo);
  const char byte = static_cast<char>(signo);
  [[maybe_unused]] const auto n = write(endPipe[1], &byte, 1);
}

}  // namespace

void SonavelApplication::CatchEndSignals() {
  if (endPipe[0] >= 0 || pipe2(endPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnEndSignalRaised;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signo : {SIGTERM, SIGINT, SIGHUP}) sigaction(signo, &action, nullptr);
}

void SonavelApplication::OnEndSignal(std::function<void()> end) {
  if (endPipe[0] < 0) return;
  auto* notifier = new QSocketNotifier(endPipe[0], QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, [end = std::move(end)] {
    char byte;
    while (read(endPipe[0], &byte, 1) > 0) {
    }
    if (!endAnswered.exchange(true)) {
      // Whatever the shutdown meets (a device that does not let go, a box that comes back), the
      // user asked for the end: it comes in time.
      std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(kEndGraceMs));
        std::fputs("sonavel: the shutdown took too long; ending now\n", stderr);
        _exit(1);
      }).detach();
    }
    end();
  });
}

// ------------------------------------------------------------------------------ opening

namespace {

QtMessageHandler outerHandler = nullptr;
QString platformComplaint;  // the platform plugin's own words, e.g. "could not connect to display :9"

void WhileOpening(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  const bool platform = context.category != nullptr && std::strncmp(context.category, "qt.qpa", 6) == 0;
  if (type == QtFatalMsg) {
    // Qt would abort here: the platform plugin found no display it can use.
    const QString why =
        platformComplaint.isEmpty() ? message.section(QLatin1Char('\n'), 0, 0) : platformComplaint;
    std::fprintf(stderr, "sonavel: cannot open a window: %s\n", why.toLocal8Bit().constData());
    std::fflush(stderr);
    _exit(CommandLine::kNoDisplay);
  }
  // The platform's notes on the way are dropped: its last complaint says why, if it fails.
  if (platform) {
    if (type == QtWarningMsg || type == QtCriticalMsg) platformComplaint = message;
    return;
  }
  if (outerHandler != nullptr) outerHandler(type, context, message);
}

}  // namespace

std::unique_ptr<SonavelApplication> OpenApplication(int& argc, char** argv) {
  outerHandler = qInstallMessageHandler(WhileOpening);
  auto app = std::make_unique<SonavelApplication>(argc, argv);
  qInstallMessageHandler(outerHandler);
  // A complaint that did not stop the platform is still worth seeing.
  if (!platformComplaint.isEmpty()) qWarning("%s", qPrintable(platformComplaint));
  return app;
}
