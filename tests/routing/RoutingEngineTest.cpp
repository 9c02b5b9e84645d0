#include <gtest/gtest.h>

#include "routing/RoutingEngine.h"
#include "support/RecordingMidi.h"
#include "support/RecordingViews.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Messages = std::vector<ShortMessage>;

class Routing : public ::testing::Test, public EngineRig {};

// ------------------------------------------------------------------ the local path, by type

struct LocalCase {
  const char* what;
  int octave, key, localChannel;
  ShortMessage in;
  Bytes wire;                      // empty: nothing sent
  Messages out;                    // what the output receives
  std::vector<std::string> shows;  // level and key-mark events
};
void PrintTo(const LocalCase& c, std::ostream* os) {
  *os << c.what;
}

class LocalPath : public Routing, public ::testing::WithParamInterface<LocalCase> {};

TEST_P(LocalPath, SendsSoundsAndShows) {
  const LocalCase& c = GetParam();
  OpenOutput();
  link.connected = true;
  engine.SetOctaveShift(c.octave);
  engine.SetKeyShift(c.key);
  engine.ChannelChanged(Side::Local, c.localChannel);
  midi.out->Clear();
  view.events.clear();

  engine.PlayLocal(c.in);

  if (c.wire.empty()) {
    EXPECT_TRUE(link.units.empty());
  } else {
    ASSERT_EQ(link.units.size(), 1u);
    EXPECT_EQ(link.units[0], c.wire);
  }
  EXPECT_EQ(midi.out->shorts, c.out);
  std::vector<std::string> shows = view.Events("level");
  for (const auto& e : view.Events("key")) shows.push_back(e);
  EXPECT_EQ(shows, c.shows);
}

INSTANTIATE_TEST_SUITE_P(
    SummaryTable, LocalPath,
    ::testing::Values(
        LocalCase{"active sensing is dropped", 0, 0, 0, 0xFE, {}, {}, {}},
        LocalCase{"timing clock is not passed on", 0, 0, 0, 0xF8, {}, {}, {}},
        LocalCase{"a stray data byte is nothing", 0, 0, 0, PackShort(0x45, 1, 2), {}, {}, {}},
        LocalCase{"note on, transposed",
                  1,
                  -2,
                  0,
                  PackShort(0x90, 60, 100),
                  {0xFF, 0x90, 70, 100},
                  {PackShort(0x90, 70, 100)},
                  {"level L 100", "keydown 70 L"}},
        LocalCase{"note off, transposed",
                  1,
                  -2,
                  0,
                  PackShort(0x80, 60, 64),
                  {0xFF, 0x80, 70, 64},
                  {PackShort(0x80, 70, 64)},
                  {"keyup 70 L"}},
        LocalCase{"note on velocity 0 clears the mark and the meter",
                  0,
                  0,
                  0,
                  PackShort(0x90, 60, 0),
                  {0xFF, 0x90, 60, 0},
                  {PackShort(0x90, 60, 0)},
                  {"level L 0", "keyup 60 L"}},
        LocalCase{"channel bits go to the peer unchanged, sound on the local part",
                  0,
                  0,
                  5,
                  PackShort(0x93, 60, 100),
                  {0xFF, 0x93, 60, 100},
                  {PackShort(0x95, 60, 100)},
                  {"level L 100", "keydown 60 L"}},
        LocalCase{"program change",
                  2,
                  6,
                  2,
                  PackShort(0xC0, 24, 0),
                  {0xFF, 0xC0, 24, 0},
                  {PackShort(0xC2, 24, 0)},
                  {}},
        LocalCase{"polyphonic pressure is not transposed",
                  1,
                  0,
                  0,
                  PackShort(0xA0, 60, 30),
                  {0xFF, 0xA0, 60, 30},
                  {PackShort(0xA0, 60, 30)},
                  {}},
        LocalCase{
            "controller", 1, 3, 4, PackShort(0xB0, 1, 64), {0xFF, 0xB0, 1, 64}, {PackShort(0xB4, 1, 64)}, {}},
        LocalCase{"channel pressure",
                  0,
                  0,
                  15,
                  PackShort(0xD7, 99, 0),
                  {0xFF, 0xD7, 99, 0},
                  {PackShort(0xDF, 99, 0)},
                  {}},
        LocalCase{"pitch bend",
                  -2,
                  -6,
                  1,
                  PackShort(0xE0, 0, 0x40),
                  {0xFF, 0xE0, 0, 0x40},
                  {PackShort(0xE1, 0, 0x40)},
                  {}},
        LocalCase{"a note shifted above 127 is dropped", 2, 6, 0, PackShort(0x90, 100, 90), {}, {}, {}},
        LocalCase{"a note shifted below 0 is dropped", -2, -6, 0, PackShort(0x80, 29, 0), {}, {}, {}},
        LocalCase{"the highest note after shifting still plays",
                  2,
                  6,
                  0,
                  PackShort(0x90, 97, 90),
                  {0xFF, 0x90, 127, 90},
                  {PackShort(0x90, 127, 90)},
                  {"level L 90", "keydown 127 L"}},
        LocalCase{"bits 24-31 are ignored",
                  0,
                  0,
                  0,
                  PackShort(0x90, 61, 99) | 0xAB000000u,
                  {0xFF, 0x90, 61, 99},
                  {PackShort(0x90, 61, 99)},
                  {"level L 99", "keydown 61 L"}}),
    [](const auto& param) { return std::to_string(param.index); });

// ----------------------------------------------------------------- the remote path, by type

struct RemoteCase {
  const char* what;
  int remoteChannel;
  ShortMessage in;
  Messages out;
  std::vector<std::string> shows;
};
void PrintTo(const RemoteCase& c, std::ostream* os) {
  *os << c.what;
}

class RemotePath : public Routing, public ::testing::WithParamInterface<RemoteCase> {};

TEST_P(RemotePath, SoundsOnTheRemotePartUnchanged) {
  const RemoteCase& c = GetParam();
  OpenOutput();
  link.connected = true;
  engine.SetOctaveShift(2);  // the peer transposed already; nothing is added here
  engine.ChannelChanged(Side::Remote, c.remoteChannel);
  midi.out->Clear();
  view.events.clear();

  engine.PlayRemote(c.in);

  EXPECT_TRUE(link.units.empty()) << "remote messages never go back to the peer";
  EXPECT_EQ(midi.out->shorts, c.out);
  std::vector<std::string> shows = view.Events("level");
  for (const auto& e : view.Events("key")) shows.push_back(e);
  EXPECT_EQ(shows, c.shows);
}

INSTANTIATE_TEST_SUITE_P(
    SummaryTable, RemotePath,
    ::testing::Values(
        RemoteCase{"active sensing", 1, 0xFE, {}, {}},
        RemoteCase{"system messages from the peer are not played", 1, PackShort(0xF2, 1, 2), {}, {}},
        RemoteCase{"a data byte in the status place", 1, PackShort(0x3C, 60, 100), {}, {}},
        RemoteCase{"a data byte with its top bit set", 1, PackShort(0x90, 200, 100), {}, {}},
        RemoteCase{"a velocity with its top bit set", 1, PackShort(0x90, 60, 0x80), {}, {}},
        RemoteCase{"note on",
                   1,
                   PackShort(0x90, 70, 100),
                   {PackShort(0x91, 70, 100)},
                   {"level R 100", "keydown 70 R"}},
        RemoteCase{"note on velocity 0",
                   1,
                   PackShort(0x90, 70, 0),
                   {PackShort(0x91, 70, 0)},
                   {"level R 0", "keyup 70 R"}},
        RemoteCase{"note off", 6, PackShort(0x8F, 70, 0), {PackShort(0x86, 70, 0)}, {"keyup 70 R"}},
        RemoteCase{"program change ignores its unused second byte",
                   1,
                   PackShort(0xC0, 24, 0xFF),
                   {PackShort(0xC1, 24, 0xFF)},
                   {}},
        RemoteCase{"controller", 9, PackShort(0xB3, 7, 90), {PackShort(0xB9, 7, 90)}, {}},
        RemoteCase{"pitch bend", 0, PackShort(0xE5, 0x7F, 0x7F), {PackShort(0xE0, 0x7F, 0x7F)}, {}}),
    [](const auto& param) { return std::to_string(param.index); });

TEST_F(Routing, ARemoteProgramChangeIsStoredAndShownOnTheRemotePart) {
  OpenOutput();
  engine.PlayRemote(PackShort(0xC0, 0x18, 0x00));
  EXPECT_EQ(engine.Channels().program[1], 24);
  EXPECT_EQ(view.Shown(Side::Remote, Setting::Program), 24);
  EXPECT_EQ(midi.out->shorts, (Messages{PackShort(0xC1, 24, 0)}));
}

TEST_F(Routing, WithoutAConnectionNothingGoesToThePeer) {
  OpenOutput();
  engine.PlayLocal(PackShort(0x90, 60, 100));
  EXPECT_TRUE(link.units.empty());
  EXPECT_EQ(midi.out->shorts.size(), 1u);
}

TEST_F(Routing, KeyboardHiddenMeansNoMarksAndNoRemoteMeter) {
  OpenOutput();
  view.keyboardShown = false;
  engine.PlayLocal(PackShort(0x90, 60, 100));
  engine.PlayRemote(PackShort(0x90, 62, 90));
  EXPECT_EQ(view.Events("key"), std::vector<std::string>{});
  EXPECT_EQ(view.Events("level"), std::vector<std::string>{"level L 100"});
}

TEST_F(Routing, WithTheOutputClosedMessagesStillReachThePeerAndTheDisplay) {
  link.connected = true;
  engine.PlayLocal(PackShort(0x90, 60, 100));
  engine.PlayRemote(PackShort(0x90, 61, 100));
  ASSERT_EQ(link.units.size(), 1u);
  EXPECT_EQ(view.Events("key"), (std::vector<std::string>{"keydown 60 L", "keydown 61 R"}));
  EXPECT_TRUE(midi.out->shorts.empty());
}

// What the player hears never depends on the link: a failing write is reported, after the
// note has sounded and shown.
TEST_F(Routing, AFailingLinkIsReportedAfterTheLocalNoteSoundedAndShowed) {
  OpenOutput();
  link.connected = true;
  link.portOpen = false;
  EXPECT_NO_THROW(engine.PlayLocal(PackShort(0x90, 60, 100)));
  EXPECT_NO_THROW(engine.PlayLocal(PackShort(0x80, 60, 0)));
  EXPECT_EQ(midi.out->shorts, (Messages{PackShort(0x90, 60, 100), PackShort(0x80, 60, 0)}));
  EXPECT_EQ(view.Events("key"), (std::vector<std::string>{"keydown 60 L", "keyup 60 L"}));
  EXPECT_EQ(view.errors.size(), 2);
  EXPECT_EQ(view.errors.value(0), QStringLiteral("通信が開始されていない。"));
}

TEST_F(Routing, DualPlaySoundsOnBothPartsAndSendsOnce) {
  OpenOutput();
  link.connected = true;
  engine.ToggleDualPlay();
  EXPECT_TRUE(view.dualButton);
  engine.PlayLocal(PackShort(0x90, 60, 100));
  EXPECT_EQ(midi.out->shorts, (Messages{PackShort(0x90, 60, 100), PackShort(0x91, 60, 100)}));
  EXPECT_EQ(link.units.size(), 1u);
  EXPECT_EQ(view.Events("key"), (std::vector<std::string>{"keydown 60 L", "keydown 60 R"}));
  engine.ToggleDualPlay();
  EXPECT_FALSE(engine.DualPlay());
  EXPECT_FALSE(view.dualButton);
}

TEST_F(Routing, DualPlayTransposesOnce) {
  OpenOutput();
  engine.SetDualPlay(true);
  engine.SetOctaveShift(1);
  engine.PlayLocal(PackShort(0x90, 60, 100));
  EXPECT_EQ(midi.out->shorts, (Messages{PackShort(0x90, 72, 100), PackShort(0x91, 72, 100)}));
}

TEST_F(Routing, DualPlayNeedsTheOutput) {
  engine.SetDualPlay(true);
  engine.PlayLocal(PackShort(0x90, 60, 100));
  EXPECT_EQ(view.Events("key"), (std::vector<std::string>{"keydown 60 L"}));
}

// ----------------------------------------------------------------------------- devices

TEST_F(Routing, OpeningSendsTheWholeTableAndPressesTheButton) {
  view.midiButton = false;
  engine.OpenMidiDevices();
  EXPECT_TRUE(view.midiButton);
  EXPECT_TRUE(engine.InputOpen());
  ASSERT_EQ(midi.out->shorts.size(), 80u);
  // Channel 0 first: program, volume, pan, reverb, chorus.
  EXPECT_EQ(Messages(midi.out->shorts.begin(), midi.out->shorts.begin() + 5),
            (Messages{PackShort(0xC0, 0, 0), PackShort(0xB0, 7, 100), PackShort(0xB0, 10, 64),
                      PackShort(0xB0, 91, 0), PackShort(0xB0, 93, 0)}));
  EXPECT_EQ(midi.out->shorts.back(), PackShort(0xBF, 93, 0));
}

TEST_F(Routing, MidiInputIsPlayedLocally) {
  OpenOutput();
  ASSERT_TRUE(midi.Play(PackShort(0x90, 60, 100)));
  EXPECT_EQ(midi.out->shorts, (Messages{PackShort(0x90, 60, 100)}));
  engine.CloseMidiDevices();
  EXPECT_FALSE(midi.Play(PackShort(0x90, 60, 100))) << "the input stays open after closing";
}

struct OpenCase {
  const char* what;
  int input, output;
  bool failInput, failOutput;
  std::vector<QString> messageStarts;
  bool buttonAfter;  // button pressed before the call
  bool outputOpen;
};
void PrintTo(const OpenCase& c, std::ostream* os) {
  *os << c.what;
}

class OpenDevices : public Routing, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenDevices, ReportsEachFailureInOrder) {
  const OpenCase& c = GetParam();
  choice.input = c.input;
  choice.output = c.output;
  midi.failInput = c.failInput;
  midi.failOutput = c.failOutput;
  view.midiButton = true;
  engine.OpenMidiDevices();
  ASSERT_EQ(view.messages.size(), static_cast<qsizetype>(c.messageStarts.size()))
      << view.messages.join('|').toStdString();
  for (std::size_t i = 0; i < c.messageStarts.size(); ++i) {
    EXPECT_TRUE(view.messages[static_cast<qsizetype>(i)].startsWith(c.messageStarts[i]))
        << view.messages[static_cast<qsizetype>(i)].toStdString();
  }
  EXPECT_EQ(view.midiButton, c.buttonAfter);
  EXPECT_EQ(engine.OutputOpen(), c.outputOpen);
  EXPECT_EQ(midi.out->shorts.size(), c.outputOpen ? 80u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, OpenDevices,
    ::testing::Values(OpenCase{"both fine", 0, 0, false, false, {}, true, true},
                      OpenCase{"no input chosen",
                               -1,
                               0,
                               false,
                               false,
                               {QStringLiteral("MIDI IN デバイスを選択してください。")},
                               true,
                               true},
                      OpenCase{"no output chosen",
                               0,
                               -1,
                               false,
                               false,
                               {QStringLiteral("MIDI OUT デバイスを選択してください。")},
                               false,
                               false},
                      OpenCase{"neither chosen",
                               -1,
                               -1,
                               false,
                               false,
                               {QStringLiteral("MIDI IN デバイスを選択してください。"),
                                QStringLiteral("MIDI OUT デバイスを選択してください。")},
                               false,
                               false},
                      OpenCase{"input fails",
                               0,
                               0,
                               true,
                               false,
                               {QStringLiteral("MIDI IN デバイスのオープンに失敗しました")},
                               true,
                               true},
                      OpenCase{"output fails: the button keeps its state",
                               0,
                               0,
                               false,
                               true,
                               {QStringLiteral("MIDI OUT デバイスのオープンに失敗しました")},
                               true,
                               false}),
    [](const auto& param) { return std::to_string(param.index); });

TEST_F(Routing, AFailedOpenSaysWhy) {
  midi.failOutput = true;
  engine.OpenMidiDevices();
  ASSERT_EQ(view.messages.size(), 1);
  EXPECT_TRUE(view.messages[0].contains(QStringLiteral("fake output fails")));
}

TEST_F(Routing, TheMenuEntryTogglesAndPressesTheButtonWhateverTheOutcome) {
  view.midiButton = false;
  choice.output = -1;
  engine.KMIDI1Click();
  EXPECT_EQ(view.messages.back(), QStringLiteral("MIDI OUT デバイスを選択してください。"));
  EXPECT_TRUE(view.midiButton);
  engine.KMIDI1Click();
  EXPECT_FALSE(view.midiButton);
  EXPECT_FALSE(engine.InputOpen());
}

TEST_F(Routing, ClosingResetsTheOutputAndIsHarmlessTwice) {
  OpenOutput();
  engine.CloseMidiDevices();
  EXPECT_EQ(midi.out->resets, 1);
  EXPECT_FALSE(midi.out->open);
  engine.CloseMidiDevices();
  EXPECT_EQ(midi.out->resets, 1);
}

TEST_F(Routing, TheMidiButtonOpensAndCloses) {
  engine.SpeedButton1Click(true);
  EXPECT_TRUE(engine.OutputOpen());
  engine.SpeedButton1Click(false);
  EXPECT_FALSE(engine.OutputOpen());
  EXPECT_FALSE(engine.InputOpen());
}

TEST_F(Routing, AuditionGoesStraightToTheOutput) {
  engine.OutShortMsg(PackShort(0x90, 60, 100));  // closed: nothing, no failure
  OpenOutput();
  engine.ChannelChanged(Side::Local, 4);
  midi.out->Clear();
  engine.OutShortMsg(PackShort(0x97, 60, 100));
  EXPECT_EQ(midi.out->shorts, (Messages{PackShort(0x97, 60, 100)}));
  EXPECT_TRUE(view.Events("key").empty());
}

TEST_F(Routing, ReleasingRemoteNotesWithNothingFromThePeerSendsNothing) {
  OpenOutput();
  engine.ChannelChanged(Side::Remote, 7);
  midi.out->Clear();
  engine.ReleaseRemoteNotes();
  EXPECT_TRUE(midi.out->shorts.empty());
}

// Dual play with both parts on one channel: the hang-up ends the peer's note and its pedal, not
// the local player's own held note (nor its dual copy).
TEST_F(Routing, ReleasingRemoteNotesLeavesTheLocalPlayersNotesOnASharedChannel) {
  OpenOutput();
  engine.ChannelChanged(Side::Remote, 0);
  engine.SetDualPlay(true);
  engine.PlayLocal(PackShort(0x90, 60, 100));
  engine.PlayRemote(PackShort(0x90, 64, 90));
  engine.PlayRemote(PackShort(0xB0, 64, 127));
  midi.out->Clear();
  view.events.clear();
  engine.ReleaseRemoteNotes();
  EXPECT_EQ(midi.out->shorts, (Messages{PackShort(0x80, 64, 0), PackShort(0xB0, 64, 0)}));
  EXPECT_EQ(view.Events("key"), std::vector<std::string>{"keyup 64 R"});
}

TEST_F(Routing, ReleasingRemoteNotesEndsThePeersHeldNotesWhereTheySoundedAndTheirMarks) {
  OpenOutput();
  engine.ChannelChanged(Side::Remote, 2);
  engine.PlayRemote(PackShort(0x90, 60, 100));
  engine.PlayRemote(PackShort(0x90, 64, 100));
  engine.PlayRemote(PackShort(0x80, 64, 0));  // taken off by the peer itself
  engine.ChannelChanged(Side::Remote, 5);     // the user moves the part mid-call
  engine.PlayRemote(PackShort(0x90, 67, 90));
  engine.PlayRemote(PackShort(0x90, 72, 0));  // note on with velocity 0 is a release
  midi.out->Clear();
  view.events.clear();

  engine.ReleaseRemoteNotes();

  EXPECT_EQ(midi.out->shorts, (Messages{PackShort(0x82, 60, 0), PackShort(0x85, 67, 0)}));
  EXPECT_EQ(view.Events("key"), (std::vector<std::string>{"keyup 60 R", "keyup 67 R"}));

  // A second connection starts clean: nothing is sent, no marks come off.
  midi.out->Clear();
  view.events.clear();
  engine.ReleaseRemoteNotes();
  EXPECT_TRUE(midi.out->shorts.empty());
  EXPECT_TRUE(view.Events("key").empty());
}

}  // namespace
