// Writes pictures of every control in several states for a person to look at:
// $SONAVEL_TEST_OUTPUT/controls/<control>-<state>@<ratio>x.png, plus sheet.png with all of them
// enlarged four times.

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTest>
#include <QTimer>
#include <functional>
#include <vector>

#include "controls/Ekisyou.h"
#include "controls/LevelMeter.h"
#include "controls/MyTrackBar.h"
#include "controls/MyTrackBarV.h"
#include "controls/UpDownButton.h"

namespace {

struct Shot {
  QString name;
  QImage single, doubled;
};

class Gallery : public ::testing::Test {
 protected:
  void SetUp() override {
    const QByteArray root = qgetenv("SONAVEL_TEST_OUTPUT");
    ASSERT_FALSE(root.isEmpty()) << "SONAVEL_TEST_OUTPUT names the folder for pictures";
    folder = QDir(QString::fromLocal8Bit(root)).filePath(QStringLiteral("controls"));
    ASSERT_TRUE(QDir().mkpath(folder));
  }

  template <typename Control>
  void Take(const QString& name, Control& control) {
    shots.push_back({name, control.Picture(1).toImage(), control.Picture(2).toImage()});
  }

  void Save(const QString& file, const QImage& image) {
    const QString path = QDir(folder).filePath(file);
    ASSERT_TRUE(image.save(path)) << path.toStdString();
    const QImage back(path);
    EXPECT_EQ(back.size(), image.size()) << path.toStdString();
  }

  QString folder;
  std::vector<Shot> shots;
};

// Lets a meter's fall timer tick once and holds it there.
void ShowLevel(TLevelMeter& meter, int value) {
  meter.SetDownWait(1);
  meter.SetValue(value);
  auto* timer = meter.findChild<QTimer*>(QStringLiteral("fallTimer"));
  bool ticked = false;
  QObject::connect(timer, &QTimer::timeout, [&] {
    ticked = true;
    timer->stop();
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return ticked; }, 10000));
}

}  // namespace

TEST_F(Gallery, WritesEveryControlInSeveralStates) {
  for (const int value : {0, 64, 127}) {
    TMyTrackBar bar;
    bar.SetValue(value);
    Take(QStringLiteral("trackbar-%1").arg(value), bar);
  }
  {
    TMyTrackBar bar;
    bar.SetCWidth(3);
    bar.SetValue(100);
    Take(QStringLiteral("trackbar-100-cwidth3"), bar);
  }
  for (const int value : {0, 100, 127}) {
    TMyTrackBarV bar;
    bar.SetValue(value);
    Take(QStringLiteral("trackbarv-%1").arg(value), bar);
  }
  for (const int value : {0, 5, 64, 127}) {
    TLevelMeter meter;
    ShowLevel(meter, value);
    Take(QStringLiteral("levelmeter-%1").arg(value), meter);
  }
  const std::pair<const char*, std::vector<std::pair<Qt::MouseButton, QPoint>>> spins[] = {
      {"released", {}},
      {"up-pressed", {{Qt::LeftButton, {7, 5}}}},
      {"down-pressed", {{Qt::LeftButton, {7, 15}}}},
      {"both-pressed", {{Qt::LeftButton, {7, 5}}, {Qt::RightButton, {7, 15}}}},
  };
  for (const auto& [state, presses] : spins) {
    TUpDownButton button;
    for (const auto& [b, at] : presses) QTest::mousePress(&button, b, {}, at);
    Take(QStringLiteral("updownbutton-%1").arg(QLatin1String(state)), button);
    for (const auto& [b, at] : presses) QTest::mouseRelease(&button, b, {}, {40, 40});
  }
  for (const int figures : {2, 3, 5}) {
    for (const int value : {7, 100, 1234, 98765}) {
      TEkisyou display;
      display.SetFigureNum(figures);
      display.SetValue(value);
      Take(QStringLiteral("ekisyou-%1-on-%2").arg(value).arg(figures), display);
    }
  }

  for (const Shot& shot : shots) {
    Save(shot.name + QStringLiteral("@1x.png"), shot.single);
    Save(shot.name + QStringLiteral("@2x.png"), shot.doubled);
  }

  // One sheet, each picture enlarged four times without smoothing, on the panels' silver.
  constexpr int kZoom = 4;
  constexpr int kGap = 8;
  constexpr int kSheetWidth = 900;
  int x = kGap, y = kGap, rowHeight = 0;
  std::vector<std::pair<QPoint, const QImage*>> placed;
  for (const Shot& shot : shots) {
    const QSize size = shot.single.size() * kZoom;
    if (x + size.width() > kSheetWidth) {
      x = kGap;
      y += rowHeight + kGap;
      rowHeight = 0;
    }
    placed.emplace_back(QPoint(x, y), &shot.single);
    x += size.width() + kGap;
    rowHeight = std::max(rowHeight, size.height());
  }
  QImage sheet(kSheetWidth, y + rowHeight + kGap, QImage::Format_RGB32);
  sheet.fill(QColor(0xC0, 0xC0, 0xC0));
  {
    QPainter painter(&sheet);
    for (const auto& [at, image] : placed) painter.drawImage(QRect(at, image->size() * kZoom), *image);
  }
  Save(QStringLiteral("sheet.png"), sheet);
  EXPECT_EQ(shots.size(), 4u + 3u + 4u + 4u + 12u);
}
