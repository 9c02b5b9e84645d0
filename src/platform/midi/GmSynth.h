#pragma once

#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/midi/MidiDevice.h"
#include "platform/midi/SynthAudio.h"
#include "platform/midi/SynthEventQueue.h"

struct _fluid_hashtable_t;
struct _fluid_synth_t;
struct _fluid_audio_driver_t;

// The built-in General MIDI sound module: FluidSynth playing the system's GM sound font,
// rendered inside the sound server's own process callback.
//
// Messages are stamped with the time they were sent and handed to the audio thread through a
// lock-free queue; the audio thread renders each period up to the point of the previous period
// where a message was played, applies it, and renders on. So every note costs the same: one
// period of the server, not a buffer of its own.
//
// A MIDI keyboard's notes come in through a second queue of their own (FastLane, fed by the
// MIDI input's thread); the render merges both queues by time.
class GmSynth final : public MidiOutput, private SynthRenderer, private MidiFastLane {
 public:
  static constexpr const char* kDeviceName = "FluidSynth GM Synth";
  static constexpr const char* kDefaultSoundFont = "/usr/share/sounds/sf2/default-GM.sf2";
  // The periods a player may choose, in frames.
  static constexpr int kBufferChoices[] = {64, 128, 256, 512};
  static constexpr int kDefaultBuffer = 128;

  struct Options {
    QString soundFont = kDefaultSoundFont;
    // "pipewire", "jack", "pulseaudio", "alsa"; empty tries them in that order (JACK only when
    // a server runs). "none" opens no audio at all: the synth is then heard only through
    // Render(). "fluidsynth-pulseaudio" is FluidSynth's own PulseAudio driver with its own
    // buffering, kept to compare against.
    QString audioDriver;
    int bufferFrames = kDefaultBuffer;  // the period asked for
    double sampleRate = 48000.0;        // until the server tells its own
  };

  // Throws MidiDeviceError naming what failed (sound font, or every audio output tried).
  explicit GmSynth(const Options& options);
  ~GmSynth() override;
  GmSynth(const GmSynth&) = delete;
  GmSynth& operator=(const GmSynth&) = delete;

  // Both throw MidiDeviceError, once, when the sound output has gone or stalled.
  void SendShort(ShortMessage message) override;
  bool SendLong(std::span<const std::uint8_t> message) override;
  void Reset() override;
  MidiFastLane* FastLane() override { return this; }
  void CheckHealth() override;

  // A message played at `time` (CLOCK_MONOTONIC nanoseconds).
  void SendShortAt(std::int64_t time, ShortMessage message);

  // Renders frames of stereo audio; meant for a synth opened with the "none" driver. What was
  // sent is applied first.
  void Render(std::span<float> left, std::span<float> right);
  // Renders one period as the sound server's callback does, for a cycle that began at
  // `cycleStart`; for a synth opened with the "none" driver.
  void RenderCycle(std::span<float> left, std::span<float> right, std::int64_t cycleStart);
  // The audio output in use ("pipewire", "jack", ...), empty for "none".
  QString AudioDriver() const { return driverName_; }
  std::shared_ptr<const SynthAudioStatus> Status() const { return status_; }
  // The sample rate the synth renders at now.
  int Rate() const { return rate_.load(std::memory_order_relaxed); }
  // The status as the player reads it: "PipeWire 128 ﾌﾚｰﾑ (2.7 ms, 48000 Hz)" and the
  // underruns, if any.
  static QString Describe(const SynthAudioStatus& status);
  // A period's length in milliseconds, as the choices show it.
  static QString Milliseconds(int frames, int rate);
  // For a synth whose rate stays as it is.
  int ActiveVoices() const;

 private:
  // A synth made for a new rate, on its way to the audio thread; once taken, it carries the
  // synth it replaced back (`next` links those waiting to be deleted).
  struct Fresh {
    _fluid_synth_t* synth;
    int rate;
    Fresh* next = nullptr;
  };
  // What the player has set on a channel, to carry over to a synth made for a new rate.
  struct ChannelState {
    std::array<std::int8_t, 128> controllers;  // -1: never set
    int program = -1;
    int pitchBend = -1;
    int pressure = -1;
    ChannelState() { controllers.fill(-1); }
  };

  void Prepare(int rate) override;
  void RenderPeriod(float* left, float* right, int stride, int frames, std::int64_t cycleStart) override;
  bool SendFromInput(std::int64_t time, std::span<const ShortMessage> messages) override;
  // The queue whose oldest event is the earliest, and that event's time; nullptr when both are empty.
  SynthEventQueue* Earliest(std::int64_t& time);
  void Apply(std::span<const std::uint8_t> message);
  void Remember(int status, int d1, int d2);
  // Audio thread: a synth made for a new rate takes over, with the channels as they were.
  void TakeFresh();
  void DeleteRetired();
  void Queue(std::int64_t time, std::span<const std::uint8_t> message);
  bool OpenOutput(const QString& name, const Options& options, QStringList& reasons);
  _fluid_synth_t* NewSynth(double rate);
  static int FluidDriverCallback(void* self, int len, int nfx, float* fx[], int nout, float* out[]);

  QString soundFont_;
  _fluid_hashtable_t* settings_ = nullptr;
  _fluid_synth_t* synth_ = nullptr;
  std::shared_ptr<SynthAudioStatus> status_ = std::make_shared<SynthAudioStatus>();
  std::unique_ptr<SynthAudio> audio_;
  _fluid_audio_driver_t* driver_ = nullptr;
  QString driverName_;
  std::atomic<int> rate_{48000};  // written by the audio thread once it renders
  int preparedRate_ = 48000;      // the thread that prepares
  std::atomic<Fresh*> pending_{nullptr};
  std::atomic<Fresh*> retired_{nullptr};
  std::array<ChannelState, 16> channels_;  // audio thread
  bool direct_ = false;   // messages go straight to the synth (FluidSynth's own driver renders)
  bool offline_ = false;  // no output: whoever sends also renders
  SynthEventQueue queue_;       // from the thread that opened the synth
  SynthEventQueue inputQueue_;  // from the MIDI input's thread
  SynthEventQueue::Event event_;  // audio thread: the message being applied
  void TellUnderruns(std::int64_t now);
  static constexpr std::int64_t kUnderrunTellEvery = 60'000'000'000;  // ns
  bool toldLost_ = false;         // sending thread
  bool toldFull_ = false;
  std::uint32_t toldUnderruns_ = 0;  // sending thread
  std::int64_t toldAt_ = 0;
};
