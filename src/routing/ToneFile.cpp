#include "routing/ToneFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <optional>

namespace ToneFile {
namespace {

constexpr int kMaxChannel = kMidiChannels - 1;
constexpr int kMaxValue = 127;

QString Prefix(const QString& fileName) {
  return fileName.isEmpty() ? QStringLiteral("音色ファイル")
                            : QStringLiteral("音色ファイル %1").arg(QFileInfo(fileName).fileName());
}

// Reads whitespace-separated signed decimal integers, counting lines for the messages.
class Reader {
 public:
  Reader(const QByteArray& text, const QString& fileName) : text_(text), fileName_(fileName) {}

  // The next value, or nothing at the end of the text.
  std::optional<long long> Next(int& lineOut) {
    SkipBlanks();
    if (pos_ >= text_.size()) return std::nullopt;
    lineOut = line_;
    const qsizetype start = pos_;
    if (text_[pos_] == '-' || text_[pos_] == '+') ++pos_;
    const qsizetype digitsStart = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    const bool ended = pos_ >= text_.size() || IsBlank(text_[pos_]);
    if (pos_ == digitsStart || !ended || pos_ - digitsStart > 12) {
      qsizetype end = pos_;
      while (end < text_.size() && !IsBlank(text_[end])) ++end;
      const QString word = QString::fromLatin1(text_.mid(start, std::min<qsizetype>(end - start, 20)));
      throw Error(QStringLiteral("%1 の %2 行目が数値ではありません: \"%3\"")
                      .arg(Prefix(fileName_))
                      .arg(line_)
                      .arg(word));
    }
    return text_.mid(start, pos_ - start).toLongLong();
  }

  void SkipRestOfLine() {
    while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
    if (pos_ < text_.size()) {
      ++pos_;
      ++line_;
    }
  }

 private:
  static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  void SkipBlanks() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) {
      if (text_[pos_] == '\n') ++line_;
      ++pos_;
    }
  }

  const QByteArray& text_;
  const QString& fileName_;
  qsizetype pos_ = 0;
  int line_ = 1;
};

}  // namespace

QByteArray Format(const ToneSetup& setup) {
  QByteArray out;
  auto put = [&out](std::int32_t value) {
    out += QByteArray::number(value);
    out += "\r\n";
  };
  put(setup.localChannel);
  put(setup.remoteChannel);
  const ChannelSettings& c = setup.channels;
  for (int ch = 0; ch < kMidiChannels; ++ch) {
    put(c.program[ch]);
    put(c.pan[ch]);
    put(c.reverb[ch]);
    put(c.chorus[ch]);
    put(c.volume[ch]);
  }
  return out;
}

ToneSetup Parse(const QByteArray& text, const QString& fileName) {
  Reader reader(text, fileName);
  int count = 0;
  auto take = [&](int max) {
    int line = 0;
    const auto value = reader.Next(line);
    if (!value) {
      throw Error(QStringLiteral("%1 は値が %2 個しかありません (%3 個必要です)。")
                      .arg(Prefix(fileName))
                      .arg(count)
                      .arg(kValueCount));
    }
    if (*value < 0 || *value > max) {
      throw Error(QStringLiteral("%1 の %2 行目の値 %3 が範囲 0～%4 の外です。")
                      .arg(Prefix(fileName))
                      .arg(line)
                      .arg(*value)
                      .arg(max));
    }
    ++count;
    return static_cast<std::int32_t>(*value);
  };

  ToneSetup setup;
  setup.localChannel = take(kMaxChannel);
  setup.remoteChannel = take(kMaxChannel);
  ChannelSettings& c = setup.channels;
  for (int ch = 0; ch < kMidiChannels; ++ch) {
    c.program[ch] = take(kMaxValue);
    c.pan[ch] = take(kMaxValue);
    c.reverb[ch] = take(kMaxValue);
    c.chorus[ch] = take(kMaxValue);
    c.volume[ch] = take(kMaxValue);
    reader.SkipRestOfLine();
  }
  return setup;
}

void Write(const QString& path, const ToneSetup& setup) {
  QSaveFile file(path);
  file.setDirectWriteFallback(true);  // a writable file in a folder that is not
  const QByteArray text = Format(setup);
  if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
    throw Error(QStringLiteral("%1 を書き込めませんでした: %2").arg(Prefix(path), file.errorString()));
  }
}

ToneSetup Read(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    throw Error(QStringLiteral("%1 を読み込めませんでした: %2").arg(Prefix(path), file.errorString()));
  }
  // A tone file is under a kilobyte; anything far larger is not one.
  constexpr qint64 kMaxSize = 64 * 1024;
  if (file.size() > kMaxSize) {
    throw Error(QStringLiteral("%1 は音色ファイルではありません (大きすぎます)。").arg(Prefix(path)));
  }
  return Parse(file.readAll(), path);
}

}  // namespace ToneFile
