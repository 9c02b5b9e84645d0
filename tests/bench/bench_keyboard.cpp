// Figures for the keyboard window's per-note work: hit testing, marking and unmarking a key
// for both players, translating a PC key, a played note's round trip through the engine, and
// the window's paint of one mark (against a paint of the whole window).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTest>

#include "../keyboard/KeyboardRig.h"
#include "keyboard/KeyboardForm.h"
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
    benchmark::DoNotOptimize(t.Press(keyboard::PcLayout::Japanese, Qt::Key_Colon, 48, false));
    benchmark::DoNotOptimize(t.Release(keyboard::PcLayout::Japanese, Qt::Key_Asterisk, 48, false));
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

// Counts the paints a widget gets, to show that a benchmark paints what it says.
struct PaintCounter final : QObject {
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

struct ShownKeyboard {
  keyboard_test::Rig rig;
  TKeyboardForm form{rig.engine};
  PaintCounter counter;
  bool ready = false;

  ShownKeyboard() {
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) return;
    if (!QTest::qWaitFor([this] { return !form.Instrument().Animating(); })) return;
    QCoreApplication::processEvents();
    form.installEventFilter(&counter);
    ready = true;
  }
};

// A note on and its note off as the window shows them: each mark's update is painted at once,
// as the event loop would paint it.
void BM_MarkPaintOnTheWindow(benchmark::State& state) {
  ShownKeyboard kb;
  if (!kb.ready) {
    state.SkipWithError("the window was not shown");
    return;
  }
  int note = 36;
  for (auto _ : state) {
    kb.form.ShowKeyDown(note, Side::Local);
    QCoreApplication::sendPostedEvents();
    kb.form.ShowKeyUp(note, Side::Local);
    QCoreApplication::sendPostedEvents();
    note = note >= 96 ? 36 : note + 1;
  }
  state.SetItemsProcessed(state.iterations() * 2);
  state.counters["paints_per_mark"] =
      static_cast<double>(kb.counter.paints) / static_cast<double>(state.iterations() * 2);
}
BENCHMARK(BM_MarkPaintOnTheWindow);

// For comparison: the whole window, lit panel and glyphs included, as a system repaint does it.
void BM_WholeWindowPaint(benchmark::State& state) {
  ShownKeyboard kb;
  if (!kb.ready) {
    state.SkipWithError("the window was not shown");
    return;
  }
  for (auto _ : state) {
    kb.form.repaint();
    QCoreApplication::sendPostedEvents();  // the range and portamento it sends again
    if (kb.rig.link.sent.size() > 4096) kb.rig.Clear();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["paints_per_iteration"] =
      static_cast<double>(kb.counter.paints) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_WholeWindowPaint);

}  // namespace

int main(int argc, char** argv) {
  // The window is painted off screen unless a platform is asked for.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
