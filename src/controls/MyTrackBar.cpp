#include "controls/MyTrackBar.h"

#include <QPainter>

#include "controls/PixelArt.h"

using pixel::kBlack;
using pixel::kGrey;
using pixel::kSilver;
using pixel::kWhite;

TMyTrackBar::TMyTrackBar(QWidget* parent)
    : TrackBarBase({Axis::Horizontal, kSize, kDefaultSWidth, /*rightButtonDrags=*/true,
                    /*repaintAtOnce=*/true},
                   parent) {}

void TMyTrackBar::DrawGrooveAndThumb(QPainter& painter) const {
  const int w = width();
  const int h = height();
  const int m = h / 2;
  const int c = CWidth();
  const int t = ThumbPos();
  const int s = SWidth();

  // A sunken groove around a black core.
  pixel::Polyline(painter, {{3, m + c - 1}, {3, m - c}, {w - 5, m - c}}, kGrey);
  pixel::Polyline(painter, {{3, m + c}, {w - 4, m + c}, {w - 4, m - c}}, kWhite);
  pixel::Line(painter, {4, m}, {w - 5, m}, kBlack);
  pixel::Fill(painter, 4, m - c + 1, w - 5, m + c - 1, kBlack);

  // The thumb: two white ridges on the left, a grey shadow and a black edge on the right.
  pixel::Fill(painter, t, 1, t + s, h - 1, kSilver);
  pixel::Line(painter, {t, 1}, {t, h - 2}, kWhite);
  pixel::Line(painter, {t + 2, 1}, {t + 2, h - 2}, kWhite);
  pixel::Fill(painter, t + s - 3, 1, t + s - 1, h - 2, kGrey);
  pixel::Line(painter, {t + s - 1, 1}, {t + s - 1, h - 2}, kBlack);
}
