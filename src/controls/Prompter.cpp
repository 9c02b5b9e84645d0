#include "controls/Prompter.h"

#include <QApplication>
#include <QMessageBox>

#include "controls/ErrorReport.h"

namespace {

// Texts in these boxes may carry a file name or what the peer sent: never rich text.
int Show(QWidget* parent, QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons) {
  QMessageBox box(icon, QStringLiteral("Sonavel"), text, buttons, parent);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::Ok);
  return box.exec();
}

}  // namespace

void BoxPrompter::Message(const QString& text) {
  Show(parent_, QMessageBox::NoIcon, text, QMessageBox::Ok);
}

void BoxPrompter::Warning(const QString& text) {
  Show(parent_, QMessageBox::Warning, text, QMessageBox::Ok);
}

bool BoxPrompter::Confirm(const QString& text) {
  return Show(parent_, QMessageBox::Question, text, QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
}

void BoxPrompter::Error(const QString& text) {
  ErrorReport::Show(text);
}

void BoxPrompter::Beep() {
  QApplication::beep();
}
