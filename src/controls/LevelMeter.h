#pragma once

#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include "controls/PixelArt.h"

// A 23-segment bar in a liquid-crystal look. A written level lights the bar at the next tick;
// the bar then falls by one segment per tick of a timer of period DownWait until it is empty,
// and the timer stops, so an idle meter costs nothing. Value may be written from any thread (the
// peer's notes): a write from another thread is queued to the UI thread in order; everything
// else is UI thread only.
class TLevelMeter : public QWidget {
  Q_OBJECT
  Q_PROPERTY(int DownWait READ DownWait WRITE SetDownWait)
  Q_PROPERTY(int Max READ Max WRITE SetMax)
  Q_PROPERTY(int Min READ Min WRITE SetMin)
  Q_PROPERTY(int Value READ Value WRITE SetValue)

 public:
  static constexpr QSize kSize{15, 97};
  static constexpr int kSegments = 23;
  // Past the last drawn state: the fall has finished and the next tick stops the timer.
  static constexpr int kFallen = kSegments + 1;
  static constexpr int kDefaultDownWait = 20;

  explicit TLevelMeter(QWidget* parent = nullptr);

  // Fall timer period in milliseconds; takes effect at the next fall.
  int DownWait() const { return downWait_; }
  void SetDownWait(int milliseconds);
  int Max() const { return max_; }
  void SetMax(int max);
  int Min() const { return min_; }
  void SetMin(int min);
  int Value() const { return value_; }
  // Raises the bar to the level if it is at or above the falling bar; a lower level is ignored.
  void SetValue(int value);

  // Dark segments counted from the top for the next tick (kFallen once the bar is empty).
  int DarkCount() const { return darkCount_; }
  // Dark segments as the last tick drew them; what a paint shows.
  int ShownDarkCount() const { return shownDarkCount_; }
  bool Falling() const { return fallTimer_.isActive(); }

  // The meter as it looks now, drawn at the given device pixel ratio.
  QPixmap Picture(qreal ratio) const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Tick();
  void DrawSegments(QPainter& painter, qreal ratio) const;
  void DrawFrame(QPainter& painter, qreal ratio) const;

  int downWait_ = kDefaultDownWait;
  int max_ = 127;
  int min_ = 0;
  int value_ = 0;
  int darkCount_ = kSegments;
  int shownDarkCount_ = kSegments;
  QTimer fallTimer_;
  // Caches of static pictures, filled on first use at each device pixel ratio.
  mutable pixel::RatioCache meterPicture_;
  mutable pixel::RatioCache frame_;  // end caps and sunken frame, which ticks leave alone
};
