#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "modem/PortMap.h"

namespace modem {

// A line of the modem's own as a program reads it (UTF-8): cut to the chat window's width,
// each piece a line of its own.
inline std::string Said(std::string_view text) {
  std::string out;
  for (const QString& piece : ChatLines(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())))) {
    if (!out.empty()) out += "\r\n\r\n";
    out += piece.toStdString();
  }
  return out;
}

}  // namespace modem
