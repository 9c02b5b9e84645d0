#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>
#include <climits>

#include "ReferenceCanvas.h"
#include "controls/MyTrackBar.h"
#include "controls/MyTrackBarV.h"

using namespace reference;

namespace {

// The drawing steps of the two sliders, pixel by pixel.
Canvas ExpectedFrame(int w, int h) {
  Canvas e(w, h);
  e.Fill(0, 0, w, h, kSilver);
  e.Poly({{0, h - 1}, {0, 0}, {w - 1, 0}}, kGrey);
  e.Poly({{0, h - 1}, {w - 1, h - 1}, {w - 1, 0}}, kWhite);
  return e;
}

Canvas ExpectedHorizontal(int w, int h, int c, int t, int s) {
  Canvas e = ExpectedFrame(w, h);
  const int m = h / 2;
  e.Poly({{3, m + c - 1}, {3, m - c}, {w - 5, m - c}}, kGrey);
  e.Poly({{3, m + c}, {w - 4, m + c}, {w - 4, m - c}}, kWhite);
  e.Line(4, m, w - 5, m, kBlack);
  e.Fill(4, m - c + 1, w - 5, m + c - 1, kBlack);
  e.Fill(t, 1, t + s, h - 1, kSilver);
  e.Line(t, 1, t, h - 2, kWhite);
  e.Line(t + 2, 1, t + 2, h - 2, kWhite);
  e.Fill(t + s - 3, 1, t + s - 1, h - 2, kGrey);
  e.Line(t + s - 1, 1, t + s - 1, h - 2, kBlack);
  return e;
}

Canvas ExpectedVertical(int w, int h, int t, int s) {
  Canvas e = ExpectedFrame(w, h);
  const int m = w / 2;
  e.Poly({{m + 1, 5}, {m - 1, 5}, {m - 1, h - 6}}, kGrey);
  e.Poly({{m + 2, 5}, {m + 2, h - 6}, {m - 2, h - 6}}, kWhite);
  e.Fill(m, 6, m + 2, h - 6, kBlack);
  e.Fill(1, t, w - 1, t + s, kSilver);
  e.Fill(1, t, w - 1, t + 3, kWhite);
  e.Line(1, t + 4, w - 1, t + 4, kWhite);
  e.Line(1, t + s - 5, w - 1, t + s - 5, kGrey);
  e.Fill(1, t + s - 3, w - 1, t + s - 2, kGrey);
  e.Line(1, t + s - 1, w - 1, t + s - 1, kBlack);
  e.Fill(1, t + s - 3, w - 1, t + s - 1, kGrey);
  return e;
}

// Points on the travel axis at the middle of the cross axis, so a press there can hold the thumb.
QPoint AlongH(int a) {
  return {a, 6};
}
QPoint AlongV(int a) {
  return {9, a};
}

// A move with no button held, which QTest would turn into a cursor jump.
void MoveWithoutButtons(QWidget& w, QPoint at) {
  QMouseEvent move(QEvent::MouseMove, at, w.mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(&w, &move);
}

// Moves the thumb of a fresh slider by `by` pixels with a left-button drag and releases it.
template <typename Bar, typename Along>
void DragThumb(Bar& bar, Along along, int by) {
  const int grip = bar.ThumbPos() + 2;
  QTest::mousePress(&bar, Qt::LeftButton, {}, along(grip));
  QTest::mouseMove(&bar, along(grip + by));
  QTest::mouseRelease(&bar, Qt::LeftButton, {}, along(grip + by));
}

}  // namespace

TEST(Sliders, AreBuiltWithTheirSizesAndDefaults) {
  TMyTrackBar h;
  EXPECT_EQ(h.size(), QSize(43, 13));
  EXPECT_EQ(h.CWidth(), 1);
  EXPECT_EQ(h.SWidth(), 10);
  EXPECT_EQ(h.Value(), 0);
  EXPECT_EQ(h.Min(), 0);
  EXPECT_EQ(h.Max(), 127);
  EXPECT_EQ(h.ThumbPos(), 1);
  EXPECT_FALSE(h.Dragging());

  TMyTrackBarV v;
  EXPECT_EQ(v.size(), QSize(19, 97));
  EXPECT_EQ(v.CWidth(), 1);
  EXPECT_EQ(v.SWidth(), 14);
  EXPECT_EQ(v.Value(), 0);
  EXPECT_EQ(v.Min(), 0);
  EXPECT_EQ(v.Max(), 127);
  EXPECT_EQ(v.ThumbPos(), 81);

  h.resize(80, 30);
  v.resize(30, 30);
  EXPECT_EQ(h.size(), QSize(43, 13)) << "the sliders keep their size";
  EXPECT_EQ(v.size(), QSize(19, 97));
}

TEST(Sliders, HorizontalPictureFollowsTheDrawingSteps) {
  struct Case {
    int value, cWidth, thumb;
  };
  for (const Case c : {Case{0, 1, 1}, Case{64, 1, 16}, Case{127, 1, 31}, Case{64, 3, 16}, Case{100, 4, 24}}) {
    TMyTrackBar bar;
    bar.SetCWidth(c.cWidth);
    bar.SetValue(c.value);
    ASSERT_EQ(bar.ThumbPos(), c.thumb) << "value " << c.value;
    const QImage single = ToArgb(bar.Picture(1));
    EXPECT_TRUE(SamePixels(single, ExpectedHorizontal(43, 13, c.cWidth, c.thumb, 10)))
        << "value " << c.value << " CWidth " << c.cWidth;
    EXPECT_TRUE(SharpDouble(ToArgb(bar.Picture(2)), single)) << "value " << c.value;
    EXPECT_EQ(ToArgb(bar.grab()), single) << "the widget paints its picture";
  }
}

TEST(Sliders, HorizontalPictureSpotChecks) {
  // Worked out by hand for 43 × 13, CWidth 1, thumb at 16.
  TMyTrackBar bar;
  bar.SetValue(64);
  const QImage p = ToArgb(bar.Picture(1));
  EXPECT_EQ(p.pixel(0, 0), kGrey);
  EXPECT_EQ(p.pixel(0, 12), kWhite) << "the white line starts on the grey line's start";
  EXPECT_EQ(p.pixel(42, 0), kSilver) << "neither bevel line reaches the top right corner";
  EXPECT_EQ(p.pixel(42, 12), kWhite);
  EXPECT_EQ(p.pixel(3, 6), kGrey);
  EXPECT_EQ(p.pixel(3, 5), kGrey);
  EXPECT_EQ(p.pixel(37, 6), kBlack);
  EXPECT_EQ(p.pixel(38, 6), kSilver);
  EXPECT_EQ(p.pixel(39, 6), kWhite);
  EXPECT_EQ(p.pixel(39, 5), kSilver);
  EXPECT_EQ(p.pixel(10, 7), kWhite);
  for (int y = 1; y <= 10; ++y) {
    EXPECT_EQ(p.pixel(16, y), kWhite) << y;
    EXPECT_EQ(p.pixel(17, y), kSilver) << y;
    EXPECT_EQ(p.pixel(18, y), kWhite) << y;
    EXPECT_EQ(p.pixel(20, y), kSilver) << "the thumb hides the groove, row " << y;
    EXPECT_EQ(p.pixel(23, y), kGrey) << y;
    EXPECT_EQ(p.pixel(24, y), kGrey) << y;
    EXPECT_EQ(p.pixel(25, y), kBlack) << y;
  }
  EXPECT_EQ(p.pixel(16, 11), kSilver);
  EXPECT_EQ(p.pixel(25, 11), kSilver);
}

TEST(Sliders, VerticalPictureFollowsTheDrawingSteps) {
  for (const auto& [value, thumb] :
       {std::pair{0, 81}, std::pair{100, 18}, std::pair{127, 1}, std::pair{64, 40}}) {
    TMyTrackBarV bar;
    bar.SetValue(value);
    ASSERT_EQ(bar.ThumbPos(), thumb) << "value " << value;
    const QImage single = ToArgb(bar.Picture(1));
    EXPECT_TRUE(SamePixels(single, ExpectedVertical(19, 97, thumb, 14))) << "value " << value;
    EXPECT_TRUE(SharpDouble(ToArgb(bar.Picture(2)), single)) << "value " << value;
    EXPECT_EQ(ToArgb(bar.grab()), single);
  }
}

TEST(Sliders, VerticalPictureSpotChecks) {
  // Worked out by hand for 19 × 97, thumb at 18 (value 100).
  TMyTrackBarV bar;
  bar.SetValue(100);
  const QImage p = ToArgb(bar.Picture(1));
  const std::pair<int, QRgb> thumbRows[] = {{18, kWhite},  {20, kWhite}, {21, kSilver}, {22, kWhite},
                                            {26, kSilver}, {27, kGrey},  {28, kSilver}, {29, kGrey},
                                            {30, kGrey},   {31, kBlack}, {32, kSilver}};
  for (const auto& [row, colour] : thumbRows) {
    EXPECT_EQ(p.pixel(1, row), colour) << "row " << row;
    EXPECT_EQ(p.pixel(17, row), colour) << "row " << row;
  }
  EXPECT_EQ(p.pixel(18, 25), kWhite) << "the frame is not covered";
  EXPECT_EQ(p.pixel(8, 50), kGrey);
  EXPECT_EQ(p.pixel(9, 50), kBlack);
  EXPECT_EQ(p.pixel(10, 50), kBlack);
  EXPECT_EQ(p.pixel(11, 50), kWhite);
  EXPECT_EQ(p.pixel(10, 5), kGrey);
  EXPECT_EQ(p.pixel(11, 5), kWhite);
  EXPECT_EQ(p.pixel(8, 91), kWhite);
  EXPECT_EQ(p.pixel(7, 91), kSilver);
  EXPECT_EQ(p.pixel(9, 6), kBlack);
  EXPECT_EQ(p.pixel(9, 90), kBlack);
}

TEST(Sliders, ThumbPositionReadsBackAsValue) {
  // The horizontal thumb travels 1..31, the vertical one 1..81 with Max at the top.
  for (const auto& [pos, value] :
       {std::pair{1, 0}, std::pair{16, 63}, std::pair{30, 122}, std::pair{31, 127}}) {
    TMyTrackBar bar;
    DragThumb(bar, AlongH, pos - 1);
    EXPECT_EQ(bar.ThumbPos(), pos);
    EXPECT_EQ(bar.Value(), value) << "horizontal position " << pos;
  }
  for (const auto& [pos, value] :
       {std::pair{1, 127}, std::pair{41, 63}, std::pair{81, 0}, std::pair{18, 100}}) {
    TMyTrackBarV bar;
    DragThumb(bar, AlongV, pos - 81);
    EXPECT_EQ(bar.ThumbPos(), pos);
    EXPECT_EQ(bar.Value(), value) << "vertical position " << pos;
  }
}

TEST(Sliders, ValueWritesPlaceTheThumbWithoutOnChange) {
  TMyTrackBar h;
  QSignalSpy hChanges(&h, &TMyTrackBar::OnChange);
  for (const auto& [value, stored, thumb] :
       {std::tuple{64, 64, 16}, std::tuple{0, 0, 1}, std::tuple{127, 127, 31}, std::tuple{500, 127, 31},
        std::tuple{-3, 0, 1}}) {
    h.SetValue(value);
    EXPECT_EQ(h.Value(), stored) << value;
    EXPECT_EQ(h.ThumbPos(), thumb) << value;
  }
  TMyTrackBarV v;
  QSignalSpy vChanges(&v, &TMyTrackBarV::OnChange);
  for (const auto& [value, stored, thumb] :
       {std::tuple{100, 100, 18}, std::tuple{0, 0, 81}, std::tuple{127, 127, 1}, std::tuple{128, 127, 1}}) {
    v.SetValue(value);
    EXPECT_EQ(v.Value(), stored) << value;
    EXPECT_EQ(v.ThumbPos(), thumb) << value;
  }
  EXPECT_EQ(hChanges.count(), 0);
  EXPECT_EQ(vChanges.count(), 0);
}

TEST(Sliders, ADragOfNoPixelsReportsTheValueOfThePosition) {
  TMyTrackBar h;
  h.SetValue(64);
  QSignalSpy changes(&h, &TMyTrackBar::OnChange);
  DragThumb(h, AlongH, 0);
  EXPECT_EQ(h.Value(), 63) << "position 16 reads as 63";
  EXPECT_EQ(changes.count(), 1);

  TMyTrackBarV v;
  v.SetValue(100);
  QSignalSpy vChanges(&v, &TMyTrackBarV::OnChange);
  DragThumb(v, AlongV, 0);
  EXPECT_EQ(v.Value(), 100);
  EXPECT_EQ(vChanges.count(), 1);
}

TEST(Sliders, OnlyAPressOnTheThumbStartsADrag) {
  struct Case {
    QPoint at;
    bool drags;
  };
  // Horizontal thumb at 16..26 (SWidth 10), cross size 13.
  const Case horizontal[] = {{{15, 6}, false}, {{16, 6}, true}, {{26, 6}, true},  {{27, 6}, false},
                             {{20, 0}, false}, {{20, 1}, true}, {{20, 11}, true}, {{20, 12}, false}};
  for (const Case& c : horizontal) {
    TMyTrackBar bar;
    bar.SetValue(64);
    QTest::mousePress(&bar, Qt::LeftButton, {}, c.at);
    EXPECT_EQ(bar.Dragging(), c.drags) << c.at.x() << "," << c.at.y();
    QTest::mouseRelease(&bar, Qt::LeftButton, {}, c.at);
    EXPECT_FALSE(bar.Dragging());
  }
  // Vertical thumb at 18..32 (SWidth 14), cross size 19.
  const Case vertical[] = {{{9, 17}, false}, {{9, 18}, true}, {{9, 32}, true},  {{9, 33}, false},
                           {{0, 25}, false}, {{1, 25}, true}, {{17, 25}, true}, {{18, 25}, false}};
  for (const Case& c : vertical) {
    TMyTrackBarV bar;
    bar.SetValue(100);
    QTest::mousePress(&bar, Qt::LeftButton, {}, c.at);
    EXPECT_EQ(bar.Dragging(), c.drags) << c.at.x() << "," << c.at.y();
    QTest::mouseRelease(&bar, Qt::LeftButton, {}, c.at);
  }
}

TEST(Sliders, APressBesideTheThumbNeitherJumpsNorPages) {
  TMyTrackBar bar;
  bar.SetValue(64);
  QSignalSpy changes(&bar, &TMyTrackBar::OnChange);
  QTest::mousePress(&bar, Qt::LeftButton, {}, AlongH(35));
  QTest::mouseMove(&bar, AlongH(40));
  QTest::mouseRelease(&bar, Qt::LeftButton, {}, AlongH(40));
  EXPECT_EQ(bar.Value(), 64);
  EXPECT_EQ(bar.ThumbPos(), 16);
  EXPECT_EQ(changes.count(), 0);
}

TEST(Sliders, TheThumbFollowsRelativeMotionAndHoldsAtTheEndsWhileOnChangeKeepsFiring) {
  TMyTrackBar bar;
  bar.SetValue(64);  // thumb at 16
  QSignalSpy changes(&bar, &TMyTrackBar::OnChange);
  std::vector<int> reported;
  QObject::connect(&bar, &TMyTrackBar::OnChange, [&] { reported.push_back(bar.Value()); });
  QTest::mousePress(&bar, Qt::LeftButton, {}, AlongH(20));
  QTest::mouseMove(&bar, AlongH(25));   // thumb 21
  QTest::mouseMove(&bar, AlongH(200));  // far past the right end
  QTest::mouseMove(&bar, AlongH(300));
  EXPECT_EQ(bar.ThumbPos(), 31);
  QTest::mouseMove(&bar, {300, 60});  // well below the control: still dragging
  QTest::mouseRelease(&bar, Qt::LeftButton, {}, {300, 60});
  EXPECT_EQ(reported, (std::vector<int>{((31 - 21) * 0 + (21 - 1) * 127) / 30, 127, 127, 127}));
  EXPECT_EQ(changes.count(), 4);

  // Release ends the drag without OnChange; moves afterwards do nothing.
  MoveWithoutButtons(bar, AlongH(5));
  EXPECT_EQ(bar.ThumbPos(), 31);
  EXPECT_EQ(changes.count(), 4);

  TMyTrackBarV v;  // thumb at 81, value 0
  QSignalSpy vChanges(&v, &TMyTrackBarV::OnChange);
  QTest::mousePress(&v, Qt::LeftButton, {}, AlongV(85));
  QTest::mouseMove(&v, AlongV(-400));
  EXPECT_EQ(v.ThumbPos(), 1);
  EXPECT_EQ(v.Value(), 127);
  QTest::mouseMove(&v, AlongV(-500));
  EXPECT_EQ(v.Value(), 127);
  QTest::mouseRelease(&v, Qt::LeftButton, {}, AlongV(-500));
  EXPECT_EQ(vChanges.count(), 2);
}

TEST(Sliders, AfterOvershootingAnEndTheThumbMovesAgainOnceThePointerIsBackInside) {
  struct Step {
    int pointer, thumb;
  };
  // The remembered pointer position is clamped into 1..41 before each move, the new one is not.
  const Step fromTheRight[] = {{60, 31}, {50, 31}, {38, 28}, {30, 20}};
  TMyTrackBar bar;
  bar.SetValue(127);  // thumb 31
  QTest::mousePress(&bar, Qt::LeftButton, {}, AlongH(35));
  for (const Step& s : fromTheRight) {
    QTest::mouseMove(&bar, AlongH(s.pointer));
    EXPECT_EQ(bar.ThumbPos(), s.thumb) << "pointer at " << s.pointer;
  }
  QTest::mouseRelease(&bar, Qt::LeftButton, {}, AlongH(30));

  const Step fromTheLeft[] = {{-20, 1}, {-10, 1}, {5, 5}, {9, 9}};
  TMyTrackBar left;  // thumb 1
  QTest::mousePress(&left, Qt::LeftButton, {}, AlongH(3));
  for (const Step& s : fromTheLeft) {
    QTest::mouseMove(&left, AlongH(s.pointer));
    EXPECT_EQ(left.ThumbPos(), s.thumb) << "pointer at " << s.pointer;
  }
  QTest::mouseRelease(&left, Qt::LeftButton, {}, AlongH(9));
}

TEST(Sliders, TheRightButtonDragsTheHorizontalSliderButIsIgnoredByTheVerticalOne) {
  TMyTrackBar h;
  QTest::mousePress(&h, Qt::RightButton, {}, AlongH(3));
  EXPECT_TRUE(h.Dragging());
  QTest::mouseMove(&h, AlongH(13));
  EXPECT_EQ(h.ThumbPos(), 11);
  QTest::mouseRelease(&h, Qt::RightButton, {}, AlongH(13));

  TMyTrackBarV v;
  QSignalSpy changes(&v, &TMyTrackBarV::OnChange);
  QTest::mousePress(&v, Qt::RightButton, {}, AlongV(85));
  EXPECT_FALSE(v.Dragging());
  // A left press while the right button is still held is ignored as well.
  QTest::mousePress(&v, Qt::LeftButton, {}, AlongV(85));
  EXPECT_FALSE(v.Dragging());
  QTest::mouseMove(&v, AlongV(50));
  QTest::mouseRelease(&v, Qt::LeftButton, {}, AlongV(50));
  QTest::mouseRelease(&v, Qt::RightButton, {}, AlongV(50));
  EXPECT_EQ(v.ThumbPos(), 81);
  EXPECT_EQ(changes.count(), 0);
  // Once the right button is up, a left press drags again.
  QTest::mousePress(&v, Qt::LeftButton, {}, AlongV(85));
  EXPECT_TRUE(v.Dragging());
  QTest::mouseRelease(&v, Qt::LeftButton, {}, AlongV(85));
}

TEST(Sliders, PropertyWritesClampAsTheyAlwaysHave) {
  struct Case {
    int written, horizontal, vertical;
  };
  // CWidth: at least 1, at most the height minus 4 (13 − 4 and 97 − 4).
  for (const Case c : {Case{0, 1, 1}, Case{-3, 1, 1}, Case{5, 5, 5}, Case{20, 9, 20}, Case{200, 9, 93}}) {
    TMyTrackBar h;
    TMyTrackBarV v;
    h.SetCWidth(c.written);
    v.SetCWidth(c.written);
    EXPECT_EQ(h.CWidth(), c.horizontal) << c.written;
    EXPECT_EQ(v.CWidth(), c.vertical) << c.written;
  }
  // SWidth: at most the width minus 2 for both; the thumb is not moved.
  for (const Case c : {Case{50, 41, 17}, Case{12, 12, 12}}) {
    TMyTrackBar h;
    TMyTrackBarV v;
    h.SetSWidth(c.written);
    v.SetSWidth(c.written);
    EXPECT_EQ(h.SWidth(), c.horizontal) << c.written;
    EXPECT_EQ(v.SWidth(), c.vertical) << c.written;
    EXPECT_EQ(h.ThumbPos(), 1);
    EXPECT_EQ(v.ThumbPos(), 81);
  }
  TMyTrackBar bar;
  QSignalSpy changes(&bar, &TMyTrackBar::OnChange);
  bar.SetValue(64);
  bar.SetMin(200);
  EXPECT_EQ(bar.Min(), 127) << "Min above Max stores Max";
  bar.SetMin(0);
  bar.SetMax(-5);
  EXPECT_EQ(bar.Max(), 0) << "Max below Min stores Min";
  EXPECT_EQ(bar.Value(), 64) << "the range writes leave Value alone";
  EXPECT_EQ(bar.ThumbPos(), 16);
  bar.SetCWidth(2);
  bar.SetSWidth(8);
  EXPECT_EQ(changes.count(), 0) << "property writes never notify";
}

TEST(Sliders, DegenerateRangesAndThumbsDoNotDivideByZero) {
  TMyTrackBar bar;
  bar.SetMax(5);
  bar.SetMin(5);
  bar.SetValue(9);
  EXPECT_EQ(bar.Value(), 5);
  EXPECT_EQ(bar.ThumbPos(), 1);

  // A thumb as long as the travel: no room to move; dragging keeps it at the low end.
  TMyTrackBar longThumb;
  longThumb.SetSWidth(41);
  QSignalSpy changes(&longThumb, &TMyTrackBar::OnChange);
  QTest::mousePress(&longThumb, Qt::LeftButton, {}, AlongH(5));
  QTest::mouseMove(&longThumb, AlongH(30));
  QTest::mouseRelease(&longThumb, Qt::LeftButton, {}, AlongH(30));
  EXPECT_EQ(longThumb.ThumbPos(), 1);
  EXPECT_EQ(longThumb.Value(), 0);
  EXPECT_EQ(changes.count(), 1);

  // The full 32-bit range scales without overflow.
  TMyTrackBar wide;
  wide.SetMin(INT_MIN);
  wide.SetMax(INT_MAX);
  wide.SetValue(0);
  EXPECT_EQ(wide.ThumbPos(), 16);
  wide.SetValue(INT_MAX);
  EXPECT_EQ(wide.ThumbPos(), 31);
  DragThumb(wide, AlongH, 0);
  EXPECT_EQ(wide.Value(), INT_MAX);
}
