#pragma once

#include <QByteArrayView>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/midi/MidiDevice.h"

// Where the parser's units go, in stream order.
class WireSink {
 public:
  virtual ~WireSink() = default;
  virtual void Frame(ShortMessage message) = 0;  // PlayRemote
  virtual void Line(QByteArrayView line) = 0;    // HandleLine; the bytes without the CR
};

// Cuts the received byte stream into MIDI frames (0xFF and three bytes) and Shift-JIS text lines
// ended by CR. Bytes in, units out, no I/O: the state lasts across blocks for the whole run, so a
// unit split across any number of blocks comes out once and whole. A sink that throws loses the
// rest of its block; the link's sink catches per unit.
class WireParser {
 public:
  static constexpr std::uint8_t kEscape = 0xFF;
  static constexpr std::uint8_t kCr = 0x0D;
  // A peer that never sends CR must not fill the memory: past this many bytes the rest of the
  // line up to its CR is dropped and the line is handed over once, cut. No unit of ours is
  // longer: the port refuses a write beyond its transmit queue (4096 bytes), and modems' lines
  // are short. It also bounds what a chat window of long lines holds.
  static constexpr std::size_t kMaxLine = 4096;

  enum class State { Text, FrameIdle, FrameStatus, FrameData1, FrameData2 };

  void Feed(std::span<const std::uint8_t> block, WireSink& sink);
  // Back to the start state, as for a new line: no half frame, line or lead byte is kept.
  void Reset() { *this = WireParser(); }
  State CurrentState() const;
  std::size_t PendingLineLength() const { return LineBuffer.size(); }
  std::uint8_t LeadByte() const { return LeadBytePending; }

 private:
  void TextByte(std::uint8_t b, WireSink& sink);
  // Bytes that text rule 6 appends as they are: neither escape, CR, NUL, LF nor a lead byte.
  static constexpr bool IsPlain(std::uint8_t b) {
    return (b > 0x0D && b < 0x81) || (b >= 0xA0 && b < 0xE0) || (b > 0x00 && b < 0x0A) || b == 0x0B ||
           b == 0x0C;
  }
  void AppendRun(const std::uint8_t* from, const std::uint8_t* to) {
    const std::size_t room = truncated_ ? 0 : kMaxLine - LineBuffer.size();
    const std::size_t n = static_cast<std::size_t>(to - from);
    LineBuffer.append(reinterpret_cast<const char*>(from), std::min(n, room));
    if (n > room) truncated_ = true;
  }
  void Append(std::uint8_t b) {
    if (!truncated_ && LineBuffer.size() < kMaxLine) {
      LineBuffer.push_back(static_cast<char>(b));
    } else {
      truncated_ = true;
    }
  }

  bool MidiMode = false;
  int FrameState = 0;
  ShortMessage FrameValue = 0;
  std::string LineBuffer;
  std::uint8_t LeadBytePending = 0;
  bool truncated_ = false;  // the current line reached kMaxLine
  std::string handed_;      // the line being handed over, so LineBuffer is free again first
};
