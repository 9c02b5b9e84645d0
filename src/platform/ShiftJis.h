#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <cstdint>

// Code page 932 (Shift-JIS as Windows writes it) is the program's byte form of text: the
// serial line, the settings file, the log and the tone files carry it. Windows work in
// QString; this is the only place that converts between the two.
namespace ShiftJis {

// Characters that CP932 cannot hold become '?'.
QByteArray Encode(const QString& text);

// Bytes that do not form a CP932 character become U+FFFD, one per bad byte; nothing is lost
// silently and nothing stops the conversion.
QString Decode(QByteArrayView bytes);

// The lead bytes of CP932's double-byte characters (0x81-0x9F and 0xE0-0xFC).
constexpr bool IsLeadByte(std::uint8_t byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

}  // namespace ShiftJis
