#pragma once

#include "controls/TrackBarBase.h"

// Horizontal slider, Max at the right end. 43 × 13 with a 10-pixel thumb as built; the groove's
// thickness follows CWidth. Any mouse button can drag the thumb.
class TMyTrackBar : public TrackBarBase {
  Q_OBJECT

 public:
  static constexpr QSize kSize{43, 13};
  static constexpr int kDefaultSWidth = 10;

  explicit TMyTrackBar(QWidget* parent = nullptr);

 protected:
  void DrawGrooveAndThumb(QPainter& painter) const override;
};
