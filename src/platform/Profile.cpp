#include "platform/Profile.h"

#include <QFile>
#include <QSaveFile>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/ShiftJis.h"

namespace {

using Lines = std::vector<QByteArray>;

constexpr mode_t kPrivateMode = 0600;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

QByteArray TrimBlanks(QByteArrayView bytes) {
  qsizetype begin = 0;
  qsizetype end = bytes.size();
  while (begin < end && IsBlank(bytes[begin])) ++begin;
  while (end > begin && IsBlank(bytes[end - 1])) --end;
  return bytes.sliced(begin, end - begin).toByteArray();
}

// Position of the first `wanted` that stands as a character of its own: the second byte of a
// double-byte character may have the value of '[', ']' or '\', and never counts.
qsizetype FindSingleByte(QByteArrayView bytes, char wanted) {
  for (qsizetype i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == wanted) return i;
    if (ShiftJis::IsLeadByte(static_cast<std::uint8_t>(bytes[i]))) ++i;
  }
  return -1;
}

Lines SplitLines(const QByteArray& contents) {
  Lines lines;
  if (contents.isEmpty()) return lines;
  for (QByteArray& line : contents.split('\n')) {
    if (line.endsWith('\r')) line.chop(1);
    lines.push_back(std::move(line));
  }
  // A file that ends with a line break does not have an empty last line.
  if (contents.endsWith('\n')) lines.pop_back();
  return lines;
}

QByteArray JoinLines(const Lines& lines) {
  QByteArray out;
  for (const QByteArray& line : lines) {
    out += line;
    out += "\r\n";
  }
  return out;
}

// The name of a "[section]" line, or nothing for any other line.
std::optional<QByteArray> SectionName(const QByteArray& line) {
  const QByteArray trimmed = TrimBlanks(line);
  if (!trimmed.startsWith('[')) return std::nullopt;
  const QByteArrayView inner = QByteArrayView(trimmed).sliced(1);
  const qsizetype close = FindSingleByte(inner, ']');
  return TrimBlanks(close < 0 ? inner : inner.first(close));
}

struct KeyLine {
  QByteArray key;
  QByteArray value;
};

std::optional<KeyLine> ParseKeyLine(const QByteArray& line) {
  const QByteArray trimmed = TrimBlanks(line);
  if (trimmed.startsWith(';')) return std::nullopt;  // a comment
  const qsizetype equals = FindSingleByte(trimmed, '=');
  if (equals < 0) return std::nullopt;
  KeyLine result{TrimBlanks(QByteArrayView(trimmed).first(equals)),
                 TrimBlanks(QByteArrayView(trimmed).sliced(equals + 1))};
  const QByteArray& v = result.value;
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    result.value = v.sliced(1, v.size() - 2);
  }
  return result;
}

bool SameName(const QByteArray& a, const QByteArray& b) {
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Where a section's lines are: the header line and one past its last line.
struct SectionSpan {
  std::size_t header;
  std::size_t end;
};

std::optional<SectionSpan> FindSection(const Lines& lines, const QByteArray& section) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto name = SectionName(lines[i]);
    if (!name || !SameName(*name, section)) continue;
    std::size_t end = i + 1;
    while (end < lines.size() && !SectionName(lines[end])) ++end;
    return SectionSpan{i, end};
  }
  return std::nullopt;
}

std::optional<std::size_t> FindKey(const Lines& lines, const SectionSpan& span, const QByteArray& key) {
  for (std::size_t i = span.header + 1; i < span.end; ++i) {
    const auto parsed = ParseKeyLine(lines[i]);
    if (parsed && SameName(parsed->key, key)) return i;
  }
  return std::nullopt;
}

// The bytes that read back as `value`: blanks at either end, or a value that itself looks
// quoted, would be lost on reading, so such a value is written inside double quotes.
QByteArray EncodeValue(const QString& value) {
  const QByteArray bytes = ShiftJis::Encode(value);
  if (bytes.isEmpty()) return bytes;
  const bool blankAtEnd = IsBlank(bytes.front()) || IsBlank(bytes.back());
  const bool looksQuoted =
      bytes.size() >= 2 && (bytes.front() == '"' || bytes.front() == '\'') && bytes.back() == bytes.front();
  return (blankAtEnd || looksQuoted) ? '"' + bytes + '"' : bytes;
}

void CheckName(const QString& path, const QString& what, const QString& name, const char* forbidden) {
  bool bad = name.trimmed().isEmpty();
  for (const char* c = forbidden; *c && !bad; ++c) bad = name.contains(QLatin1Char(*c));
  if (bad) {
    throw ProfileError(QStringLiteral("設定ファイル %1 に使えない%2です: \"%3\"").arg(path, what, name));
  }
}

}  // namespace

std::optional<int> Profile::ParseInt(const QString& text) {
  const QByteArray bytes = TrimBlanks(text.toLatin1());
  if (bytes.isEmpty()) return std::nullopt;
  const bool hex = bytes.size() > 2 && bytes[0] == '0' && (bytes[1] == 'x' || bytes[1] == 'X');
  qsizetype i = hex ? 2 : 0;
  bool negative = false;
  if (!hex && (bytes[0] == '+' || bytes[0] == '-')) {
    negative = bytes[0] == '-';
    ++i;
  }
  if (i >= bytes.size()) return std::nullopt;
  const int base = hex ? 16 : 10;
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(std::numeric_limits<int>::min())
                                      : std::numeric_limits<int>::max();
  std::int64_t value = 0;
  for (; i < bytes.size(); ++i) {
    const char c = bytes[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > limit) return std::nullopt;
  }
  return static_cast<int>(negative ? -value : value);
}

QByteArray Profile::Load() const {
  QFile file(path_);
  if (!file.exists()) return {};
  if (!file.open(QIODevice::ReadOnly)) {
    throw ProfileError(
        QStringLiteral("設定ファイル %1 を読み込めません。(%2)").arg(path_, file.errorString()));
  }
  return file.readAll();
}

std::optional<QString> Profile::Read(const QString& section, const QString& key) const {
  QByteArray contents;
  try {
    contents = Load();
  } catch (const ProfileError&) {
    // Reading follows the profile functions: a file that cannot be read has no keys. Writing
    // such a file reports the problem.
    return std::nullopt;
  }
  const Lines lines = SplitLines(contents);
  const auto span = FindSection(lines, ShiftJis::Encode(section));
  if (!span) return std::nullopt;
  const auto at = FindKey(lines, *span, ShiftJis::Encode(key));
  if (!at) return std::nullopt;
  return ShiftJis::Decode(ParseKeyLine(lines[*at])->value);
}

QString Profile::ReadString(const QString& section, const QString& key, const QString& fallback) const {
  return Read(section, key).value_or(fallback);
}

int Profile::ReadInt(const QString& section, const QString& key, int fallback) const {
  const auto text = Read(section, key);
  if (!text) return fallback;
  return ParseInt(*text).value_or(fallback);
}

bool Profile::ReadBool(const QString& section, const QString& key, bool fallback) const {
  return ReadInt(section, key, fallback ? 1 : 0) != 0;
}

void Profile::WriteString(const QString& section, const QString& key, const QString& value) {
  if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r'))) {
    throw ProfileError(
        QStringLiteral("設定ファイル %1 に改行を含む値は書き込めません: [%2] %3").arg(path_, section, key));
  }
  Update(section, key, value);
}

void Profile::WriteInt(const QString& section, const QString& key, int value) {
  Update(section, key, QString::number(value));
}

void Profile::WriteBool(const QString& section, const QString& key, bool value) {
  WriteInt(section, key, value ? 1 : 0);
}

void Profile::DeleteKey(const QString& section, const QString& key) {
  Update(section, key, std::nullopt);
}

void Profile::Update(const QString& section, const QString& key, const std::optional<QString>& value) {
  CheckName(path_, QStringLiteral("セクション名"), section, "[]\r\n");
  CheckName(path_, QStringLiteral("キー名"), key, "=;[\r\n");
  const QByteArray sectionBytes = ShiftJis::Encode(section);
  const QByteArray keyBytes = ShiftJis::Encode(key);

  Lines lines = SplitLines(Load());
  const auto span = FindSection(lines, sectionBytes);
  const std::optional<QByteArray> newLine =
      value ? std::optional(keyBytes + '=' + EncodeValue(*value)) : std::nullopt;

  if (!span) {
    if (!newLine) return;
    lines.push_back('[' + sectionBytes + ']');
    lines.push_back(*newLine);
  } else if (const auto at = FindKey(lines, *span, keyBytes)) {
    if (newLine) {
      // The key keeps its spelling in the file; only the value changes.
      const QByteArray replaced = ParseKeyLine(lines[*at])->key + '=' + EncodeValue(*value);
      if (lines[*at] == replaced) return;
      lines[*at] = replaced;
    } else {
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*at));
    }
  } else {
    if (!newLine) return;
    // After the section's last non-blank line, so blank lines keep separating the sections.
    std::size_t insertAt = span->end;
    while (insertAt > span->header + 1 && TrimBlanks(lines[insertAt - 1]).isEmpty()) --insertAt;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), *newLine);
  }
  Replace(JoinLines(lines));
}

void Profile::MakePrivate() {
  private_ = true;
  const QByteArray name = QFile::encodeName(path_);
  struct stat st {};
  if (::stat(name.constData(), &st) != 0) return;  // not there yet: its first write makes it private
  if ((st.st_mode & 0777) == kPrivateMode) return;
  if (::chmod(name.constData(), kPrivateMode) != 0) {
    throw ProfileError(QStringLiteral("設定ファイル %1 を本人以外が読めないようにできませんでした。(%2)")
                           .arg(path_, QString::fromLocal8Bit(std::strerror(errno))));
  }
}

void Profile::Replace(const QByteArray& contents) {
  QSaveFile file(path_);
  // Replaced whole where the folder lets us make the new file beside it; a file that is
  // writable in a folder that is not is written in place instead.
  file.setDirectWriteFallback(true);
  auto fail = [&](const QString& reason) {
    file.cancelWriting();
    throw ProfileError(QStringLiteral("設定ファイル %1 に書き込めませんでした。(%2) ファイルは元のままです。")
                           .arg(path_, reason));
  };
  // Unbuffered, so that a refused write shows at the write itself: with a buffer, the error
  // arises only while closing, and commit() was seen to miss it.
  if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) fail(file.errorString());
  // Narrowed before the first byte: the secret is never in a file others could read.
  if (private_ && ::fchmod(file.handle(), kPrivateMode) != 0) fail(QString::fromLocal8Bit(std::strerror(errno)));
  if (file.write(contents) != contents.size()) fail(file.errorString());
  if (!file.flush() || file.error() != QFileDevice::NoError) fail(file.errorString());
  if (!file.commit()) fail(file.errorString());
}
