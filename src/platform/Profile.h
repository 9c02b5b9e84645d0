#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

#include "platform/UserError.h"

// A settings write failed; the file still holds what it held before the write.
class ProfileError : public UserError {
 public:
  using UserError::UserError;
};

// An INI file read and written key by key, the way the Windows profile functions do it, so a
// file carried between a Windows machine and this one reads the same on both: "[section]"
// lines, "key=value" lines, Shift-JIS text, CR LF line ends. Section and key names compare
// without regard to ASCII case; blanks around names and values are not part of them, and a
// value enclosed in matching quotes loses the quotes.
//
// Nothing is cached: every read parses the file as it is on disk, and every write replaces the
// whole file atomically (a complete new file is written beside it, then renamed over it), so a
// crash or a full disk in the middle of a write leaves the old file whole.
class Profile {
 public:
  explicit Profile(QString path) : path_(std::move(path)) {}

  const QString& Path() const { return path_; }

  // The value as it stands in the file, or nothing when the key (or the file) is missing.
  std::optional<QString> Read(const QString& section, const QString& key) const;
  QString ReadString(const QString& section, const QString& key, const QString& fallback) const;
  // Decimal, or hexadecimal with a "0x"/"0X" prefix; a missing key, text that is not a number
  // or a number beyond 32 bits gives the fallback.
  int ReadInt(const QString& section, const QString& key, int fallback) const;
  // Any integer other than 0 is true; missing or not a number gives the fallback.
  bool ReadBool(const QString& section, const QString& key, bool fallback) const;

  // Each throws ProfileError when the file cannot be read or replaced; the file is unchanged
  // then. A new section goes to the end of the file, a new key to the end of its section.
  void WriteString(const QString& section, const QString& key, const QString& value);
  void WriteInt(const QString& section, const QString& key, int value);
  void WriteBool(const QString& section, const QString& key, bool value);
  // Removes the key; nothing happens when it is not there.
  void DeleteKey(const QString& section, const QString& key);

  // From now on the file is readable and writable by its owner alone (mode 0600): an existing
  // file with a wider mode is narrowed at once, and every later write keeps it so. For a file
  // that holds a secret. Throws ProfileError when an existing file cannot be narrowed.
  void MakePrivate();
  bool IsPrivate() const { return private_; }

  // The integer rules of ReadInt applied to a text, for values that arrive by other ways.
  static std::optional<int> ParseInt(const QString& text);

 private:
  // Reads the file's bytes; a missing file is empty. Throws ProfileError if it exists but
  // cannot be read.
  QByteArray Load() const;
  void Replace(const QByteArray& contents);
  void Update(const QString& section, const QString& key, const std::optional<QString>& value);

  QString path_;
  bool private_ = false;
};
