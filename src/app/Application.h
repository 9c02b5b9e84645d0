#pragma once

#include <QApplication>

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
};
