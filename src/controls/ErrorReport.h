#pragma once

#include <QString>

// The program's error report: a message box with the message, as plain text (a message may carry
// a file name or what the peer sent). Used for exceptions that leave a handler and for errors
// handed over from other threads.
namespace ErrorReport {

void Show(const QString& message);

}  // namespace ErrorReport
