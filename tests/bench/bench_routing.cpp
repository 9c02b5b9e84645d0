// Throughput of the two routing paths with an output that discards what it gets: every
// message is routed, framed for the peer and handed to the output and the displays.
#include <benchmark/benchmark.h>

#include "routing/RoutingEngine.h"

namespace {

class NullOutput final : public MidiOutput {
 public:
  void SendShort(ShortMessage m) override { benchmark::DoNotOptimize(m); }
  bool SendLong(std::span<const std::uint8_t>) override { return true; }
  void Reset() override {}
};

class NullMidi final : public MidiSystem {
 public:
  QStringList InputNames() override { return {}; }
  QStringList OutputNames() override { return {QStringLiteral("null")}; }
  std::unique_ptr<MidiInput> OpenInput(int, MidiInput::Handler) override {
    throw MidiDeviceError(QStringLiteral("no input"));
  }
  std::unique_ptr<MidiOutput> OpenOutput(int) override { return std::make_unique<NullOutput>(); }
};

class NullView final : public RoutingView {
 public:
  bool MidiButtonPressed() const override { return true; }
  void SetMidiButton(bool) override {}
  bool KeyboardShown() const override { return true; }
  void SetDualButton(bool) override {}
  void ShowMessage(const QString&) override {}
  void ReportError(const QString&) override {}
  void SetLevel(Side, int v) override { benchmark::DoNotOptimize(v); }
  void ShowKeyDown(int n, Side) override { benchmark::DoNotOptimize(n); }
  void ShowKeyUp(int n, Side) override { benchmark::DoNotOptimize(n); }
  void ClearKeyMarks() override {}
  void ShowChannel(Side, int) override {}
  void ShowSetting(Side, Setting, int) override {}
  void RefreshDisplays() override {}
};

class Choice final : public MidiDeviceChoice {
 public:
  int SelectedInput() const override { return -1; }
  int SelectedOutput() const override { return 0; }
};

class NullLink final : public LinkPort {
 public:
  bool LinkUp() const override { return true; }
  void WriteUnit(std::span<const std::uint8_t> b) override { benchmark::DoNotOptimize(b.data()); }
};

struct Rig {
  NullMidi midi;
  NullView view;
  Choice choice;
  NullLink link;
  RoutingEngine engine{midi, view, choice, link};
  Rig() {
    engine.OpenMidiDevices();  // "no input" is shown to the null view
    engine.SetOctaveShift(1);
    engine.SetKeyShift(-2);
  }
};

// A mix like a performance: note on and off pairs with controllers and bends between.
ShortMessage Message(std::uint32_t i) {
  const int note = 36 + static_cast<int>(i % 48);
  switch (i % 4) {
    case 0: return PackShort(0x90, note, 100);
    case 1: return PackShort(0x80, note, 0);
    case 2: return PackShort(0xB0, 1, static_cast<int>(i % 128));
    default: return PackShort(0xE0, 0, static_cast<int>(i % 128));
  }
}

void BM_PlayLocal(benchmark::State& state) {
  Rig rig;
  rig.engine.SetDualPlay(state.range(0) != 0);
  std::uint32_t i = 0;
  for (auto _ : state) rig.engine.PlayLocal(Message(i++));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlayLocal)->Arg(0)->Arg(1)->ArgName("dual");

void BM_PlayRemote(benchmark::State& state) {
  Rig rig;
  std::uint32_t i = 0;
  for (auto _ : state) rig.engine.PlayRemote(Message(i++));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlayRemote);

}  // namespace

BENCHMARK_MAIN();
