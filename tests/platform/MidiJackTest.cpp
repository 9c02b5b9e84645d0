#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "routing/RoutingEngine.h"
#include "platform/midi/SystemMidi.h"
#include "support/JackMidiPeer.h"
#include "support/JackServer.h"
#include "support/RecordingMidi.h"
#include "support/RecordingViews.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Runs the UI thread's event loop until `done` holds or the time is up.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (done()) return true;
  }
  return done();
}

int IndexOf(const QStringList& names, const QString& name) {
  return static_cast<int>(names.indexOf(name));
}

// The index of the first message where `heard` differs from `sent` (sent.size() when none).
std::size_t FirstDifference(const std::vector<Bytes>& heard, const std::vector<Bytes>& sent) {
  std::size_t i = 0;
  while (i < sent.size() && i < heard.size() && heard[i] == sent[i]) ++i;
  return i == heard.size() && heard.size() < sent.size() ? sent.size() : i;
}

class MidiOverJack : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Running()) << server.Name() << ": " << server.Error();
    peer = std::make_unique<JackMidiPeer>("tester");
    ASSERT_TRUE(peer->Ok());
  }
  JackServer server;
  std::unique_ptr<JackMidiPeer> peer;
};

TEST_F(MidiOverJack, ListsThePortsOfARunningServer) {
  SystemMidi midi;
  EXPECT_GE(IndexOf(midi.InputNames(), QStringLiteral("JACK: tester:keys")), 0)
      << midi.InputNames().join(',').toStdString();
  const QStringList outputs = midi.OutputNames();
  EXPECT_EQ(IndexOf(outputs, QStringLiteral("JACK: tester:module")), 1) << outputs.join(',').toStdString();
  EXPECT_EQ(outputs.front(), QString::fromUtf8(GmSynth::kDeviceName));
}

TEST_F(MidiOverJack, ANoteFromTheInputSoundsReChannelledOnTheLocalPart) {
  SystemMidi midi;
  FixedDeviceChoice choice;
  choice.input = IndexOf(midi.InputNames(), QStringLiteral("JACK: tester:keys"));
  choice.output = IndexOf(midi.OutputNames(), QStringLiteral("JACK: tester:module"));
  ASSERT_GE(choice.input, 0);
  ASSERT_GE(choice.output, 0);
  RecordingRoutingView view;
  RecordingLink link;
  RoutingEngine engine(midi, view, choice, link);
  engine.ChannelChanged(Side::Local, 3);

  engine.OpenMidiDevices();
  ASSERT_TRUE(engine.InputOpen()) << view.messages.join('\n').toStdString();
  ASSERT_TRUE(engine.OutputOpen()) << view.messages.join('\n').toStdString();
  // Opening sends the whole table: five settings on each of 16 channels.
  ASSERT_TRUE(PumpUntil([&] { return peer->Heard().size() >= 80; })) << peer->Heard().size();
  EXPECT_EQ(peer->Heard().size(), 80u);
  EXPECT_EQ(peer->Heard().front(), (Bytes{0xC0, 0}));
  peer->ClearHeard();

  peer->Play({0x90, 60, 100});
  ASSERT_TRUE(PumpUntil([&] { return !peer->Heard().empty(); }));
  EXPECT_EQ(peer->Heard().front(), (Bytes{0x93, 60, 100}));
  EXPECT_EQ(view.level[0], 100);

  // Several messages in one cycle keep their order.
  peer->ClearHeard();
  peer->Play({0x80, 60, 0});
  peer->Play({0xB0, 1, 42});
  peer->Play({0xE0, 0, 0x50});
  ASSERT_TRUE(PumpUntil([&] { return peer->Heard().size() >= 3; }));
  EXPECT_EQ(peer->Heard(), (std::vector<Bytes>{{0x83, 60, 0}, {0xB3, 1, 42}, {0xE3, 0, 0x50}}));

  // Closing silences the module: every channel gets its notes ended.
  peer->ClearHeard();
  engine.CloseMidiDevices();
  ASSERT_TRUE(PumpUntil([&] { return peer->Heard().size() >= 48; }));
  int allNotesOff = 0;
  for (const Bytes& m : peer->Heard()) allNotesOff += (m.size() == 3 && (m[0] & 0xF0) == 0xB0 && m[1] == 123);
  EXPECT_EQ(allNotesOff, 16);
}

TEST_F(MidiOverJack, NothingArrivesAfterTheInputIsClosed) {
  SystemMidi midi;
  FixedDeviceChoice choice;
  choice.input = IndexOf(midi.InputNames(), QStringLiteral("JACK: tester:keys"));
  choice.output = 0;
  RecordingRoutingView view;
  RecordingLink link;
  link.connected = true;
  {
    GmSynth::Options offline;
    offline.audioDriver = QStringLiteral("none");
    midi.SetSynthOptions(offline);
  }
  RoutingEngine engine(midi, view, choice, link);
  engine.OpenMidiDevices();
  ASSERT_TRUE(engine.InputOpen());
  peer->Play({0x90, 64, 90});
  ASSERT_TRUE(PumpUntil([&] { return link.units.size() == 1; }));
  EXPECT_EQ(link.units.front(), (std::vector<std::uint8_t>{0xFF, 0x90, 64, 90}));

  engine.CloseMidiDevices();
  peer->Play({0x90, 65, 90});
  // Give a stray message every chance to arrive: JACK cycles are 5 ms here.
  PumpUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(link.units.size(), 1u);
}

// A handler that opens a message box runs an event loop of its own, and the input's later
// messages wait for it: more of them than the hand-over's ring holds, all kept, in order.
TEST_F(MidiOverJack, MessagesThatComeWhileAHandlerHoldsABoxOpenAllFollowInOrder) {
  SystemMidi midi;
  const int in = IndexOf(midi.InputNames(), QStringLiteral("JACK: tester:keys"));
  ASSERT_GE(in, 0);
  constexpr int kCount = 6000;
  const auto play = [&](int i) {
    peer->Play({0xB0, static_cast<std::uint8_t>(i >> 7), static_cast<std::uint8_t>(i & 0x7F)});
  };
  std::vector<int> got;
  auto input = midi.OpenInput(in, [&](ShortMessage m) {
    got.push_back(Data1Of(m) * 128 + Data2Of(m));
    if (got.size() != 1) return;
    for (int i = 1; i < kCount; i += 100) {  // what one period's buffer of the keys takes
      for (int j = i; j < std::min(i + 100, kCount); ++j) play(j);
      PumpUntil([&] { return peer->PlayedAll(); });
    }
    PumpUntil([] { return false; }, std::chrono::milliseconds(300));
  });
  play(0);
  ASSERT_TRUE(PumpUntil([&] { return got.size() >= kCount; }, std::chrono::seconds(10))) << got.size();
  std::vector<int> expected(kCount);
  for (int i = 0; i < kCount; ++i) expected[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(got, expected);
}

TEST_F(MidiOverJack, TheBuiltInSynthPlaysThroughJack) {
  GmSynth::Options o;
  o.audioDriver = QStringLiteral("jack");
  GmSynth synth(o);
  EXPECT_EQ(synth.AudioDriver(), QStringLiteral("jack"));
  synth.SendShort(PackShort(0x90, 60, 100));
}

TEST_F(MidiOverJack, AStalledServerIsReportedNotDroppedAndWhatWasAcceptedArrivesAfterIt) {
  SystemMidi midi;
  std::unique_ptr<MidiOutput> out = midi.OpenOutput(IndexOf(midi.OutputNames(), QStringLiteral("JACK: tester:module")));
  out->SendShort(PackShort(0xC0, 5, 0));
  ASSERT_TRUE(PumpUntil([&] { return peer->Heard().size() == 1; }));
  peer->ClearHeard();

  server.Pause();
  std::vector<Bytes> accepted;
  bool reported = false;
  for (int i = 0; i < 100000 && !reported; ++i) {
    const Bytes m{std::uint8_t(0xB0 + i % 16), std::uint8_t(i / 16 % 120), std::uint8_t(i % 128)};
    try {
      out->SendShort(PackShort(m[0], m[1], m[2]));
      accepted.push_back(m);
    } catch (const MidiDeviceError& e) {
      reported = true;
      EXPECT_TRUE(e.Message().startsWith(QStringLiteral("JACK: tester:module: "))) << e.Message().toStdString();
    }
  }
  server.Resume();
  EXPECT_TRUE(reported);
  ASSERT_GT(accepted.size(), 1000u);
  ASSERT_TRUE(PumpUntil([&] { return peer->Heard().size() >= accepted.size(); })) << peer->Heard().size();
  EXPECT_EQ(FirstDifference(peer->Heard(), accepted), accepted.size());
  // Once the server moves again, sending works again.
  peer->ClearHeard();
  out->SendShort(PackShort(0xC1, 7, 0));
  EXPECT_TRUE(PumpUntil([&] { return peer->HasHeard({0xC1, 7}); }));
}

// Bursts at a small and a large period.
class BurstOverJack : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Running()) << server.Name() << ": " << server.Error();
    peer = std::make_unique<JackMidiPeer>("tester");
    ASSERT_TRUE(peer->Ok());
    choice.input = -1;
    choice.output = IndexOf(midi.OutputNames(), QStringLiteral("JACK: tester:module"));
    ASSERT_GE(choice.output, 0);
  }
  // Waits until `count` messages arrived or nothing more comes.
  const std::vector<Bytes>& HeardAtLeast(std::size_t count) {
    PumpUntil([&] { return peer->Heard().size() >= count; }, std::chrono::milliseconds(10000));
    return peer->Heard();
  }
  JackServer server{GetParam()};
  std::unique_ptr<JackMidiPeer> peer;
  SystemMidi midi;
  FixedDeviceChoice choice;
};

// Sends `count` distinct messages in one burst.
std::vector<Bytes> SendBurst(MidiOutput& out, int count) {
  std::vector<Bytes> sent;
  for (int i = 0; i < count; ++i) {
    const int status = 0x90 + i % 16;
    const int key = i / 16 % 128;
    const int velocity = 1 + i % 127;  // with status and key, tells apart messages 2,048 apart
    out.SendShort(PackShort(status, key, velocity));
    sent.push_back({std::uint8_t(status), std::uint8_t(key), std::uint8_t(velocity)});
  }
  return sent;
}

TEST_P(BurstOverJack, EveryMessageOfABurstArrivesInOrderEvenWhenTheOutputClosesAtOnce) {
  const std::vector<Bytes> sent = SendBurst(*midi.OpenOutput(choice.output), 2000);
  const auto& heard = HeardAtLeast(sent.size());
  EXPECT_EQ(heard.size(), sent.size()) << GetParam() << " frames per period";
  EXPECT_EQ(FirstDifference(heard, sent), sent.size());
}

// JACK's MIDI port buffer takes about 2,700 three-byte messages a period.
TEST_P(BurstOverJack, WhatOnePeriodCannotTakeGoesOutInTheNextOnes) {
  std::unique_ptr<MidiOutput> out = midi.OpenOutput(choice.output);
  const std::vector<Bytes> sent = SendBurst(*out, 8000);
  const auto& heard = HeardAtLeast(sent.size());
  EXPECT_EQ(heard.size(), sent.size()) << GetParam() << " frames per period";
  EXPECT_EQ(FirstDifference(heard, sent), sent.size());
}

TEST_P(BurstOverJack, TheStartUpTableArrivesWhole) {
  // What the engine sends when its output opens, taken from a recording output.
  FakeMidiSystem fake;
  RecordingRoutingView fakeView;
  RecordingLink link;
  FixedDeviceChoice fakeChoice;
  fakeChoice.input = -1;
  fakeChoice.output = 0;
  RoutingEngine(fake, fakeView, fakeChoice, link).OpenMidiDevices();
  std::vector<Bytes> table;
  for (ShortMessage m : fake.out->shorts) {
    Bytes bytes{std::uint8_t(StatusOf(m)), std::uint8_t(Data1Of(m)), std::uint8_t(Data2Of(m))};
    bytes.resize(static_cast<std::size_t>(ShortMessageLength(StatusOf(m))));
    table.push_back(bytes);
  }
  ASSERT_GE(table.size(), 80u);

  RecordingRoutingView view;
  RoutingEngine engine(midi, view, choice, link);
  engine.OpenMidiDevices();
  ASSERT_TRUE(engine.OutputOpen()) << view.messages.join('\n').toStdString();
  const auto& heard = HeardAtLeast(table.size());
  EXPECT_EQ(heard.size(), table.size()) << GetParam() << " frames per period";
  EXPECT_EQ(FirstDifference(heard, table), table.size());
}

INSTANTIATE_TEST_SUITE_P(FramesPerPeriod, BurstOverJack, ::testing::Values(64, 1024));

// The machine's devices, holding on to the synth they opened so the test can render it.
class SynthKeepingMidi final : public MidiSystem {
 public:
  SystemMidi real;
  GmSynth* synth = nullptr;
  QStringList InputNames() override { return real.InputNames(); }
  QStringList OutputNames() override { return real.OutputNames(); }
  std::unique_ptr<MidiInput> OpenInput(int i, MidiInput::Handler h) override { return real.OpenInput(i, std::move(h)); }
  std::unique_ptr<MidiInput> OpenFastInput(int i, MidiInput::Early e, MidiInput::LateHandler h) override {
    return real.OpenFastInput(i, std::move(e), std::move(h));
  }
  std::unique_ptr<MidiOutput> OpenOutput(int i) override {
    auto out = real.OpenOutput(i);
    synth = dynamic_cast<GmSynth*>(out.get());
    return out;
  }
};

TEST_F(MidiOverJack, AKeySoundsWhileTheWindowIsBlockedAndOnlyOnce) {
  SynthKeepingMidi midi;
  GmSynth::Options offline;
  offline.audioDriver = QStringLiteral("none");
  midi.real.SetSynthOptions(offline);
  FixedDeviceChoice choice;
  choice.input = IndexOf(midi.InputNames(), QStringLiteral("JACK: tester:keys"));
  choice.output = 0;
  RecordingRoutingView view;
  RecordingLink link;
  link.connected = true;
  RoutingEngine engine(midi, view, choice, link);
  engine.OpenMidiDevices();
  ASSERT_TRUE(engine.InputOpen());
  ASSERT_NE(midi.synth, nullptr);
  std::vector<float> left(128), right(128);
  midi.synth->Render(left, right);
  ASSERT_EQ(midi.synth->ActiveVoices(), 0);

  // From the key until it sounds, the UI thread runs no event loop, as under a busy repaint.
  peer->Play({0x90, 60, 100});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (midi.synth->ActiveVoices() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    midi.synth->Render(left, right);
  }
  ASSERT_GT(midi.synth->ActiveVoices(), 0);
  EXPECT_TRUE(link.units.empty()) << "the window took part";

  // The window then sends it to the peer and shows it, without sounding it again.
  const int voices = midi.synth->ActiveVoices();
  ASSERT_TRUE(PumpUntil([&] { return link.units.size() == 1; }));
  EXPECT_EQ(view.level[0], 100);
  midi.synth->Render(left, right);
  EXPECT_EQ(midi.synth->ActiveVoices(), voices);
}

TEST_F(MidiOverJack, AKeyReachesAJackModuleWhileTheWindowIsBlockedAndOnlyOnce) {
  SystemMidi midi;
  FixedDeviceChoice choice;
  choice.input = IndexOf(midi.InputNames(), QStringLiteral("JACK: tester:keys"));
  choice.output = IndexOf(midi.OutputNames(), QStringLiteral("JACK: tester:module"));
  RecordingRoutingView view;
  RecordingLink link;
  link.connected = true;
  RoutingEngine engine(midi, view, choice, link);
  engine.SetDualPlay(true);
  engine.OpenMidiDevices();
  ASSERT_TRUE(engine.InputOpen() && engine.OutputOpen()) << view.messages.join('\n').toStdString();
  ASSERT_TRUE(PumpUntil([&] { return peer->Heard().size() >= 80; }));  // the table sent on opening
  peer->ClearHeard();

  // No event loop runs from the key until the module has it, as under a busy repaint.
  peer->Play({0x90, 60, 100});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (peer->Heard().size() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(peer->Heard(), (std::vector<Bytes>{{0x90, 60, 100}, {0x91, 60, 100}}));  // dual play
  EXPECT_TRUE(link.units.empty()) << "the window took part";

  // The window then sends it to the peer and shows it, without sending it to the module again.
  ASSERT_TRUE(PumpUntil([&] { return link.units.size() == 1; }));
  EXPECT_EQ(view.level[0], 100);
  PumpUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(peer->Heard().size(), 2u);
}

}  // namespace
