#pragma once

#include <QString>
#include <exception>
#include <stdexcept>

// An error whose message is meant for the user: the application's error report shows it in a
// message box as it stands. The text is kept as UTF-8 in what().
class UserError : public std::runtime_error {
 public:
  explicit UserError(const QString& message) : std::runtime_error(message.toStdString()) {}
  QString Message() const { return QString::fromUtf8(what()); }
};

// The text an error boundary reports for a caught exception.
inline QString ErrorText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const UserError& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  } catch (...) {
    return QStringLiteral("不明なエラー");
  }
}
