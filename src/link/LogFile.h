#pragma once

#include <QByteArrayView>
#include <QDate>
#include <QFile>
#include <QString>

// The log of the text that passed over the line: one file per start day ("yyMMdd.log"),
// appended, a whole line (bytes + CR LF) per write, each line handed to the system at once so
// that a crash loses nothing already logged.
class LogFile {
 public:
  static QString FileName(QDate day);

  // Throws UserError with the file's name and the reason when it cannot be opened.
  void Open(const QString& folder, QDate day);
  void Close();
  bool IsOpen() const { return file_.isOpen(); }
  QString Path() const { return file_.fileName(); }
  // false when the line did not reach the file (a full disk, a removed medium). The line is
  // written in its Printable form.
  bool WriteLine(QByteArrayView line);
  // The line as the log holds it: each C0 control but tab, and DEL, in caret form ("^[" for
  // ESC, "^M" for CR, "^?" for DEL), as `cat -v` shows them, so that reading the log in a
  // terminal runs nothing the peer sent. Every other byte stays: Shift-JIS text, trail bytes
  // included, never holds one of these.
  static QByteArray Printable(QByteArrayView line);
  QString WriteFailure() const;

 private:
  QFile file_;
};
