#include <QCoreApplication>
#include <QDir>
#include <QTextStream>
#include <cstring>

#include "app/Application.h"
#include "app/Program.h"
#include "app/Prompter.h"
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

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--list-midi-devices") == 0) {
      QCoreApplication core(argc, argv);
      return ListMidiDevices();
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
  program.onEnded = [] { QCoreApplication::quit(); };
  program.Start();
  return app.exec();
}
