#include "controls/UpDownButton.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "controls/OwnerThread.h"
#include "controls/PixelArt.h"

using pixel::kBlack;
using pixel::kGrey;
using pixel::kSilver;
using pixel::kWhite;

namespace {

QPoint PointOf(const QMouseEvent& event) {
  const QPointF at = event.position();
  return {static_cast<int>(std::floor(at.x())), static_cast<int>(std::floor(at.y()))};
}

// Tip pixel, then rows of three and five pixels below it (up) or above it (down).
void Arrow(QPainter& painter, QPoint tip, int towardsBase) {
  const int a = tip.x();
  const int b = tip.y();
  pixel::Dot(painter, a, b, kBlack);
  pixel::Fill(painter, a - 1, b + towardsBase, a + 2, b + towardsBase + 1, kBlack);
  pixel::Fill(painter, a - 2, b + 2 * towardsBase, a + 3, b + 2 * towardsBase + 1, kBlack);
}

// One half's bevel between the rows `top` and `bottom`: raised when released, sunken when pressed.
void Bevel(QPainter& painter, int w, int top, int bottom, bool pressed) {
  if (pressed) {
    pixel::Polyline(painter, {{w - 2, top}, {1, top}, {1, bottom}}, kGrey);
    pixel::Polyline(painter, {{1, bottom}, {w - 2, bottom}, {w - 2, top}}, kSilver);
    pixel::Dot(painter, 1, top, kGrey);
    pixel::Dot(painter, w - 2, top, kGrey);
  } else {
    pixel::Polyline(painter, {{w - 2, top}, {1, top}, {1, bottom}}, kWhite);
    pixel::Polyline(painter, {{1, bottom}, {w - 2, bottom}, {w - 2, top}}, kGrey);
    pixel::Dot(painter, 1, top, kSilver);
    pixel::Dot(painter, w - 2, top, kBlack);
    pixel::Dot(painter, 1, bottom, kGrey);
    pixel::Dot(painter, w - 2, bottom, kGrey);
  }
}

}  // namespace

TUpDownButton::TUpDownButton(QWidget* parent) : QWidget(parent) {
  setFixedSize(kSize);
  // Moves without a button held must arrive too: a half left pressed by a release on its edge
  // is let go when the pointer leaves it.
  setMouseTracking(true);
}

void TUpDownButton::SetValue(int value) {
  if (!controls::OnOwnerThread(this, [this, value] { SetValue(value); })) return;
  value_ = std::max(std::min(value, max_), min_);
}

void TUpDownButton::SetMin(int min) {
  min_ = std::min(min, max_);
  value_ = std::max(value_, min_);
}

void TUpDownButton::SetMax(int max) {
  max_ = std::max(max, min_);
  value_ = std::min(value_, max_);
}

bool TUpDownButton::InUpZone(QPoint at) const {
  return 1 < at.x() && at.x() < width() - 1 && 1 < at.y() && at.y() < Divider();
}

bool TUpDownButton::InDownZone(QPoint at) const {
  return 1 < at.x() && at.x() < width() - 1 && Divider() < at.y() && at.y() < height() - 1;
}

void TUpDownButton::mousePressEvent(QMouseEvent* event) {
  const QPoint at = PointOf(*event);
  if (InUpZone(at)) {
    upPressed_ = true;
    repaint();
  } else if (InDownZone(at)) {
    downPressed_ = true;
    repaint();
  }
}

void TUpDownButton::PointerAt(QPoint at) {
  const int w = width();
  const int h = height();
  const int m = Divider();
  // The hold zones are a pixel wider than the press zones; leaving one cancels the click for
  // good, coming back does not press the half again.
  if (upPressed_ && !(0 < at.x() && at.x() <= w - 1 && 0 < at.y() && at.y() <= m)) {
    upPressed_ = false;
    repaint();
  }
  if (downPressed_ && !(0 < at.x() && at.x() <= w - 1 && m <= at.y() && at.y() <= h - 1)) {
    downPressed_ = false;
    repaint();
  }
}

void TUpDownButton::mouseMoveEvent(QMouseEvent* event) {
  PointerAt(PointOf(*event));
}

void TUpDownButton::leaveEvent(QEvent*) {
  // Without a button held the pointer is not captured, so leaving the control is the last move
  // it reports; a point outside lets go of both halves.
  PointerAt({-1, -1});
}

void TUpDownButton::mouseReleaseEvent(QMouseEvent* event) {
  const QPoint at = PointOf(*event);
  if (upPressed_ && InUpZone(at)) {
    upPressed_ = false;
    repaint();
    if (value_ < max_) {
      SetValue(value_ + 1);
      emit OnChange();
    }
  }
  if (downPressed_ && InDownZone(at)) {
    downPressed_ = false;
    repaint();
    if (value_ > min_) {
      SetValue(value_ - 1);
      emit OnChange();
    }
  }
}

QPixmap TUpDownButton::Picture(qreal ratio) const {
  QPixmap picture = pixel::Canvas(size(), ratio);
  QPainter painter(&picture);
  const int w = width();
  const int h = height();
  const int m = Divider();
  pixel::Fill(painter, 0, 0, w, h, palette().color(backgroundRole()));
  pixel::Polyline(painter, {{0, 0}, {w - 1, 0}, {w - 1, h - 1}, {0, h - 1}, {0, 0}}, kBlack);
  for (const QPoint corner : {QPoint(0, 0), QPoint(w - 1, 0), QPoint(0, h - 1), QPoint(w - 1, h - 1)}) {
    pixel::Dot(painter, corner.x(), corner.y(), kGrey);
  }
  pixel::Line(painter, {0, m}, {w - 1, m}, kBlack);

  // A pressed half shows its bevel inverted and its arrow one pixel down and to the right.
  Bevel(painter, w, 1, m - 1, upPressed_);
  const int shift = upPressed_ ? 1 : 0;
  Arrow(painter, {w / 2 + shift, h / 4 - 1 + shift}, +1);
  Bevel(painter, w, m + 1, h - 2, downPressed_);
  const int downShift = downPressed_ ? 1 : 0;
  Arrow(painter, {w / 2 + downShift, 3 * (h / 4) + 1 + downShift}, -1);
  return picture;
}

void TUpDownButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawPixmap(0, 0, Picture(devicePixelRatioF()));
}
