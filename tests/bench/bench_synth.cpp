// Key to sound on the built-in synth, measured from outside the program. A headless PipeWire of
// the benchmark's own holds its graph at 64, 128 or 256 frames (48 kHz) with a null sink as the
// default output. The benchmark is a JACK client on PipeWire's JACK interface (it runs itself
// under pw-jack): it plays a note-on into the program's MIDI input at the start of a cycle and
// listens to the sink's monitor for the first sample that is not silent. Clicks of its own
// through the same sink measure the sink-to-monitor way, which is taken off. After each note,
// a note-off and All Sound Off bring back digital silence (the reverb and chorus sends are
// turned down first, so nothing rings on).
//
// The program's output paths side by side: its own PipeWire stream (the default), FluidSynth's
// PulseAudio driver (the way the synth used to go out), and its own JACK client; then the
// default path again with the program's windows busy.
#include <benchmark/benchmark.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <unistd.h>
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/MainForm.h"
#include "app/Program.h"
#include "controls/Prompter.h"
#include "keyboard/KeyboardForm.h"
#include "platform/Profile.h"
#include "platform/midi/GmSynth.h"
#include "platform/midi/SystemMidi.h"
#include "support/FreeTcpPort.h"
#include "support/PipeWireSession.h"

namespace {

constexpr int kNotes = 60;
constexpr int kClicks = 12;
constexpr int kRate = 48000;
constexpr float kOnset = 1e-4f;  // above the last bits of a fading tail
constexpr float kQuiet = 1e-6f;

using Clock = std::chrono::steady_clock;

// The benchmark's JACK client: MIDI out to the program, a click out to the sink, the sink's
// monitor in.
class Probe {
 public:
  enum class Ask { Nothing, Note, Click, Silence, Setup };

  Probe() {
    jack_status_t status{};
    client_ = jack_client_open("bench", JackNoStartServer, &status);
    if (client_ == nullptr) return;
    keys_ = jack_port_register(client_, "keys", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    click_ = jack_port_register(client_, "click", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    in_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client_, Process, this);
    jack_set_xrun_callback(client_, Xrun, this);
    jack_activate(client_);
    Connect("monitor_FL", JackPortIsOutput, false);
    Connect("playback_FL", JackPortIsInput, true);
    Connect("playback_FR", JackPortIsInput, true);
  }
  ~Probe() {
    if (client_ != nullptr) jack_client_close(client_);
  }
  bool Open() const { return client_ != nullptr; }
  bool ProgramListens() const { return jack_port_connected(keys_) > 0; }
  int Period() const { return static_cast<int>(jack_get_buffer_size(client_)); }
  std::uint32_t Xruns() const { return xruns_.load(); }

  // Asks the next cycle to do `ask`; returns the frames from its start to the onset heard, or
  // -1 when nothing was heard within `wait`.
  long Measure(Ask ask, std::chrono::milliseconds wait) {
    heard_.store(-1);
    ask_.store(ask);
    const auto deadline = Clock::now() + wait;
    while (Clock::now() < deadline) {
      if (const long h = heard_.load(); h >= 0) return h;
      QThread::usleep(200);
    }
    return -1;
  }
  void Send(Ask ask) {
    ask_.store(ask);
    while (ask_.load() != Ask::Nothing) QThread::usleep(200);
  }
  // Waits until the monitor has been silent for `ms`.
  bool WaitForQuiet(int ms) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
      if (quietCycles_.load() * Period() >= ms * kRate / 1000) return true;
      QThread::usleep(500);
    }
    return false;
  }

 private:
  void Connect(const char* suffix, unsigned long flags, bool fromUs) {
    const char** ports = jack_get_ports(client_, suffix, JACK_DEFAULT_AUDIO_TYPE, flags);
    if (ports == nullptr) return;
    if (ports[0] != nullptr) {
      if (fromUs) {
        jack_connect(client_, jack_port_name(click_), ports[0]);
      } else {
        jack_connect(client_, ports[0], jack_port_name(in_));
      }
    }
    jack_free(ports);
  }

  static int Process(jack_nframes_t frames, void* self) {
    auto* p = static_cast<Probe*>(self);
    void* midi = jack_port_get_buffer(p->keys_, frames);
    jack_midi_clear_buffer(midi);
    auto* click = static_cast<float*>(jack_port_get_buffer(p->click_, frames));
    std::memset(click, 0, frames * sizeof(float));
    const auto* in = static_cast<const float*>(jack_port_get_buffer(p->in_, frames));

    auto put = [&](std::uint8_t a, std::uint8_t b, std::uint8_t c) {
      const std::uint8_t m[3] = {a, b, c};
      jack_midi_event_write(midi, 0, m, 3);
    };
    switch (p->ask_.exchange(Ask::Nothing)) {
      case Ask::Note:
        put(0x90, 60, 127);
        p->armedAt_ = 0;
        p->armed_ = true;
        break;
      case Ask::Click:
        click[0] = 0.5f;
        p->armedAt_ = 0;
        p->armed_ = true;
        break;
      case Ask::Silence:
        put(0x80, 60, 0);
        put(0xB0, 120, 0);  // all sound off
        break;
      case Ask::Setup:
        put(0xB0, 91, 0);  // no reverb
        put(0xB0, 93, 0);  // no chorus
        break;
      case Ask::Nothing: break;
    }
    float peak = 0;
    for (jack_nframes_t i = 0; i < frames; ++i) {
      const float a = std::fabs(in[i]);
      peak = std::max(peak, a);
      if (p->armed_ && a > kOnset) {
        p->armed_ = false;
        p->heard_.store(p->armedAt_ + static_cast<long>(i));
      }
    }
    if (p->armed_) p->armedAt_ += static_cast<long>(frames);
    p->quietCycles_.store(peak < kQuiet ? p->quietCycles_.load() + 1 : 0);
    return 0;
  }
  static int Xrun(void* self) {
    static_cast<Probe*>(self)->xruns_.fetch_add(1);
    return 0;
  }

  jack_client_t* client_ = nullptr;
  jack_port_t* keys_ = nullptr;
  jack_port_t* click_ = nullptr;
  jack_port_t* in_ = nullptr;
  std::atomic<Ask> ask_{Ask::Nothing};
  std::atomic<long> heard_{-1};
  std::atomic<long> quietCycles_{0};
  std::atomic<std::uint32_t> xruns_{0};
  bool armed_ = false;  // process thread
  long armedAt_ = 0;
};

// The settings a player would have chosen: MIDI in from the probe, MIDI out the synth on
// `driver` at `frames`, the built-in modem waiting on a free port and leaving the router alone.
void ChooseProbeAndSynth(Profile& settings, const char* driver, int frames) {
  const QString midi = QStringLiteral("midi");
  settings.WriteString(midi, QStringLiteral("MidiInDeviceName"), QStringLiteral("JACK: bench:keys"));
  settings.WriteString(midi, QStringLiteral("MidiOutDeviceName"), QStringLiteral("FluidSynth GM Synth"));
  settings.WriteString(midi, QStringLiteral("SynthAudioDriver"), QString::fromLatin1(driver));
  settings.WriteInt(midi, QStringLiteral("SynthBuffer"), frames);
  settings.WriteString(QStringLiteral("modem"), QStringLiteral("device"), QStringLiteral("tcp"));
  settings.WriteString(QStringLiteral("modem"), QStringLiteral("listen"), QString::number(FreeTcpPort()));
  settings.WriteString(QStringLiteral("modem"), QStringLiteral("portmap"), QStringLiteral("0"));
}

// The program as a player runs it, off screen, as a process of its own.
class ProgramProcess {
 public:
  ProgramProcess(const char* driver, int frames) {
    Profile settings(home_.filePath(QStringLiteral("Sonavel.ini")));
    ChooseProbeAndSynth(settings, driver, frames);
    process_.setWorkingDirectory(home_.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral(SONAVEL_PROGRAM), {});
    process_.waitForStarted(10000);
  }
  ~ProgramProcess() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
  }

 private:
  QTemporaryDir home_;
  QProcess process_;
};

struct Path {
  const char* driver;
  const char* name;
};
constexpr Path kPaths[] = {
    {"", "default (PipeWire stream)"},
    {"fluidsynth-pulseaudio", "FluidSynth's PulseAudio driver"},
    {"jack", "JACK client"},
};

double At(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(static_cast<double>(sorted.size()) * q))];
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return At(v, 0.5);
}

// The sink-to-monitor way, from clicks of the probe's own.
double SinkMs(Probe& probe) {
  std::vector<double> clicks;
  for (int i = 0; i < kClicks; ++i) {
    probe.WaitForQuiet(20);
    if (const long f = probe.Measure(Probe::Ask::Click, std::chrono::milliseconds(500)); f >= 0) {
      clicks.push_back(f * 1000.0 / kRate);
    }
  }
  return Median(clicks);
}

// Key to sound of kNotes notes, each after digital silence, the sink's way taken off.
std::vector<double> MeasureNotes(Probe& probe, double sinkMs, int& missed) {
  probe.Send(Probe::Ask::Setup);
  std::vector<double> ms;
  for (int i = 0; i < kNotes + 2; ++i) {
    if (!probe.WaitForQuiet(30)) {
      ++missed;
      continue;
    }
    const long f = probe.Measure(Probe::Ask::Note, std::chrono::milliseconds(1000));
    QThread::msleep(30);
    probe.Send(Probe::Ask::Silence);
    if (i < 2) continue;  // the first notes wake the program up
    if (f < 0) {
      ++missed;
    } else {
      ms.push_back(f * 1000.0 / kRate - sinkMs);
    }
  }
  // Where in the run the notes past two periods + 2 ms fell: the first ones, or any.
  const double late = 2 * 1000.0 * probe.Period() / kRate + 2;
  std::string where;
  int lateNotes = 0;
  for (std::size_t i = 0; i < ms.size(); ++i) {
    if (ms[i] <= late || ++lateNotes > 5) continue;
    char one[48];
    std::snprintf(one, sizeof one, " #%zu (%.2f ms)", i + 1, ms[i]);
    where += one;
  }
  if (lateNotes > 0) {
    std::printf("  %d late notes of %zu:%s%s\n", lateNotes, ms.size(), where.c_str(), lateNotes > 5 ? " ..." : "");
  }
  return ms;
}

void Report(benchmark::State& state, const char* name, int quantum, std::vector<double> ms, std::uint32_t xruns,
            int missed, double sinkMs) {
  std::sort(ms.begin(), ms.end());
  const double period = 1000.0 * quantum / kRate;
  std::printf("%-32s %3d frames (%.2f ms): %zu notes, median %6.2f ms, p99 %6.2f ms, max %6.2f ms; "
              "graph xruns %u, unheard %d; sink-to-monitor %.2f ms taken off; goal median <= %.2f ms, p99 <= %.2f ms\n",
              name, quantum, period, ms.size(), At(ms, 0.5), At(ms, 0.99), ms.empty() ? 0 : ms.back(), xruns, missed,
              sinkMs, 2 * period + 1, 2 * period + 2);
  std::fflush(stdout);
  state.counters["median_ms"] = At(ms, 0.5);
  state.counters["p99_ms"] = At(ms, 0.99);
  state.counters["max_ms"] = ms.empty() ? 0 : ms.back();
  state.counters["xruns"] = xruns;
  state.counters["unheard"] = missed;
}

// Whether the headless PipeWire and the probe on it are up; the run is skipped, saying why, when not.
bool GraphUp(benchmark::State& state, const PipeWireSession& session, const Probe& probe) {
  if (!session.Running()) {
    state.SkipWithError(("no headless PipeWire: " + session.Error()).c_str());
    return false;
  }
  if (!probe.Open()) {
    state.SkipWithError("no JACK client on PipeWire (is the benchmark under pw-jack?)");
    return false;
  }
  return true;
}

void BM_KeyToSound(benchmark::State& state) {
  const int quantum = static_cast<int>(state.range(0));
  const Path& path = kPaths[state.range(1)];
  for (auto _ : state) {
    PipeWireSession session(quantum);
    Probe probe;
    if (!GraphUp(state, session, probe)) return;
    const double sinkMs = SinkMs(probe);

    ProgramProcess program(path.driver, quantum);
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (!probe.ProgramListens() && Clock::now() < deadline) QThread::msleep(20);
    if (!probe.ProgramListens()) {
      state.SkipWithError("the program did not open its MIDI input");
      return;
    }
    QThread::msleep(1500);  // the synth opens after the input
    const std::uint32_t xrunsBefore = probe.Xruns();
    int missed = 0;
    std::vector<double> ms = MeasureNotes(probe, sinkMs, missed);
    Report(state, path.name, quantum, std::move(ms), probe.Xruns() - xrunsBefore, missed, sinkMs);
  }
}
BENCHMARK(BM_KeyToSound)
    ->ArgsProduct({{64, 128, 256}, {0, 1, 2}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Runs the event loop until `done` holds or `ms` have passed.
bool WaitWithEvents(const std::function<bool()>& done, int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(5);
  }
  return true;
}

// Counts the paint events of one window and its children: that it was really drawn.
class PaintCounter final : public QObject {
 public:
  explicit PaintCounter(QWidget& window) : window_(window) { qApp->installEventFilter(this); }
  ~PaintCounter() override { qApp->removeEventFilter(this); }
  int Paints() const { return paints_; }

 private:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      if (auto* w = qobject_cast<QWidget*>(object); w != nullptr && w->window() == &window_) ++paints_;
    }
    return false;
  }
  QWidget& window_;
  int paints_ = 0;
};

// The same key to sound with the program's windows busy: the program's own windows and devices,
// made in this process (off screen) as main() makes them, the keyboard window shown. For the
// whole run the partner's notes light its keys and the partner's meter 100 times a second (shown
// only, so the onsets stay measurable), and a message box of the program's is open with its own
// event loop. The measured notes come from the MIDI input as above, on a thread of the
// benchmark's; the windows' thread runs the box and the repaints.
void BM_KeyToSoundBusyWindow(benchmark::State& state) {
  const int quantum = static_cast<int>(state.range(0));
  for (auto _ : state) {
    PipeWireSession session(quantum);
    Probe probe;
    if (!GraphUp(state, session, probe)) return;
    const double sinkMs = SinkMs(probe);

    QTemporaryDir home;
    Profile settings(home.filePath(QStringLiteral("Sonavel.ini")));
    ChooseProbeAndSynth(settings, "", quantum);
    SystemMidi midi;
    BoxPrompter prompter;
    Program program(midi, prompter, settings, home.path());
    program.onSynthOutput = [&midi](const QString& driver, int frames) {
      GmSynth::Options options;
      options.audioDriver = driver;
      options.bufferFrames = frames;
      midi.SetSynthOptions(options);
    };
    prompter.SetParent(&program.MainForm());
    program.Start();
    if (!WaitWithEvents([&] { return probe.ProgramListens(); }, 15000)) {
      state.SkipWithError("the program did not open its MIDI input");
      return;
    }
    WaitWithEvents([] { return false; }, 1500);  // the synth opens after the input
    if (!program.KeyboardForm().isVisible()) {
      state.SkipWithError("the keyboard window is not shown");
      return;
    }

    PaintCounter paints(program.KeyboardForm());
    QTimer partner;
    int key = 36;
    QObject::connect(&partner, &QTimer::timeout, [&] {
      TMainForm& form = program.MainForm();
      form.ShowKeyUp(key, Side::Remote);
      key = key == 96 ? 36 : key + 1;
      form.ShowKeyDown(key, Side::Remote);
      form.SetLevel(Side::Remote, 40 + key);
    });
    partner.start(10);

    // The box's event loop runs inside the call that opens it: from here on the windows' thread
    // is driven by timers, and the notes are measured on a thread of their own once the box is up.
    std::atomic<bool> boxUp{false};
    std::atomic<bool> measured{false};
    bool boxOpenThroughout = true;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (box != nullptr) boxUp.store(true);
      if (measured.load()) {
        if (box != nullptr) box->done(0);
      } else if (boxUp.load() && box == nullptr) {
        boxOpenThroughout = false;
      }
    });
    watch.start(20);
    const int paintsBefore = paints.Paints();
    const std::uint32_t xrunsBefore = probe.Xruns();
    const auto start = Clock::now();
    int missed = 0;
    std::vector<double> ms;
    std::thread notes([&] {
      for (int i = 0; i < 500 && !boxUp.load(); ++i) QThread::msleep(10);
      if (boxUp.load()) ms = MeasureNotes(probe, sinkMs, missed);
      measured.store(true);
    });
    QTimer::singleShot(0, &program.MainForm(), [&prompter] {
      prompter.Message(QStringLiteral("ﾒｯｾｰｼﾞﾎﾞｯｸｽ: 開いたまま弾きます"));
    });
    WaitWithEvents([&] { return measured.load() && QApplication::activeModalWidget() == nullptr; }, 600000);
    notes.join();
    watch.stop();
    if (!boxUp.load()) {
      state.SkipWithError("the message box did not open");
      return;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::uint32_t xruns = probe.Xruns() - xrunsBefore;
    partner.stop();
    std::printf("%-32s   keyboard repainted %.0f times a second, the message box open %s\n", "  (window busy)",
                (paints.Paints() - paintsBefore) / seconds, boxOpenThroughout ? "throughout" : "NOT throughout");
    Report(state, "default, window busy", quantum, std::move(ms), xruns, missed, sinkMs);
    state.counters["repaints_per_s"] = (paints.Paints() - paintsBefore) / seconds;
    program.MainForm().close();
    WaitWithEvents([] { return false; }, 500);
  }
}
BENCHMARK(BM_KeyToSoundBusyWindow)->Arg(64)->Arg(128)->Arg(256)->Iterations(1)->Unit(benchmark::kMillisecond);

// A minute of 20 notes a second at 128 frames on the default path: the graph's xruns counted.
void BM_MinuteOfNotes(benchmark::State& state) {
  constexpr int kQuantum = 128;
  for (auto _ : state) {
    PipeWireSession session(kQuantum);
    if (!session.Running()) {
      state.SkipWithError(("no headless PipeWire: " + session.Error()).c_str());
      return;
    }
    Probe probe;
    if (!probe.Open()) {
      state.SkipWithError("no JACK client on PipeWire (is the benchmark under pw-jack?)");
      return;
    }
    ProgramProcess program("", kQuantum);
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (!probe.ProgramListens() && Clock::now() < deadline) QThread::msleep(20);
    if (!probe.ProgramListens()) {
      state.SkipWithError("the program did not open its MIDI input");
      return;
    }
    QThread::msleep(1500);
    const std::uint32_t xrunsBefore = probe.Xruns();
    const auto start = Clock::now();
    int notes = 0;
    for (auto next = start; next < start + std::chrono::seconds(60); next += std::chrono::milliseconds(50)) {
      std::this_thread::sleep_until(next);
      probe.Send(Probe::Ask::Note);
      probe.Send(Probe::Ask::Silence);
      ++notes;
    }
    const std::uint32_t xruns = probe.Xruns() - xrunsBefore;
    std::printf("%-32s %3d frames: %d notes in 60 s, graph xruns %u\n", "default, 20 notes/s for a minute",
                kQuantum, notes, xruns);
    std::fflush(stdout);
    state.counters["xruns"] = xruns;
  }
}
BENCHMARK(BM_MinuteOfNotes)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // The probe is a JACK client of PipeWire's: run again under pw-jack, once.
  if (std::getenv("SONAVEL_BENCH_PW_JACK") == nullptr) {
    setenv("SONAVEL_BENCH_PW_JACK", "1", 1);
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
    std::vector<char*> args{const_cast<char*>("pw-jack"), self};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp("pw-jack", args.data());
    std::perror("pw-jack");
    return 1;
  }
  // The busy-window figures make the program's windows in this process.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
