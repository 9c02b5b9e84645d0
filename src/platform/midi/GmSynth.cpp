#include "platform/midi/GmSynth.h"

#include <fluidsynth.h>

#include <QFileInfo>
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

// Audio drivers tried when none is named: the desktop's sound server (PipeWire answers as
// PulseAudio), then the sound card directly, then a JACK server.
constexpr const char* kDriverOrder[] = {"pulseaudio", "alsa", "jack"};

QString Text(const char* s) {
  return QString::fromUtf8(s);
}

}  // namespace

GmSynth::GmSynth(const Options& options) {
  QuietFluidLog();
  settings_ = new_fluid_settings();
  if (settings_ == nullptr) throw MidiDeviceError(Text("FluidSynth を初期化できません。"));
  fluid_settings_setnum(settings_, "synth.sample-rate", options.sampleRate);
  fluid_settings_setstr(settings_, "audio.jack.id", "Sonavel");
  fluid_settings_setint(settings_, "audio.jack.autoconnect", 1);
  fluid_settings_setstr(settings_, "audio.pulseaudio.server", "default");

  synth_ = new_fluid_synth(settings_);
  if (synth_ == nullptr) {
    delete_fluid_settings(settings_);
    throw MidiDeviceError(Text("FluidSynth を初期化できません。"));
  }

  const QByteArray font = QFileInfo(options.soundFont).absoluteFilePath().toLocal8Bit();
  if (!QFileInfo::exists(options.soundFont) ||
      fluid_synth_sfload(synth_, font.constData(), 1) == FLUID_FAILED) {
    delete_fluid_synth(synth_);
    delete_fluid_settings(settings_);
    throw MidiDeviceError(Text("音色ファイル (サウンドフォント) を読み込めません: ") + options.soundFont);
  }

  if (options.audioDriver == QLatin1String("none")) return;

  QStringList tried;
  QStringList reasons;
  auto tryDriver = [&](const QString& name) {
    lastFluidError.clear();
    fluid_settings_setstr(settings_, "audio.driver", name.toUtf8().constData());
    driver_ = new_fluid_audio_driver(settings_, synth_);
    if (driver_ != nullptr) {
      driverName_ = name;
      return true;
    }
    tried << name;
    reasons << name + QStringLiteral(": ") +
                   (lastFluidError.empty() ? Text("開けません") : Text(lastFluidError.c_str()));
    return false;
  };

  if (!options.audioDriver.isEmpty()) {
    tryDriver(options.audioDriver);
  } else {
    for (const char* name : kDriverOrder) {
      if (tryDriver(Text(name))) break;
    }
  }
  if (driver_ == nullptr) {
    delete_fluid_synth(synth_);
    delete_fluid_settings(settings_);
    throw MidiDeviceError(Text("内蔵シンセの音声出力を開けません (") + reasons.join(QStringLiteral("; ")) +
                          QStringLiteral(")"));
  }
}

GmSynth::~GmSynth() {
  // The driver pulls audio from the synth on its own thread: stop it first.
  if (driver_ != nullptr) delete_fluid_audio_driver(driver_);
  delete_fluid_synth(synth_);
  delete_fluid_settings(settings_);
}

void GmSynth::SendShort(ShortMessage message) {
  const int status = StatusOf(message);
  const int channel = status & 0x0F;
  const int d1 = Data1Of(message) & 0x7F;
  const int d2 = Data2Of(message) & 0x7F;
  switch (status & 0xF0) {
    case 0x80: fluid_synth_noteoff(synth_, channel, d1); break;
    case 0x90: fluid_synth_noteon(synth_, channel, d1, d2); break;
    case 0xA0: fluid_synth_key_pressure(synth_, channel, d1, d2); break;
    case 0xB0: fluid_synth_cc(synth_, channel, d1, d2); break;
    case 0xC0: fluid_synth_program_change(synth_, channel, d1); break;
    case 0xD0: fluid_synth_channel_pressure(synth_, channel, d1); break;
    case 0xE0: fluid_synth_pitch_bend(synth_, channel, d1 + d2 * 128); break;
    default: break;  // system messages mean nothing to the synth
  }
}

bool GmSynth::SendLong(std::span<const std::uint8_t> message) {
  if (message.size() < 2 || message.front() != 0xF0 || message.back() != 0xF7) return false;
  // FluidSynth takes the body without the F0 and F7 framing.
  const auto* body = reinterpret_cast<const char*>(message.data() + 1);
  return fluid_synth_sysex(synth_, body, static_cast<int>(message.size() - 2), nullptr, nullptr, nullptr,
                           0) == FLUID_OK;
}

void GmSynth::Reset() {
  fluid_synth_all_notes_off(synth_, -1);
  fluid_synth_all_sounds_off(synth_, -1);
}

void GmSynth::Render(std::span<float> left, std::span<float> right) {
  const int frames = static_cast<int>(std::min(left.size(), right.size()));
  fluid_synth_write_float(synth_, frames, left.data(), 0, 1, right.data(), 0, 1);
}

int GmSynth::ActiveVoices() const {
  return fluid_synth_get_active_voice_count(synth_);
}
