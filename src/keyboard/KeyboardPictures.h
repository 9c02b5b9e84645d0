#pragma once

#include <QPixmap>

// Every picture of the keyboard window, drawn in code at its logical size times the device
// pixel ratio it is made for. Built once per ratio by the window and kept while it lasts.
namespace keyboard {

class KeyboardPictures {
 public:
  explicit KeyboardPictures(qreal devicePixelRatio);

  qreal DevicePixelRatio() const { return ratio_; }

  // The hardware panel: sizes are those of the window's layout.
  QPixmap keyboard;      // KeyboardImage, 432 x 66
  QPixmap panel1;        // PANEL1, 164 x 47, switched off
  QPixmap panel2;        // PANEL2, 164 x 47, half lit
  QPixmap panel3;        // PANEL3, 164 x 64, lit with its printing, glyph strip below
  QPixmap powerReleased[2];  // Image1 with the lamp dark / lit, 27 x 18
  QPixmap powerPressed[2];   // Image2 with the lamp dark / lit
  QPixmap downHigh, downLow, upHigh, upLow;          // 17 x 13
  QPixmap zeroHigh, zeroLow, twoHigh, twoLow;        // 13 x 13
  QPixmap twelveHigh, twelveLow;                     // 17 x 13
  QPixmap wheelBack;     // 13 x 97
  QPixmap wheelKnob;     // 11 x 15
  QPixmap portaBack;     // 43 x 13
  QPixmap portaKnob;     // 9 x 11
  QPixmap shiftLines;    // Image3, 19 x 50
  QPixmap rightLines;    // Image4, 20 x 50
  QPixmap logo;          // GmMarkImage, 27 x 17
  QPixmap marker;        // MarkerImage, 5 x 3
  QPixmap bevel;         // Bevel1, 166 x 49, the frame only

 private:
  qreal ratio_;
};

}  // namespace keyboard
