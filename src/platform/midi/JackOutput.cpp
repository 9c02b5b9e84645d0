#include "platform/midi/JackOutput.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

constexpr std::size_t kMask = JackOutput::kQueueBytes - 1;
constexpr std::size_t kLengthBytes = 2;
static_assert((JackOutput::kQueueBytes & kMask) == 0, "the queue size must be a power of two");

}  // namespace

JackOutput::JackOutput(const char* clientName, const char* portName, const std::string& target,
                       QString listedName)
    : name_(std::move(listedName)) {
  const auto fail = [this](const QString& why) {
    CloseClient();
    throw MidiDeviceError(name_ + QStringLiteral(": ") + why);
  };
  jack_status_t status{};
  client_ = jack_client_open(clientName, JackNoStartServer, &status);
  if (client_ == nullptr) fail(QStringLiteral("JACK サーバーに接続できません。"));
  port_ = jack_port_register(client_, portName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  if (port_ == nullptr) fail(QStringLiteral("JACK の MIDI ポートを作れません。"));
  if (jack_set_process_callback(client_, &JackOutput::Process, this) != 0) {
    fail(QStringLiteral("JACK の処理を登録できません。"));
  }
  jack_on_shutdown(client_, &JackOutput::ServerGone, this);
  if (jack_activate(client_) != 0) fail(QStringLiteral("JACK クライアントを開始できません。"));
  const int connected = jack_connect(client_, jack_port_name(port_), target.c_str());
  if (connected != 0 && connected != EEXIST) fail(QStringLiteral("ポートに接続できません。"));
}

JackOutput::~JackOutput() {
  // Deactivating ends the port in the next period, whatever is still queued: the
  // all-notes-off of a close would be lost and leave the module sounding. So the queue is left
  // to empty, plus one whole period after the one that took its last part (the clients it
  // feeds may run after us in that period); a stalled server delays the close by kCloseGrace
  // at most.
  if (!gone_.load(std::memory_order_acquire)) {
    const std::size_t end = head_.load(std::memory_order_relaxed);
    std::uint64_t drainedIn = 0;
    bool drained = false;
    WaitForPeriods(
        [&] {
          const std::uint64_t period = periods_.load(std::memory_order_seq_cst);
          if (!drained && tail_.load(std::memory_order_seq_cst) == end) {
            drained = true;
            drainedIn = period;
          }
          return drained && period >= drainedIn + 2;
        },
        std::chrono::steady_clock::now() + kCloseGrace);
  }
  CloseClient();
}

void JackOutput::CloseClient() {
  if (client_ == nullptr) return;
  jack_deactivate(client_);
  jack_client_close(client_);
  client_ = nullptr;
}

std::vector<std::string> JackOutput::TargetNames() {
  std::vector<std::string> names;
  jack_status_t status{};
  jack_client_t* client = jack_client_open("Sonavel-list", JackNoStartServer, &status);
  if (client == nullptr) return names;
  if (const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput)) {
    for (const char** p = ports; *p != nullptr; ++p) names.emplace_back(*p);
    jack_free(ports);
  }
  jack_client_close(client);
  return names;
}

void JackOutput::SendShort(ShortMessage message) {
  const int length = ShortMessageLength(StatusOf(message));
  if (length == 0) return;
  const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(StatusOf(message)),
                                 static_cast<std::uint8_t>(Data1Of(message) & 0x7F),
                                 static_cast<std::uint8_t>(Data2Of(message) & 0x7F)};
  PushOrThrow(std::span(bytes, static_cast<std::size_t>(length)));
}

bool JackOutput::SendLong(std::span<const std::uint8_t> message) {
  if (message.size() < 2 || message.front() != 0xF0 || message.back() != 0xF7) return false;
  // The largest message a period's buffer takes is learnt in the first period.
  if (largest_.load(std::memory_order_acquire) == 0) {
    WaitForPeriods([&] { return largest_.load(std::memory_order_acquire) != 0; },
                   std::chrono::steady_clock::now() + kSpaceWait);
  }
  if (message.size() > std::min(largest_.load(std::memory_order_acquire), kQueueBytes / 4)) return false;
  PushOrThrow(message);
  return true;
}

void JackOutput::Reset() {
  // A key the input's thread handed over just before its lane was taken away goes out before
  // the silencing, not after it (each period takes this thread's queue first).
  if (!stalled_) {
    WaitForPeriods([&] { return fromInput_.Empty() || gone_.load(std::memory_order_acquire); },
                   std::chrono::steady_clock::now() + kSpaceWait);
  }
  for (int channel = 0; channel < 16; ++channel) {
    for (int controller : {64, 120, 123}) {  // sustain off, all sound off, all notes off
      const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(0xB0 + channel),
                                     static_cast<std::uint8_t>(controller), 0};
      if (TryPush(bytes, stalled_ ? std::chrono::milliseconds(0) : kSpaceWait) != Push::Queued) return;
    }
  }
}

// A full queue means the server has taken nothing for a whole queue's worth of messages
// (several thousand) - it is stalled or gone. Dropping the message quietly would leave notes
// hanging or parts wrongly set up, and waiting without end would freeze the windows, so the
// sender waits kSpaceWait for room and then reports the message as not sent. While the server
// stays stalled, later messages are reported at once rather than each waiting again.
void JackOutput::PushOrThrow(std::span<const std::uint8_t> message) {
  switch (TryPush(message, stalled_ ? std::chrono::milliseconds(0) : kSpaceWait)) {
    case Push::Queued: return;
    case Push::Full:
      throw MidiDeviceError(name_ + QStringLiteral(": JACK サーバーが MIDI を受け取らず、送れませんでした。"));
    case Push::Gone:
      throw MidiDeviceError(name_ + QStringLiteral(": JACK サーバーが終了したため、送れませんでした。"));
  }
}

std::size_t JackOutput::FreeBytes() const {
  return kQueueBytes - (head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_seq_cst));
}

JackOutput::Push JackOutput::TryPush(std::span<const std::uint8_t> message, std::chrono::milliseconds wait) {
  if (gone_.load(std::memory_order_acquire)) return Push::Gone;
  const std::size_t need = kLengthBytes + message.size();
  if (FreeBytes() < need) {
    const bool room = WaitForPeriods([&] { return FreeBytes() >= need || gone_.load(std::memory_order_acquire); },
                                     std::chrono::steady_clock::now() + wait);
    if (gone_.load(std::memory_order_acquire)) return Push::Gone;
    stalled_ = !room;
    if (!room) return Push::Full;
  }
  stalled_ = false;
  std::size_t head = head_.load(std::memory_order_relaxed);
  ring_[head++ & kMask] = static_cast<std::uint8_t>(message.size() & 0xFF);
  ring_[head++ & kMask] = static_cast<std::uint8_t>(message.size() >> 8);
  for (std::uint8_t byte : message) ring_[head++ & kMask] = byte;
  head_.store(head, std::memory_order_release);
  return Push::Queued;
}

template <typename Ready>
bool JackOutput::WaitForPeriods(Ready ready, std::chrono::steady_clock::time_point deadline) {
  waiting_.store(true, std::memory_order_seq_cst);
  bool done = ready();
  while (!done && !gone_.load(std::memory_order_acquire) && wake_.try_acquire_until(deadline)) done = ready();
  if (!done) done = ready();
  waiting_.store(false, std::memory_order_seq_cst);
  while (wake_.try_acquire()) {
  }
  return done;
}

bool JackOutput::SendFromInput(std::int64_t time, std::span<const ShortMessage> messages) {
  if (!live_.load(std::memory_order_acquire) || gone_.load(std::memory_order_acquire)) return false;
  return fromInput_.PushShorts(time, messages);
}

int JackOutput::Process(jack_nframes_t frames, void* arg) {
  auto* self = static_cast<JackOutput*>(arg);
  void* buffer = jack_port_get_buffer(self->port_, frames);
  jack_midi_clear_buffer(buffer);
  self->largest_.store(jack_midi_max_event_size(buffer), std::memory_order_release);
  // The port is connected to its target only after activation, and the connection takes
  // effect from some later period on; what is written to the port before then reaches no
  // one. So nothing is taken off the queue until the port is seen connected.
  bool live = self->live_.load(std::memory_order_relaxed);
  if (!live && jack_port_connected(self->port_) > 0) {
    live = true;
    self->live_.store(true, std::memory_order_release);
  }
  std::size_t tail = self->tail_.load(std::memory_order_relaxed);
  const std::size_t head = self->head_.load(std::memory_order_acquire);
  bool empty = true;
  bool full = false;
  while (live && tail != head) {
    const std::size_t size = self->ring_[tail & kMask] | std::size_t{self->ring_[(tail + 1) & kMask]} << 8;
    // Asked first: a refused reserve makes libjack log an error from this thread.
    jack_midi_data_t* event =
        jack_midi_max_event_size(buffer) >= size ? jack_midi_event_reserve(buffer, 0, size) : nullptr;
    if (event == nullptr && !empty) {  // the period is full: the rest goes in the next ones
      full = true;
      break;
    }
    // (A message that an empty buffer cannot take either would block the queue for good;
    // SendLong refuses such sizes, and one that still comes is passed over.)
    if (event != nullptr) {
      for (std::size_t i = 0; i < size; ++i) event[i] = self->ring_[(tail + kLengthBytes + i) & kMask];
    }
    tail += kLengthBytes + size;
    empty = false;
  }
  // The fast lane holds short messages only (three bytes at most): while the buffer has room
  // for three more, the next one fits; the rest waits for the next period.
  SynthEventQueue::Event event;
  while (!full && jack_midi_max_event_size(buffer) >= 3 && self->fromInput_.Pop(event)) {
    if (jack_midi_data_t* out = jack_midi_event_reserve(buffer, 0, event.size)) {
      std::copy_n(event.bytes.data(), event.size, out);
    }
  }
  self->tail_.store(tail, std::memory_order_seq_cst);
  self->periods_.fetch_add(1, std::memory_order_seq_cst);
  if (self->waiting_.load(std::memory_order_seq_cst)) self->wake_.release();
  return 0;
}

void JackOutput::ServerGone(void* arg) {
  auto* self = static_cast<JackOutput*>(arg);
  self->gone_.store(true, std::memory_order_seq_cst);
  self->wake_.release();
}
