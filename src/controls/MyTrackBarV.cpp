#include "controls/MyTrackBarV.h"

#include <QPainter>

#include "controls/PixelArt.h"

using pixel::kBlack;
using pixel::kGrey;
using pixel::kSilver;
using pixel::kWhite;

TMyTrackBarV::TMyTrackBarV(QWidget* parent)
    : TrackBarBase({Axis::Vertical, kSize, kDefaultSWidth, /*rightButtonDrags=*/false,
                    /*repaintAtOnce=*/false},
                   parent) {}

void TMyTrackBarV::DrawGrooveAndThumb(QPainter& painter) const {
  const int w = width();
  const int h = height();
  const int m = w / 2;
  const int t = ThumbPos();
  const int s = SWidth();

  pixel::Polyline(painter, {{m + 1, 5}, {m - 1, 5}, {m - 1, h - 6}}, kGrey);
  pixel::Polyline(painter, {{m + 2, 5}, {m + 2, h - 6}, {m - 2, h - 6}}, kWhite);
  pixel::Fill(painter, m, 6, m + 2, h - 6, kBlack);

  // The thumb: lit from the top, a grip line across the middle, shadowed at the bottom.
  pixel::Fill(painter, 1, t, w - 1, t + s, kSilver);
  pixel::Fill(painter, 1, t, w - 1, t + 3, kWhite);
  pixel::Line(painter, {1, t + 4}, {w - 1, t + 4}, kWhite);
  pixel::Line(painter, {1, t + s - 5}, {w - 1, t + s - 5}, kGrey);
  pixel::Fill(painter, 1, t + s - 3, w - 1, t + s - 2, kGrey);
  pixel::Line(painter, {1, t + s - 1}, {w - 1, t + s - 1}, kBlack);
  pixel::Fill(painter, 1, t + s - 3, w - 1, t + s - 1, kGrey);
}
