#pragma once

#include <QApplication>
#include <functional>
#include <string>

// What the command line asks for. It is read before QApplication exists, so --help, --version
// and a wrong option answer without a display, and the program never opens a window for them.
struct CommandLine {
  enum class Action { Run, ListMidiDevices, Help, Version, Refuse };
  Action action = Action::Run;
  bool answer = false;  // --answer: wait for a call from the start
  int dial = 0;         // --dial N: dial destination N (1..5) from the start
  std::string refusal;  // Refuse: the one line that says what is wrong

  static CommandLine Parse(int argc, char** argv);
  static std::string Usage();    // --help, in the words of the manual page
  static std::string Version();  // --version
  // Why no window can open here, before Qt would try and abort; empty when a display may be
  // there (whether it answers is found by the platform plugin, see SonavelApplication::Open).
  static std::string MissingDisplay(int argc, char** argv);

  static constexpr int kUsageError = 2;  // a wrong option or argument
  static constexpr int kNoDisplay = 1;
};

// The program's QApplication. The windows, the MIDI input, the serial inbox and the timers catch
// their own errors; notify() is the last resort for one that still leaves an event handler: it
// goes to the same reporter, and the program goes on.
class SonavelApplication final : public QApplication {
  Q_OBJECT
 public:
  SonavelApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;

  // Hands an error to the program's one reporter (ErrorReport).
  static void ReportError(const QString& message);

  // SIGTERM, SIGINT and SIGHUP (a session ending, Ctrl+C, a closed terminal). Installed before
  // the application exists, so a signal at any moment of the start-up is kept; once the event
  // loop runs, the first one calls `end` there. A second signal that finds the first still
  // unanswered (the user-interface thread stuck) ends the process at once, and once `end` has
  // begun the process is gone within kEndGraceMs whatever it meets.
  static void CatchEndSignals();
  void OnEndSignal(std::function<void()> end);
  static constexpr int kEndGraceMs = 1500;
};

// Constructs the application; when the platform cannot open its display, prints one line
// saying so and ends the process with CommandLine::kNoDisplay instead of Qt's abort.
std::unique_ptr<SonavelApplication> OpenApplication(int& argc, char** argv);
