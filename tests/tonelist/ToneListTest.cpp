#include <gtest/gtest.h>

#include <set>
#include <string>

#include "routing/RoutingEngine.h"
#include "support/RecordingMidi.h"
#include "support/RecordingViews.h"
#include "tonelist/GmPrograms.h"
#include "tonelist/ToneList.h"

namespace {

// ------------------------------------------------------------------------------ the entries

TEST(GmPrograms, EveryEntryStartsWithItsProgramNumberButTheThreeOldSlips) {
  ASSERT_EQ(kGmPrograms.size(), 128u);
  // Entries whose text breaks the "n:Name" pattern are shown as they always were.
  EXPECT_EQ(kGmPrograms[21], "21;Accordion Fr");
  EXPECT_EQ(kGmPrograms[94], "94:Ha;p Pad");
  EXPECT_EQ(kGmPrograms[106], "106:Shamisen:");
  const std::set<int> slips = {21, 94, 106};
  std::set<std::string_view> names;
  for (int n = 0; n < 128; ++n) {
    const std::string_view entry = kGmPrograms[static_cast<std::size_t>(n)];
    const std::string prefix = std::to_string(n) + (n == 21 ? ";" : ":");
    ASSERT_EQ(entry.substr(0, prefix.size()), prefix) << "entry " << n;
    const std::string_view name = entry.substr(prefix.size());
    EXPECT_FALSE(name.empty()) << "entry " << n;
    if (!slips.contains(n)) {
      EXPECT_EQ(name.find_first_of(":;"), std::string_view::npos) << "entry " << n << ": " << entry;
    }
    EXPECT_TRUE(names.insert(name).second) << "entry " << n << " repeats a name";
    for (char c : entry) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "entry " << n;
  }
}

TEST(GmPrograms, KnownEntriesAtTheirProgramNumbers) {
  const std::pair<int, std::string_view> known[] = {
      {0, "0:Piano 1"},  {12, "12:Marinba"},     {24, "24:Nylon-str .Gt"},   {30, "30:Distotion Gt"},
      {40, "40:Violin"}, {87, "87:Bass & Lead"}, {120, "120:Gt. FretNoise"}, {127, "127:Gun Shot"}};
  for (const auto& [n, text] : known) EXPECT_EQ(kGmPrograms[static_cast<std::size_t>(n)], text);
}

// ------------------------------------------------------------------------- the core object

class ToneListCore : public ::testing::Test {
 protected:
  FakeMidiSystem midi;
  RecordingRoutingView view;
  FixedDeviceChoice choice;
  RecordingLink link;
  RoutingEngine engine{midi, view, choice, link};
  ToneList tone{engine};
};

TEST_F(ToneListCore, EditChannelStaysAMidiChannel) {
  tone.SetEditChannel(-3);
  EXPECT_EQ(tone.EditChannel(), 0);
  tone.SetEditChannel(16);
  EXPECT_EQ(tone.EditChannel(), 15);
  tone.SetEditChannel(9);
  EXPECT_EQ(tone.EditChannel(), 9);
}

TEST_F(ToneListCore, AStoredProgramOutsideTheListIsShownAndRestoredAsTheNearestEntry) {
  engine.OpenMidiDevices();
  midi.out->Clear();
  engine.Channels().program[4] = 300;
  tone.SetEditChannel(4);
  EXPECT_EQ(tone.Shown(), 127);
  tone.TakeBack();
  EXPECT_EQ(midi.out->shorts, std::vector<ShortMessage>{PackShort(0xC4, 127, 0)});
  EXPECT_EQ(engine.Channels().program[4], 300) << "taking back stores nothing";
}

TEST_F(ToneListCore, SelectionsOutsideTheListAreIgnored) {
  engine.OpenMidiDevices();
  midi.out->Clear();
  tone.Shown();
  for (int bad : {-1, 128}) {
    tone.LeftPress(bad);
    tone.DragTo(bad);
    EXPECT_FALSE(tone.Arrow(ListArrow::Down, bad).has_value());
    tone.Apply(bad);
  }
  EXPECT_TRUE(midi.out->shorts.empty());
  EXPECT_EQ(engine.Channels().program[0], 0);
}

TEST_F(ToneListCore, WithoutAnOutputAuditionIsSilentButOkStillStoresAndReachesThePeer) {
  link.connected = true;
  tone.SetEditChannel(0);
  tone.Shown();
  tone.LeftPress(33);
  tone.DragTo(34);
  tone.Release();
  tone.TakeBack();
  tone.Apply(35);
  tone.Closed();
  EXPECT_TRUE(midi.out->shorts.empty());
  EXPECT_EQ(engine.Channels().program[0], 35);
  EXPECT_EQ(view.Shown(Side::Local, Setting::Program), 35);
  ASSERT_EQ(link.units.size(), 1u);
  EXPECT_EQ(link.units[0], (std::vector<std::uint8_t>{0xFF, 0xC0, 35, 0}));
}

}  // namespace
