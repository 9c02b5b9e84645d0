// The built-in synth heard through a real sound server: a headless PipeWire of the test's own,
// its null sink's monitor listened to.
#include <gtest/gtest.h>

#include <QTest>
#include <chrono>

#include "platform/midi/GmSynth.h"
#include "support/PipeWireSession.h"

namespace {

constexpr float kAudible = 0.01f;
constexpr float kSilent = 1e-4f;

// Sends a message; the synth's word that the machine crackled (the message went) does not
// stop a test of what is heard.
void Play(GmSynth& synth, ShortMessage message) {
  try {
    synth.SendShort(message);
  } catch (const MidiDeviceError& e) {
    if (!e.Message().contains(QStringLiteral("途切れ"))) throw;
  }
}

// The loudest sample the sink plays during the next `ms` milliseconds.
float PeakOver(SinkMonitor& monitor, int ms) {
  monitor.TakePeak();
  QTest::qWait(ms);
  return monitor.TakePeak();
}

class SynthOnPipeWire : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!session.Running()) GTEST_SKIP() << "no headless PipeWire: " << session.Error();
  }
  PipeWireSession session;
};

TEST_F(SynthOnPipeWire, ANoteIsHeardOnTheSinkAndSilenceAfterItsRelease) {
  struct Case {
    const char* driver;  // empty: the program's choice
    const char* path;
  } cases[] = {{"", "pipewire"}, {"pulseaudio", "pulseaudio"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    GmSynth::Options o;
    o.audioDriver = QString::fromLatin1(c.driver);
    GmSynth synth(o);
    EXPECT_EQ(synth.AudioDriver(), QString::fromLatin1(c.path));
    SinkMonitor monitor;
    ASSERT_TRUE(monitor.Listening());
    ASSERT_TRUE(QTest::qWaitFor([&] { return monitor.Frames() > 4800; }, 5000)) << "the monitor hears nothing";
    EXPECT_LT(PeakOver(monitor, 200), kSilent);
    Play(synth, PackShort(0x90, 60, 110));
    EXPECT_GT(PeakOver(monitor, 500), kAudible);
    Play(synth, PackShort(0x80, 60, 0));
    QTest::qWait(3000);  // the piano's release and the reverb's tail
    EXPECT_LT(PeakOver(monitor, 300), kSilent);
  }
}

TEST_F(SynthOnPipeWire, TheGraphRunsTheSynthAtThePeriodAskedFor) {
  for (int frames : {64, 256}) {
    GmSynth::Options o;
    o.audioDriver = QStringLiteral("pipewire");
    o.bufferFrames = frames;
    GmSynth synth(o);
    ASSERT_TRUE(QTest::qWaitFor([&] { return synth.Status()->frames.load() == frames; }, 3000))
        << frames << " asked, " << synth.Status()->frames.load() << " granted";
    EXPECT_EQ(synth.Status()->rate.load(), 48000);
  }
}

// Another program forces the graph to 44.1 kHz while the synth plays: the synth follows it (no
// resampling), and what the player set on a channel (here its volume, down to nothing) holds.
TEST_F(SynthOnPipeWire, TheSynthFollowsTheGraphToANewRateAndKeepsTheChannelsAsSet) {
  GmSynth synth(GmSynth::Options{});
  SinkMonitor monitor;
  ASSERT_TRUE(QTest::qWaitFor([&] { return monitor.Frames() > 4800; }, 5000)) << "the monitor hears nothing";
  Play(synth, PackShort(0xB0, 7, 0));
  session.ForceRate(44100);
  ASSERT_TRUE(QTest::qWaitFor([&] { return synth.Rate() == 44100; }, 5000)) << synth.Rate();
  EXPECT_EQ(synth.Status()->rate.load(), 44100);
  struct Case {
    int channel;
    float louder, quieter;
  } const cases[] = {{0, 0.0f, kAudible}, {1, kAudible, 1.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channel);
    Play(synth, PackShort(0x90 + c.channel, 60, 110));
    const float peak = PeakOver(monitor, 500);
    EXPECT_GT(peak, c.louder);
    EXPECT_LT(peak, c.quieter);
    Play(synth, PackShort(0xB0 + c.channel, 120, 0));
  }
}

TEST_F(SynthOnPipeWire, AServerThatGoesAwayIsToldOnceAndNothingHangs) {
  GmSynth synth(GmSynth::Options{});
  Play(synth, PackShort(0x90, 60, 110));
  session.StopServers();
  int told = 0;
  QString message;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    try {
      synth.SendShort(PackShort(0x90, 62, 110));
      synth.SendShort(PackShort(0x80, 62, 0));
    } catch (const MidiDeviceError& e) {
      ++told;
      message = e.Message();
    }
    QTest::qWait(20);
  }
  EXPECT_EQ(told, 1);
  EXPECT_TRUE(message.contains(QStringLiteral("サウンドサーバー"))) << message.toStdString();
  synth.Reset();  // and the synth closes at the end of the test without waiting for anyone
}

}  // namespace
