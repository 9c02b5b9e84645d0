#include <gtest/gtest.h>

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <vector>

#include "app/RoutingEngine.h"
#include "platform/midi/SystemMidi.h"
#include "support/JackServer.h"
#include "support/RecordingViews.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A JACK client standing in for a MIDI keyboard (port "keys") and a sound module (port
// "module"), on the server of the test. Its process callback must never block or skip a cycle,
// so it talks to the test through JACK's lock-free ring buffers, one message = length byte +
// bytes.
class JackMidiPeer {
 public:
  explicit JackMidiPeer(const char* name)
      : toKeys_(jack_ringbuffer_create(kRing)), fromModule_(jack_ringbuffer_create(kRing)) {
    jack_status_t status{};
    client_ = jack_client_open(name, JackNoStartServer, &status);
    if (client_ == nullptr) return;
    keys_ = jack_port_register(client_, "keys", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    module_ = jack_port_register(client_, "module", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client_, &JackMidiPeer::Process, this);
    jack_activate(client_);
  }
  ~JackMidiPeer() {
    if (client_ != nullptr) {
      jack_deactivate(client_);
      jack_client_close(client_);
    }
    jack_ringbuffer_free(toKeys_);
    jack_ringbuffer_free(fromModule_);
  }
  bool Ok() const { return client_ != nullptr && keys_ != nullptr && module_ != nullptr; }

  void Play(const Bytes& message) {
    const auto size = static_cast<char>(message.size());
    jack_ringbuffer_write(toKeys_, &size, 1);
    jack_ringbuffer_write(toKeys_, reinterpret_cast<const char*>(message.data()), message.size());
  }
  // Everything the module port received so far.
  const std::vector<Bytes>& Heard() {
    while (jack_ringbuffer_read_space(fromModule_) > 0) {
      char size = 0;
      jack_ringbuffer_read(fromModule_, &size, 1);
      Bytes m(static_cast<std::size_t>(size));
      jack_ringbuffer_read(fromModule_, reinterpret_cast<char*>(m.data()), m.size());
      heard_.push_back(std::move(m));
    }
    return heard_;
  }
  void ClearHeard() {
    Heard();
    heard_.clear();
  }

 private:
  static constexpr std::size_t kRing = 1 << 16;

  static int Process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackMidiPeer*>(arg);
    void* out = jack_port_get_buffer(self->keys_, frames);
    void* in = jack_port_get_buffer(self->module_, frames);
    jack_midi_clear_buffer(out);
    // Play() writes the length byte first, so a message is whole once its bytes are there.
    char size = 0;
    while (jack_ringbuffer_peek(self->toKeys_, &size, 1) == 1 &&
           jack_ringbuffer_read_space(self->toKeys_) >= 1 + static_cast<std::size_t>(size)) {
      jack_ringbuffer_read_advance(self->toKeys_, 1);
      unsigned char m[3] = {};
      jack_ringbuffer_read(self->toKeys_, reinterpret_cast<char*>(m), static_cast<std::size_t>(size));
      jack_midi_event_write(out, 0, m, static_cast<std::size_t>(size));
    }
    const jack_nframes_t count = jack_midi_get_event_count(in);
    for (jack_nframes_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, in, i) != 0 || event.size > 3) continue;
      const auto n = static_cast<char>(event.size);
      jack_ringbuffer_write(self->fromModule_, &n, 1);
      jack_ringbuffer_write(self->fromModule_, reinterpret_cast<const char*>(event.buffer), event.size);
    }
    return 0;
  }

  jack_ringbuffer_t* toKeys_;
  jack_ringbuffer_t* fromModule_;
  jack_client_t* client_ = nullptr;
  jack_port_t* keys_ = nullptr;
  jack_port_t* module_ = nullptr;
  std::vector<Bytes> heard_;
};

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
