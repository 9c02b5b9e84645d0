#pragma once

#include <QPixmap>

// Every picture of the keyboard window, drawn in code at its logical size times the device
// pixel ratio it is made for. Built once per ratio by the window and kept while it lasts.
namespace keyboard {

class KeyboardPictures {
 public:
  explicit KeyboardPictures(qreal devicePixelRatio);

  qreal DevicePixelRatio() const { return ratio_; }

  // The sources the window copies from, as the panel's pictures are named.
  QPixmap KeyboardImage;  // 432 x 66
  QPixmap PANEL1;         // 164 x 47, switched off
  QPixmap PANEL2;         // 164 x 47, half lit
  QPixmap PANEL3;         // 164 x 64: lit with its printing, the glyph strip below
  QPixmap Image1[2];      // the power switch released, lamp dark / lit, 27 x 18
  QPixmap Image2[2];      // the power switch pressed, lamp dark / lit
  QPixmap DownHighImage, DownLowImage, UpHighImage, UpLowImage;    // 17 x 13
  QPixmap ZeroHighImage, ZeroLowImage, TwoHighImage, TwoLowImage;  // 13 x 13
  QPixmap TwelveHighImage, TwelveLowImage;                         // 17 x 13
  // The pictures shown in place.
  QPixmap wheelBack;   // PitchBendBackImage, ModulationBackImage: 13 x 97
  QPixmap wheelKnob;   // PitchBendPinchImage, ModulationPinchImage: 11 x 15
  QPixmap portaBack;   // PortaBackImage: 43 x 13
  QPixmap portaKnob;   // PortaPinchImage: 9 x 11
  QPixmap shiftLines;  // Image3: 19 x 50
  QPixmap rightLines;  // Image4: 20 x 50
  QPixmap logo;        // GmMarkImage: 27 x 17
  QPixmap marker;      // MarkerImage: 5 x 3
  QPixmap bevel;       // Bevel1: 166 x 49, the frame only

 private:
  qreal ratio_;
};

}  // namespace keyboard
