#pragma once

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <cstdint>
#include <vector>

// A JACK client standing in for a player's MIDI keyboard (output port "keys") and sound module
// (input port "module"), on the test's JACK server. Its process callback never blocks or skips
// a cycle: it talks to the test through JACK's lock-free ring buffers, one message = a length
// byte followed by the message's bytes.
class JackMidiPeer {
 public:
  using Bytes = std::vector<std::uint8_t>;

  explicit JackMidiPeer(const char* name);
  ~JackMidiPeer();
  JackMidiPeer(const JackMidiPeer&) = delete;
  JackMidiPeer& operator=(const JackMidiPeer&) = delete;

  bool Ok() const { return client_ != nullptr && keys_ != nullptr && module_ != nullptr; }
  bool KeysConnected() const { return Ok() && jack_port_connected(keys_) > 0; }

  // Sends a channel message (1 to 3 bytes) from the "keys" port in the next cycle.
  void Play(const Bytes& message);
  // Whether every message played has been written to a cycle of the "keys" port.
  bool PlayedAll() const { return jack_ringbuffer_read_space(toKeys_) == 0; }
  // Everything the "module" port received so far, in order.
  const std::vector<Bytes>& Heard();
  // When each of them arrived, in JACK's microseconds (jack_get_time), the same for every
  // client of the server.
  const std::vector<jack_time_t>& HeardAt() {
    Heard();
    return heardAt_;
  }
  bool HasHeard(const Bytes& message);
  void ClearHeard();

 private:
  static int Process(jack_nframes_t frames, void* arg);

  jack_ringbuffer_t* toKeys_;
  jack_ringbuffer_t* fromModule_;
  jack_client_t* client_ = nullptr;
  jack_port_t* keys_ = nullptr;
  jack_port_t* module_ = nullptr;
  std::vector<Bytes> heard_;
  std::vector<jack_time_t> heardAt_;
};
