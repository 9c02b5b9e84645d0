#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "platform/UserError.h"

// A packed MIDI short message: status in bits 0-7, data 1 in bits 8-15, data 2 in bits 16-23.
using ShortMessage = std::uint32_t;

constexpr ShortMessage PackShort(int status, int data1, int data2) {
  return static_cast<ShortMessage>(status) + static_cast<ShortMessage>(data1) * 256u +
         static_cast<ShortMessage>(data2) * 65536u;
}
constexpr int StatusOf(ShortMessage m) {
  return static_cast<int>(m & 0xFF);
}
constexpr int Data1Of(ShortMessage m) {
  return static_cast<int>((m >> 8) & 0xFF);
}
constexpr int Data2Of(ShortMessage m) {
  return static_cast<int>((m >> 16) & 0xFF);
}

// Opening a device failed; the message says which device and why.
class MidiDeviceError : public UserError {
 public:
  using UserError::UserError;
};

// The same device failed to open again, the same way and with the same settings: the player
// has been told already, and is not told again.
class MidiDeviceToldError : public MidiDeviceError {
 public:
  using MidiDeviceError::MidiDeviceError;
};

// A way into an output for one thread besides the one that opened it: the MIDI input's, so a
// note from a keyboard sounds without waiting for the windows. Never waits, allocates or throws.
class MidiFastLane {
 public:
  virtual ~MidiFastLane() = default;
  // All the messages, played at `time` (CLOCK_MONOTONIC nanoseconds), or none of them: false
  // when the lane cannot take them now, and they are then to be sent the ordinary way.
  virtual bool SendFromInput(std::int64_t time, std::span<const ShortMessage> messages) = 0;
};

// An open MIDI output. Closing is destruction.
class MidiOutput {
 public:
  virtual ~MidiOutput() = default;
  // The output's fast lane, alive as long as the output; nullptr when it has none.
  virtual MidiFastLane* FastLane() { return nullptr; }
  // Tells (throws MidiDeviceError) what the fast lane could not: the output's trouble, once in
  // a while. Called on the opening thread.
  virtual void CheckHealth() {}
  virtual void SendShort(ShortMessage message) = 0;
  // A complete system-exclusive message, F0 ... F7. Returns whether it was accepted.
  virtual bool SendLong(std::span<const std::uint8_t> message) = 0;
  // Silences every sounding note on every channel.
  virtual void Reset() = 0;
};

// An open MIDI input. Closing is destruction: once it is gone, no further message of it is
// delivered, not even one already on its way.
class MidiInput {
 public:
  // Called on the thread that opened the input (the UI thread), one short message at a time,
  // in arrival order.
  using Handler = std::function<void(ShortMessage)>;
  // Called on the input's own thread as each message arrives, before the opening thread sees
  // it; returns whether it has sounded the message already. Must not wait, allocate or throw.
  using Early = std::function<bool(ShortMessage, std::int64_t time)>;
  // The opening thread's share of a message the early hook saw, with what the hook answered.
  using LateHandler = std::function<void(ShortMessage, bool sounded)>;
  virtual ~MidiInput() = default;
};

// The machine's MIDI devices. Entry i of a list is device number i.
class MidiSystem {
 public:
  virtual ~MidiSystem() = default;
  virtual QStringList InputNames() = 0;
  virtual QStringList OutputNames() = 0;
  // Both throw MidiDeviceError when the device cannot be opened (or the number is unknown).
  virtual std::unique_ptr<MidiInput> OpenInput(int index, MidiInput::Handler handler) = 0;
  virtual std::unique_ptr<MidiOutput> OpenOutput(int index) = 0;
  // An input whose messages meet `early` on the input's own thread first. Devices without a
  // thread of their own never call it and hand every message on as not sounded.
  virtual std::unique_ptr<MidiInput> OpenFastInput(int index, MidiInput::Early early, MidiInput::LateHandler handler) {
    (void)early;
    return OpenInput(index, [h = std::move(handler)](ShortMessage m) { h(m, false); });
  }
  // How the built-in synth's sound goes out now (path, period, underruns); empty when it is not
  // open.
  virtual QString SynthOutputState() { return {}; }
};

// Byte length of a short message with this status, 0 for statuses that carry no short message
// (system exclusive and its end, undefined system statuses, running-status data bytes).
constexpr int ShortMessageLength(int status) {
  if (status < 0x80) return 0;
  if (status < 0xF0) {
    const int type = status & 0xF0;
    return (type == 0xC0 || type == 0xD0) ? 2 : 3;
  }
  switch (status) {
    case 0xF1:
    case 0xF3: return 2;
    case 0xF2: return 3;
    case 0xF6:
    case 0xF8:
    case 0xFA:
    case 0xFB:
    case 0xFC:
    case 0xFE:
    case 0xFF: return 1;
    default: return 0;
  }
}
