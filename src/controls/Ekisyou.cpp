#include "controls/Ekisyou.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>

#include "controls/LcdPictures.h"
#include "controls/OwnerThread.h"

TEkisyou::TEkisyou(QWidget* parent) : QWidget(parent), numbers_(lcd::kNumberSize, lcd::DrawNumbers) {
  setFixedSize(WidthFor(figureNum_), kHeight);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TEkisyou::SetFigureNum(int figures) {
  figureNum_ = std::clamp(figures, kMinFigures, kMaxFigures);
  setFixedSize(WidthFor(figureNum_), kHeight);
  update();
}

void TEkisyou::SetValue(int value) {
  if (!controls::OnOwnerThread(this, [this, value] { SetValue(value); })) return;
  value_ = std::max(value, 0);
  repaint();
}

void TEkisyou::Draw(QPainter& painter, qreal ratio) const {
  const QPixmap& numbers = numbers_.At(ratio);
  const int w = width();
  const int h = height();
  // Units first, then leftwards: each block's two trailing ground columns fall under the digit
  // to its right, and the next copy to the left covers them again.
  int v = value_;
  for (int i = 1; i <= figureNum_; ++i) {
    const int digit = v % 10;
    v /= 10;
    const QRect block(lcd::kDigitPitch * digit, 0, lcd::kDigitBlockWidth, lcd::kNumberSize.height());
    pixel::Blit(painter, {(figureNum_ - i) * lcd::kDigitPitch + 1, 1}, numbers, block);
  }
  pixel::Polyline(painter, {{0, h - 1}, {0, 0}, {w, 0}}, pixel::kGrey);
  pixel::Polyline(painter, {{0, h - 1}, {w - 1, h - 1}, {w - 1, -1}}, pixel::kWhite);
}

QPixmap TEkisyou::Picture(qreal ratio) const {
  QPixmap picture = pixel::Canvas(size(), ratio);
  QPainter painter(&picture);
  Draw(painter, ratio);
  return picture;
}

void TEkisyou::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  Draw(painter, devicePixelRatioF());
}

void TEkisyou::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) clickStarted_ = true;
}

void TEkisyou::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const bool click = clickStarted_ && rect().contains(event->position().toPoint());
  clickStarted_ = false;
  if (click) emit OnClick();
}

void TEkisyou::mouseDoubleClickEvent(QMouseEvent* event) {
  // Qt may deliver the second press as a press too; either way it starts no click.
  if (event->button() == Qt::LeftButton) clickStarted_ = false;
}
