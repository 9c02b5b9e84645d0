#pragma once

#include <QPixmap>
#include <QWidget>

// A two-half spin button: the upper half steps Value up, the lower half down, one step per
// click on release, with no auto-repeat and no wrap-around. It does not show its value.
// OnChange reports the user's steps only; property writes neither repaint nor notify.
// Value may be written from any thread (the peer's program changes): a write from another
// thread is queued to the UI thread in order; everything else is UI thread only.
class TUpDownButton : public QWidget {
  Q_OBJECT
  Q_PROPERTY(int Min READ Min WRITE SetMin)
  Q_PROPERTY(int Max READ Max WRITE SetMax)
  Q_PROPERTY(int Value READ Value WRITE SetValue)

 public:
  static constexpr QSize kSize{15, 21};

  explicit TUpDownButton(QWidget* parent = nullptr);

  int Min() const { return min_; }
  void SetMin(int min);  // raises Value to the new Min if needed
  int Max() const { return max_; }
  void SetMax(int max);  // lowers Value to the new Max if needed
  int Value() const { return value_; }
  void SetValue(int value);

  bool UpPressed() const { return upPressed_; }
  bool DownPressed() const { return downPressed_; }

  // The button as it looks now, drawn at the given device pixel ratio. The halves' faces show
  // the widget's background colour.
  QPixmap Picture(qreal ratio) const;

 Q_SIGNALS:
  // After a click has stepped Value.
  void OnChange();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  int Divider() const { return height() / 2; }
  bool InUpZone(QPoint at) const;
  bool InDownZone(QPoint at) const;
  void PointerAt(QPoint at);

  int min_ = 0;
  int max_ = 100;
  int value_ = 0;
  bool upPressed_ = false;
  bool downPressed_ = false;
};
