#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

#include "ReferenceCanvas.h"
#include "controls/UpDownButton.h"

using namespace reference;

namespace {

constexpr QRgb kFace = 0xFF336699;  // a background no bevel colour can be mistaken for

void UpArrow(Canvas& e, int a, int b) {
  e.Set(a, b, kBlack);
  for (int x = a - 1; x <= a + 1; ++x) e.Set(x, b + 1, kBlack);
  for (int x = a - 2; x <= a + 2; ++x) e.Set(x, b + 2, kBlack);
}

void DownArrow(Canvas& e, int a, int b) {
  e.Set(a, b, kBlack);
  for (int x = a - 1; x <= a + 1; ++x) e.Set(x, b - 1, kBlack);
  for (int x = a - 2; x <= a + 2; ++x) e.Set(x, b - 2, kBlack);
}

// The spin button's drawing steps, pixel by pixel.
Canvas ExpectedButton(int w, int h, bool upPressed, bool downPressed) {
  Canvas e(w, h, kFace);
  const int m = h / 2;
  e.Poly({{0, 0}, {w - 1, 0}, {w - 1, h - 1}, {0, h - 1}, {0, 0}}, kBlack);
  e.Set(0, 0, kGrey);
  e.Set(w - 1, 0, kGrey);
  e.Set(0, h - 1, kGrey);
  e.Set(w - 1, h - 1, kGrey);
  e.Line(0, m, w - 1, m, kBlack);
  if (!upPressed) {
    e.Poly({{w - 2, 1}, {1, 1}, {1, m - 1}}, kWhite);
    e.Poly({{1, m - 1}, {w - 2, m - 1}, {w - 2, 1}}, kGrey);
    e.Set(1, 1, kSilver);
    e.Set(w - 2, 1, kBlack);
    e.Set(1, m - 1, kGrey);
    e.Set(w - 2, m - 1, kGrey);
    UpArrow(e, w / 2, h / 4 - 1);
  } else {
    e.Poly({{w - 2, 1}, {1, 1}, {1, m - 1}}, kGrey);
    e.Poly({{1, m - 1}, {w - 2, m - 1}, {w - 2, 1}}, kSilver);
    e.Set(1, 1, kGrey);
    e.Set(w - 2, 1, kGrey);
    UpArrow(e, w / 2 + 1, h / 4);
  }
  if (!downPressed) {
    e.Poly({{w - 2, m + 1}, {1, m + 1}, {1, h - 2}}, kWhite);
    e.Poly({{1, h - 2}, {w - 2, h - 2}, {w - 2, m + 1}}, kGrey);
    e.Set(1, m + 1, kSilver);
    e.Set(w - 2, m + 1, kBlack);
    e.Set(1, h - 2, kGrey);
    e.Set(w - 2, h - 2, kGrey);
    DownArrow(e, w / 2, 3 * (h / 4) + 1);
  } else {
    e.Poly({{w - 2, m + 1}, {1, m + 1}, {1, h - 2}}, kGrey);
    e.Poly({{1, h - 2}, {w - 2, h - 2}, {w - 2, m + 1}}, kSilver);
    e.Set(1, m + 1, kGrey);
    e.Set(w - 2, m + 1, kGrey);
    DownArrow(e, w / 2 + 1, 3 * (h / 4) + 2);
  }
  return e;
}

void UseFace(QWidget& w) {
  QPalette palette = w.palette();
  palette.setColor(w.backgroundRole(), QColor::fromRgb(kFace));
  w.setPalette(palette);
}

void MoveWithoutButtons(QWidget& w, QPoint at) {
  QMouseEvent move(QEvent::MouseMove, at, w.mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(&w, &move);
}

constexpr QPoint kUp{7, 5};
constexpr QPoint kDown{7, 15};

}  // namespace

TEST(UpDownButton, IsBuiltWithItsSizeAndDefaults) {
  TUpDownButton button;
  EXPECT_EQ(button.size(), QSize(15, 21));
  EXPECT_EQ(button.Min(), 0);
  EXPECT_EQ(button.Max(), 100);
  EXPECT_EQ(button.Value(), 0);
  EXPECT_FALSE(button.UpPressed());
  EXPECT_FALSE(button.DownPressed());
  button.resize(30, 40);
  EXPECT_EQ(button.size(), QSize(15, 21)) << "the button keeps its size";
}

TEST(UpDownButton, PropertyWritesClampAndNeverNotify) {
  TUpDownButton button;
  QSignalSpy changes(&button, &TUpDownButton::OnChange);
  button.SetValue(150);
  EXPECT_EQ(button.Value(), 100);
  button.SetValue(-4);
  EXPECT_EQ(button.Value(), 0);
  button.SetValue(2);
  button.SetMin(5);
  EXPECT_EQ(button.Min(), 5);
  EXPECT_EQ(button.Value(), 5) << "a higher Min raises Value";
  button.SetValue(10);
  button.SetMax(7);
  EXPECT_EQ(button.Value(), 7) << "a lower Max lowers Value";
  button.SetMax(3);
  EXPECT_EQ(button.Max(), 5) << "Max below Min stores Min";
  EXPECT_EQ(button.Value(), 5);
  button.SetMin(9);
  EXPECT_EQ(button.Min(), 5) << "Min above Max stores Max";
  EXPECT_EQ(changes.count(), 0);
}

TEST(UpDownButton, PictureFollowsTheDrawingSteps) {
  for (const bool up : {false, true}) {
    for (const bool down : {false, true}) {
      TUpDownButton button;
      UseFace(button);
      if (up) QTest::mousePress(&button, Qt::LeftButton, {}, kUp);
      if (down) QTest::mousePress(&button, Qt::RightButton, {}, kDown);
      ASSERT_EQ(button.UpPressed(), up);
      ASSERT_EQ(button.DownPressed(), down);
      const QImage single = ToArgb(button.Picture(1));
      EXPECT_TRUE(SamePixels(single, ExpectedButton(15, 21, up, down))) << "up " << up << " down " << down;
      EXPECT_TRUE(SharpDouble(ToArgb(button.Picture(2)), single));
      EXPECT_EQ(ToArgb(button.grab()), single);
      // Let go outside both halves so nothing steps and no button stays held for the next case.
      if (up) QTest::mouseRelease(&button, Qt::LeftButton, {}, {30, 30});
      if (down) QTest::mouseRelease(&button, Qt::RightButton, {}, {30, 30});
    }
  }
}

TEST(UpDownButton, PictureSpotChecks) {
  TUpDownButton button;
  UseFace(button);
  QImage p = ToArgb(button.Picture(1));
  // Released: arrows with tips at (7, 4) and (7, 16); raised bevels.
  EXPECT_EQ(p.pixel(7, 4), kBlack);
  EXPECT_EQ(p.pixel(6, 4), kFace);
  EXPECT_EQ(p.pixel(5, 6), kBlack);
  EXPECT_EQ(p.pixel(9, 6), kBlack);
  EXPECT_EQ(p.pixel(4, 6), kFace);
  EXPECT_EQ(p.pixel(7, 16), kBlack);
  EXPECT_EQ(p.pixel(5, 14), kBlack);
  EXPECT_EQ(p.pixel(7, 17), kFace);
  EXPECT_EQ(p.pixel(1, 1), kSilver);
  EXPECT_EQ(p.pixel(13, 1), kBlack);
  EXPECT_EQ(p.pixel(5, 1), kWhite);
  EXPECT_EQ(p.pixel(1, 5), kWhite);
  EXPECT_EQ(p.pixel(13, 5), kGrey);
  EXPECT_EQ(p.pixel(5, 9), kGrey);
  EXPECT_EQ(p.pixel(7, 10), kBlack) << "divider";
  EXPECT_EQ(p.pixel(0, 0), kGrey);
  EXPECT_EQ(p.pixel(14, 20), kGrey);
  EXPECT_EQ(p.pixel(3, 3), kFace);

  QTest::mousePress(&button, Qt::LeftButton, {}, kUp);
  p = ToArgb(button.Picture(1));
  EXPECT_EQ(p.pixel(8, 5), kBlack) << "the pressed arrow moves one pixel down and right";
  EXPECT_EQ(p.pixel(7, 4), kFace);
  EXPECT_EQ(p.pixel(5, 1), kGrey);
  EXPECT_EQ(p.pixel(13, 5), kSilver);
  EXPECT_EQ(p.pixel(1, 1), kGrey);
  EXPECT_EQ(p.pixel(13, 1), kGrey);
  QTest::mouseRelease(&button, Qt::LeftButton, {}, {30, 30});
}

TEST(UpDownButton, ClicksStepOncePerReleaseInsideTheHalfAndStopAtTheEnds) {
  struct Case {
    QPoint press, release;
    int start, value;
    bool upAfter, downAfter;
  };
  // 15 × 21: the press and release zones are x 2..13, y 2..9 (upper) and y 11..19 (lower).
  const Case cases[] = {
      {{7, 5}, {7, 5}, 3, 4, false, false},   {{7, 15}, {7, 15}, 3, 2, false, false},
      {{7, 5}, {7, 5}, 15, 15, false, false},  // at Max: drawn pressed and released, no step
      {{7, 15}, {7, 15}, 0, 0, false, false},  // at Min
      {{7, 10}, {7, 10}, 3, 3, false, false},  // the divider row presses neither half
      {{1, 5}, {1, 5}, 3, 3, false, false},   {{2, 5}, {2, 5}, 3, 4, false, false},
      {{13, 5}, {13, 5}, 3, 4, false, false}, {{14, 5}, {14, 5}, 3, 3, false, false},
      {{7, 1}, {7, 1}, 3, 3, false, false},   {{7, 2}, {7, 2}, 3, 4, false, false},
      {{7, 9}, {7, 9}, 3, 4, false, false},   {{7, 11}, {7, 11}, 3, 2, false, false},
      {{7, 19}, {7, 19}, 3, 2, false, false}, {{7, 20}, {7, 20}, 3, 3, false, false},
      {{7, 5}, {14, 5}, 3, 3, true, false},  // a release on the edge keeps the half pressed
      {{7, 15}, {1, 15}, 3, 3, false, true},
  };
  for (const Case& c : cases) {
    TUpDownButton button;
    button.SetMax(15);
    button.SetValue(c.start);
    QSignalSpy changes(&button, &TUpDownButton::OnChange);
    QTest::mousePress(&button, Qt::LeftButton, {}, c.press);
    QTest::mouseRelease(&button, Qt::LeftButton, {}, c.release);
    const std::string where = "press " + std::to_string(c.press.x()) + "," + std::to_string(c.press.y()) +
                              " release " + std::to_string(c.release.x()) + "," +
                              std::to_string(c.release.y());
    EXPECT_EQ(button.Value(), c.value) << where;
    EXPECT_EQ(changes.count(), c.value != c.start ? 1 : 0) << where;
    EXPECT_EQ(button.UpPressed(), c.upAfter) << where;
    EXPECT_EQ(button.DownPressed(), c.downAfter) << where;
  }
}

TEST(UpDownButton, LeavingAHalfCancelsItsClickForGood) {
  struct Case {
    const char* what;
    QPoint press;
    std::vector<QPoint> moves;
    QPoint release;
    int value;  // from 3
  };
  const Case cases[] = {
      {"drag into the lower half", kUp, {{7, 12}, {7, 15}}, {7, 15}, 3},
      {"out and back again", kUp, {{7, -3}, kUp}, kUp, 3},
      {"past the right edge", kUp, {{15, 5}, kUp}, kUp, 3},
      {"within the hold zone, which reaches the divider and the edge", kUp, {{14, 5}, {7, 10}, kUp}, kUp, 4},
      {"lower half onto the divider and back", kDown, {{7, 10}, kDown}, kDown, 2},
      {"lower half above the divider", kDown, {{7, 9}, kDown}, kDown, 3},
  };
  for (const Case& c : cases) {
    TUpDownButton button;
    button.SetValue(3);
    QSignalSpy changes(&button, &TUpDownButton::OnChange);
    QTest::mousePress(&button, Qt::LeftButton, {}, c.press);
    for (const QPoint& at : c.moves) QTest::mouseMove(&button, at);
    QTest::mouseRelease(&button, Qt::LeftButton, {}, c.release);
    EXPECT_EQ(button.Value(), c.value) << c.what;
    EXPECT_EQ(changes.count(), c.value == 3 ? 0 : 1) << c.what;
    EXPECT_FALSE(button.UpPressed()) << c.what;
    EXPECT_FALSE(button.DownPressed()) << c.what;
  }
}

TEST(UpDownButton, AHalfLeftPressedByAnEdgeReleaseIsLetGoWhenThePointerLeavesIt) {
  TUpDownButton button;
  button.SetValue(3);
  QSignalSpy changes(&button, &TUpDownButton::OnChange);
  QTest::mousePress(&button, Qt::LeftButton, {}, kUp);
  QTest::mouseRelease(&button, Qt::LeftButton, {}, {14, 5});
  ASSERT_TRUE(button.UpPressed());
  MoveWithoutButtons(button, {12, 8});
  EXPECT_TRUE(button.UpPressed()) << "still over the half";
  MoveWithoutButtons(button, {12, 14});
  EXPECT_FALSE(button.UpPressed());

  QTest::mousePress(&button, Qt::LeftButton, {}, kDown);
  QTest::mouseRelease(&button, Qt::LeftButton, {}, {14, 15});
  ASSERT_TRUE(button.DownPressed());
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&button, &leave);
  EXPECT_FALSE(button.DownPressed()) << "leaving the control leaves the half";
  EXPECT_EQ(button.Value(), 3);
  EXPECT_EQ(changes.count(), 0);
}

TEST(UpDownButton, HoldingAHalfDoesNotRepeat) {
  TUpDownButton button;
  QSignalSpy changes(&button, &TUpDownButton::OnChange);
  QTest::mousePress(&button, Qt::LeftButton, {}, kUp);
  QTest::qWait(150);
  EXPECT_EQ(button.Value(), 0);
  EXPECT_EQ(changes.count(), 0);
  QTest::mouseRelease(&button, Qt::LeftButton, {}, kUp);
  EXPECT_EQ(button.Value(), 1);
  EXPECT_EQ(changes.count(), 1);
}

TEST(UpDownButton, EveryMouseButtonClicks) {
  for (const Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
    TUpDownButton button;
    QTest::mouseClick(&button, b, {}, kUp);
    EXPECT_EQ(button.Value(), 1) << b;
  }
}
