#include "support/JackMidiPeer.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kRing = 1 << 20;  // a stalled burst whole, each message with its arrival time

// Takes one length-prefixed message off `ring` when all of its bytes have arrived; the writer
// puts the length byte in first, so a reader that only checked for the length could cut a
// message short.
bool TakeMessage(jack_ringbuffer_t* ring, unsigned char* out, std::size_t& size) {
  unsigned char length = 0;
  if (jack_ringbuffer_peek(ring, reinterpret_cast<char*>(&length), 1) != 1) return false;
  if (jack_ringbuffer_read_space(ring) < 1 + static_cast<std::size_t>(length)) return false;
  jack_ringbuffer_read_advance(ring, 1);
  size = length;
  jack_ringbuffer_read(ring, reinterpret_cast<char*>(out), size);
  return true;
}

void PutMessage(jack_ringbuffer_t* ring, const unsigned char* bytes, std::size_t size) {
  if (jack_ringbuffer_write_space(ring) < 1 + size) return;  // full: the test will see it missing
  const auto length = static_cast<unsigned char>(size);
  jack_ringbuffer_write(ring, reinterpret_cast<const char*>(&length), 1);
  jack_ringbuffer_write(ring, reinterpret_cast<const char*>(bytes), size);
}

}  // namespace

JackMidiPeer::JackMidiPeer(const char* name)
    : toKeys_(jack_ringbuffer_create(kRing)), fromModule_(jack_ringbuffer_create(kRing)) {
  jack_status_t status{};
  client_ = jack_client_open(name, JackNoStartServer, &status);
  if (client_ == nullptr) return;
  keys_ = jack_port_register(client_, "keys", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  module_ = jack_port_register(client_, "module", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  jack_set_process_callback(client_, &JackMidiPeer::Process, this);
  jack_activate(client_);
}

JackMidiPeer::~JackMidiPeer() {
  if (client_ != nullptr) {
    jack_deactivate(client_);
    jack_client_close(client_);
  }
  jack_ringbuffer_free(toKeys_);
  jack_ringbuffer_free(fromModule_);
}

void JackMidiPeer::Play(const Bytes& message) {
  if (message.empty() || message.size() > 3) return;
  PutMessage(toKeys_, message.data(), message.size());
}

const std::vector<JackMidiPeer::Bytes>& JackMidiPeer::Heard() {
  unsigned char m[256];
  std::size_t size = 0;
  // Each message comes with the JACK time it arrived at, after its bytes.
  while (TakeMessage(fromModule_, m, size) && size >= sizeof(jack_time_t)) {
    const std::size_t bytes = size - sizeof(jack_time_t);
    heard_.emplace_back(m, m + bytes);
    jack_time_t at = 0;
    std::memcpy(&at, m + bytes, sizeof at);
    heardAt_.push_back(at);
  }
  return heard_;
}

bool JackMidiPeer::HasHeard(const Bytes& message) {
  const auto& heard = Heard();
  return std::find(heard.begin(), heard.end(), message) != heard.end();
}

void JackMidiPeer::ClearHeard() {
  Heard();
  heard_.clear();
  heardAt_.clear();
}

int JackMidiPeer::Process(jack_nframes_t frames, void* arg) {
  auto* self = static_cast<JackMidiPeer*>(arg);
  void* out = jack_port_get_buffer(self->keys_, frames);
  void* in = jack_port_get_buffer(self->module_, frames);
  jack_midi_clear_buffer(out);
  unsigned char m[256];
  std::size_t size = 0;
  while (TakeMessage(self->toKeys_, m, size)) jack_midi_event_write(out, 0, m, size);
  const jack_nframes_t count = jack_midi_get_event_count(in);
  for (jack_nframes_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, in, i) != 0 || event.size > 3) continue;
    // The event's bytes are copied by libjack itself, as the server's hand-over between the
    // clients is: a copy of ours would look unsynchronised to ThreadSanitizer.
    const jack_time_t at = jack_frames_to_time(self->client_, jack_last_frame_time(self->client_) + event.time);
    const std::size_t stored = event.size + sizeof at;
    if (jack_ringbuffer_write_space(self->fromModule_) < 1 + stored) continue;  // full: the test sees it missing
    const auto length = static_cast<unsigned char>(stored);
    jack_ringbuffer_write(self->fromModule_, reinterpret_cast<const char*>(&length), 1);
    jack_ringbuffer_write(self->fromModule_, reinterpret_cast<const char*>(event.buffer), event.size);
    jack_ringbuffer_write(self->fromModule_, reinterpret_cast<const char*>(&at), sizeof at);
  }
  return 0;
}
