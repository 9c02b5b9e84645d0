// What the settings file costs: every key is read from the file and every write replaces the
// whole file (written beside it, synced, renamed), so loading and saving the dialog is one
// file pass per key.
#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include "settings/SettingsStore.h"

namespace {

void BM_LoadEveryKey(benchmark::State& state) {
  QTemporaryDir dir;
  Profile profile(dir.filePath("Sonavel.ini"));
  SettingsStore store(profile);
  store.Save(Settings{});
  for (auto _ : state) benchmark::DoNotOptimize(store.Load());
}
BENCHMARK(BM_LoadEveryKey)->Unit(benchmark::kMicrosecond);

// The OK button's save: every key changes, so every write replaces the file.
void BM_SaveEveryKey(benchmark::State& state) {
  QTemporaryDir dir;
  Profile profile(dir.filePath("Sonavel.ini"));
  SettingsStore store(profile);
  Settings a;
  Settings b;
  b.port = 2;
  b.telType = 1;
  b.initCommands = {"AT&F", "ATX4", "AT&C1"};
  b.speed = 9;
  b.userSpeed = "31250";
  b.dataBits = 0;
  b.stopBits = 1;
  b.parity = 2;
  b.flow = 2;
  for (auto& name : b.destNames) name = QStringLiteral("山田");
  for (auto& number : b.destNumbers) number = QStringLiteral("03-1234-5678");
  b.midiInName = QStringLiteral("USB MIDI");
  b.midiOutName = QStringLiteral("FluidSynth GM Synth");
  b.outsideLinePrefix = "0,";
  b.userName = QStringLiteral("ソナベル");
  b.makeLog = false;
  b.printName = false;
  bool flip = false;
  for (auto _ : state) {
    store.Save(flip ? a : b);
    flip = !flip;
  }
}
BENCHMARK(BM_SaveEveryKey)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
