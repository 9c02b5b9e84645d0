#include "controls/PixelArt.h"

#include <QPainter>
#include <QRect>
#include <algorithm>
#include <cmath>

namespace pixel {

void Line(QPainter& painter, QPoint from, QPoint to, const QColor& colour) {
  Q_ASSERT(from.x() == to.x() || from.y() == to.y());
  if (from == to) return;
  if (from.y() == to.y()) {
    const int first = from.x() < to.x() ? from.x() : to.x() + 1;
    const int last = from.x() < to.x() ? to.x() - 1 : from.x();
    painter.fillRect(QRect(first, from.y(), last - first + 1, 1), colour);
  } else {
    const int first = from.y() < to.y() ? from.y() : to.y() + 1;
    const int last = from.y() < to.y() ? to.y() - 1 : from.y();
    painter.fillRect(QRect(from.x(), first, 1, last - first + 1), colour);
  }
}

void Polyline(QPainter& painter, std::initializer_list<QPoint> points, const QColor& colour) {
  const QPoint* previous = nullptr;
  for (const QPoint& point : points) {
    if (previous) Line(painter, *previous, point, colour);
    previous = &point;
  }
}

void Fill(QPainter& painter, int x1, int y1, int x2, int y2, const QColor& colour) {
  if (x2 <= x1 || y2 <= y1) return;
  painter.fillRect(QRect(x1, y1, x2 - x1, y2 - y1), colour);
}

void Dot(QPainter& painter, int x, int y, const QColor& colour) {
  painter.fillRect(QRect(x, y, 1, 1), colour);
}

QPixmap Canvas(QSize logicalSize, qreal ratio) {
  const QSize devicePixels(static_cast<int>(std::ceil(logicalSize.width() * ratio)),
                           static_cast<int>(std::ceil(logicalSize.height() * ratio)));
  QPixmap pixmap(devicePixels);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

const QPixmap& RatioCache::At(qreal ratio) {
  const auto found = std::find_if(pictures_.begin(), pictures_.end(),
                                  [ratio](const auto& entry) { return entry.first == ratio; });
  if (found != pictures_.end()) return found->second;
  // Two screens at most in practice; dropping the oldest keeps a stray ratio from piling up.
  constexpr std::size_t kKeep = 3;
  if (pictures_.size() >= kKeep) pictures_.erase(pictures_.begin());
  QPixmap picture = Canvas(size_, ratio);
  {
    QPainter painter(&picture);
    build_(painter);
  }
  pictures_.emplace_back(ratio, std::move(picture));
  return pictures_.back().second;
}

void Blit(QPainter& painter, QPoint target, const QPixmap& picture, const QRect& source) {
  const qreal ratio = picture.devicePixelRatio();
  const QRectF sourcePixels(source.x() * ratio, source.y() * ratio, source.width() * ratio,
                            source.height() * ratio);
  painter.drawPixmap(QRectF(target, source.size()), picture, sourcePixels);
}

}  // namespace pixel
