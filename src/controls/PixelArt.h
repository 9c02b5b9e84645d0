#pragma once

#include <QColor>
#include <QPixmap>
#include <QPoint>
#include <QSize>
#include <initializer_list>
#include <utility>
#include <vector>

class QPainter;

// Drawing helpers for the controls' pixel-exact pictures. Everything is drawn with integer
// rectangles at logical coordinates, so at a device pixel ratio of 2 each logical pixel becomes a
// crisp 2 × 2 block instead of a smoothed upscale.
namespace pixel {

inline const QColor kSilver{0xC0, 0xC0, 0xC0};
inline const QColor kGrey{0x80, 0x80, 0x80};
inline const QColor kWhite{0xFF, 0xFF, 0xFF};
inline const QColor kBlack{0x00, 0x00, 0x00};

// An axis-parallel line that covers its start point and not its end point, the way the controls'
// bevels are laid out (a zero-length line draws nothing).
void Line(QPainter& painter, QPoint from, QPoint to, const QColor& colour);
// Consecutive lines through the points; each inner point is drawn once, the last one is not.
void Polyline(QPainter& painter, std::initializer_list<QPoint> points, const QColor& colour);
// Covers x1 ≤ x < x2 and y1 ≤ y < y2; empty when either range is.
void Fill(QPainter& painter, int x1, int y1, int x2, int y2, const QColor& colour);
void Dot(QPainter& painter, int x, int y, const QColor& colour);

// A transparent pixmap of the given logical size for drawing at `ratio`.
QPixmap Canvas(QSize logicalSize, qreal ratio);

// A static picture drawn once per device pixel ratio. The builder draws at logical coordinates.
// The window may move between screens of different ratios, so a few ratios are kept.
class RatioCache {
 public:
  using Builder = void (*)(QPainter&);
  RatioCache(QSize logicalSize, Builder build) : size_(logicalSize), build_(build) {}
  const QPixmap& At(qreal ratio);
  QSize LogicalSize() const { return size_; }

 private:
  QSize size_;
  Builder build_;
  std::vector<std::pair<qreal, QPixmap>> pictures_;
};

// Copies the logical rectangle `source` of a picture drawn at the painter's ratio to `target`.
void Blit(QPainter& painter, QPoint target, const QPixmap& picture, const QRect& source);

}  // namespace pixel
