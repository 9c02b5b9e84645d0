#include "settings/SerialDevices.h"

#include <QDir>
#include <algorithm>

namespace {

QStringList Matching(const QString& dir, const QString& pattern) {
  QStringList names = QDir(dir).entryList({pattern}, QDir::System | QDir::Files | QDir::NoDotAndDotDot);
  // Shorter names first keeps ttyUSB2 ahead of ttyUSB10 within one kind.
  std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  QStringList paths;
  for (const QString& name : names) paths << QDir(dir).filePath(name);
  return paths;
}

}  // namespace

QStringList FindSerialDevices(const QString& devDir) {
  return Matching(devDir, QStringLiteral("ttyUSB*")) + Matching(devDir, QStringLiteral("ttyACM*")) +
         Matching(devDir + QStringLiteral("/serial/by-id"), QStringLiteral("*"));
}
