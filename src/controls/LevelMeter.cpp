#include "controls/LevelMeter.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cstdint>

#include "controls/LcdPictures.h"
#include "controls/OwnerThread.h"

namespace {

constexpr QPoint kFirstSegment{1, 3};
constexpr int kSegmentPitch = 4;
// What a tick repaints: the 23 segment blocks and nothing else.
constexpr int kBarHeight = kSegmentPitch * TLevelMeter::kSegments;
constexpr QRect kSegmentArea{kFirstSegment, QSize(13, kBarHeight)};
constexpr QPoint kTopCap{1, 1};
constexpr QPoint kBottomCap{1, 94};

void DrawCapAt(QPainter& painter, QPoint at) {
  painter.save();
  painter.translate(at - lcd::kEndCap.topLeft());
  painter.setClipRect(lcd::kEndCap);
  lcd::DrawMeter(painter);
  painter.restore();
}

// End caps and the sunken frame over a transparent middle.
void DrawStaticParts(QPainter& painter) {
  DrawCapAt(painter, kTopCap);
  DrawCapAt(painter, kBottomCap);
  const int w = TLevelMeter::kSize.width();
  const int h = TLevelMeter::kSize.height();
  pixel::Fill(painter, 0, 0, w, 1, pixel::kGrey);
  pixel::Fill(painter, 0, 0, 1, h, pixel::kGrey);
  pixel::Fill(painter, 0, h - 1, w, h, pixel::kWhite);
  pixel::Fill(painter, w - 1, 0, w, h, pixel::kWhite);
}

}  // namespace

TLevelMeter::TLevelMeter(QWidget* parent)
    : QWidget(parent), meterPicture_(lcd::kMeterSize, lcd::DrawMeter), frame_(kSize, DrawStaticParts) {
  setFixedSize(kSize);
  // Every pixel is drawn by the meter itself.
  setAttribute(Qt::WA_OpaquePaintEvent);
  fallTimer_.setParent(this);
  fallTimer_.setObjectName(QStringLiteral("fallTimer"));
  connect(&fallTimer_, &QTimer::timeout, this, &TLevelMeter::Tick);
}

void TLevelMeter::SetDownWait(int milliseconds) {
  downWait_ = std::max(milliseconds, 0);
}

void TLevelMeter::SetMax(int max) {
  max_ = std::max(max, min_);
}

void TLevelMeter::SetMin(int min) {
  min_ = std::min(min, max_);
}

void TLevelMeter::SetValue(int value) {
  if (!controls::OnOwnerThread(this, [this, value] { SetValue(value); })) return;
  value_ = std::clamp(value, min_, max_);
  // Without a positive Max there is no scale to show a level on.
  if (max_ <= 0) return;
  const int target = kSegments - static_cast<int>(static_cast<std::int64_t>(value_) * kSegments / max_);
  if (darkCount_ < target) return;
  darkCount_ = target;
  if (!fallTimer_.isActive()) fallTimer_.start(downWait_);
}

void TLevelMeter::Tick() {
  if (darkCount_ <= kSegments) {
    shownDarkCount_ = darkCount_;
    ++darkCount_;
    update(kSegmentArea);
  } else {
    fallTimer_.stop();
  }
}

void TLevelMeter::DrawSegments(QPainter& painter, qreal ratio) const {
  const QPixmap& meter = meterPicture_.At(ratio);
  for (int i = 0; i < kSegments; ++i) {
    const QRect& look = i < shownDarkCount_ ? lcd::kDarkSegment : lcd::kLitSegment;
    pixel::Blit(painter, kFirstSegment + QPoint(0, i * kSegmentPitch), meter, look);
  }
}

void TLevelMeter::DrawFrame(QPainter& painter, qreal ratio) const {
  painter.drawPixmap(0, 0, frame_.At(ratio));
}

QPixmap TLevelMeter::Picture(qreal ratio) const {
  QPixmap picture = pixel::Canvas(size(), ratio);
  QPainter painter(&picture);
  DrawSegments(painter, ratio);
  DrawFrame(painter, ratio);
  return picture;
}

void TLevelMeter::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  const qreal ratio = devicePixelRatioF();
  DrawSegments(painter, ratio);
  if (!kSegmentArea.contains(event->rect())) DrawFrame(painter, ratio);
}
