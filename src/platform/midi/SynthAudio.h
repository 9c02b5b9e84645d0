#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>

// What renders one period of the synth's sound: called on the sound server's audio thread.
class SynthRenderer {
 public:
  virtual ~SynthRenderer() = default;
  // The server's rate, before the first period at that rate; never while a period renders.
  virtual void Prepare(int rate) = 0;
  // Fills `frames` frames of both channels, a frame every `stride` floats. `cycleStart` is when the server began this cycle
  // (CLOCK_MONOTONIC nanoseconds); what was played during the previous cycle is placed where it
  // was played within it.
  virtual void RenderPeriod(float* left, float* right, int stride, int frames, std::int64_t cycleStart) = 0;
};

// How the synth's sound reaches the speakers, as the player is told it. Written by the audio
// side, read by the windows at any time.
struct SynthAudioStatus {
  QString path;  // "PipeWire", "JACK", "PulseAudio", "ALSA"; empty while no output is open
  std::atomic<int> frames{0};    // the period the server runs us at
  std::atomic<int> rate{0};      // frames a second
  std::atomic<std::uint32_t> underruns{0};
  std::atomic<bool> lost{false};  // the server went away
};

// An open sound output pulling the synth's sound. Closing is destruction; once it returns, the
// renderer is not called again.
class SynthAudio {
 public:
  virtual ~SynthAudio() = default;
};

// Each throws MidiDeviceError with the reason when its output cannot be opened. `frames` is the
// period asked for; the status tells what was granted.
std::unique_ptr<SynthAudio> OpenPipeWireAudio(SynthRenderer& renderer, int frames, int rate,
                                              SynthAudioStatus& status);
std::unique_ptr<SynthAudio> OpenJackAudio(SynthRenderer& renderer, SynthAudioStatus& status);

// Whether a JACK server answers (jackd, or PipeWire's JACK).
bool JackServerRuns();

// Monotonic clock, nanoseconds: the time base of events and cycles.
std::int64_t MonotonicNow();
