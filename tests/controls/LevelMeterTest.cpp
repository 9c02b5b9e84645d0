#include <gtest/gtest.h>

#include <QPaintEvent>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <functional>
#include <vector>

#include "ReferenceCanvas.h"
#include "controls/LevelMeter.h"

using namespace reference;

namespace {

// A segment as the meter's picture describes it: three rows of its face colour between light
// green end pixels, then a light green row.
void ExpectedSegment(Canvas& e, int top, QRgb face) {
  for (int row = 0; row < 3; ++row) {
    e.Set(1, top + row, kGround);
    e.Fill(2, top + row, 13, top + row + 1, face);
    e.Set(13, top + row, kGround);
  }
  e.Fill(1, top + 3, 14, top + 4, kGround);
}

Canvas ExpectedMeter(int darkCount) {
  Canvas e(15, 97);
  for (int i = 0; i < 23; ++i) ExpectedSegment(e, 3 + 4 * i, i < darkCount ? kUnlit : kBlack);
  e.Fill(1, 1, 14, 3, kGround);
  e.Fill(1, 94, 14, 96, kGround);
  e.Fill(0, 0, 15, 1, kGrey);
  e.Fill(0, 0, 1, 97, kGrey);
  e.Fill(0, 96, 15, 97, kWhite);
  e.Fill(14, 0, 15, 97, kWhite);
  return e;
}

QTimer* FallTimerOf(TLevelMeter& meter) {
  return meter.findChild<QTimer*>(QStringLiteral("fallTimer"));
}

// Records what each tick of the fall timer left on show, until the timer stops. `atTick` may act
// between ticks (it runs after the meter's own tick handler).
struct FallRecord {
  std::vector<int> shown;  // ShownDarkCount after each tick that drew
  int ticks = 0;
  int timerIds = 0;
};

FallRecord RecordFall(TLevelMeter& meter, const std::function<void(int tick)>& atTick = {}) {
  FallRecord record;
  QTimer* timer = FallTimerOf(meter);
  const int id = timer->timerId();
  const auto connection = QObject::connect(timer, &QTimer::timeout, [&] {
    ++record.ticks;
    if (meter.Falling()) record.shown.push_back(meter.ShownDarkCount());
    if (meter.Falling() && timer->timerId() != id) ++record.timerIds;
    if (atTick) atTick(record.ticks);
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return !meter.Falling(); }, 10000));
  QObject::disconnect(connection);
  return record;
}

// Lets the fall timer tick once and holds the meter there.
void TickOnce(TLevelMeter& meter) {
  QTimer* timer = FallTimerOf(meter);
  ASSERT_TRUE(timer->isActive());
  bool ticked = false;
  const auto connection = QObject::connect(timer, &QTimer::timeout, [&] {
    ticked = true;
    timer->stop();
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return ticked; }, 10000));
  QObject::disconnect(connection);
}

std::vector<int> Range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i <= to; ++i) v.push_back(i);
  return v;
}

}  // namespace

TEST(LevelMeter, IsBuiltEmptyAndIdle) {
  TLevelMeter meter;
  EXPECT_EQ(meter.size(), QSize(15, 97));
  EXPECT_EQ(meter.DownWait(), 20);
  EXPECT_EQ(meter.Max(), 127);
  EXPECT_EQ(meter.Min(), 0);
  EXPECT_EQ(meter.Value(), 0);
  EXPECT_EQ(meter.DarkCount(), 23);
  EXPECT_FALSE(meter.Falling());
  meter.resize(40, 40);
  EXPECT_EQ(meter.size(), QSize(15, 97)) << "the meter keeps its size";
}

TEST(LevelMeter, PropertyWritesClamp) {
  TLevelMeter meter;
  meter.SetDownWait(-5);
  EXPECT_EQ(meter.DownWait(), 0);
  meter.SetDownWait(25);
  EXPECT_EQ(meter.DownWait(), 25);
  meter.SetMin(200);
  EXPECT_EQ(meter.Min(), 127) << "Min above Max stores Max";
  meter.SetMin(10);
  meter.SetMax(3);
  EXPECT_EQ(meter.Max(), 10) << "Max below Min stores Min";
  meter.SetMax(127);
  meter.SetValue(5);
  EXPECT_EQ(meter.Value(), 10) << "a level below Min is raised to it";
  meter.SetValue(300);
  EXPECT_EQ(meter.Value(), 127);
  meter.SetMin(0);
  meter.SetMax(127);
  EXPECT_EQ(meter.Value(), 127) << "range writes leave Value alone";
}

TEST(LevelMeter, ALevelLightsItsShareOfTheSegmentsAtTheFirstTick) {
  struct Case {
    int value, dark;
  };
  // 23 − value × 23 div 127: 64 gives 23 − 11, 5 gives 23 − 0.
  for (const Case c : {Case{127, 0}, Case{64, 12}, Case{5, 23}, Case{0, 23}, Case{126, 1}, Case{6, 22}}) {
    TLevelMeter meter;
    meter.SetDownWait(1);
    meter.SetValue(c.value);
    EXPECT_EQ(meter.DarkCount(), c.dark) << c.value;
    EXPECT_EQ(meter.ShownDarkCount(), 23) << "nothing is drawn before the first tick";
    EXPECT_TRUE(meter.Falling());
    TickOnce(meter);
    EXPECT_EQ(meter.DarkCount(), c.dark + 1);
    EXPECT_EQ(meter.ShownDarkCount(), c.dark) << c.value;
  }
}

TEST(LevelMeter, PictureFollowsTheDrawingSteps) {
  for (const int value : {0, 5, 64, 127}) {
    TLevelMeter meter;
    meter.SetDownWait(1);
    meter.SetValue(value);
    const int dark = meter.DarkCount();
    TickOnce(meter);
    ASSERT_EQ(meter.ShownDarkCount(), dark);
    const QImage single = ToArgb(meter.Picture(1));
    EXPECT_TRUE(SamePixels(single, ExpectedMeter(dark))) << "value " << value;
    EXPECT_TRUE(SharpDouble(ToArgb(meter.Picture(2)), single)) << "value " << value;
    EXPECT_EQ(ToArgb(meter.grab()), single) << "value " << value;
  }
}

TEST(LevelMeter, PictureSpotChecks) {
  TLevelMeter meter;
  const QImage p = ToArgb(meter.Picture(1));
  EXPECT_EQ(p.pixel(0, 0), kGrey);
  EXPECT_EQ(p.pixel(14, 0), kWhite);
  EXPECT_EQ(p.pixel(0, 96), kWhite);
  EXPECT_EQ(p.pixel(1, 1), kGround);
  EXPECT_EQ(p.pixel(1, 3), kGround) << "left end of the top segment";
  EXPECT_EQ(p.pixel(7, 3), kUnlit);
  EXPECT_EQ(p.pixel(2, 3), kUnlit);
  EXPECT_EQ(p.pixel(12, 5), kUnlit);
  EXPECT_EQ(p.pixel(13, 5), kGround);
  EXPECT_EQ(p.pixel(7, 6), kGround) << "the row between segments";
  EXPECT_EQ(p.pixel(7, 93), kUnlit) << "bottom segment, last face row";
  EXPECT_EQ(p.pixel(7, 94), kGround);
  EXPECT_EQ(p.pixel(7, 95), kGround);
}

TEST(LevelMeter, TheBarFallsOneSegmentPerTickAndTheTimerStopsWhenEmpty) {
  struct Case {
    int value;
    std::vector<int> shown;
  };
  // L lit segments are shown at the first tick, lose one per tick, and the tick after the empty
  // bar stops the timer: L + 2 ticks in all.
  const Case cases[] = {
      {64, Range(12, 23)},
      {127, Range(0, 23)},
      {0, {23}},
  };
  for (const Case& c : cases) {
    TLevelMeter meter;
    meter.SetDownWait(1);
    meter.SetValue(c.value);
    const FallRecord record = RecordFall(meter);
    EXPECT_EQ(record.shown, c.shown) << "value " << c.value;
    EXPECT_EQ(record.ticks, static_cast<int>(c.shown.size()) + 1) << "value " << c.value;
    EXPECT_EQ(meter.DarkCount(), TLevelMeter::kFallen);
    EXPECT_FALSE(FallTimerOf(meter)->isActive());

    // Idle: no further ticks.
    int later = 0;
    QObject::connect(FallTimerOf(meter), &QTimer::timeout, [&] { ++later; });
    QTest::qWait(30);
    EXPECT_EQ(later, 0);
  }
}

TEST(LevelMeter, TheHigherOfTwoLevelsBeforeTheFirstTickIsShown) {
  TLevelMeter meter;
  meter.SetDownWait(1);
  meter.SetValue(100);
  meter.SetValue(20);
  EXPECT_EQ(meter.Value(), 20);
  const FallRecord record = RecordFall(meter);
  EXPECT_EQ(record.shown, Range(23 - 100 * 23 / 127, 23));
}

TEST(LevelMeter, AHigherLevelDuringTheFallRaisesTheBarWithoutRestartingTheTimer) {
  TLevelMeter meter;
  meter.SetDownWait(1);
  meter.SetValue(64);  // 12 dark
  const FallRecord record = RecordFall(meter, [&](int tick) {
    if (tick == 2) meter.SetValue(5);    // below the bar: ignored
    if (tick == 3) meter.SetValue(127);  // above it: the next tick shows a full bar
  });
  std::vector<int> expected{12, 13, 14};
  const std::vector<int> rest = Range(0, 23);
  expected.insert(expected.end(), rest.begin(), rest.end());
  EXPECT_EQ(record.shown, expected);
  EXPECT_EQ(record.timerIds, 0) << "the running timer was kept";
}

TEST(LevelMeter, ALevelAfterTheFallStartsANewOne) {
  TLevelMeter meter;
  meter.SetDownWait(1);
  meter.SetValue(127);
  RecordFall(meter);
  meter.SetValue(64);
  EXPECT_TRUE(meter.Falling());
  EXPECT_EQ(RecordFall(meter).shown, Range(12, 23));
}

TEST(LevelMeter, ATickRepaintsOnlyTheSegments) {
  // Records the area of every paint the meter receives once it is on screen.
  struct PaintAreas : QObject {
    std::vector<QRect> areas;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) areas.push_back(static_cast<QPaintEvent*>(event)->rect());
      return false;
    }
  } paints;
  TLevelMeter meter;
  meter.SetDownWait(5);
  meter.installEventFilter(&paints);
  meter.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&meter));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !paints.areas.empty(); }));
  paints.areas.clear();
  meter.SetValue(127);
  RecordFall(meter);
  ASSERT_FALSE(paints.areas.empty());
  for (const QRect& area : paints.areas) EXPECT_EQ(area, QRect(1, 3, 13, 92));
}

TEST(LevelMeter, AMeterWithoutAPositiveMaxShowsNothingInsteadOfDividingByZero) {
  TLevelMeter meter;
  meter.SetMax(0);
  meter.SetValue(0);
  EXPECT_EQ(meter.Value(), 0);
  EXPECT_FALSE(meter.Falling());
  EXPECT_EQ(meter.DarkCount(), 23);
}
