#include <fcntl.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>
#include <QToolButton>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Application.h"
#include "app/MainForm.h"
#include "app/Program.h"
#include "controls/ErrorReport.h"
#include "controls/Prompter.h"
#include "platform/Profile.h"
#include "platform/midi/SystemMidi.h"
#include "settings/SettingsStore.h"

namespace {

// Prints both device lists exactly as the settings dialog shows them.
int ListMidiDevices() {
  SystemMidi midi;
  QTextStream out(stdout);
  out.setEncoding(QStringConverter::Utf8);
  auto print = [&out](const char* heading, const QStringList& names) {
    out << heading << '\n';
    for (qsizetype i = 0; i < names.size(); ++i) out << i << ": " << names[i] << '\n';
  };
  print("MIDI IN", midi.InputNames());
  print("MIDI OUT", midi.OutputNames());
  return 0;
}

// SIGTERM and SIGINT (a session ending, Ctrl+C) close the main window as its close box would,
// so the positions are kept and the MIDI and serial devices are let go properly. The handler
// only writes a byte; the event loop does the rest.
int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const auto n = write(signalPipe[1], &byte, 1);
}

void CloseOnSignals(QWidget& mainWindow) {
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &mainWindow);
  QObject::connect(notifier, &QSocketNotifier::activated, &mainWindow, [&mainWindow] {
    char byte;
    while (read(signalPipe[0], &byte, 1) > 0) {
    }
    mainWindow.close();
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  bool answer = false;
  int dial = 0;  // a destination 1..5 to dial at start
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--list-midi-devices") == 0) {
      QCoreApplication core(argc, argv);
      return ListMidiDevices();
    }
    // An answering station: waits for a call from the start, as the wait button does.
    if (std::strcmp(argv[i], "--answer") == 0) answer = true;
    // A calling station: dials destination N from the start, as its button does.
    if (std::strcmp(argv[i], "--dial") == 0) {
      const int n = i + 1 < argc ? std::atoi(argv[i + 1]) : 0;
      if (n < 1 || n > 5) {
        std::fprintf(stderr, "sonavel: --dial needs a destination number from 1 to 5\n");
        return 2;
      }
      dial = n;
      ++i;
    }
  }
  SonavelApplication app(argc, argv);
  SystemMidi midi;
  BoxPrompter prompter;
  // The settings file and the day's log live in the current directory.
  Profile settingsFile(QString::fromLatin1(SettingsStore::kFileName));
  Program program(midi, prompter, settingsFile, QDir::currentPath());
  program.onSynthAudioDriver = [&midi](const QString& driver) {
    GmSynth::Options options;
    options.audioDriver = driver;
    midi.SetSynthOptions(options);
  };
  // A report from the shutdown is seen before the event loop ends.
  program.onEnded = [] { ErrorReport::WhenIdle([] { QCoreApplication::quit(); }); };
  CloseOnSignals(program.MainForm());
  program.Start();
  if (answer) {
    // Through the button, once the event loop runs, so a failure is reported as a click's is.
    QTimer::singleShot(0, &program.MainForm(), [&program] { program.MainForm().SpeedButton13->click(); });
  }
  if (dial > 0) {
    QToolButton* const buttons[] = {program.MainForm().SpeedButton8, program.MainForm().SpeedButton9,
                                    program.MainForm().SpeedButton10, program.MainForm().SpeedButton11,
                                    program.MainForm().SpeedButton12};
    QToolButton* button = buttons[dial - 1];
    QTimer::singleShot(0, &program.MainForm(), [button] { button->click(); });
  }
  return app.exec();
}
