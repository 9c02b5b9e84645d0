#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <vector>

#include "platform/midi/GmSynth.h"
#include "platform/midi/SystemMidi.h"

namespace {

constexpr double kRate = 44100.0;

GmSynth::Options Offline() {
  GmSynth::Options o;
  o.audioDriver = QStringLiteral("none");
  o.sampleRate = kRate;
  return o;
}

// Root mean square level of the next `seconds` of the synth's output.
double Level(GmSynth& synth, double seconds) {
  const auto frames = static_cast<std::size_t>(seconds * kRate);
  std::vector<float> left(frames), right(frames);
  synth.Render(left, right);
  double sum = 0;
  for (std::size_t i = 0; i < frames; ++i) sum += double(left[i]) * left[i] + double(right[i]) * right[i];
  return std::sqrt(sum / (2.0 * static_cast<double>(frames)));
}

constexpr double kSilence = 1e-4;
constexpr double kAudible = 1e-3;

TEST(GmSynth, SilentUntilANoteIsPlayed) {
  GmSynth synth(Offline());
  EXPECT_LT(Level(synth, 0.1), kSilence);
  synth.SendShort(PackShort(0x90, 60, 100));
  EXPECT_GT(Level(synth, 0.2), kAudible);
  EXPECT_GT(synth.ActiveVoices(), 0);
}

TEST(GmSynth, NoteOnWithVelocityZeroEndsTheNote) {
  GmSynth synth(Offline());
  synth.SendShort(PackShort(0x90, 60, 100));
  Level(synth, 0.1);
  synth.SendShort(PackShort(0x90, 60, 0));
  Level(synth, 3.0);  // the piano's release tail
  EXPECT_LT(Level(synth, 0.1), kSilence);
}

TEST(GmSynth, AllNotesOffSilencesEveryChannel) {
  GmSynth synth(Offline());
  for (int ch : {0, 1, 9, 15}) synth.SendShort(PackShort(0x90 + ch, 64, 110));
  EXPECT_GT(Level(synth, 0.2), kAudible);
  for (int ch = 0; ch < 16; ++ch) synth.SendShort(PackShort(0xB0 + ch, 123, 0));
  Level(synth, 3.0);
  EXPECT_LT(Level(synth, 0.1), kSilence);
}

TEST(GmSynth, ResetSilencesAtOnce) {
  GmSynth synth(Offline());
  synth.SendShort(PackShort(0xC0, 48, 0));  // strings: a long sustain
  synth.SendShort(PackShort(0x90, 60, 120));
  EXPECT_GT(Level(synth, 0.3), kAudible);
  synth.Reset();
  Level(synth, 0.01);
  EXPECT_EQ(synth.ActiveVoices(), 0);
  Level(synth, 1.5);  // only the reverb's tail is left to fade
  EXPECT_LT(Level(synth, 0.1), kSilence);
}

TEST(GmSynth, VolumeControllerZeroMutesTheChannel) {
  GmSynth synth(Offline());
  synth.SendShort(PackShort(0xB2, 7, 0));
  synth.SendShort(PackShort(0x92, 60, 120));
  EXPECT_LT(Level(synth, 0.2), kSilence);
  synth.SendShort(PackShort(0x93, 60, 120));  // another channel still sounds
  EXPECT_GT(Level(synth, 0.2), kAudible);
}

TEST(GmSynth, TakesGmSystemOnAndRefusesBrokenSystemExclusive) {
  GmSynth synth(Offline());
  const std::uint8_t gmOn[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
  EXPECT_TRUE(synth.SendLong(gmOn));
  const std::uint8_t unterminated[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01};
  EXPECT_FALSE(synth.SendLong(unterminated));
  EXPECT_FALSE(synth.SendLong({}));
}

TEST(GmSynth, AMissingSoundFontIsReportedByName) {
  GmSynth::Options o = Offline();
  o.soundFont = QStringLiteral("/nonexistent/none.sf2");
  try {
    GmSynth synth(o);
    FAIL() << "opened without a sound font";
  } catch (const MidiDeviceError& e) {
    EXPECT_TRUE(e.Message().contains(QStringLiteral("/nonexistent/none.sf2"))) << e.what();
  }
}

TEST(GmSynth, NoAudioOutputFailsWithTheReason) {
  if (access("/dev/snd", F_OK) == 0) GTEST_SKIP() << "this machine has a sound card";
  GmSynth::Options o;
  o.audioDriver = QStringLiteral("alsa");
  try {
    GmSynth synth(o);
    FAIL() << "opened ALSA audio without a sound card";
  } catch (const MidiDeviceError& e) {
    EXPECT_TRUE(e.Message().contains(QStringLiteral("alsa"))) << e.what();
  }
}

}  // namespace

namespace {

// The first frame of `samples` that is not silent, -1 when all are.
int Onset(const std::vector<float>& samples) {
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (std::fabs(samples[i]) > 1e-6f) return static_cast<int>(i);
  }
  return -1;
}

TEST(GmSynth, ANoteSoundsWhereItWasPlayedWithinThePeriodBefore) {
  constexpr int kFrames = 1024;
  constexpr std::int64_t kCycle = 1'000'000'000'000;  // any monotonic time
  constexpr std::int64_t kFrameNs = 1'000'000'000 / 48000;
  GmSynth::Options o = Offline();
  o.sampleRate = 48000;
  struct Case {
    std::int64_t playedAt;  // relative to the start of the cycle being rendered
    int onset;              // where the note starts in that cycle, -1: not yet
  } cases[] = {
      {-kFrames * kFrameNs, 0},                // as the cycle before began
      {-(kFrames - 300) * kFrameNs, 300},      // within it
      {-(kFrames - 900) * kFrameNs, 900},      // late in it
      {-3 * kFrames * kFrameNs, 0},            // arrived late: at once
      {10 * kFrameNs, -1},                     // during this cycle: in the next period
  };
  for (const Case& c : cases) {
    GmSynth synth(o);
    synth.SendShortAt(kCycle + c.playedAt, PackShort(0x90, 60, 120));
    std::vector<float> left(kFrames), right(kFrames);
    synth.RenderCycle(left, right, kCycle);
    const int onset = Onset(left);
    if (c.onset < 0) {
      EXPECT_EQ(onset, -1) << c.playedAt;
      synth.RenderCycle(left, right, kCycle + kFrames * kFrameNs);
      EXPECT_NE(Onset(left), -1) << "the note was lost";
    } else {
      // The synth starts notes at its 64-frame blocks: the nearest one.
      EXPECT_GE(onset, c.onset - 32) << c.playedAt;
      EXPECT_LE(onset, c.onset + 64) << c.playedAt;
    }
  }
}

}  // namespace

namespace {

TEST(GmSynth, AFailureToOpenIsToldOnceUntilSomethingChanges) {
  if (access("/dev/snd", F_OK) == 0) GTEST_SKIP() << "this machine has a sound card";
  GmSynth::Options o;
  o.audioDriver = QStringLiteral("alsa");
  SystemMidi midi(o);
  ASSERT_EQ(midi.OutputNames().front(), QString::fromUtf8(GmSynth::kDeviceName));
  struct Step {
    int buffer;
    bool told;  // shown already: the box does not come back
  } steps[] = {{128, false}, {128, true}, {128, true}, {256, false}, {256, true}};
  for (const Step& step : steps) {
    o.bufferFrames = step.buffer;
    midi.SetSynthOptions(o);
    try {
      midi.OpenOutput(0);
      FAIL() << "opened ALSA audio without a sound card";
    } catch (const MidiDeviceToldError&) {
      EXPECT_TRUE(step.told) << step.buffer;
    } catch (const MidiDeviceError& e) {
      EXPECT_FALSE(step.told) << step.buffer;
      EXPECT_TRUE(e.Message().startsWith(QStringLiteral("内蔵シンセの音を出せません"))) << e.what();
    }
  }
  EXPECT_TRUE(midi.SynthOutputState().isEmpty());
}

}  // namespace
