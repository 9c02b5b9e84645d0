#include "controls/TrackBarBase.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "controls/PixelArt.h"

TrackBarBase::TrackBarBase(const Design& design, QWidget* parent)
    : QWidget(parent), design_(design), sWidth_(design.sWidth) {
  setFixedSize(design.size);
  // Value 0 sits at the Min end: the left for the horizontal slider, the bottom for the vertical.
  thumbPos_ = design.axis == Axis::Horizontal ? kLow : High();
}

void TrackBarBase::SetCWidth(int width) {
  cWidth_ = std::min(width <= 0 ? 1 : width, height() - 4);
  PropertyChanged();
}

void TrackBarBase::SetSWidth(int width) {
  // Bounded by the width for both sliders, as it always has been; the thumb is not moved.
  sWidth_ = std::min(width, this->width() - 2);
  PropertyChanged();
}

void TrackBarBase::SetValue(int value) {
  value_ = std::clamp(value, min_, max_);
  thumbPos_ = ThumbPosOf(value_);
  PropertyChanged();
}

void TrackBarBase::SetMin(int min) {
  min_ = std::min(min, max_);
  PropertyChanged();
}

void TrackBarBase::SetMax(int max) {
  max_ = std::max(max, min_);
  PropertyChanged();
}

int TrackBarBase::Extent() const {
  return design_.axis == Axis::Horizontal ? width() : height();
}
int TrackBarBase::CrossSize() const {
  return design_.axis == Axis::Horizontal ? height() : width();
}

int TrackBarBase::TravelCoordinate(const QMouseEvent& event) const {
  const QPointF at = event.position();
  return static_cast<int>(std::floor(design_.axis == Axis::Horizontal ? at.x() : at.y()));
}

int TrackBarBase::CrossCoordinate(const QMouseEvent& event) const {
  const QPointF at = event.position();
  return static_cast<int>(std::floor(design_.axis == Axis::Horizontal ? at.y() : at.x()));
}

// 64-bit arithmetic: a wide Min..Max range times a pixel position would overflow 32 bits.
int TrackBarBase::ValueAt(int thumbPos) const {
  const std::int64_t high = High();
  const std::int64_t p = thumbPos;
  // A thumb too long for its control has no travel; it stands at the low end.
  if (high <= kLow) return design_.axis == Axis::Horizontal ? min_ : max_;
  const std::int64_t lowEndValue = design_.axis == Axis::Horizontal ? min_ : max_;
  const std::int64_t highEndValue = design_.axis == Axis::Horizontal ? max_ : min_;
  return static_cast<int>(((high - p) * lowEndValue + (p - kLow) * highEndValue) / (high - kLow));
}

int TrackBarBase::ThumbPosOf(int value) const {
  if (max_ == min_) return kLow;
  const std::int64_t v = value;
  const std::int64_t minEnd = design_.axis == Axis::Horizontal ? kLow : High();
  const std::int64_t maxEnd = design_.axis == Axis::Horizontal ? High() : kLow;
  return static_cast<int>(((max_ - v) * minEnd + (v - min_) * maxEnd) /
                          (static_cast<std::int64_t>(max_) - min_));
}

void TrackBarBase::PropertyChanged() {
  if (design_.repaintAtOnce) {
    repaint();
  } else {
    update();
  }
}

QPixmap TrackBarBase::Picture(qreal ratio) const {
  QPixmap picture = pixel::Canvas(size(), ratio);
  QPainter painter(&picture);
  const int w = width();
  const int h = height();
  pixel::Fill(painter, 0, 0, w, h, pixel::kSilver);
  pixel::Polyline(painter, {{0, h - 1}, {0, 0}, {w - 1, 0}}, pixel::kGrey);
  pixel::Polyline(painter, {{0, h - 1}, {w - 1, h - 1}, {w - 1, 0}}, pixel::kWhite);
  DrawGrooveAndThumb(painter);
  return picture;
}

void TrackBarBase::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawPixmap(0, 0, Picture(devicePixelRatioF()));
}

void TrackBarBase::mousePressEvent(QMouseEvent* event) {
  if (!design_.rightButtonDrags && (event->buttons() & Qt::RightButton)) return;
  const int a = TravelCoordinate(*event);
  const int b = CrossCoordinate(*event);
  // Only the thumb can be taken hold of: a press beside it neither jumps nor pages.
  if (thumbPos_ <= a && a <= thumbPos_ + sWidth_ && 0 < b && b < CrossSize() - 1) {
    dragging_ = true;
    lastPos_ = a;
  }
}

void TrackBarBase::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_) return;
  const int a = TravelCoordinate(*event);
  // The remembered position is clamped to the control, the new one is not: after the pointer
  // overshoots an end, the thumb moves again as soon as the pointer comes back inside.
  lastPos_ = std::max(1, std::min(lastPos_, Extent() - 2));
  thumbPos_ += a - lastPos_;
  thumbPos_ = std::max(kLow, std::min(thumbPos_, High()));
  lastPos_ = a;
  value_ = ValueAt(thumbPos_);
  repaint();
  emit OnChange();
}

void TrackBarBase::mouseReleaseEvent(QMouseEvent*) {
  dragging_ = false;
}
