#pragma once

#include "controls/TrackBarBase.h"

// Vertical slider, Max at the top. 19 × 97 with a 14-pixel thumb as built; the groove is always
// 2 pixels wide (CWidth is kept but not drawn). A press while the right button is held is ignored.
class TMyTrackBarV : public TrackBarBase {
  Q_OBJECT

 public:
  static constexpr QSize kSize{19, 97};
  static constexpr int kDefaultSWidth = 14;

  explicit TMyTrackBarV(QWidget* parent = nullptr);

 protected:
  void DrawGrooveAndThumb(QPainter& painter) const override;
};
