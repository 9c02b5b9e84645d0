// The synth as a JACK client of its own: two audio ports, rendered in the process callback at
// the server's period and rate, connected to the first two playback ports of the machine.
#include <jack/jack.h>

#include <ctime>
#include <string>

#include "platform/midi/MidiDevice.h"
#include "platform/midi/SynthAudio.h"

namespace {

constexpr const char* kClientName = "Sonavel-synth";

class JackAudio final : public SynthAudio {
 public:
  JackAudio(SynthRenderer& renderer, SynthAudioStatus& status) : renderer_(renderer), status_(status) {
    jack_status_t js{};
    client_ = jack_client_open(kClientName, JackNoStartServer, &js);
    if (client_ == nullptr) throw MidiDeviceError(QStringLiteral("jack: サーバーが動いていません"));
    left_ = jack_port_register(client_, "out_L", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    right_ = jack_port_register(client_, "out_R", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (left_ == nullptr || right_ == nullptr) Fail("ポートを作れません");
    const int rate = static_cast<int>(jack_get_sample_rate(client_));
    renderer_.Prepare(rate);
    status_.rate.store(rate);
    status_.frames.store(static_cast<int>(jack_get_buffer_size(client_)));
    jack_set_process_callback(client_, Process, this);
    jack_set_buffer_size_callback(client_, BufferSize, this);
    jack_set_sample_rate_callback(client_, SampleRate, this);
    jack_set_xrun_callback(client_, Xrun, this);
    jack_on_shutdown(client_, Shutdown, this);
    settledAt_ = MonotonicNow() + kSettling;
    if (jack_activate(client_) != 0) Fail("始められません");

    const char** playback = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                           JackPortIsPhysical | JackPortIsInput);
    if (playback != nullptr) {
      if (playback[0] != nullptr) {
        jack_connect(client_, jack_port_name(left_), playback[0]);
        jack_connect(client_, jack_port_name(right_), playback[1] != nullptr ? playback[1] : playback[0]);
      }
      jack_free(playback);
    }
  }

  ~JackAudio() override { jack_client_close(client_); }

 private:
  [[noreturn]] void Fail(const char* why) {
    jack_client_close(client_);
    throw MidiDeviceError(QStringLiteral("jack: ") + QString::fromUtf8(why));
  }

  static int Process(jack_nframes_t frames, void* self) {
    auto* a = static_cast<JackAudio*>(self);
    auto* left = static_cast<float*>(jack_port_get_buffer(a->left_, frames));
    auto* right = static_cast<float*>(jack_port_get_buffer(a->right_, frames));
    // The cycle's start on JACK's clock, carried over to the monotonic clock of the events.
    jack_nframes_t cycleFrames = 0;
    jack_time_t cycleUsecs = 0, nextUsecs = 0;
    float periodUsecs = 0;
    std::int64_t cycleStart = MonotonicNow();
    if (jack_get_cycle_times(a->client_, &cycleFrames, &cycleUsecs, &nextUsecs, &periodUsecs) == 0) {
      const jack_time_t now = jack_get_time();
      if (now >= cycleUsecs) cycleStart -= static_cast<std::int64_t>(now - cycleUsecs) * 1000;
    }
    a->renderer_.RenderPeriod(left, right, 1, static_cast<int>(frames), cycleStart);
    return 0;
  }

  static int BufferSize(jack_nframes_t frames, void* self) {
    static_cast<JackAudio*>(self)->status_.frames.store(static_cast<int>(frames));
    return 0;
  }

  // A server whose rate changes while it runs (PipeWire's JACK, when another program asks for
  // its own rate): JACK calls this off the process thread, where a synth at the new rate may be
  // made.
  static int SampleRate(jack_nframes_t rate, void* self) {
    auto* a = static_cast<JackAudio*>(self);
    a->renderer_.Prepare(static_cast<int>(rate));
    a->status_.rate.store(static_cast<int>(rate));
    return 0;
  }

  static int Xrun(void* self) {
    // A new client's activation reorders the graph and often costs a cycle: not the player's
    // machine crackling.
    auto* a = static_cast<JackAudio*>(self);
    if (MonotonicNow() >= a->settledAt_) a->status_.underruns.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }

  static void Shutdown(void* self) { static_cast<JackAudio*>(self)->status_.lost.store(true); }

  SynthRenderer& renderer_;
  SynthAudioStatus& status_;
  jack_client_t* client_ = nullptr;
  jack_port_t* left_ = nullptr;
  jack_port_t* right_ = nullptr;
  std::int64_t settledAt_ = 0;  // written before activation
  static constexpr std::int64_t kSettling = 1'000'000'000;  // ns
};

}  // namespace

std::unique_ptr<SynthAudio> OpenJackAudio(SynthRenderer& renderer, SynthAudioStatus& status) {
  return std::make_unique<JackAudio>(renderer, status);
}

bool JackServerRuns() {
  jack_status_t status{};
  jack_client_t* client = jack_client_open("Sonavel-probe", JackNoStartServer, &status);
  if (client == nullptr) return false;
  jack_client_close(client);
  return true;
}

std::int64_t MonotonicNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}
