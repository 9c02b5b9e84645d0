#include "platform/midi/SystemMidi.h"

#include "platform/midi/JackOutput.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QObject>
#include <QSocketNotifier>
#include <QRegularExpression>
#include <algorithm>
#include <array>
#include <atomic>
#include <deque>
#include <mutex>

namespace {

constexpr const char* kClientName = "Sonavel";
constexpr const char* kInPortName = "MIDI In";
constexpr const char* kOutPortName = "MIDI Out";

void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}
void QuietJack(const char*) {}

// ALSA and JACK print to the console when they cannot start. An API that cannot start is
// simply left out of the lists, so both are silenced once and each API is probed before
// RtMidi touches it.
void SilenceLibraries() {
  static std::once_flag once;
  std::call_once(once, [] {
    snd_lib_error_set_handler(QuietAlsa);
    jack_set_error_function(QuietJack);
    jack_set_info_function(QuietJack);
  });
}

bool AlsaStarts() {
  if (access("/dev/snd/seq", R_OK | W_OK) != 0) return false;
  snd_seq_t* seq = nullptr;
  if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return false;
  snd_seq_close(seq);
  return true;
}

RtMidi::Api ToRt(SystemMidi::Api api) {
  return api == SystemMidi::Api::Alsa ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
}

template <typename RtPort>
std::vector<std::string> RtPortNames(RtPort& rt) {
  std::vector<std::string> names;
  const unsigned count = rt.getPortCount();
  for (unsigned i = 0; i < count; ++i) names.push_back(rt.getPortName(i));
  return names;
}

// Finds the RtMidi port number of a listed port, -1 when it is gone.
template <typename RtPort>
int FindPort(RtPort& rt, const SystemMidi::Port& port) {
  return midi_names::FindListed(RtPortNames(rt), port.api, port.name, port.occurrence);
}

void IgnoreRtMidiErrors(RtMidiError::Type, const std::string&, void* failed) {
  if (failed != nullptr) *static_cast<bool*>(failed) = true;
}

// Carries messages from RtMidi's thread to the thread that opened the input. The early hook
// sees each message first, on RtMidi's thread, and may sound it there; the message and what the
// hook did then wait for the opening thread.
//
// Under JACK, RtMidi's thread is the graph's own: it must not wait for the windows or allocate.
// So messages go through a ring sized up front, one producer and one consumer, and an eventfd
// wakes the opening thread's event loop. Only when the opening thread has let the ring fill (a
// handler that keeps a message box open stops the draining) do further messages wait in a
// locked list behind it; once that list is in use, every message goes there until the opening
// thread has emptied both, so the order stays the order of arrival.
class InputQueue final : public QObject {
 public:
  InputQueue(MidiInput::Early early, MidiInput::LateHandler handler)
      : early_(std::move(early)), handler_(std::move(handler)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wake_ < 0) throw MidiDeviceError(QStringLiteral("MIDI 入力の準備ができません。"));
    notifier_ = std::make_unique<QSocketNotifier>(wake_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
      Drain();
    });
  }
  ~InputQueue() override {
    notifier_.reset();
    ::close(wake_);
  }
  InputQueue(const InputQueue&) = delete;
  InputQueue& operator=(const InputQueue&) = delete;

  // RtMidi's input thread.
  void Push(ShortMessage message) {
    const Arrival arrival{message, early_ && early_(message, MonotonicNow())};
    const std::size_t head = head_.load(std::memory_order_relaxed);
    if (!overflowing_.load(std::memory_order_acquire) && head - tail_.load(std::memory_order_acquire) < kRing) {
      ring_[head % kRing] = arrival;
      head_.store(head + 1, std::memory_order_release);
    } else {
      std::lock_guard lock(overflowLock_);
      overflowing_.store(true, std::memory_order_release);
      overflow_.push_back(arrival);
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  }

  // The opening thread. One message at a time: a handler that opens a message box spins the
  // event loop, and a nested call must not let later messages overtake the one being handled.
  void Drain() {
    if (draining_) return;
    draining_ = true;
    Arrival arrival;
    while (Next(arrival)) {
      try {
        handler_(arrival.message, arrival.sounded);
      } catch (...) {
        draining_ = false;
        // The rest waits for the next wake-up rather than being lost.
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
        throw;
      }
    }
    draining_ = false;
  }

 private:
  struct Arrival {
    ShortMessage message = 0;
    bool sounded = false;
  };
  static constexpr std::size_t kRing = 4096;

  // The oldest message: the ring's, then the list's behind it. While the list is in use nothing
  // new enters the ring, so whatever the ring holds came before the list's.
  bool Next(Arrival& arrival) {
    for (;;) {
      const std::size_t tail = tail_.load(std::memory_order_relaxed);
      if (head_.load(std::memory_order_acquire) != tail) {
        arrival = ring_[tail % kRing];
        tail_.store(tail + 1, std::memory_order_release);
        return true;
      }
      if (!overflowing_.load(std::memory_order_acquire)) return false;
      std::lock_guard lock(overflowLock_);
      if (head_.load(std::memory_order_acquire) != tail) continue;  // filled meanwhile, before the list
      if (overflow_.empty()) {
        overflowing_.store(false, std::memory_order_release);
        return false;
      }
      arrival = overflow_.front();
      overflow_.pop_front();
      return true;
    }
  }

  MidiInput::Early early_;
  MidiInput::LateHandler handler_;
  const int wake_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::array<Arrival, kRing> ring_{};
  std::atomic<std::size_t> head_{0};  // messages ever put in the ring (RtMidi's thread)
  std::atomic<std::size_t> tail_{0};  // messages ever taken from it (the opening thread)
  std::atomic<bool> overflowing_{false};
  std::mutex overflowLock_;
  std::deque<Arrival> overflow_;
  bool draining_ = false;
};

class RtInput final : public MidiInput {
 public:
  RtInput(const SystemMidi::Port& port, Early early, LateHandler handler)
      : queue_(std::move(early), std::move(handler)) {
    try {
      in_ = std::make_unique<RtMidiIn>(ToRt(port.api), kClientName);
      const int number = FindPort(*in_, port);
      if (number < 0) throw MidiDeviceError(QStringLiteral("%1 が見つかりません。").arg(port.name));
      in_->openPort(static_cast<unsigned>(number), kInPortName);
      // System exclusive, timing clock and active sensing are not taken in.
      in_->ignoreTypes(true, true, true);
      in_->setErrorCallback(IgnoreRtMidiErrors, nullptr);
      in_->setCallback(&RtInput::Arrived, &queue_);
    } catch (const RtMidiError& e) {
      throw MidiDeviceError(port.name + QStringLiteral(": ") + QString::fromStdString(e.getMessage()));
    }
  }

  ~RtInput() override {
    // Stop RtMidi's thread before the queue goes: deleting the queue object then also drops
    // a wake-up still on its way to the UI thread.
    in_->cancelCallback();
    in_->closePort();
    in_.reset();
  }

 private:
  // Runs on RtMidi's input thread.
  static void Arrived(double, std::vector<unsigned char>* bytes, void* queue) {
    if (bytes == nullptr || bytes->empty() || bytes->size() > 3) return;
    const int length = ShortMessageLength((*bytes)[0]);
    if (length == 0 || static_cast<std::size_t>(length) != bytes->size()) return;
    ShortMessage message = 0;
    for (std::size_t i = 0; i < bytes->size(); ++i) message |= ShortMessage((*bytes)[i]) << (8 * i);
    static_cast<InputQueue*>(queue)->Push(message);
  }

  InputQueue queue_;  // lives on the opening (UI) thread
  std::unique_ptr<RtMidiIn> in_;
};

// ALSA outputs. (RtMidi's JACK output hands everything queued to the current period and
// drops what its buffer cannot take; JACK outputs are JackOutput.)
//
// The MIDI input's thread sends a keyboard's notes itself (the fast lane) when the opening
// thread is not sending at that moment; otherwise they go the ordinary way. ALSA's sequencer
// client is opened non-blocking, so neither waits on the other for longer than one message.
class RtOutput final : public MidiOutput, private MidiFastLane {
 public:
  explicit RtOutput(const SystemMidi::Port& port) {
    try {
      out_ = std::make_unique<RtMidiOut>(ToRt(port.api), kClientName);
      const int number = FindPort(*out_, port);
      if (number < 0) throw MidiDeviceError(QStringLiteral("%1 が見つかりません。").arg(port.name));
      out_->openPort(static_cast<unsigned>(number), kOutPortName);
      out_->setErrorCallback(IgnoreRtMidiErrors, &failed_);
    } catch (const RtMidiError& e) {
      throw MidiDeviceError(port.name + QStringLiteral(": ") + QString::fromStdString(e.getMessage()));
    }
  }
  ~RtOutput() override { out_->closePort(); }

  MidiFastLane* FastLane() override { return this; }

  void SendShort(ShortMessage message) override {
    const std::lock_guard lock(sending_);
    Send(message);
  }

  bool SendLong(std::span<const std::uint8_t> message) override {
    if (message.size() < 2 || message.front() != 0xF0 || message.back() != 0xF7) return false;
    const std::lock_guard lock(sending_);
    failed_ = false;
    out_->sendMessage(message.data(), message.size());
    return !failed_;
  }

  void Reset() override {
    const std::lock_guard lock(sending_);
    for (int channel = 0; channel < 16; ++channel) {
      Send(PackShort(0xB0 + channel, 64, 0));   // sustain off
      Send(PackShort(0xB0 + channel, 120, 0));  // all sound off
      Send(PackShort(0xB0 + channel, 123, 0));  // all notes off
    }
  }

 private:
  bool SendFromInput(std::int64_t, std::span<const ShortMessage> messages) override {
    const std::unique_lock lock(sending_, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    for (ShortMessage m : messages) Send(m);
    return true;
  }

  void Send(ShortMessage message) {
    const int length = ShortMessageLength(StatusOf(message));
    if (length == 0) return;
    const unsigned char bytes[3] = {static_cast<unsigned char>(StatusOf(message)),
                                    static_cast<unsigned char>(Data1Of(message) & 0x7F),
                                    static_cast<unsigned char>(Data2Of(message) & 0x7F)};
    out_->sendMessage(bytes, static_cast<std::size_t>(length));
  }

  std::unique_ptr<RtMidiOut> out_;
  std::mutex sending_;  // one sender at a time: the opening thread or the input's
  bool failed_ = false;
};

std::unique_ptr<MidiOutput> OpenJackOutput(const SystemMidi::Port& port) {
  const std::vector<std::string> targets = JackOutput::TargetNames();
  const int number = midi_names::FindListed(targets, port.api, port.name, port.occurrence);
  if (number < 0) throw MidiDeviceError(QStringLiteral("%1 が見つかりません。").arg(port.name));
  return std::make_unique<JackOutput>(kClientName, kOutPortName, targets[static_cast<std::size_t>(number)],
                                      port.name);
}

}  // namespace

namespace midi_names {

QString Listed(SystemMidi::Api api, const std::string& rtmidiName) {
  QString name = QString::fromStdString(rtmidiName);
  if (api == SystemMidi::Api::Alsa) {
    // ALSA's client and port numbers change from run to run; the settings file stores names.
    static const QRegularExpression address(QStringLiteral(" \\d+:\\d+$"));
    name.remove(address);
    return name;
  }
  return QStringLiteral("JACK: ") + name;
}

bool IsOurs(const std::string& rtmidiName) {
  return rtmidiName.rfind(kClientName, 0) == 0;
}

int FindListed(const std::vector<std::string>& rtmidiNames, SystemMidi::Api api, const QString& name,
               int occurrence) {
  int first = -1;
  int seen = 0;
  for (std::size_t i = 0; i < rtmidiNames.size(); ++i) {
    if (IsOurs(rtmidiNames[i]) || Listed(api, rtmidiNames[i]) != name) continue;
    if (seen++ == occurrence) return static_cast<int>(i);
    if (first < 0) first = static_cast<int>(i);
  }
  return first;
}

}  // namespace midi_names

SystemMidi::SystemMidi(GmSynth::Options synthOptions) : synthOptions_(std::move(synthOptions)) {
  SilenceLibraries();
}

std::vector<SystemMidi::Port> SystemMidi::Enumerate(bool inputs) const {
  std::vector<Port> ports;
  if (!inputs) ports.push_back({Api::Synth, QString::fromUtf8(GmSynth::kDeviceName)});
  const std::pair<Api, bool> apis[] = {{Api::Alsa, AlsaStarts()}, {Api::Jack, JackServerRuns()}};
  for (auto [api, starts] : apis) {
    if (!starts) continue;
    try {
      std::vector<std::string> names;
      if (inputs) {
        RtMidiIn rt(ToRt(api), "Sonavel-list");
        names = RtPortNames(rt);
      } else {
        RtMidiOut rt(ToRt(api), "Sonavel-list");
        names = RtPortNames(rt);
      }
      const std::size_t firstOfApi = ports.size();
      for (const auto& n : names) {
        if (midi_names::IsOurs(n)) continue;
        Port port{api, midi_names::Listed(api, n)};
        port.occurrence =
            static_cast<int>(std::count_if(ports.begin() + static_cast<std::ptrdiff_t>(firstOfApi),
                                           ports.end(), [&](const Port& p) { return p.name == port.name; }));
        ports.push_back(std::move(port));
      }
    } catch (const RtMidiError&) {
      // The API went away between the probe and the listing: leave it out.
    }
  }
  return ports;
}

namespace {
QStringList NamesOf(const std::vector<SystemMidi::Port>& ports) {
  QStringList names;
  for (const auto& p : ports) names << p.name;
  return names;
}
}  // namespace

QStringList SystemMidi::InputNames() {
  inputs_ = Enumerate(true);
  return NamesOf(inputs_);
}

QStringList SystemMidi::OutputNames() {
  outputs_ = Enumerate(false);
  return NamesOf(outputs_);
}

std::unique_ptr<MidiInput> SystemMidi::OpenInput(int index, MidiInput::Handler handler) {
  return OpenFastInput(index, nullptr, [h = std::move(handler)](ShortMessage m, bool) { h(m); });
}

std::unique_ptr<MidiInput> SystemMidi::OpenFastInput(int index, MidiInput::Early early,
                                                     MidiInput::LateHandler handler) {
  if (inputs_.empty()) InputNames();
  if (index < 0 || static_cast<std::size_t>(index) >= inputs_.size()) {
    throw MidiDeviceError(QStringLiteral("MIDI IN デバイス %1 はありません。").arg(index));
  }
  return std::make_unique<RtInput>(inputs_[static_cast<std::size_t>(index)], std::move(early), std::move(handler));
}

std::unique_ptr<MidiOutput> SystemMidi::OpenOutput(int index) {
  if (outputs_.empty()) OutputNames();
  if (index < 0 || static_cast<std::size_t>(index) >= outputs_.size()) {
    throw MidiDeviceError(QStringLiteral("MIDI OUT デバイス %1 はありません。").arg(index));
  }
  const Port& port = outputs_[static_cast<std::size_t>(index)];
  if (port.api == Api::Synth) return OpenSynth();
  if (port.api == Api::Jack) return OpenJackOutput(port);
  return std::make_unique<RtOutput>(port);
}

std::unique_ptr<MidiOutput> SystemMidi::OpenSynth() {
  try {
    auto synth = std::make_unique<GmSynth>(synthOptions_);
    synthStatus_ = synth->Status();
    synthFailure_.clear();
    return synth;
  } catch (const MidiDeviceError& e) {
    // Told once; the settings dialog's OK with nothing changed does not bring the box back.
    const bool same = e.Message() == synthFailure_ && synthOptions_.audioDriver == synthFailedDriver_ &&
                      synthOptions_.bufferFrames == synthFailedBuffer_;
    synthFailure_ = e.Message();
    synthFailedDriver_ = synthOptions_.audioDriver;
    synthFailedBuffer_ = synthOptions_.bufferFrames;
    if (same) throw MidiDeviceToldError(e.Message());
    throw;
  }
}

QString SystemMidi::SynthOutputState() {
  const auto status = synthStatus_.lock();
  return status ? GmSynth::Describe(*status) : QString();
}

