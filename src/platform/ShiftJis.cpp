#include "platform/ShiftJis.h"

#include <iconv.h>
#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>

namespace {

// One iconv descriptor per conversion call: conversions are short, and a descriptor kept
// between calls would need a lock since the serial watcher and the windows both convert.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
    }
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts as much as it can; returns the number of input bytes left unconverted at the
  // first invalid or incomplete sequence.
  std::size_t Run(const char*& in, std::size_t& inLeft, std::string& out) {
    char buffer[1024];
    while (inLeft > 0) {
      char* outPtr = buffer;
      std::size_t outLeft = sizeof buffer;
      std::size_t rc = iconv(cd_, const_cast<char**>(&in), &inLeft, &outPtr, &outLeft);
      out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
      if (rc != static_cast<std::size_t>(-1)) break;
      if (errno == E2BIG) continue;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // reset the shift state
      return inLeft;
    }
    return 0;
  }

 private:
  iconv_t cd_;
};

std::size_t Utf8SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

}  // namespace

namespace ShiftJis {

QByteArray Encode(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  Converter conv("CP932", "UTF-8");
  std::string out;
  out.reserve(static_cast<std::size_t>(utf8.size()));
  const char* in = utf8.constData();
  std::size_t left = static_cast<std::size_t>(utf8.size());
  while (conv.Run(in, left, out) > 0) {
    out.push_back('?');
    std::size_t skip = std::min(left, Utf8SequenceLength(static_cast<unsigned char>(*in)));
    in += skip;
    left -= skip;
  }
  return QByteArray(out.data(), static_cast<qsizetype>(out.size()));
}

QString Decode(QByteArrayView bytes) {
  Converter conv("UTF-8", "CP932");
  std::string out;
  out.reserve(static_cast<std::size_t>(bytes.size()) * 2);
  const char* in = bytes.data();
  std::size_t left = static_cast<std::size_t>(bytes.size());
  while (conv.Run(in, left, out) > 0) {
    out.append("\xEF\xBF\xBD");  // U+FFFD
    ++in;
    --left;
  }
  return QString::fromUtf8(out.data(), static_cast<qsizetype>(out.size()));
}

}  // namespace ShiftJis
