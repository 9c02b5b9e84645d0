#pragma once

#include <jack/jack.h>

#include <QString>
#include <array>
#include <chrono>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <semaphore>
#include <span>
#include <string>
#include <vector>

#include "platform/midi/MidiDevice.h"
#include "platform/midi/SynthEventQueue.h"

// A MIDI output through a JACK port of our own, connected to one MIDI input port of another
// client.
//
// Messages go from the thread that opened the output (the UI thread; one thread at a time)
// into a lock-free single-producer/single-consumer queue, and JACK's process callback writes
// as many of them into each period's port buffer as the buffer takes. What does not fit goes
// out in the next periods, in order: a burst larger than one period's MIDI buffer (the table
// sent when the output opens, a tone file, an all-notes-off on every channel) is spread over
// several periods, never cut short.
//
// A MIDI keyboard's notes come in through a second queue of their own (the fast lane, fed by
// the MIDI input's thread), so they go out without waiting for the windows. Each period takes
// the opening thread's queue first: a message that the input's thread could not hand over
// went that way and was queued before anything the lane took after it.
class JackOutput final : public MidiOutput, private MidiFastLane {
 public:
  // Registers `portName` on a new client `clientName` and connects it to the JACK input port
  // `target` ("client:port"). `listedName` is how the device lists show the target; it heads
  // every error message. Throws MidiDeviceError when any step fails.
  JackOutput(const char* clientName, const char* portName, const std::string& target, QString listedName);
  // Lets what is still queued go out first (for at most kCloseGrace), then closes the client.
  ~JackOutput() override;
  JackOutput(const JackOutput&) = delete;
  JackOutput& operator=(const JackOutput&) = delete;

  MidiFastLane* FastLane() override { return this; }
  // Both throw MidiDeviceError when the server takes nothing for kSpaceWait with the queue
  // full, or when it has shut down; the message is not sent.
  void SendShort(ShortMessage message) override;
  // Refuses (false) what is not F0 ... F7 or is larger than one period's buffer could hold.
  bool SendLong(std::span<const std::uint8_t> message) override;
  // Queues sustain off, all sound off and all notes off for every channel. Never throws: it
  // runs on the way to closing, where a stalled or stopped server has nothing left to silence.
  void Reset() override;

  // The JACK input ports a JACK output can feed, in the server's order ("client:port").
  // Empty when no server runs.
  static std::vector<std::string> TargetNames();

  static constexpr std::size_t kQueueBytes = std::size_t{1} << 16;  // a power of two
  static constexpr auto kSpaceWait = std::chrono::milliseconds(500);
  static constexpr auto kCloseGrace = std::chrono::milliseconds(500);

 private:
  // The MIDI input's thread. Refuses until the port's connection has taken effect, and when
  // the server is gone or the lane full: the ordinary way then waits or tells.
  bool SendFromInput(std::int64_t time, std::span<const ShortMessage> messages) override;

  enum class Push { Queued, Full, Gone };
  // Queues one message whole, waiting up to `wait` for room.
  Push TryPush(std::span<const std::uint8_t> message, std::chrono::milliseconds wait);
  void PushOrThrow(std::span<const std::uint8_t> message);
  std::size_t FreeBytes() const;
  // Waits until `ready` holds, woken after each period; false when `deadline` came first.
  template <typename Ready>
  bool WaitForPeriods(Ready ready, std::chrono::steady_clock::time_point deadline);
  void CloseClient();

  static int Process(jack_nframes_t frames, void* self);
  static void ServerGone(void* self);

  const QString name_;
  jack_client_t* client_ = nullptr;
  jack_port_t* port_ = nullptr;
  std::atomic<std::size_t> largest_{0};  // what an empty period buffer takes, 0 before the first

  // The queue: records of a two-byte length (low byte first) and the message's bytes, which
  // may wrap around the end. `head_` counts bytes ever written (the UI thread advances it),
  // `tail_` bytes ever taken (the process callback advances it); each side publishes its own
  // index with release and reads the other's with acquire.
  std::array<std::uint8_t, kQueueBytes> ring_{};
  std::atomic<std::size_t> head_{0};
  std::atomic<std::size_t> tail_{0};

  // Waking a waiting UI thread: while `waiting_` is set, the callback releases the semaphore
  // once a period, after publishing its progress, and the waiter rechecks what it waits for.
  // `waiting_` and what the waiter rereads are sequentially consistent, so the period that
  // made the progress is the one that wakes it.
  std::atomic<bool> waiting_{false};
  std::atomic<std::uint64_t> periods_{0};
  std::atomic<bool> gone_{false};
  std::counting_semaphore<> wake_{0};
  bool stalled_ = false;  // UI thread: the last wait for room timed out
  // Set by the process callback once the port's connection has taken effect.
  std::atomic<bool> live_{false};
  SynthEventQueue fromInput_;  // the fast lane's messages; their times are not used
};
