#include "link/WireParser.h"

#include "platform/ShiftJis.h"

WireParser::State WireParser::CurrentState() const {
  if (!MidiMode) return State::Text;
  switch (FrameState) {
    case 0: return State::FrameIdle;
    case 1: return State::FrameStatus;
    case 2: return State::FrameData1;
    default: return State::FrameData2;
  }
}

void WireParser::Feed(std::span<const std::uint8_t> block, WireSink& sink) {
  const std::uint8_t* p = block.data();
  const std::uint8_t* const end = p + block.size();
  while (p != end) {
    if (!MidiMode && LeadBytePending == 0 && IsPlain(*p)) {
      // A run of single-byte characters goes into the line in one append.
      const std::uint8_t* run = p;
      while (p != end && IsPlain(*p)) ++p;
      AppendRun(run, p);
      continue;
    }
    const std::uint8_t b = *p++;
    if (MidiMode) {
      switch (FrameState) {
        case 0:
          if (b == kEscape) {
            FrameState = 1;
            continue;
          }
          MidiMode = false;  // the byte is text; fall through to the text step
          break;
        case 1:
          FrameValue = b;
          FrameState = 2;
          continue;
        case 2:
          FrameValue += static_cast<ShortMessage>(b) << 8;
          FrameState = 3;
          continue;
        default:
          FrameValue += static_cast<ShortMessage>(b) << 16;
          FrameState = 0;
          sink.Frame(FrameValue);
          continue;
      }
    }
    TextByte(b, sink);
  }
}

void WireParser::TextByte(std::uint8_t b, WireSink& sink) {
  if (b == kEscape) {
    MidiMode = true;
    FrameState = 1;
  } else if (LeadBytePending != 0) {
    Append(b);  // the trail byte, whatever it is
    LeadBytePending = 0;
  } else if (ShiftJis::IsLeadByte(b)) {
    // A double-byte character that no longer fits whole is dropped whole.
    if (LineBuffer.size() + 2 > kMaxLine) truncated_ = true;
    Append(b);
    LeadBytePending = b;
  } else if (b == kCr) {
    handed_.swap(LineBuffer);
    LineBuffer.clear();
    LeadBytePending = 0;
    truncated_ = false;
    sink.Line(QByteArrayView(handed_.data(), static_cast<qsizetype>(handed_.size())));
  } else if (b == 0x00 || b == 0x0A) {
    // Modems end lines with CR LF; NUL is line noise.
  } else {
    Append(b);
    LeadBytePending = 0;
  }
}
