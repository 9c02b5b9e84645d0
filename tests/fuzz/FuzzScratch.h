#pragma once

// A folder of the fuzzing process's own for readers that take a path. It lies in /dev/shm where
// there is one, so the many small writes (and the syncs a safe save makes) stay in memory.
#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

class FuzzScratch {
 public:
  FuzzScratch()
      : dir_((QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath()) +
             QStringLiteral("/sonavel-fuzz-XXXXXX")) {
    if (!dir_.isValid()) std::abort();
  }

  QString Path(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }

  // Replaces the file with the bytes: a plain write, no sync.
  static void Put(const QString& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!f || (size && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) std::abort();
  }

 private:
  QTemporaryDir dir_;
};
