#include "platform/midi/GmSynth.h"

#include <fluidsynth.h>

#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

// FluidSynth reports its failures through a global log function that prints to the console.
// The program shows failures in its own message boxes instead, so the log is caught here and
// the last error is kept for the message.
thread_local std::string lastFluidError;

void CatchFluidLog(int level, const char* message, void*) {
  if (level <= FLUID_ERR && message != nullptr) lastFluidError = message;
}

void QuietFluidLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int level : {FLUID_PANIC, FLUID_ERR, FLUID_WARN, FLUID_INFO, FLUID_DBG}) {
      fluid_set_log_function(level, CatchFluidLog, nullptr);
    }
  });
}

// Outputs tried when none is named: the desktop's graph, a JACK server when one runs, the
// PulseAudio server, the sound card itself.
constexpr const char* kOutputOrder[] = {"pipewire", "jack", "pulseaudio", "alsa"};
constexpr const char* kLegacyPulse = "fluidsynth-pulseaudio";

// FluidSynth renders in blocks of this many frames; a message takes effect at a block's start.
constexpr int kBlock = 64;

QString Text(const char* s) {
  return QString::fromUtf8(s);
}

QString PathName(const QString& driver) {
  if (driver == QLatin1String("pipewire")) return QStringLiteral("PipeWire");
  if (driver == QLatin1String("jack")) return QStringLiteral("JACK");
  if (driver == QLatin1String("alsa")) return QStringLiteral("ALSA");
  if (driver == QLatin1String(kLegacyPulse)) return QStringLiteral("PulseAudio (FluidSynth)");
  return QStringLiteral("PulseAudio");
}

const QString kCannotOpen = Text(
    "内蔵シンセの音を出せません。デスクトップのサウンドサーバー (PipeWire または PulseAudio) を起動してから"
    "もう一度設定の OK を押すか、設定の MIDI OUT で別の音源を選んでください。");
const QString kLost = Text(
    "内蔵シンセの音が出なくなりました (サウンドサーバーが止まりました)。サウンドサーバーを起動し直してから"
    "設定の OK を押すか、設定の MIDI OUT で別の音源を選んでください。");
const QString kStalled = Text(
    "内蔵シンセの音声出力が止まっています (サウンドサーバーが応えません)。サウンドサーバーを確かめるか、"
    "設定の MIDI OUT で別の音源を選んでください。");

}  // namespace

_fluid_synth_t* GmSynth::NewSynth(double rate) {
  fluid_settings_setnum(settings_, "synth.sample-rate", rate);
  fluid_synth_t* synth = new_fluid_synth(settings_);
  if (synth == nullptr) return nullptr;
  const QByteArray font = QFileInfo(soundFont_).absoluteFilePath().toLocal8Bit();
  if (!QFileInfo::exists(soundFont_) || fluid_synth_sfload(synth, font.constData(), 1) == FLUID_FAILED) {
    delete_fluid_synth(synth);
    throw MidiDeviceError(Text("音色ファイル (サウンドフォント) を読み込めません: ") + soundFont_);
  }
  return synth;
}

GmSynth::GmSynth(const Options& options) : soundFont_(options.soundFont) {
  QuietFluidLog();
  settings_ = new_fluid_settings();
  if (settings_ == nullptr) throw MidiDeviceError(Text("FluidSynth を初期化できません。"));
  try {
    synth_ = NewSynth(options.sampleRate);
  } catch (...) {
    delete_fluid_settings(settings_);
    throw;
  }
  if (synth_ == nullptr) {
    delete_fluid_settings(settings_);
    throw MidiDeviceError(Text("FluidSynth を初期化できません。"));
  }
  rate_ = static_cast<int>(options.sampleRate);

  if (options.audioDriver == QLatin1String("none")) {
    offline_ = true;
    return;
  }
  QStringList reasons;
  QStringList tried;
  bool opened = false;
  if (!options.audioDriver.isEmpty()) {
    tried << options.audioDriver;
    opened = OpenOutput(options.audioDriver, options, reasons);
  } else {
    for (const char* name : kOutputOrder) {
      if (std::string_view(name) == "jack" && !JackServerRuns()) continue;
      tried << Text(name);
      if ((opened = OpenOutput(Text(name), options, reasons))) break;
    }
  }
  if (!opened) {
    delete_fluid_synth(synth_);
    delete_fluid_settings(settings_);
    // The libraries' own reasons (English, technical) go to the terminal for whoever helps the
    // player; the box names the outputs tried.
    std::fprintf(stderr, "sonavel: %s\n", reasons.join(QStringLiteral("; ")).toLocal8Bit().constData());
    throw MidiDeviceError(kCannotOpen + Text("\n(試した出力: ") + tried.join(QStringLiteral(", ")) +
                          QStringLiteral(")"));
  }
}

bool GmSynth::OpenOutput(const QString& name, const Options& options, QStringList& reasons) {
  status_->path = PathName(name);
  try {
    if (name == QLatin1String("pipewire")) {
      audio_ = OpenPipeWireAudio(*this, options.bufferFrames, rate_, *status_);
    } else if (name == QLatin1String("jack")) {
      audio_ = OpenJackAudio(*this, *status_);
    } else {
      // FluidSynth's own drivers carry the sound to PulseAudio and ALSA: two short periods.
      lastFluidError.clear();
      const QByteArray driver = (name == QLatin1String(kLegacyPulse) ? QString::fromLatin1("pulseaudio") : name).toUtf8();
      fluid_settings_setstr(settings_, "audio.driver", driver.constData());
      fluid_settings_setstr(settings_, "audio.pulseaudio.server", "default");
      if (name == QLatin1String(kLegacyPulse)) {
        direct_ = true;
        driver_ = new_fluid_audio_driver(settings_, synth_);
      } else {
        fluid_settings_setint(settings_, "audio.period-size", options.bufferFrames);
        fluid_settings_setint(settings_, "audio.periods", 2);
        status_->frames.store(options.bufferFrames);
        status_->rate.store(rate_);
        driver_ = new_fluid_audio_driver2(settings_, FluidDriverCallback, this);
      }
      if (driver_ == nullptr) {
        direct_ = false;
        throw MidiDeviceError(name + QStringLiteral(": ") +
                              (lastFluidError.empty() ? Text("開けません") : Text(lastFluidError.c_str())));
      }
    }
  } catch (const MidiDeviceError& e) {
    status_->path.clear();
    reasons << e.Message();
    return false;
  }
  driverName_ = name;
  return true;
}

GmSynth::~GmSynth() {
  // The output pulls audio from the synth on its own thread: stop it first.
  audio_.reset();
  if (driver_ != nullptr) delete_fluid_audio_driver(driver_);
  delete_fluid_synth(synth_);
  delete_fluid_settings(settings_);
}

void GmSynth::Prepare(int rate) {
  if (rate == rate_ || rate <= 0) return;
  // Nothing renders now: a synth made at the server's rate takes the old one's place. This runs
  // inside the server's callbacks, where nothing may be thrown; the sound font loaded a moment
  // ago, and if it no longer does, the old synth plays on at its own rate.
  try {
    if (fluid_synth_t* synth = NewSynth(rate); synth != nullptr) {
      delete_fluid_synth(synth_);
      synth_ = synth;
      rate_ = rate;
    }
  } catch (const MidiDeviceError&) {
  }
}

void GmSynth::Apply(std::span<const std::uint8_t> m) {
  if (m.front() == 0xF0) {
    // FluidSynth takes the body without the F0 and F7 framing.
    fluid_synth_sysex(synth_, reinterpret_cast<const char*>(m.data() + 1), static_cast<int>(m.size() - 2), nullptr,
                      nullptr, nullptr, 0);
    return;
  }
  const int status = m[0];
  const int channel = status & 0x0F;
  const int d1 = m.size() > 1 ? m[1] & 0x7F : 0;
  const int d2 = m.size() > 2 ? m[2] & 0x7F : 0;
  switch (status & 0xF0) {
    case 0x80: fluid_synth_noteoff(synth_, channel, d1); break;
    case 0x90: fluid_synth_noteon(synth_, channel, d1, d2); break;
    case 0xA0: fluid_synth_key_pressure(synth_, channel, d1, d2); break;
    case 0xB0:
      // All sound off and all notes off, whatever mode the channel is in.
      if (d1 == 120) {
        fluid_synth_all_sounds_off(synth_, channel);
      } else if (d1 == 123) {
        fluid_synth_all_notes_off(synth_, channel);
      } else {
        fluid_synth_cc(synth_, channel, d1, d2);
      }
      break;
    case 0xC0: fluid_synth_program_change(synth_, channel, d1); break;
    case 0xD0: fluid_synth_channel_pressure(synth_, channel, d1); break;
    case 0xE0: fluid_synth_pitch_bend(synth_, channel, d1 + d2 * 128); break;
    default: break;  // system messages mean nothing to the synth
  }
}

void GmSynth::Queue(std::int64_t time, std::span<const std::uint8_t> message) {
  if (direct_) {
    Apply(message);
    return;
  }
  if (status_->lost.load()) {
    // Told once; what is played after that is not heard until the output is opened again.
    if (toldLost_) return;
    toldLost_ = true;
    throw MidiDeviceError(kLost);
  }
  if (queue_.Push(time, message)) {
    toldFull_ = false;
    TellUnderruns(time);
    return;
  }
  if (offline_) {
    // Nobody renders but the sender: what waits is applied now, in order.
    while (queue_.Pop(event_)) Apply(event_.Bytes());
    queue_.Push(time, message);
    return;
  }
  // Thousands of messages and no period took any: the server has stopped calling us.
  if (toldFull_) return;
  toldFull_ = true;
  throw MidiDeviceError(kStalled);
}

void GmSynth::TellUnderruns(std::int64_t now) {
  // Once in a while, with the message already on its way: a machine that crackles needs a
  // larger period, and the player is the one who can give it.
  const std::uint32_t underruns = status_->underruns.load(std::memory_order_relaxed);
  if (underruns == toldUnderruns_ || (toldAt_ != 0 && now - toldAt_ < kUnderrunTellEvery)) return;
  toldUnderruns_ = underruns;
  toldAt_ = now;
  throw MidiDeviceError(
      Text("内蔵シンセの音が途切れました (これまでに %1 回)。続くときは設定の MIDI ページでシンセのバッファを"
           "大きくしてください。")
          .arg(underruns));
}

void GmSynth::CheckHealth() {
  if (direct_) return;
  if (status_->lost.load()) {
    if (toldLost_) return;
    toldLost_ = true;
    throw MidiDeviceError(kLost);
  }
  TellUnderruns(MonotonicNow());
}

bool GmSynth::SendFromInput(std::int64_t time, std::span<const ShortMessage> messages) {
  // FluidSynth's own driver renders on a thread of its own, and a lost output has a message to
  // tell: both are left to the ordinary way.
  if (direct_ || status_->lost.load(std::memory_order_relaxed)) return false;
  return inputQueue_.PushShorts(time, messages);
}

SynthEventQueue* GmSynth::Earliest(std::int64_t& time) {
  std::int64_t fromInput = 0;
  const bool input = inputQueue_.PeekTime(fromInput);
  if (queue_.PeekTime(time) && (!input || time <= fromInput)) return &queue_;
  if (!input) return nullptr;
  time = fromInput;
  return &inputQueue_;
}

void GmSynth::SendShortAt(std::int64_t time, ShortMessage message) {
  const int length = ShortMessageLength(StatusOf(message));
  if (length == 0 || StatusOf(message) >= 0xF0) return;
  const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(StatusOf(message)),
                                 static_cast<std::uint8_t>(Data1Of(message) & 0x7F),
                                 static_cast<std::uint8_t>(Data2Of(message) & 0x7F)};
  Queue(time, std::span(bytes, static_cast<std::size_t>(length)));
}

void GmSynth::SendShort(ShortMessage message) {
  SendShortAt(MonotonicNow(), message);
}

bool GmSynth::SendLong(std::span<const std::uint8_t> message) {
  if (message.size() < 2 || message.front() != 0xF0 || message.back() != 0xF7) return false;
  if (message.size() > SynthEventQueue::kLargest) return false;
  Queue(MonotonicNow(), message);
  return true;
}

void GmSynth::Reset() {
  // On the way to closing too, where a lost output has nothing left to silence.
  try {
    const std::int64_t now = MonotonicNow();
    for (int channel = 0; channel < 16; ++channel) {
      for (int controller : {64, 123, 120}) SendShortAt(now, PackShort(0xB0 + channel, controller, 0));
    }
  } catch (const MidiDeviceError&) {
  }
}

void GmSynth::RenderPeriod(float* left, float* right, int stride, int frames, std::int64_t cycleStart) {
  // The window of time this period stands for: the cycle before this one.
  const std::int64_t periodNs = static_cast<std::int64_t>(frames) * 1'000'000'000 / rate_;
  const std::int64_t windowStart = cycleStart - periodNs;
  int done = 0;
  std::int64_t time = 0;
  SynthEventQueue* next = nullptr;
  while ((next = Earliest(time)) != nullptr && time < cycleStart) {
    const std::int64_t since = std::max<std::int64_t>(0, time - windowStart);
    // The message takes effect where the synth's next block begins, so render up to the block
    // nearest to where it was played.
    const int at = std::clamp(static_cast<int>(since * rate_ / 1'000'000'000) - kBlock / 2, 0, frames);
    if (at > done) {
      fluid_synth_write_float(synth_, at - done, left, done * stride, stride, right, done * stride, stride);
      done = at;
    }
    next->Pop(event_);
    Apply(event_.Bytes());
  }
  if (frames > done) {
    fluid_synth_write_float(synth_, frames - done, left, done * stride, stride, right, done * stride, stride);
  }
}

int GmSynth::FluidDriverCallback(void* self, int len, int, float*[], int nout, float* out[]) {
  if (nout < 2) return FLUID_FAILED;
  static_cast<GmSynth*>(self)->RenderPeriod(out[0], out[1], 1, len, MonotonicNow());
  return FLUID_OK;
}

void GmSynth::Render(std::span<float> left, std::span<float> right) {
  SynthEventQueue::Event event;
  std::int64_t time = 0;
  while (SynthEventQueue* next = Earliest(time)) {
    next->Pop(event);
    Apply(event.Bytes());
  }
  const int frames = static_cast<int>(std::min(left.size(), right.size()));
  fluid_synth_write_float(synth_, frames, left.data(), 0, 1, right.data(), 0, 1);
}

void GmSynth::RenderCycle(std::span<float> left, std::span<float> right, std::int64_t cycleStart) {
  RenderPeriod(left.data(), right.data(), 1, static_cast<int>(std::min(left.size(), right.size())), cycleStart);
}

QString GmSynth::Milliseconds(int frames, int rate) {
  return QString::number(1000.0 * frames / std::max(rate, 1), 'f', 1) + QStringLiteral(" ms");
}

QString GmSynth::Describe(const SynthAudioStatus& status) {
  if (status.path.isEmpty()) return {};
  const int rate = status.rate.load();
  const int frames = status.frames.load();
  QString text = status.path;
  if (frames > 0 && rate > 0) {
    text += QStringLiteral(" %1 ﾌﾚｰﾑ (%2, %3 Hz)").arg(frames).arg(Milliseconds(frames, rate)).arg(rate);
  }
  if (const auto underruns = status.underruns.load(); underruns > 0) {
    text += QStringLiteral(", 音切れ %1 回").arg(underruns);
  }
  if (status.lost.load()) text += QStringLiteral(", 停止");
  return text;
}

int GmSynth::ActiveVoices() const {
  return fluid_synth_get_active_voice_count(synth_);
}
