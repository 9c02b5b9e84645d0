#include "controls/ErrorReport.h"

#include <QMessageBox>

namespace ErrorReport {

void Show(const QString& message) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Sonavel"), message, QMessageBox::Ok);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

}  // namespace ErrorReport
