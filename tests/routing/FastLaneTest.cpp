#include <gtest/gtest.h>

#include <functional>

#include "routing/RoutingEngine.h"
#include "support/RecordingMidi.h"
#include "support/RecordingViews.h"

namespace {

using Messages = std::vector<ShortMessage>;

// A rule changed on the UI thread decides how the next key from the MIDI input sounds on the
// input's own thread; the UI thread still sends it to the peer and shows it, and does not
// sound it a second time.
struct RuleCase {
  const char* what;
  bool lane;  // the output has a fast lane
  std::function<void(RoutingEngine&)> change;
  Messages fast;    // what the input's thread sounded after the change
  Messages shorts;  // what the UI thread sounded after it
  int mark;         // the key marked on the keyboard window
};
void PrintTo(const RuleCase& c, std::ostream* os) {
  *os << c.what;
}

class FastLane : public ::testing::TestWithParam<RuleCase>, public EngineRig {};

TEST_P(FastLane, TheNextKeySoundsByTheNewRule) {
  const RuleCase& c = GetParam();
  midi.out->fastLane = c.lane;
  link.connected = true;
  OpenOutput();
  const ShortMessage key = PackShort(0x90, 60, 100);
  ASSERT_TRUE(midi.Play(key));
  EXPECT_EQ(midi.out->fast, c.lane ? Messages{key} : Messages{});
  midi.out->Clear();
  c.change(engine);
  midi.out->Clear();
  link.units.clear();
  view.events.clear();

  ASSERT_TRUE(midi.Play(key));

  EXPECT_EQ(midi.out->fast, c.fast);
  EXPECT_EQ(midi.out->shorts, c.shorts);
  ASSERT_EQ(link.units.size(), 1u);
  EXPECT_EQ(view.Events("keydown").at(0), "keydown " + std::to_string(c.mark) + " L");
}

ToneSetup Tones(int local, int remote) {
  ToneSetup setup;
  setup.localChannel = local;
  setup.remoteChannel = remote;
  return setup;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FastLane,
    ::testing::Values(
        RuleCase{"octave up", true, [](RoutingEngine& e) { e.SetOctaveShift(1); }, {PackShort(0x90, 72, 100)}, {}, 72},
        RuleCase{"key down three", true, [](RoutingEngine& e) { e.SetKeyShift(-3); }, {PackShort(0x90, 57, 100)}, {}, 57},
        RuleCase{"local part on channel 6", true, [](RoutingEngine& e) { e.ChannelChanged(Side::Local, 5); },
                 {PackShort(0x95, 60, 100)}, {}, 60},
        RuleCase{"dual play copies to the remote part", true, [](RoutingEngine& e) { e.SetDualPlay(true); },
                 {PackShort(0x90, 60, 100), PackShort(0x91, 60, 100)}, {}, 60},
        RuleCase{"a tone file's channels, dual play on", true,
                 [](RoutingEngine& e) { e.LoadToneSetup(Tones(4, 9)); },
                 {PackShort(0x94, 60, 100), PackShort(0x99, 60, 100)}, {}, 60},
        RuleCase{"an output without a lane: the UI thread sounds it", false,
                 [](RoutingEngine& e) { e.SetKeyShift(2); }, {}, {PackShort(0x90, 62, 100)}, 62}));

}  // namespace
