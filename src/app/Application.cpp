#include "app/Application.h"

#include <exception>

#include "controls/ErrorReport.h"
#include "platform/UserError.h"

SonavelApplication::SonavelApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Sonavel"));
  setApplicationDisplayName(QStringLiteral("Sonavel"));
  setApplicationVersion(QStringLiteral("1.1"));
}

bool SonavelApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const UserError& e) {
    ReportError(e.Message());
  } catch (const std::exception& e) {
    ReportError(QString::fromUtf8(e.what()));
  }
  return false;
}

void SonavelApplication::ReportError(const QString& message) {
  ErrorReport::Show(message);
}
