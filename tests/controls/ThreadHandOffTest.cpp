#include <gtest/gtest.h>

#include <QCoreApplication>
#include <thread>

#include "controls/Ekisyou.h"
#include "controls/LevelMeter.h"
#include "controls/UpDownButton.h"

// Notes and program changes from the peer may be shown from the serial thread.
TEST(ControlsWrittenFromAnotherThread, TakeTheValuesOnTheUiThreadInTheOrderWritten) {
  TLevelMeter meter;
  TEkisyou display;
  TUpDownButton button;
  button.SetMax(127);
  std::thread serial([&] {
    meter.SetValue(100);
    meter.SetValue(20);
    display.SetValue(5);
    display.SetValue(42);
    button.SetValue(7);
    button.SetValue(24);
  });
  serial.join();
  EXPECT_EQ(display.Value(), 0) << "nothing changes behind the UI thread's back";
  EXPECT_EQ(button.Value(), 0);
  EXPECT_FALSE(meter.Falling());

  QCoreApplication::processEvents();
  EXPECT_EQ(display.Value(), 42);
  EXPECT_EQ(button.Value(), 24);
  EXPECT_EQ(meter.Value(), 20);
  EXPECT_EQ(meter.DarkCount(), 23 - 100 * 23 / 127) << "the higher, earlier level stands";
  EXPECT_TRUE(meter.Falling()) << "the fall timer was started on the UI thread";
}
