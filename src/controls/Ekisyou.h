#pragma once

#include <QPixmap>
#include <QWidget>

#include "controls/PixelArt.h"

// A liquid-crystal number display with a fixed number of seven-segment digits. Every position
// shows a digit: leading zeros are drawn and digits beyond the width are dropped (1234 on three
// digits shows 234). Value may be written from any thread (the peer's program changes): a write
// from another thread is queued to the UI thread in order; everything else is UI thread only.
class TEkisyou : public QWidget {
  Q_OBJECT
  Q_PROPERTY(int FigureNum READ FigureNum WRITE SetFigureNum)
  Q_PROPERTY(int Value READ Value WRITE SetValue)

 public:
  static constexpr int kHeight = 21;
  static constexpr int kMinFigures = 1;
  static constexpr int kMaxFigures = 5;
  static constexpr int kDefaultFigures = 5;
  static constexpr int WidthFor(int figures) { return 11 * figures + 4; }

  explicit TEkisyou(QWidget* parent = nullptr);

  // Number of digits, 1..5; the width follows.
  int FigureNum() const { return figureNum_; }
  void SetFigureNum(int figures);
  // Never negative; the display is redrawn at once.
  int Value() const { return value_; }
  void SetValue(int value);

  // The display as it looks now, drawn at the given device pixel ratio.
  QPixmap Picture(qreal ratio) const;

 Q_SIGNALS:
  // A left-button click on the display. A double click is one click: its second press starts
  // none, so a handler that toggles something is not undone by it.
  void OnClick();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  void Draw(QPainter& painter, qreal ratio) const;

  int figureNum_ = kDefaultFigures;
  int value_ = 0;
  bool clickStarted_ = false;
  mutable pixel::RatioCache numbers_;  // the digit strip, per device pixel ratio
};
