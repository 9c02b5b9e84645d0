#pragma once

#include <QString>
#include <memory>

#include "platform/midi/MidiDevice.h"

struct _fluid_hashtable_t;
struct _fluid_synth_t;
struct _fluid_audio_driver_t;

// The built-in General MIDI sound module: FluidSynth playing the system's GM sound font.
class GmSynth final : public MidiOutput {
 public:
  static constexpr const char* kDeviceName = "FluidSynth GM Synth";
  static constexpr const char* kDefaultSoundFont = "/usr/share/sounds/sf2/default-GM.sf2";

  struct Options {
    QString soundFont = kDefaultSoundFont;
    // A FluidSynth audio driver name ("pulseaudio", "alsa", "jack", ...). Empty tries the
    // desktop's sound server first, then ALSA, then JACK. "none" opens no audio at all: the
    // synth is then heard only through Render().
    QString audioDriver;
    double sampleRate = 44100.0;
  };

  // Throws MidiDeviceError naming what failed (sound font, or every audio driver tried).
  explicit GmSynth(const Options& options);
  ~GmSynth() override;
  GmSynth(const GmSynth&) = delete;
  GmSynth& operator=(const GmSynth&) = delete;

  void SendShort(ShortMessage message) override;
  bool SendLong(std::span<const std::uint8_t> message) override;
  void Reset() override;

  // Renders frames of stereo audio; meant for a synth opened with the "none" driver.
  void Render(std::span<float> left, std::span<float> right);
  // The audio driver in use, empty for "none".
  QString AudioDriver() const { return driverName_; }
  int ActiveVoices() const;

 private:
  _fluid_hashtable_t* settings_ = nullptr;
  _fluid_synth_t* synth_ = nullptr;
  _fluid_audio_driver_t* driver_ = nullptr;
  QString driverName_;
};
