#pragma once

// An independent, deliberately naive raster for the expected pictures: pixels are set one by one
// while stepping along each line, so the tests do not share the controls' drawing code.

#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <QString>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace reference {

constexpr QRgb kSilver = 0xFFC0C0C0;
constexpr QRgb kGrey = 0xFF808080;
constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr QRgb kBlack = 0xFF000000;
constexpr QRgb kGround = 0xFF73EFBD;
constexpr QRgb kUnlit = 0xFF18DEBD;

class Canvas {
 public:
  Canvas(int width, int height, QRgb fill = 0) : w_(width), h_(height), px_(width * height, fill) {}
  int Width() const { return w_; }
  int Height() const { return h_; }
  void Set(int x, int y, QRgb c) {
    if (x >= 0 && y >= 0 && x < w_ && y < h_) px_[y * w_ + x] = c;
  }
  QRgb At(int x, int y) const { return px_[y * w_ + x]; }
  // From (x1, y1) towards (x2, y2), the end point excluded.
  void Line(int x1, int y1, int x2, int y2, QRgb c) {
    const int dx = (x2 > x1) - (x2 < x1);
    const int dy = (y2 > y1) - (y2 < y1);
    for (int x = x1, y = y1; x != x2 || y != y2; x += dx, y += dy) Set(x, y, c);
  }
  void Poly(std::initializer_list<std::pair<int, int>> points, QRgb c) {
    const std::pair<int, int>* prev = nullptr;
    for (const auto& p : points) {
      if (prev) Line(prev->first, prev->second, p.first, p.second, c);
      prev = &p;
    }
  }
  // x1 ≤ x < x2, y1 ≤ y < y2.
  void Fill(int x1, int y1, int x2, int y2, QRgb c) {
    for (int y = y1; y < y2; ++y)
      for (int x = x1; x < x2; ++x) Set(x, y, c);
  }

 private:
  int w_, h_;
  std::vector<QRgb> px_;
};

inline QImage ToArgb(const QPixmap& pixmap) {
  return pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
}

// Compares a ratio-1 picture with the expected pixels and names the first differences.
inline ::testing::AssertionResult SamePixels(const QImage& actual, const Canvas& expected) {
  if (actual.width() != expected.Width() || actual.height() != expected.Height()) {
    return ::testing::AssertionFailure() << "size " << actual.width() << "x" << actual.height()
                                         << ", expected " << expected.Width() << "x" << expected.Height();
  }
  int differences = 0;
  std::string report;
  for (int y = 0; y < expected.Height(); ++y) {
    for (int x = 0; x < expected.Width(); ++x) {
      const QRgb a = actual.pixel(x, y);
      const QRgb e = expected.At(x, y);
      if (a != e && (qAlpha(a) != 0 || qAlpha(e) != 0)) {
        if (++differences <= 8) {
          report += " (" + std::to_string(x) + "," + std::to_string(y) + ") is " +
                    QString::number(a, 16).toStdString() + " not " + QString::number(e, 16).toStdString();
        }
      }
    }
  }
  if (differences == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << differences << " pixels differ:" << report;
}

// At ratio 2 the picture must be twice the size with every logical pixel a solid 2 × 2 block of
// the ratio-1 colour: no smoothing, no in-between colours.
inline ::testing::AssertionResult SharpDouble(const QImage& doubled, const QImage& single) {
  if (doubled.size() != single.size() * 2) {
    return ::testing::AssertionFailure()
           << "ratio 2 picture is " << doubled.width() << "x" << doubled.height() << ", not twice "
           << single.width() << "x" << single.height();
  }
  for (int y = 0; y < doubled.height(); ++y) {
    for (int x = 0; x < doubled.width(); ++x) {
      if (doubled.pixel(x, y) != single.pixel(x / 2, y / 2)) {
        return ::testing::AssertionFailure()
               << "device pixel (" << x << "," << y << ") is " << std::hex << doubled.pixel(x, y)
               << " but logical pixel (" << std::dec << x / 2 << "," << y / 2 << ") is " << std::hex
               << single.pixel(x / 2, y / 2);
      }
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace reference
