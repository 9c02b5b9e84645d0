#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <set>
#include <string>

#include "ReferenceCanvas.h"
#include "controls/Ekisyou.h"
#include "controls/LcdPictures.h"

using namespace reference;

namespace {

// One digit cell of the number strip, 11 × 19: letters mark the pixels of the seven segments,
// dots the ground. The figure keeps two ground columns on its left, so the two columns a display
// copies from the next cell read as the gap between figures.
constexpr const char* kCell[19] = {
    "...........",  //
    "...........",  //
    "....aaaaa..",  //
    "....aaaaa..",  //
    "..ff.....bb",  //
    "..ff.....bb",  //
    "..ff.....bb",  //
    "..ff.....bb",  //
    "..ff.....bb",  //
    "....ggggg..",  //
    "....ggggg..",  //
    "..ee.....cc",  //
    "..ee.....cc",  //
    "..ee.....cc",  //
    "..ee.....cc",  //
    "..ee.....cc",  //
    "....ddddd..",  //
    "....ddddd..",  //
    "...........",  //
};
// The lit segments of 0 to 9 on any seven-segment display.
const std::string kLit[10] = {"abcdef", "bc",     "abdeg", "abcdg",   "bcfg",
                              "acdfg",  "acdefg", "abc",   "abcdefg", "abcdfg"};

Canvas ExpectedStrip() {
  Canvas e(112, 19, kGround);
  for (int d = 0; d < 10; ++d) {
    for (int y = 0; y < 19; ++y) {
      for (int x = 0; x < 11; ++x) {
        const char s = kCell[y][x];
        if (s == '.') continue;
        e.Set(11 * d + x, y, kLit[d].find(s) != std::string::npos ? kBlack : kUnlit);
      }
    }
  }
  return e;
}

// The display's drawing steps over the expected strip.
Canvas ExpectedDisplay(int figures, int value) {
  const Canvas strip = ExpectedStrip();
  const int w = 11 * figures + 4;
  const int h = 21;
  Canvas e(w, h);
  int v = value;
  for (int i = 1; i <= figures; ++i) {
    const int d = v % 10;
    v /= 10;
    const int left = (figures - i) * 11 + 1;
    for (int y = 0; y < 19; ++y)
      for (int x = 0; x < 13; ++x) e.Set(left + x, 1 + y, strip.At(11 * d + x, y));
  }
  e.Poly({{0, h - 1}, {0, 0}, {w, 0}}, kGrey);
  e.Poly({{0, h - 1}, {w - 1, h - 1}, {w - 1, -1}}, kWhite);
  return e;
}

// Reads the digits back off a picture by looking at one pixel inside each segment.
std::string Decode(const QImage& display, int figures) {
  const std::pair<char, QPoint> probes[] = {{'a', {6, 3}},  {'b', {10, 6}}, {'c', {10, 13}}, {'d', {6, 17}},
                                            {'e', {3, 13}}, {'f', {3, 6}},  {'g', {6, 10}}};
  std::string text;
  for (int p = 0; p < figures; ++p) {
    std::string lit;
    for (const auto& [segment, at] : probes) {
      if (display.pixel(1 + 11 * p + at.x(), 1 + at.y()) == kBlack) lit += segment;
    }
    char digit = '?';
    for (int d = 0; d < 10; ++d)
      if (kLit[d] == lit) digit = static_cast<char>('0' + d);
    text += digit;
  }
  return text;
}

}  // namespace

TEST(Ekisyou, IsBuiltWithFiveDigits) {
  TEkisyou display;
  EXPECT_EQ(display.FigureNum(), 5);
  EXPECT_EQ(display.Value(), 0);
  EXPECT_EQ(display.size(), QSize(59, 21));
}

TEST(Ekisyou, FigureNumIsClampedAndSetsTheWidth) {
  struct Case {
    int written, stored, width;
  };
  for (const Case c : {Case{0, 1, 15}, Case{-4, 1, 15}, Case{2, 2, 26}, Case{3, 3, 37}, Case{9, 5, 59}}) {
    TEkisyou display;
    display.SetFigureNum(c.written);
    EXPECT_EQ(display.FigureNum(), c.stored) << c.written;
    EXPECT_EQ(display.size(), QSize(c.width, 21)) << c.written;
    display.resize(100, 100);
    EXPECT_EQ(display.size(), QSize(c.width, 21)) << "the display keeps its size";
  }
}

TEST(Ekisyou, NegativeValuesAreStoredAsZero) {
  TEkisyou display;
  display.SetValue(-3);
  EXPECT_EQ(display.Value(), 0);
  display.SetValue(42);
  EXPECT_EQ(display.Value(), 42);
}

TEST(Ekisyou, TheNumberStripHoldsTheTenDigitsAtAnElevenPixelPitch) {
  QImage strip(lcd::kNumberSize, QImage::Format_ARGB32);
  strip.fill(Qt::transparent);
  {
    QPainter painter(&strip);
    lcd::DrawNumbers(painter);
  }
  EXPECT_TRUE(SamePixels(strip, ExpectedStrip()));
  std::set<QRgb> colours;
  for (int y = 0; y < strip.height(); ++y)
    for (int x = 0; x < strip.width(); ++x) colours.insert(strip.pixel(x, y));
  EXPECT_EQ(colours, (std::set<QRgb>{kBlack, kUnlit, kGround}));
}

TEST(Ekisyou, DigitsArePlacedWithLeadingZerosAndHighDigitsDropped) {
  struct Case {
    int figures, value;
    const char* shown;
  };
  const Case cases[] = {{2, 7, "07"},    {2, 100, "00"},           {2, 1234, "34"}, {3, 7, "007"},
                        {3, 100, "100"}, {3, 1234, "234"},         {3, 5, "005"},   {5, 90817, "90817"},
                        {1, 0, "0"},     {5, 2147483647, "83647"}, {2, -3, "00"}};
  for (const Case& c : cases) {
    TEkisyou display;
    display.SetFigureNum(c.figures);
    display.SetValue(c.value);
    const QImage single = ToArgb(display.Picture(1));
    EXPECT_EQ(Decode(single, c.figures), c.shown) << c.value << " on " << c.figures;
    EXPECT_TRUE(SamePixels(single, ExpectedDisplay(c.figures, display.Value())))
        << c.value << " on " << c.figures;
    EXPECT_TRUE(SharpDouble(ToArgb(display.Picture(2)), single)) << c.value;
    EXPECT_EQ(ToArgb(display.grab()), single) << c.value;
  }
}

TEST(Ekisyou, FrameSpotChecks) {
  TEkisyou display;
  display.SetFigureNum(3);
  const QImage p = ToArgb(display.Picture(1));
  EXPECT_EQ(p.pixel(0, 0), kGrey);
  EXPECT_EQ(p.pixel(35, 0), kGrey);
  EXPECT_EQ(p.pixel(36, 0), kWhite) << "the white right column runs up through the top row";
  EXPECT_EQ(p.pixel(0, 20), kWhite);
  EXPECT_EQ(p.pixel(0, 19), kGrey);
  EXPECT_EQ(p.pixel(36, 20), kWhite);
  EXPECT_EQ(p.pixel(1, 1), kGround);
  EXPECT_EQ(p.pixel(35, 19), kGround) << "the units digit's trailing ground columns";
}

TEST(Ekisyou, ALeftClickOnTheDisplayIsReported) {
  TEkisyou display;
  display.SetFigureNum(3);
  QSignalSpy clicks(&display, &TEkisyou::OnClick);
  QTest::mouseClick(&display, Qt::LeftButton, {}, {10, 10});
  EXPECT_EQ(clicks.count(), 1);
  QTest::mouseClick(&display, Qt::RightButton, {}, {10, 10});
  EXPECT_EQ(clicks.count(), 1) << "not the right button";
  QTest::mousePress(&display, Qt::LeftButton, {}, {10, 10});
  QTest::mouseRelease(&display, Qt::LeftButton, {}, {60, 10});
  EXPECT_EQ(clicks.count(), 1) << "not when released outside";
  display.SetValue(12);
  EXPECT_EQ(clicks.count(), 1) << "not on a value write";
}

TEST(Ekisyou, ADoubleClickIsOneClick) {
  TEkisyou display;
  display.SetFigureNum(3);
  display.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&display));
  QSignalSpy clicks(&display, &TEkisyou::OnClick);
  // Through the window system: press, release, press, release in quick succession, which Qt
  // turns into a click and a double click.
  QTest::mouseDClick(display.windowHandle(), Qt::LeftButton, {}, {10, 10});
  EXPECT_EQ(clicks.count(), 1) << "a handler that opens something must not close it again";
  QTest::mouseClick(display.windowHandle(), Qt::LeftButton, {}, {10, 10});
  EXPECT_EQ(clicks.count(), 2) << "the next click counts again";
}
