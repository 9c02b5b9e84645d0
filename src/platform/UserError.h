#pragma once

#include <QString>
#include <stdexcept>

// An error whose message is meant for the user: the application's error report shows it in a
// message box as it stands. The text is kept as UTF-8 in what().
class UserError : public std::runtime_error {
 public:
  explicit UserError(const QString& message) : std::runtime_error(message.toStdString()) {}
  QString Message() const { return QString::fromUtf8(what()); }
};
