#include "controls/LcdPictures.h"

#include <QPainter>

#include "controls/PixelArt.h"

namespace lcd {

void DrawMeter(QPainter& painter) {
  const auto segment = [&painter](int top, const QColor& face) {
    pixel::Fill(painter, 0, top, 13, top + 4, kGround);
    pixel::Fill(painter, 1, top, 12, top + 3, face);
  };
  segment(kDarkSegment.top(), kUnlit);
  segment(kLitSegment.top(), kLit);
  pixel::Fill(painter, 0, kEndCap.top(), 13, kEndCap.top() + kEndCap.height(), kGround);
}

void DrawNumbers(QPainter& painter) {
  pixel::Fill(painter, 0, 0, kNumberSize.width(), kNumberSize.height(), kGround);
  for (int digit = 0; digit < 10; ++digit) {
    for (std::size_t s = 0; s < kSegments.size(); ++s) {
      const bool lit = (kDigitSegments[digit] >> s) & 1U;
      painter.fillRect(kSegments[s].translated(digit * kDigitPitch, 0), lit ? kLit : kUnlit);
    }
  }
}

}  // namespace lcd
