// The serial link's speed: the parser's throughput, and the receive path's latency from bytes
// written at the far end of a pty to PlayRemote on the UI thread at a 56 kbit/s line's full rate.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "routing/RoutingEngine.h"
#include "link/ModemDialogue.h"
#include "link/SerialLink.h"
#include "link/WireParser.h"

namespace {

using Clock = std::chrono::steady_clock;

struct CountSink final : WireSink {
  std::size_t frames = 0, lines = 0;
  void Frame(ShortMessage) override { ++frames; }
  void Line(QByteArrayView) override { ++lines; }
};

// What a played session looks like: runs of frames with chat lines and modem text between.
std::vector<std::uint8_t> SessionStream(std::size_t size) {
  std::mt19937 rng(1);
  std::vector<std::uint8_t> s;
  s.reserve(size + 64);
  while (s.size() < size) {
    if (rng() % 8 == 0) {
      const char* line = "abc     >\x82\xA0\x82\xA2 hello there\r";
      s.insert(s.end(), line, line + std::char_traits<char>::length(line));
    } else {
      s.insert(s.end(),
               {0xFF, 0x90, static_cast<std::uint8_t>(rng() % 128), static_cast<std::uint8_t>(rng() % 128)});
    }
  }
  return s;
}

void BM_WireParser(benchmark::State& state) {
  const auto stream = SessionStream(1 << 20);
  WireParser parser;
  CountSink sink;
  for (auto _ : state) {
    parser.Feed(stream, sink);
    benchmark::DoNotOptimize(sink.frames);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_WireParser);

// --- receive latency

struct NullView final : RoutingView {
  bool MidiButtonPressed() const override { return true; }
  void SetMidiButton(bool) override {}
  bool KeyboardShown() const override { return true; }
  void SetDualButton(bool) override {}
  void ShowMessage(const QString&) override {}
  void ReportError(const QString&) override {}
  void SetLevel(Side, int) override {}
  void ShowKeyDown(int, Side) override {}
  void ShowKeyUp(int, Side) override {}
  void ClearKeyMarks() override {}
  void ShowChannel(Side, int) override {}
  void ShowSetting(Side, Setting, int) override {}
  void RefreshDisplays() override {}
};
struct NullForm final : ComFormView {
  void ShowForm() override {}
  void HideForm() override {}
  void SetLabel1(const QString&) override {}
  void SetLabel2(const QString&) override {}
  void SetLabel3(const QString&) override {}
  void SetWaitTimer(bool) override {}
  void ShowMessage(const QString&) override {}
  void ShowWarning(const QString&) override {}
  void ShowError(const QString&) override {}
};
struct NullChat final : ChatView {
  void AppendChatLine(const QString&) override {}
  void ClearChat() override {}
  void SetChatScrollBars(bool) override {}
  QString InputText() const override { return {}; }
  void SetInputText(const QString&) override {}
  void ShowHistory(const QStringList&) override {}
  void FocusInput() override {}
  void SetStatusPanel(int, const QString&) override {}
  void SetClockTimer(bool) override {}
  bool ComButtonPressed() const override { return false; }
  void SetComButton(bool) override {}
  void ShowMessage(const QString&) override {}
};
struct NoCarrier final : CarrierSource {
  Carrier CarrierState() const override { return Carrier::Unknown; }
};
struct Choice final : MidiDeviceChoice {
  int SelectedInput() const override { return -1; }
  int SelectedOutput() const override { return 0; }
};

// Stamps the arrival of each played message; the frame's data bytes carry its number.
struct StampingOutput final : MidiOutput {
  std::vector<Clock::time_point>* arrived;
  void SendShort(ShortMessage m) override {
    if ((m & 0xF0) != 0x90) return;
    const std::size_t k = ((m >> 8) & 0x7F) | (((m >> 16) & 0x7F) << 7);
    if (k < arrived->size()) (*arrived)[k] = Clock::now();
  }
  bool SendLong(std::span<const std::uint8_t>) override { return true; }
  void Reset() override {}
};
struct StampingSystem final : MidiSystem {
  std::vector<Clock::time_point>* arrived;
  QStringList InputNames() override { return {}; }
  QStringList OutputNames() override { return {QStringLiteral("stamp")}; }
  std::unique_ptr<MidiInput> OpenInput(int, MidiInput::Handler) override { return nullptr; }
  std::unique_ptr<MidiOutput> OpenOutput(int) override {
    auto out = std::make_unique<StampingOutput>();
    out->arrived = arrived;
    return out;
  }
};

void BM_ReceiveLatencyAt1750FramesPerSecond(benchmark::State& state) {
  constexpr std::size_t kFrames = 7000;  // four seconds of a full 56 kbit/s line
  constexpr auto kInterval = std::chrono::nanoseconds(1'000'000'000 / 1750);
  std::vector<Clock::time_point> sent(kFrames), arrived(kFrames);
  for (auto _ : state) {
    int master = -1, slave = -1;
    char name[256] = {};
    ::openpty(&master, &slave, name, nullptr, nullptr);
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::close(slave);

    StampingSystem midi;
    midi.arrived = &arrived;
    NullView view;
    Choice choice;
    NullForm form;
    NullChat chatView;
    NoCarrier carrier;
    SerialLink port(form);
    RoutingEngine engine(midi, view, choice, port);
    ChatLog chat(chatView);
    ModemDialogue dialogue(port, engine, chat, form, carrier);
    engine.OpenMidiDevices();
    port.Comm1.SetDevicePath(QString::fromLocal8Bit(name));
    port.Comm1.Open();
    std::fill(arrived.begin(), arrived.end(), Clock::time_point{});

    std::thread farEnd([&] {
      auto next = Clock::now();
      for (std::size_t k = 0; k < kFrames; ++k) {
        std::this_thread::sleep_until(next);
        const std::uint8_t frame[4] = {0xFF, 0x90, static_cast<std::uint8_t>(k & 0x7F),
                                       static_cast<std::uint8_t>((k >> 7) & 0x7F)};
        sent[k] = Clock::now();
        [[maybe_unused]] ssize_t n = ::write(master, frame, sizeof frame);
        next += kInterval;
      }
    });
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (arrived.back() == Clock::time_point{} && Clock::now() < deadline) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    farEnd.join();
    port.Comm1.Close();
    ::close(master);
  }
  std::vector<double> us;
  std::size_t lost = 0;
  for (std::size_t k = 0; k < kFrames; ++k) {
    if (arrived[k] == Clock::time_point{}) {
      ++lost;
      continue;
    }
    us.push_back(std::chrono::duration<double, std::micro>(arrived[k] - sent[k]).count());
  }
  std::sort(us.begin(), us.end());
  const double median = us.empty() ? 0 : us[us.size() / 2];
  const double p99 = us.empty() ? 0 : us[std::min(us.size() - 1, us.size() * 99 / 100)];
  state.counters["median_us"] = median;
  state.counters["p99_us"] = p99;
  state.counters["lost"] = static_cast<double>(lost);
  std::printf("receive latency at 1750 frames/s: median %.1f us, p99 %.1f us, %zu of %zu lost\n", median, p99,
              lost, kFrames);
}
BENCHMARK(BM_ReceiveLatencyAt1750FramesPerSecond)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
