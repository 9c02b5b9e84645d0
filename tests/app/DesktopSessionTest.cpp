// The program as a desktop starts and ends it, as its own process: the command line with and
// without a display, and the first start under a real window manager (twm on an Xvfb display
// of the test's own) with its prompts, its window size and the end a logout brings.
#include <gtest/gtest.h>

#include <signal.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <optional>

#include "platform/Profile.h"
#include "support/JackMidiPeer.h"
#include "support/JackServer.h"

namespace {

const QString kProgram = QStringLiteral(SONAVEL_PROGRAM);

struct Outcome {
  bool finished = false;
  int exitCode = -1;
  QString out;
  QString err;
};

// Runs a command to its end (or `ms`) with `env`, in `dir`.
Outcome Execute(const QString& command, const QStringList& args, const QProcessEnvironment& env,
                const QString& dir = QDir::tempPath(), int ms = 15000) {
  QProcess p;
  p.setProcessEnvironment(env);
  p.setWorkingDirectory(dir);
  p.start(command, args);
  Outcome o;
  o.finished = p.waitForFinished(ms) && p.exitStatus() == QProcess::NormalExit;
  if (!o.finished) {
    p.kill();
    p.waitForFinished();
  }
  o.exitCode = p.exitCode();
  o.out = QString::fromUtf8(p.readAllStandardOutput());
  o.err = QString::fromUtf8(p.readAllStandardError());
  return o;
}

// The test's environment without a display or a chosen platform: what a start from a text
// console, an ssh session or a service would see.
QProcessEnvironment Headless() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"})
    env.remove(QString::fromLatin1(name));
  return env;
}

QString MissingTool() {
  for (const char* tool : {"Xvfb", "twm", "xdotool", "xwininfo", "xprop"}) {
    if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
      return QStringLiteral("needs %1").arg(QString::fromLatin1(tool));
  }
  return {};
}

// An Xvfb display with Debian's twm managing it, for the whole test program.
class TwmDisplay {
 public:
  TwmDisplay() {
    // Xvfb picks a free display number and writes it to its standard output. It must not reset
    // when its last client leaves: a poll below that ends before twm has connected would pull
    // the display from under twm.
    xvfb_.start(QStringLiteral("Xvfb"),
                {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                 QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                 QStringLiteral("tcp"), QStringLiteral("-noreset")});
    if (!QTest::qWaitFor([this] { return xvfb_.canReadLine() || xvfb_.state() == QProcess::NotRunning; },
                         10000) ||
        !xvfb_.canReadLine()) {
      error_ = QStringLiteral("Xvfb did not start");
      return;
    }
    display_ = QLatin1Char(':') + QString::fromLatin1(xvfb_.readLine()).trimmed();
    twm_.setProcessEnvironment(Env());
    twm_.setProcessChannelMode(QProcess::MergedChannels);
    // A window without a position of its own would otherwise wait for the user to place it,
    // with the server grabbed: every other client, the test's tools too, would stall.
    QFile rc(config_.filePath(QStringLiteral("twmrc")));
    if (!rc.open(QIODevice::WriteOnly) || rc.write("RandomPlacement\nNoGrabServer\n") < 0) {
      error_ = QStringLiteral("cannot write twm's configuration");
      return;
    }
    rc.close();
    twm_.start(QStringLiteral("twm"), {QStringLiteral("-f"), rc.fileName()});
    // twm makes its own (unmapped) windows once it manages the screen; a bare Xvfb has none.
    const QRegularExpression someChildren(QStringLiteral("\\b[1-9]\\d* children"));
    if (!QTest::qWaitFor(
            [&] {
              return someChildren
                  .match(Tool(QStringLiteral("xwininfo"),
                              {QStringLiteral("-root"), QStringLiteral("-children")}))
                  .hasMatch();
            },
            10000)) {
      // (It complains about fonts for charsets nobody uses here: not worth a line.)
      const QStringList said = QString::fromLocal8Bit(twm_.readAll()).split(QLatin1Char('\n'));
      error_ = QStringLiteral("twm did not start on %1: %2")
                   .arg(display_, said.filter(QRegularExpression(QStringLiteral("^(?!.*is lacking).")))
                                      .join(QLatin1Char('\n')));
    }
  }
  ~TwmDisplay() {
    for (QProcess* p : {&twm_, &xvfb_}) {
      p->terminate();
      if (!p->waitForFinished(3000)) p->kill();
      p->waitForFinished(3000);
    }
  }
  const QString& Error() const { return error_; }

  // The program's environment on this display, with the xcb platform as on a desktop.
  QProcessEnvironment Env() const {
    QProcessEnvironment env = Headless();
    env.insert(QStringLiteral("DISPLAY"), display_);
    return env;
  }
  QString Tool(const QString& tool, const QStringList& args) const { return Execute(tool, args, Env()).out; }

  // The program's visible windows titled "Sonavel" of one kind: its boxes are dialogs for the
  // window manager, the main window a normal window.
  QStringList Windows(bool dialogs) const {
    QStringList found;
    const QStringList ids =
        Tool(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                         QStringLiteral("--name"), QStringLiteral("^Sonavel$")})
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& id : ids) {
      const bool dialog =
          Tool(QStringLiteral("xprop"), {QStringLiteral("-id"), id, QStringLiteral("_NET_WM_WINDOW_TYPE")})
              .contains(QStringLiteral("DIALOG"));
      if (dialog == dialogs) found << id;
    }
    return found;
  }
  std::optional<QString> WaitForWindow(bool dialog) const {
    QString id;
    (void)QTest::qWaitFor(
        [&] {
          const QStringList w = Windows(dialog);
          if (!w.isEmpty()) id = w.front();
          return !id.isEmpty();
        },
        30000);  // a start on a loaded machine
    return id.isEmpty() ? std::nullopt : std::optional(id);
  }
  // The size the window really has on the screen, and the fixed size it asks the window manager for.
  QSize Size(const QString& id) const {
    const QString info = Tool(QStringLiteral("xwininfo"), {QStringLiteral("-id"), id});
    auto field = [&info](const char* name) {
      return QRegularExpression(QStringLiteral("%1: +(\\d+)").arg(QLatin1String(name)))
          .match(info)
          .captured(1)
          .toInt();
    };
    return {field("Width"), field("Height")};
  }
  QString SizeHints(const QString& id) const {
    return Tool(QStringLiteral("xprop"), {QStringLiteral("-id"), id, QStringLiteral("WM_NORMAL_HINTS")});
  }
  // The user presses Return in a box: it has the keyboard focus, as after a click on it.
  bool Answer(const QString& id) const {
    return Execute(QStringLiteral("xdotool"),
                   {QStringLiteral("windowfocus"), QStringLiteral("--sync"), id, QStringLiteral("key"),
                    QStringLiteral("Return")},
                   Env())
        .finished;
  }

 private:
  QTemporaryDir config_;
  QProcess xvfb_;
  QProcess twm_;
  QString display_;
  QString error_;
};

// ------------------------------------------------------------------------------ command line

struct Display {
  const char* name;
  QProcessEnvironment (*env)(const TwmDisplay*);
};

const Display kDisplays[] = {
    {"no display", [](const TwmDisplay*) { return Headless(); }},
    {"a display nobody answers",
     [](const TwmDisplay*) {
       QProcessEnvironment env = Headless();
       env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":4711"));
       return env;
     }},
    {"a display", [](const TwmDisplay* x) { return x != nullptr ? x->Env() : Headless(); }},
};

struct Line {
  QStringList args;
  int exitCode;
  const char* out;  // a pattern for the whole of stdout
  const char* err;  // a pattern for the whole of stderr
};

const char* const kUsage = "Usage: sonavel \\[--answer \\| --dial N\\]\n.*--version .*\n";
const char* const kRefused = "sonavel: %1 \\(see sonavel --help\\)\n";

TEST(CommandLine, EachOptionAnswersTheSameWithAndWithoutADisplay) {
  const QString missing = MissingTool();
  std::unique_ptr<TwmDisplay> x;
  if (missing.isEmpty()) x = std::make_unique<TwmDisplay>();
  const Line lines[] = {
      {{"--help"}, 0, kUsage, ""},
      {{"-h"}, 0, kUsage, ""},
      {{"--version"}, 0, "Sonavel 1\\.1\n", ""},
      {{"--list-midi-devices"},
       0,
       "MIDI IN\n(\\d+: .*\n)*MIDI OUT\n0: FluidSynth GM Synth\n(\\d+: .*\n)*SYNTH: .+\n",
       ".*"},
      {{"--no-such-option"}, 2, "", "sonavel: unknown option '--no-such-option' \\(see sonavel --help\\)\n"},
      {{"--dial", "7"},
       2,
       "",
       "sonavel: --dial needs a destination number from 1 to 5 \\(see sonavel --help\\)\n"},
      {{"--dial"},
       2,
       "",
       "sonavel: --dial needs a destination number from 1 to 5 \\(see sonavel --help\\)\n"},
      {{"--dial=2x"},
       2,
       "",
       "sonavel: --dial needs a destination number from 1 to 5 \\(see sonavel --help\\)\n"},
      {{"--answer", "--dial", "1"},
       2,
       "",
       "sonavel: --answer and --dial cannot be used together \\(see sonavel --help\\)\n"},
      {{"Sonavel.ini"}, 2, "", "sonavel: unexpected argument 'Sonavel.ini' \\(see sonavel --help\\)\n"},
      {{"-display"}, 2, "", "sonavel: option '-display' needs a value \\(see sonavel --help\\)\n"},
      {{"--version", "--no-such-option"}, 0, "Sonavel 1\\.1\n", ""},
  };
  for (const Display& display : kDisplays) {
    if (x == nullptr && std::string_view(display.name) == "a display") continue;
    for (const Line& line : lines) {
      const Outcome o = Execute(kProgram, line.args, display.env(x.get()));
      const std::string what = line.args.join(QLatin1Char(' ')).toStdString() + " with " + display.name;
      ASSERT_TRUE(o.finished) << what << " opened a window or hung";
      EXPECT_EQ(o.exitCode, line.exitCode) << what;
      auto whole = [](const char* pattern) {
        return QRegularExpression(QStringLiteral("\\A(?:%1)\\z").arg(QString::fromUtf8(pattern)),
                                  QRegularExpression::DotMatchesEverythingOption);
      };
      EXPECT_TRUE(whole(line.out).match(o.out).hasMatch()) << what << ": " << o.out.toStdString();
      EXPECT_TRUE(whole(line.err).match(o.err).hasMatch()) << what << ": " << o.err.toStdString();
    }
  }
  // Without options a window is wanted: without a display that is one line and exit 1, not Qt's abort.
  const struct {
    const Display& display;
    const char* err;
  } windowless[] = {
      {kDisplays[0],
       "sonavel: no display: DISPLAY is not set \\(start it in a desktop session, or give -display\\)\n"},
      {kDisplays[1], "sonavel: cannot open a window: could not connect to display :4711\n"},
  };
  for (const auto& w : windowless) {
    QTemporaryDir dir;
    const Outcome o = Execute(kProgram, {}, w.display.env(nullptr), dir.path());
    ASSERT_TRUE(o.finished) << w.display.name;
    EXPECT_EQ(o.exitCode, 1) << w.display.name;
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("\\A%1\\z").arg(QString::fromUtf8(w.err))).match(o.err).hasMatch())
        << w.display.name << ": " << o.err.toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("Sonavel.ini"))))
        << "nothing started, nothing written";
  }
  if (x == nullptr) GTEST_SKIP() << "checked without a display only: " << missing.toStdString();
}

// ------------------------------------------------------------------------------ under twm

class UnderTwm : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (MissingTool().isEmpty()) x_ = new TwmDisplay;
  }
  static void TearDownTestSuite() {
    delete x_;
    x_ = nullptr;
  }
  void SetUp() override {
    if (const QString why = MissingTool(); !why.isEmpty()) GTEST_SKIP() << why.toStdString();
    ASSERT_TRUE(x_->Error().isEmpty()) << x_->Error().toStdString();
    ASSERT_TRUE(dir_.isValid());
  }
  void TearDown() override {
    if (program_.state() != QProcess::NotRunning) {
      program_.kill();
      program_.waitForFinished();
    }
  }
  void Start() {
    program_.setProcessEnvironment(x_->Env());
    program_.setWorkingDirectory(dir_.path());
    program_.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    program_.start(kProgram, {});
    ASSERT_TRUE(program_.waitForStarted());
  }
  // Sends signals and waits for the end; the time it took, or -1 when it did not come in 3 s.
  qint64 EndBy(std::initializer_list<int> sent) {
    QElapsedTimer clock;
    clock.start();
    for (int s : sent) ::kill(static_cast<pid_t>(program_.processId()), s);
    return program_.waitForFinished(3000) ? clock.elapsed() : -1;
  }
  Profile Settings() const { return Profile(dir_.filePath(QStringLiteral("Sonavel.ini"))); }
  void SaveScreen(const QString& id, const QString& name) const {
    const QString shots =
        qEnvironmentVariable("SONAVEL_TEST_OUTPUT", QDir::tempPath()) + QStringLiteral("/desktop");
    QDir().mkpath(shots);
    Execute(QStringLiteral("import"), {QStringLiteral("-window"), id, shots + QLatin1Char('/') + name},
            x_->Env());
  }

  static TwmDisplay* x_;
  QTemporaryDir dir_;
  QProcess program_;
};
TwmDisplay* UnderTwm::x_ = nullptr;

// The main window is first mapped at its fixed size, whether the start-up's prompts come
// before it (the first start) or not (devices chosen); the window manager is told the same.
TEST_F(UnderTwm, TheMainWindowMapsAtItsFixedSizeWithOrWithoutPromptsBeforeIt) {
  JackServer jack;
  ASSERT_TRUE(jack.Running()) << jack.Error();
  JackMidiPeer peer("desk");
  ASSERT_TRUE(peer.Ok());
  const struct {
    const char* start;
    bool devicesChosen;
    int prompts;
  } starts[] = {{"first start", false, 2}, {"devices chosen", true, 0}};
  std::optional<QSize> first;
  for (const auto& s : starts) {
    SCOPED_TRACE(s.start);
    if (s.devicesChosen) {
      Profile settings = Settings();
      settings.WriteString(QStringLiteral("midi"), QStringLiteral("MidiInDeviceName"),
                           QStringLiteral("JACK: desk:keys"));
      settings.WriteString(QStringLiteral("midi"), QStringLiteral("MidiOutDeviceName"),
                           QStringLiteral("JACK: desk:module"));
    }
    Start();
    for (int i = 0; i < s.prompts; ++i) {
      const auto box = x_->WaitForWindow(true);
      ASSERT_TRUE(box) << "prompt " << i + 1 << " did not show";
      EXPECT_TRUE(x_->Windows(false).isEmpty()) << "the main window is mapped only after the prompts";
      ASSERT_TRUE(x_->Answer(*box));
      ASSERT_TRUE(QTest::qWaitFor([&] { return !x_->Windows(true).contains(*box); }, 5000));
    }
    const auto main = x_->WaitForWindow(false);
    ASSERT_TRUE(main);
    EXPECT_TRUE(x_->Windows(true).isEmpty()) << "no prompt with devices chosen";
    const QSize size = x_->Size(*main);
    EXPECT_EQ(size.width(), 532);
    EXPECT_GT(size.height(), 335) << "the client area, with the menu bar above it";
    const QString hints = x_->SizeHints(*main);
    const QString fixed = QStringLiteral("%1 by %2").arg(size.width()).arg(size.height());
    for (const char* hint : {"specified size", "minimum size", "maximum size"}) {
      EXPECT_TRUE(hints.contains(QString::fromLatin1(hint) + QStringLiteral(": ") + fixed))
          << hint << "\n"
          << hints.toStdString();
    }
    if (first) {
      EXPECT_EQ(size, *first);
    }
    first = size;
    SaveScreen(*main, QString::fromLatin1(s.start).replace(QLatin1Char(' '), QLatin1Char('-')) +
                          QStringLiteral(".png"));
    EXPECT_GE(EndBy({SIGTERM}), 0);
  }
}

// A logout, Ctrl+C or a closed terminal while the first start's prompt waits for an answer: the
// box goes, the shutdown writes the positions, and the process is gone within 2 s. A second
// signal hard on the first is not lost either.
TEST_F(UnderTwm, ASignalDuringTheFirstPromptEndsTheProgramAndKeepsThePositions) {
  const struct {
    const char* name;
    std::initializer_list<int> sent;
  } ends[] = {{"SIGTERM", {SIGTERM}},
              {"SIGINT", {SIGINT}},
              {"SIGHUP", {SIGHUP}},
              {"SIGHUP then SIGTERM", {SIGHUP, SIGTERM}}};
  for (const auto& e : ends) {
    SCOPED_TRACE(e.name);
    QFile::remove(dir_.filePath(QStringLiteral("Sonavel.ini")));
    Start();
    ASSERT_TRUE(x_->WaitForWindow(true)) << "the prompt did not show";
    const qint64 took = EndBy(e.sent);
    ASSERT_GE(took, 0) << "still running 3 s after the signal";
    EXPECT_LT(took, 2000);
    if (e.sent.size() == 1) {
      // 0; or 1 where the time limit cut a slow teardown short (a loaded machine), which comes
      // after the positions are written and the devices closed.
      const QString said = QString::fromLocal8Bit(program_.readAllStandardError());
      if (program_.exitCode() != 0) {
        EXPECT_EQ(program_.exitCode(), 1) << said.toStdString();
        EXPECT_TRUE(said.contains(QStringLiteral("the shutdown took too long"))) << said.toStdString();
      }
      // The first start's windows are centred on the 1280 × 1024 screen.
      const Profile settings = Settings();
      const int left = settings.ReadInt(QStringLiteral("MainFormPosition"), QStringLiteral("left"), -1);
      const int top = settings.ReadInt(QStringLiteral("MainFormPosition"), QStringLiteral("top"), -1);
      EXPECT_NEAR(left, (1280 - 532) / 2, 10);
      EXPECT_GT(top, 0);
      EXPECT_GT(settings.ReadInt(QStringLiteral("KeyBoardPosition"), QStringLiteral("left"), -1), 0);
      EXPECT_GT(settings.ReadInt(QStringLiteral("KeyBoardPosition"), QStringLiteral("top"), -1), 0);
    }
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return x_->Windows(true).isEmpty() && x_->Windows(false).isEmpty(); }, 2000));
  }
}

}  // namespace
