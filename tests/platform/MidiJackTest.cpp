#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <vector>

#include "routing/RoutingEngine.h"
#include "platform/midi/SystemMidi.h"
#include "support/JackMidiPeer.h"
#include "support/JackServer.h"
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

TEST_F(MidiOverJack, TheBuiltInSynthPlaysThroughJack) {
  GmSynth::Options o;
  o.audioDriver = QStringLiteral("jack");
  GmSynth synth(o);
  EXPECT_EQ(synth.AudioDriver(), QStringLiteral("jack"));
  synth.SendShort(PackShort(0x90, 60, 100));
}

}  // namespace
