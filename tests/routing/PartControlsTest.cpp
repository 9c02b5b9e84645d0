#include <gtest/gtest.h>

#include "routing/RoutingEngine.h"
#include "support/RecordingMidi.h"
#include "support/RecordingViews.h"

namespace {

using Messages = std::vector<ShortMessage>;

class PartControls : public ::testing::Test, public EngineRig {
 protected:
  void SetUp() override { OpenOutput(); }
};

struct SendCase {
  Setting setting;
  int channel, value;
  Messages out;
};

TEST_F(PartControls, ChannelSendsClampValuesAndSkipBadChannels) {
  const SendCase cases[] = {
      {Setting::Volume, 3, 90, {PackShort(0xB3, 7, 90)}},
      {Setting::Reverb, 0, 200, {PackShort(0xB0, 91, 127)}},
      {Setting::Chorus, 15, -5, {PackShort(0xBF, 93, 0)}},
      {Setting::Pan, 9, 127, {PackShort(0xB9, 10, 127)}},
      {Setting::Program, 2, 128, {PackShort(0xC2, 127, 0)}},
      {Setting::Volume, 16, 90, {}},
      {Setting::Program, -1, 5, {}},
  };
  for (const auto& c : cases) {
    midi.out->Clear();
    engine.Send(c.setting, c.channel, c.value);
    EXPECT_EQ(midi.out->shorts, c.out) << "channel " << c.channel << " value " << c.value;
  }
}

TEST_F(PartControls, SendsAreSkippedWhileTheOutputIsClosedButTheTableChanges) {
  engine.CloseMidiDevices();
  midi.out->Clear();
  engine.SettingChanged(Side::Local, Setting::Volume, 90);
  EXPECT_TRUE(midi.out->shorts.empty());
  EXPECT_EQ(engine.Channels().volume[0], 90);
  engine.OpenMidiDevices();
  EXPECT_EQ(midi.out->shorts[1], PackShort(0xB0, 7, 90)) << "the next refresh sends the stored value";
}

TEST_F(PartControls, ALocalSliderChangesItsChannelOnlyAndNothingGoesToThePeer) {
  link.connected = true;
  engine.ChannelChanged(Side::Local, 3);
  midi.out->Clear();
  engine.SettingChanged(Side::Local, Setting::Volume, 90);
  EXPECT_EQ(midi.out->shorts, (Messages{PackShort(0xB3, 7, 90)}));
  EXPECT_EQ(engine.Channels().volume[3], 90);
  EXPECT_EQ(engine.Channels().volume[0], 100);
  EXPECT_TRUE(link.units.empty());
}

TEST_F(PartControls, PartsOnOneChannelKeepBothPanelsInStep) {
  engine.ChannelChanged(Side::Remote, 0);
  view.shown.clear();
  midi.out->Clear();
  engine.SettingChanged(Side::Remote, Setting::Pan, 20);
  EXPECT_EQ(midi.out->shorts, (Messages{PackShort(0xB0, 10, 20)})) << "one message only";
  EXPECT_EQ(view.Shown(Side::Local, Setting::Pan), 20);
  EXPECT_EQ(view.Shown(Side::Remote, Setting::Pan), -1) << "the moved slider already shows it";
}

TEST_F(PartControls, PartsOnDifferentChannelsDoNotMirror) {
  view.shown.clear();
  engine.SettingChanged(Side::Remote, Setting::Chorus, 20);
  EXPECT_EQ(view.Shown(Side::Local, Setting::Chorus), -1);
}

TEST_F(PartControls, ChangingTheLocalChannelResendsEverythingAndLoadsTheChannelsEntries) {
  engine.Channels().pan[2] = 5;
  engine.Channels().program[2] = 33;
  engine.ChannelChanged(Side::Local, 2);
  EXPECT_EQ(engine.LocalChannel(), 2);
  EXPECT_EQ(view.channelShown[0], 2);
  EXPECT_EQ(midi.out->shorts.size(), 80u);
  EXPECT_EQ(view.Shown(Side::Local, Setting::Pan), 5);
  EXPECT_EQ(view.Shown(Side::Local, Setting::Program), 33);
  EXPECT_EQ(view.Shown(Side::Remote, Setting::Pan), 64);
}

TEST_F(PartControls, TheLocalProgramTravelsToThePeerWithDualPlayOff) {
  link.connected = true;
  engine.ProgramChanged(Side::Local, 24);
  EXPECT_EQ(midi.out->shorts, (Messages{PackShort(0xC0, 24, 0), PackShort(0xC0, 24, 0)}));
  ASSERT_EQ(link.units.size(), 1u);
  EXPECT_EQ(link.units[0], (std::vector<std::uint8_t>{0xFF, 0xC0, 0x18, 0x00}));
  EXPECT_EQ(engine.Channels().program[0], 24);
}

TEST_F(PartControls, TheLocalProgramStaysHomeWithDualPlayOn) {
  link.connected = true;
  engine.SetDualPlay(true);
  engine.ProgramChanged(Side::Local, 24);
  EXPECT_EQ(midi.out->shorts, (Messages{PackShort(0xC0, 24, 0)}));
  EXPECT_TRUE(link.units.empty());
}

TEST_F(PartControls, TheRemoteProgramIsNeverSent) {
  link.connected = true;
  engine.ProgramChanged(Side::Remote, 40);
  EXPECT_EQ(midi.out->shorts, (Messages{PackShort(0xC1, 40, 0)}));
  EXPECT_TRUE(link.units.empty());
  EXPECT_EQ(engine.Channels().program[1], 40);
}

TEST_F(PartControls, ProgramChangeOnASharedChannelShowsOnBothPanels) {
  engine.ChannelChanged(Side::Remote, 0);
  view.shown.clear();
  engine.ProgramChanged(Side::Local, 12);
  EXPECT_EQ(view.Shown(Side::Remote, Setting::Program), 12);
  engine.ProgramChanged(Side::Remote, 13);
  EXPECT_EQ(view.Shown(Side::Local, Setting::Program), 13);
}

TEST_F(PartControls, GmResetSendsSystemOnThenRestoresEveryChannel) {
  engine.Channels().volume[4] = 3;
  engine.Channels().program[9] = 77;
  engine.GmResetButton();
  ASSERT_EQ(midi.out->longs.size(), 1u);
  EXPECT_EQ(midi.out->longs[0], (std::vector<std::uint8_t>{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
  ASSERT_EQ(midi.out->shorts.size(), 80u);
  EXPECT_EQ(engine.Channels(), ChannelSettings());
  EXPECT_EQ(midi.out->shorts[4 * 5 + 1], PackShort(0xB4, 7, 100));
  EXPECT_EQ(view.Shown(Side::Local, Setting::Volume), 100);
  EXPECT_TRUE(view.messages.isEmpty());
}

TEST_F(PartControls, AFailedGmResetIsReportedAndTheTableStillResets) {
  midi.out->longFails = true;
  engine.Channels().pan[0] = 1;
  engine.GmResetButton();
  EXPECT_EQ(view.messages, QStringList{QStringLiteral("GMﾘｾｯﾄに失敗しました。")});
  EXPECT_EQ(engine.Channels().pan[0], 64);
  EXPECT_EQ(midi.out->shorts.size(), 80u);
}

TEST_F(PartControls, GmResetWithTheOutputClosedStillResetsTheTable) {
  engine.CloseMidiDevices();
  engine.Channels().pan[0] = 1;
  engine.GmResetButton();
  EXPECT_TRUE(midi.out->longs.empty());
  EXPECT_TRUE(view.messages.isEmpty());
  EXPECT_EQ(engine.Channels().pan[0], 64);
}

TEST_F(PartControls, AllNotesOffRepaintsAndEndsNotesOnEveryChannel) {
  engine.AllNotesOff();
  EXPECT_EQ(view.events.front(), "refreshdisplays");
  ASSERT_EQ(midi.out->shorts.size(), 16u);
  for (int ch = 0; ch < 16; ++ch) EXPECT_EQ(midi.out->shorts[ch], PackShort(0xB0 + ch, 123, 0));
}

TEST_F(PartControls, TheAllNotesOffButtonClearsTheMarksOnlyWithAnOpenOutput) {
  engine.AllNotesOffButton();
  EXPECT_EQ(midi.out->shorts.size(), 16u);
  EXPECT_EQ(view.Events("clearmarks").size(), 1u);
  engine.CloseMidiDevices();
  view.events.clear();
  midi.out->Clear();
  engine.AllNotesOffButton();
  EXPECT_TRUE(midi.out->shorts.empty());
  EXPECT_TRUE(view.Events("clearmarks").empty());
}

TEST_F(PartControls, LoadingASetupSwitchesDualPlayOnAndRefreshes) {
  ToneSetup setup;
  setup.localChannel = 4;
  setup.remoteChannel = 9;
  setup.channels.program[4] = 11;
  setup.channels.volume[9] = 55;
  engine.LoadToneSetup(setup);
  EXPECT_TRUE(engine.DualPlay());
  EXPECT_TRUE(view.dualButton);
  EXPECT_EQ(engine.CurrentToneSetup(), setup);
  EXPECT_EQ(midi.out->shorts.size(), 80u);
  EXPECT_EQ(view.channelShown[0], 4);
  EXPECT_EQ(view.channelShown[1], 9);
  EXPECT_EQ(view.Shown(Side::Local, Setting::Program), 11);
  EXPECT_EQ(view.Shown(Side::Remote, Setting::Volume), 55);
}

}  // namespace
