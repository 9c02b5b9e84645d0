#pragma once

#include <map>
#include <memory>
#include <vector>

#include "platform/midi/MidiDevice.h"

// A MIDI output that records what it is sent. Shared state outlives the output object, so a
// test can still read what went out after the engine closed the device.
struct MidiLog {
  std::vector<ShortMessage> shorts;
  std::vector<std::vector<std::uint8_t>> longs;
  int resets = 0;
  bool open = false;
  bool longFails = false;   // make SendLong report failure
  bool shortFails = false;  // make SendShort throw, as a device that went away may
  bool fastLane = false;    // the output takes messages from the input's thread too
  std::vector<ShortMessage> fast;  // what came that way
  void Clear() {
    shorts.clear();
    fast.clear();
    longs.clear();
    resets = 0;
  }
};

class RecordingMidiOutput final : public MidiOutput, private MidiFastLane {
 public:
  MidiFastLane* FastLane() override { return log_->fastLane ? this : nullptr; }
  bool SendFromInput(std::int64_t, std::span<const ShortMessage> messages) override {
    log_->fast.insert(log_->fast.end(), messages.begin(), messages.end());
    return true;
  }
  explicit RecordingMidiOutput(std::shared_ptr<MidiLog> log) : log_(std::move(log)) { log_->open = true; }
  ~RecordingMidiOutput() override { log_->open = false; }
  void SendShort(ShortMessage m) override {
    if (log_->shortFails) throw MidiDeviceError(QStringLiteral("MIDI OUT に送れません"));
    log_->shorts.push_back(m);
  }
  bool SendLong(std::span<const std::uint8_t> m) override {
    log_->longs.emplace_back(m.begin(), m.end());
    return !log_->longFails;
  }
  void Reset() override { ++log_->resets; }

 private:
  std::shared_ptr<MidiLog> log_;
};

// A MIDI system of fake devices: the outputs record, the inputs are driven by the test.
class FakeMidiSystem final : public MidiSystem {
 public:
  QStringList inputNames{QStringLiteral("Fake In")};
  QStringList outputNames{QStringLiteral("Fake Out")};
  std::shared_ptr<MidiLog> out = std::make_shared<MidiLog>();
  bool failInput = false;
  bool failOutput = false;
  int inputOpens = 0;
  int outputOpens = 0;

  QStringList InputNames() override { return inputNames; }
  QStringList OutputNames() override { return outputNames; }
  std::unique_ptr<MidiInput> OpenInput(int index, MidiInput::Handler handler) override;
  std::unique_ptr<MidiOutput> OpenOutput(int index) override;
  std::unique_ptr<MidiInput> OpenFastInput(int index, MidiInput::Early early, MidiInput::LateHandler handler) override;

  // Delivers a message as the open input would (a fast input's early hook on a thread of its
  // own first); false when no input is open.
  bool Play(ShortMessage m);

 private:
  class Input;
  Input* openInput_ = nullptr;
};
