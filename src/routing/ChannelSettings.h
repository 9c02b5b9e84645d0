#pragma once

#include <array>
#include <cstdint>

constexpr int kMidiChannels = 16;

// The sound set-up of every MIDI channel. The two parts show and edit the entries of their
// own channel; the tone list reads and writes the program table.
struct ChannelSettings {
  static constexpr std::int32_t kDefaultVolume = 100;
  static constexpr std::int32_t kDefaultReverb = 0;
  static constexpr std::int32_t kDefaultChorus = 0;
  static constexpr std::int32_t kDefaultPan = 64;
  static constexpr std::int32_t kDefaultProgram = 0;

  using Table = std::array<std::int32_t, kMidiChannels>;
  Table volume;
  Table reverb;
  Table chorus;
  Table pan;
  Table program;

  ChannelSettings() { ResetToDefaults(); }

  void ResetToDefaults() {
    volume.fill(kDefaultVolume);
    reverb.fill(kDefaultReverb);
    chorus.fill(kDefaultChorus);
    pan.fill(kDefaultPan);
    program.fill(kDefaultProgram);
  }

  bool operator==(const ChannelSettings&) const = default;
};

// What a tone file holds: the two part channels and the whole table.
struct ToneSetup {
  std::int32_t localChannel = 0;
  std::int32_t remoteChannel = 1;
  ChannelSettings channels;

  bool operator==(const ToneSetup&) const = default;
};
