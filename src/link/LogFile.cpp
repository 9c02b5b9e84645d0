#include "link/LogFile.h"

#include <QDir>

#include "platform/UserError.h"

QString LogFile::FileName(QDate day) {
  return day.toString(QStringLiteral("yyMMdd")) + QStringLiteral(".log");
}

void LogFile::Open(const QString& folder, QDate day) {
  Close();
  file_.setFileName(QDir(folder).filePath(FileName(day)));
  if (!file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
    const QString reason = file_.errorString();
    throw UserError(QStringLiteral("ログファイル %1 を開けません: %2").arg(file_.fileName(), reason));
  }
}

void LogFile::Close() {
  if (file_.isOpen()) file_.close();
}

QByteArray LogFile::Printable(QByteArrayView line) {
  constexpr char kTab = 0x09;
  constexpr char kDel = 0x7F;
  QByteArray out;
  out.reserve(line.size());
  for (const char c : line) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && c != kTab) || c == kDel) {
      out.append('^');
      out.append(static_cast<char>(b ^ 0x40));  // 0x1B -> '[', 0x7F -> '?'
    } else {
      out.append(c);
    }
  }
  return out;
}

bool LogFile::WriteLine(QByteArrayView line) {
  if (!file_.isOpen()) return true;
  QByteArray unit = Printable(line);
  unit.append("\r\n", 2);
  // Unbuffered: one write() per line, so lines never interleave and none waits in a buffer.
  return file_.write(unit) == unit.size();
}

QString LogFile::WriteFailure() const {
  return QStringLiteral("ログファイル %1 に書き込めません: %2").arg(file_.fileName(), file_.errorString());
}
