#pragma once

#include <QApplication>

// The program's QApplication. Its notify() is the application's standard error report: an
// exception that leaves any event handler is shown in a message box with its message, and the
// program goes on.
class SonavelApplication final : public QApplication {
  Q_OBJECT
 public:
  SonavelApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;

  // Shows an error message box; also used for errors handed over from other threads.
  static void ReportError(const QString& message);
};
