#include <QCoreApplication>
#include <QTextStream>
#include <QWidget>
#include <cstdio>
#include <cstring>

#include "app/Application.h"
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

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--list-midi-devices") == 0) {
      QCoreApplication core(argc, argv);
      return ListMidiDevices();
    }
  }
  SonavelApplication app(argc, argv);
  // Until the main window exists, an empty window stands in for it.
  QWidget window;
  window.setWindowTitle(QStringLiteral("Sonavel"));
  window.show();
  return app.exec();
}
