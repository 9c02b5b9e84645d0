#include <QCoreApplication>
#include <QTextStream>
#include <cstring>
#include <map>

#include "app/Application.h"
#include "app/Program.h"
#include "app/Prompter.h"
#include "platform/midi/SystemMidi.h"

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

// Window positions for this run only, until the settings file is wired in.
class RunPositions final : public PositionFile {
 public:
  int ReadInt(const QString& section, const QString& key, int fallback) override {
    const auto it = values_.find(section + QLatin1Char('/') + key);
    return it == values_.end() ? fallback : it->second;
  }
  void WriteInt(const QString& section, const QString& key, int value) override {
    values_[section + QLatin1Char('/') + key] = value;
  }

 private:
  std::map<QString, int> values_;
};

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
  RunPositions positions;
  Program program(midi, prompter, positions);
  program.onEnded = [] { QCoreApplication::quit(); };
  program.Start();
  return app.exec();
}
