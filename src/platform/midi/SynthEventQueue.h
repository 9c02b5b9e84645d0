#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "platform/midi/MidiDevice.h"

// MIDI messages on their way to the synth's audio thread, each with the time it was played
// (CLOCK_MONOTONIC nanoseconds).
//
// One producer (the thread that opened the synth) and one consumer (the sound server's process
// callback). Lock-free and sized up front: the callback never waits and never allocates.
// Records are a time, a length and the message's bytes; they may wrap around the end of the
// ring. `head_` counts bytes ever written (the producer advances it), `tail_` bytes ever taken
// (the consumer advances it); each side publishes its own index with release and reads the
// other's with acquire.
class SynthEventQueue {
 public:
  static constexpr std::size_t kBytes = std::size_t{1} << 16;  // a power of two
  static constexpr std::size_t kLargest = 1024;                // the longest message taken
  static constexpr std::size_t kHeader = sizeof(std::int64_t) + sizeof(std::uint16_t);

  struct Event {
    std::int64_t time = 0;
    std::uint16_t size = 0;
    std::array<std::uint8_t, kLargest> bytes{};
    std::span<const std::uint8_t> Bytes() const { return {bytes.data(), size}; }
  };

  // Producer. False when the message is empty or too long, or the ring has no room for it.
  bool Push(std::int64_t time, std::span<const std::uint8_t> message) {
    if (message.empty() || message.size() > kLargest) return false;
    const std::size_t head = head_.load(std::memory_order_relaxed);
    const std::size_t need = kHeader + message.size();
    if (kBytes - (head - tail_.load(std::memory_order_acquire)) < need) return false;
    std::uint8_t header[kHeader];
    const auto size = static_cast<std::uint16_t>(message.size());
    std::memcpy(header, &time, sizeof time);
    std::memcpy(header + sizeof time, &size, sizeof size);
    Write(head, header);
    Write(head + kHeader, message);
    head_.store(head + need, std::memory_order_release);
    return true;
  }

  // Producer. Whether messages of these lengths, together, would fit now.
  bool HasRoom(std::size_t messages, std::size_t bytes) const {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    return kBytes - (head - tail_.load(std::memory_order_acquire)) >= messages * kHeader + bytes;
  }

  // Producer. All the channel messages, played at `time`, or none of them: false when one is
  // not a channel message or they would not fit together.
  bool PushShorts(std::int64_t time, std::span<const ShortMessage> messages) {
    std::size_t bytes = 0;
    for (ShortMessage m : messages) {
      const int length = ShortMessageLength(StatusOf(m));
      if (length == 0 || StatusOf(m) >= 0xF0) return false;
      bytes += static_cast<std::size_t>(length);
    }
    if (!HasRoom(messages.size(), bytes)) return false;
    for (ShortMessage m : messages) {
      const std::uint8_t b[3] = {static_cast<std::uint8_t>(StatusOf(m)), static_cast<std::uint8_t>(Data1Of(m) & 0x7F),
                                 static_cast<std::uint8_t>(Data2Of(m) & 0x7F)};
      Push(time, std::span(b, static_cast<std::size_t>(ShortMessageLength(StatusOf(m)))));
    }
    return true;
  }

  // Any thread. Whether everything pushed so far has been taken.
  bool Empty() const { return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire); }

  // Consumer. The time of the oldest event, false when there is none.
  bool PeekTime(std::int64_t& time) const {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (head_.load(std::memory_order_acquire) == tail) return false;
    std::uint8_t header[sizeof time];
    Read(tail, header);
    std::memcpy(&time, header, sizeof time);
    return true;
  }

  // Consumer. Takes the oldest event into `event`; false when there is none.
  bool Pop(Event& event) {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (head_.load(std::memory_order_acquire) == tail) return false;
    std::uint8_t header[kHeader];
    Read(tail, header);
    std::memcpy(&event.time, header, sizeof event.time);
    std::memcpy(&event.size, header + sizeof event.time, sizeof event.size);
    Read(tail + kHeader, std::span(event.bytes.data(), event.size));
    tail_.store(tail + kHeader + event.size, std::memory_order_release);
    return true;
  }

 private:
  void Write(std::size_t at, std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) ring_[(at + i) & (kBytes - 1)] = bytes[i];
  }
  void Read(std::size_t at, std::span<std::uint8_t> bytes) const {
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = ring_[(at + i) & (kBytes - 1)];
  }

  std::array<std::uint8_t, kBytes> ring_{};
  std::atomic<std::size_t> head_{0};
  std::atomic<std::size_t> tail_{0};
};
