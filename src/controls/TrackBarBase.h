#pragma once

#include <QPixmap>
#include <QWidget>

class QPainter;

// The design the horizontal and the vertical slider share: a flat, bevelled slider that moves
// only when its thumb is dragged, and follows the pointer's motion rather than its position.
// Writing a property from the program only redraws; OnChange reports the user's drags alone.
// UI thread only.
class TrackBarBase : public QWidget {
  Q_OBJECT
  Q_PROPERTY(int CWidth READ CWidth WRITE SetCWidth)
  Q_PROPERTY(int SWidth READ SWidth WRITE SetSWidth)
  Q_PROPERTY(int Value READ Value WRITE SetValue)
  Q_PROPERTY(int Min READ Min WRITE SetMin)
  Q_PROPERTY(int Max READ Max WRITE SetMax)

 public:
  // Half-thickness of the groove (drawn by the horizontal slider only).
  int CWidth() const { return cWidth_; }
  void SetCWidth(int width);
  // Length of the thumb along the travel axis.
  int SWidth() const { return sWidth_; }
  void SetSWidth(int width);
  int Value() const { return value_; }
  void SetValue(int value);
  int Min() const { return min_; }
  void SetMin(int min);
  int Max() const { return max_; }
  void SetMax(int max);

  // Leading edge of the thumb along the travel axis, and whether a drag is under way.
  int ThumbPos() const { return thumbPos_; }
  bool Dragging() const { return dragging_; }

  // The control as it looks now, drawn at the given device pixel ratio.
  QPixmap Picture(qreal ratio) const;

 Q_SIGNALS:
  // On every move of a drag, also when the value stays the same.
  void OnChange();

 protected:
  enum class Axis { Horizontal, Vertical };
  struct Design {
    Axis axis;
    QSize size;
    int sWidth;
    bool rightButtonDrags;  // whether a press with the right button held may start a drag
    bool repaintAtOnce;     // property writes repaint now rather than on the next paint cycle
  };
  TrackBarBase(const Design& design, QWidget* parent);

  // Groove and thumb over the silver face and sunken frame.
  virtual void DrawGrooveAndThumb(QPainter& painter) const = 0;

  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  int Extent() const;
  int CrossSize() const;
  int TravelCoordinate(const QMouseEvent& event) const;
  int CrossCoordinate(const QMouseEvent& event) const;
  static constexpr int kLow = 1;
  int High() const { return Extent() - sWidth_ - 2; }
  int ValueAt(int thumbPos) const;
  int ThumbPosOf(int value) const;
  void PropertyChanged();

  Design design_;
  int cWidth_ = 1;
  int sWidth_;
  int value_ = 0;
  int min_ = 0;
  int max_ = 127;
  int thumbPos_;
  bool dragging_ = false;
  int lastPos_ = 0;
};
