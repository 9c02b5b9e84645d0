// Figures for the keyboard window's per-note work: hit testing, marking and unmarking a key
// for both players, translating a PC key, and a played note's round trip through the engine.
#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include "../keyboard/KeyboardRig.h"
#include "keyboard/KeyboardInstrument.h"
#include "keyboard/VirtualKeys.h"

namespace {

void BM_NoteAt(benchmark::State& state) {
  int x = 46;
  for (auto _ : state) {
    benchmark::DoNotOptimize(keyboard::NoteAt(x, 62 + 30));
    x = x >= 478 ? 46 : x + 1;
  }
}
BENCHMARK(BM_NoteAt);

void BM_MarkAndUnmarkBothPlayers(benchmark::State& state) {
  keyboard_test::Rig rig;
  keyboard::KeyboardInstrument kb(rig.engine);
  kb.WindowShown();  // the power goes on at once; only the panel waits
  int note = 36;
  for (auto _ : state) {
    kb.ShowKeyDown(note, Side::Local);
    kb.ShowKeyDown(note, Side::Remote);
    kb.ShowKeyUp(note, Side::Local);
    kb.ShowKeyUp(note, Side::Remote);
    note = note >= 96 ? 36 : note + 1;
  }
  state.SetItemsProcessed(state.iterations() * 4);
}
BENCHMARK(BM_MarkAndUnmarkBothPlayers);

void BM_TranslatePcKey(benchmark::State& state) {
  keyboard::VirtualKeyTranslator t;
  for (auto _ : state) {
    benchmark::DoNotOptimize(t.Press(keyboard::PcLayout::Japanese, Qt::Key_Colon, 48));
    benchmark::DoNotOptimize(t.Release(keyboard::PcLayout::Japanese, Qt::Key_Asterisk, 48));
  }
}
BENCHMARK(BM_TranslatePcKey);

// A PC key pressed and released: two notes through PlayLocal to the link and the output,
// each marked and unmarked on the way back.
void BM_PcKeyNoteThroughTheEngine(benchmark::State& state) {
  keyboard_test::Rig rig;
  keyboard::KeyboardInstrument kb(rig.engine);
  rig.view.marks = [&kb](int note, Side player, bool down) {
    down ? kb.ShowKeyDown(note, player) : kb.ShowKeyUp(note, player);
  };
  kb.WindowShown();
  for (auto _ : state) {
    kb.KeyPress(0x43);
    kb.KeyRelease(0x43);
    if (rig.link.sent.size() > 4096) rig.Clear();
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_PcKeyNoteThroughTheEngine);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
