// The synth as a playback stream of its own in the PipeWire graph.
//
// The stream asks for a small quantum (node.latency) and leaves the rate open, so the graph's
// rate is what it gets and nothing resamples it; the synth renders inside the stream's process
// callback, on the graph's data thread (PW_STREAM_FLAG_RT_PROCESS), exactly the frames asked.
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/props.h>
#include <spa/utils/result.h>

#include <chrono>
#include <mutex>
#include <string>

#include "platform/midi/MidiDevice.h"
#include "platform/midi/SynthAudio.h"

namespace {

constexpr int kChannels = 2;
constexpr auto kConnectWait = std::chrono::seconds(3);

void InitPipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

class PipeWireAudio final : public SynthAudio {
 public:
  PipeWireAudio(SynthRenderer& renderer, int frames, int rate, SynthAudioStatus& status)
      : renderer_(renderer), status_(status) {
    InitPipeWire();
    loop_ = pw_thread_loop_new("sonavel-synth", nullptr);
    if (loop_ == nullptr) throw MidiDeviceError(QStringLiteral("pipewire: スレッドを作れません"));
    const std::string latency = std::to_string(frames) + "/" + std::to_string(rate);
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                             PW_KEY_MEDIA_ROLE, "Music", PW_KEY_APP_NAME, "Sonavel",
                                             PW_KEY_NODE_NAME, "Sonavel", PW_KEY_NODE_DESCRIPTION,
                                             "Sonavel GM Synth", PW_KEY_NODE_LATENCY, latency.c_str(),
                                             nullptr);
    stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "Sonavel GM Synth", props, &kEvents, this);
    if (stream_ == nullptr) {
      pw_thread_loop_destroy(loop_);
      throw MidiDeviceError(QStringLiteral("pipewire: サーバーに接続できません"));
    }

    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;  // interleaved
    info.channels = kChannels;
    info.rate = 0;  // the graph's
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};

    pw_thread_loop_lock(loop_);
    if (pw_thread_loop_start(loop_) < 0) {
      pw_thread_loop_unlock(loop_);
      Destroy();
      throw MidiDeviceError(QStringLiteral("pipewire: スレッドを始められません"));
    }
    const int connected = pw_stream_connect(
        stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS),
        params, 1);
    // Until the stream streams or fails: the graph has then given its rate and quantum.
    bool ready = false;
    QString failure;
    if (connected < 0) failure = QString::fromUtf8(spa_strerror(connected));
    const auto deadline = std::chrono::steady_clock::now() + kConnectWait;
    while (failure.isEmpty() && !ready) {
      const char* error = nullptr;
      switch (pw_stream_get_state(stream_, &error)) {
        case PW_STREAM_STATE_ERROR:
          failure = QString::fromUtf8(error != nullptr ? error : "error");
          break;
        case PW_STREAM_STATE_UNCONNECTED:
          if (stateSeen_) failure = QStringLiteral("サーバーに接続できません");
          break;
        case PW_STREAM_STATE_STREAMING: ready = true; break;
        default: break;
      }
      if (failure.isEmpty() && !ready) {
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0 || pw_thread_loop_timed_wait(loop_, static_cast<int>(left.count()) + 1) != 0) {
          failure = QStringLiteral("サーバーが応えません");
        }
      }
    }
    pw_thread_loop_unlock(loop_);
    if (!failure.isEmpty()) {
      Destroy();
      throw MidiDeviceError(QStringLiteral("pipewire: ") + failure);
    }
  }

  ~PipeWireAudio() override { Destroy(); }

 private:
  void Destroy() {
    if (loop_ == nullptr) return;
    pw_thread_loop_stop(loop_);
    if (stream_ != nullptr) pw_stream_destroy(stream_);
    pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
    stream_ = nullptr;
  }

  static void StateChanged(void* self, pw_stream_state, pw_stream_state state, const char*) {
    auto* a = static_cast<PipeWireAudio*>(self);
    a->stateSeen_ = true;
    if (a->wasStreaming_ && (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)) {
      a->status_.lost.store(true);
    }
    if (state == PW_STREAM_STATE_STREAMING) a->wasStreaming_ = true;
    pw_thread_loop_signal(a->loop_, false);
  }

  // The main loop thread, before the stream streams.
  static void ParamChanged(void* self, std::uint32_t id, const spa_pod* param) {
    auto* a = static_cast<PipeWireAudio*>(self);
    if (param == nullptr || id != SPA_PARAM_Format) return;
    spa_audio_info_raw info{};
    if (spa_format_audio_raw_parse(param, &info) < 0 || info.rate == 0) return;
    if (static_cast<int>(info.rate) != a->status_.rate.load()) {
      a->renderer_.Prepare(static_cast<int>(info.rate));
      a->status_.rate.store(static_cast<int>(info.rate));
    }
  }

  // The graph's data thread: no locks, no allocation.
  static void Process(void* self) {
    auto* a = static_cast<PipeWireAudio*>(self);
    pw_buffer* b = pw_stream_dequeue_buffer(a->stream_);
    if (b == nullptr) {
      a->status_.underruns.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    spa_data& d = b->buffer->datas[0];
    auto* out = static_cast<float*>(d.data);
    if (out == nullptr) return;
    const std::uint32_t stride = sizeof(float) * kChannels;
    std::uint32_t frames = d.maxsize / stride;
    if (b->requested != 0 && b->requested < frames) frames = static_cast<std::uint32_t>(b->requested);

    pw_time time{};
    std::int64_t cycleStart = MonotonicNow();
    if (pw_stream_get_time_n(a->stream_, &time, sizeof time) == 0 && time.now != 0) {
      cycleStart = time.now;
      // A cycle the graph ran without us shows as ticks that moved on by more than a period
      // (at the same period: a new quantum is the graph changing, and the first cycles are
      // the stream settling in).
      if (++a->cycles_ > kSettling && frames == a->lastFrames_ &&
          time.ticks > a->lastTicks_ + a->lastFrames_ + a->lastFrames_ / 2) {
        a->status_.underruns.fetch_add(1, std::memory_order_relaxed);
      }
      a->lastTicks_ = time.ticks;
      a->lastFrames_ = frames;
    }
    a->status_.frames.store(static_cast<int>(frames), std::memory_order_relaxed);

    // The synth writes both channels interleaved, straight into the buffer.
    a->renderer_.RenderPeriod(out, out + 1, kChannels, static_cast<int>(frames), cycleStart);
    d.chunk->offset = 0;
    d.chunk->stride = static_cast<std::int32_t>(stride);
    d.chunk->size = frames * stride;
    pw_stream_queue_buffer(a->stream_, b);
  }

  static constexpr pw_stream_events kEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = StateChanged;
    e.param_changed = ParamChanged;
    e.process = Process;
    return e;
  }();

  SynthRenderer& renderer_;
  SynthAudioStatus& status_;
  pw_thread_loop* loop_ = nullptr;
  pw_stream* stream_ = nullptr;
  bool stateSeen_ = false;     // loop thread, read under the loop's lock
  bool wasStreaming_ = false;  // loop thread
  std::uint64_t lastTicks_ = 0;  // data thread
  std::uint64_t lastFrames_ = 0;
  std::uint64_t cycles_ = 0;
  static constexpr std::uint64_t kSettling = 100;
};

}  // namespace

std::unique_ptr<SynthAudio> OpenPipeWireAudio(SynthRenderer& renderer, int frames, int rate,
                                              SynthAudioStatus& status) {
  return std::make_unique<PipeWireAudio>(renderer, frames, rate, status);
}
