#include "app/Application.h"

#include <exception>

#include "controls/ErrorReport.h"
#include "platform/UserError.h"

SonavelApplication::SonavelApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Sonavel"));
  setApplicationDisplayName(QStringLiteral("Sonavel"));
  setApplicationVersion(QStringLiteral("1.1"));
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
