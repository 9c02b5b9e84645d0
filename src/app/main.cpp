#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <cstdio>

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
int ListMidiDevices(Profile& settingsFile) {
  SystemMidi midi;
  QTextStream out(stdout);
  out.setEncoding(QStringConverter::Utf8);
  auto print = [&out](const char* heading, const QStringList& names) {
    out << heading << '\n';
    for (qsizetype i = 0; i < names.size(); ++i) out << i << ": " << names[i] << '\n';
  };
  print("MIDI IN", midi.InputNames());
  print("MIDI OUT", midi.OutputNames());
  // The synth opens as output 0 would, with the settings file's choices when there is one.
  GmSynth::Options options;
  const Settings settings = SettingsStore(settingsFile).Load();
  options.audioDriver = settings.synthAudioDriver;
  options.bufferFrames = settings.synthBuffer;
  try {
    GmSynth synth(options);
    // The period shows once the server has called the synth.
    for (int i = 0; i < 50 && synth.Status()->frames.load() == 0; ++i) QThread::msleep(10);
    out << "SYNTH: " << GmSynth::Describe(*synth.Status()) << '\n';
  } catch (const MidiDeviceError& e) {
    out << "SYNTH: " << e.Message().replace(QLatin1Char('\n'), QLatin1Char(' ')) << '\n';
  }
  return 0;
}

// The boxes the user sees, until the end is asked for: from then on nobody is there to answer,
// so a box that would come up is not shown (a question counts as cancelled) and an error goes
// to the terminal.
class SessionPrompter final : public Prompter {
 public:
  void Message(const QString& text) override {
    if (!ending) boxes_.Message(text);
  }
  void Warning(const QString& text) override {
    if (!ending) boxes_.Warning(text);
  }
  bool Confirm(const QString& text) override { return !ending && boxes_.Confirm(text); }
  void Error(const QString& text) override {
    if (ending) {
      std::fprintf(stderr, "sonavel: %s\n", text.toLocal8Bit().constData());
    } else {
      boxes_.Error(text);
    }
  }
  void Beep() override { boxes_.Beep(); }

  bool ending = false;

 private:
  BoxPrompter boxes_;
};

// Closes every box and dialog that is up, so a modal one's event loop returns to its caller.
void CloseDialogs() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QDialog*>(w); dialog != nullptr && dialog->isVisible()) dialog->reject();
  }
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine line = CommandLine::Parse(argc, argv);
  switch (line.action) {
    case CommandLine::Action::Help: std::fputs(CommandLine::Usage().c_str(), stdout); return 0;
    case CommandLine::Action::Version: std::fputs(CommandLine::Version().c_str(), stdout); return 0;
    case CommandLine::Action::Refuse:
      std::fprintf(stderr, "sonavel: %s (see sonavel --help)\n", line.refusal.c_str());
      return CommandLine::kUsageError;
    case CommandLine::Action::ListMidiDevices: {
      QCoreApplication core(argc, argv);
      Profile settingsFile(QString::fromLatin1(SettingsStore::kFileName));
      return ListMidiDevices(settingsFile);
    }
    case CommandLine::Action::Run: break;
  }
  if (const std::string why = CommandLine::MissingDisplay(argc, argv); !why.empty()) {
    std::fprintf(stderr, "sonavel: %s\n", why.c_str());
    return CommandLine::kNoDisplay;
  }
  // From here a signal is kept until the event loop can act on it.
  SonavelApplication::CatchEndSignals();
  const auto app = OpenApplication(argc, argv);
  SystemMidi midi;
  SessionPrompter prompter;
  // The settings file and the day's log live in the current directory.
  Profile settingsFile(QString::fromLatin1(SettingsStore::kFileName));
  Program program(midi, prompter, settingsFile, QDir::currentPath());
  program.onSynthOutput = [&midi](const QString& driver, int frames) {
    GmSynth::Options options;
    options.audioDriver = driver;
    options.bufferFrames = frames;
    midi.SetSynthOptions(options);
  };
  // A report from the shutdown is seen before the event loop ends; after a signal, nobody waits.
  program.onEnded = [&prompter] {
    if (prompter.ending) {
      QCoreApplication::quit();
    } else {
      ErrorReport::WhenIdle([] { QCoreApplication::quit(); });
    }
  };

  bool started = false;
  // A signal ends the program as the close box would: a box that is up closes, its caller
  // returns, and the main window's shutdown writes the positions and lets the devices go.
  app->OnEndSignal([&] {
    prompter.ending = true;
    CloseDialogs();
    if (!started) {
      QCoreApplication::quit();
      return;
    }
    QTimer::singleShot(0, &program.MainForm(), [&program] { program.MainForm().close(); });
  });

  // The start-up runs inside the event loop, prompts and all, so that an end asked for meanwhile
  // ends this loop too.
  QTimer::singleShot(0, &program.MainForm(), [&] {
    if (prompter.ending) return;
    started = true;
    program.Start();
    if (prompter.ending) return;
    TMainForm& form = program.MainForm();
    // Through the buttons, so a failure is reported as a click's is.
    if (line.answer) form.SpeedButton13->click();
    if (line.dial > 0) {
      QToolButton* const buttons[] = {form.SpeedButton8, form.SpeedButton9, form.SpeedButton10,
                                      form.SpeedButton11, form.SpeedButton12};
      buttons[line.dial - 1]->click();
    }
  });
  return app->exec();
}
