#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <algorithm>
#include <ctime>

#include "KeyboardRig.h"
#include "support/WaitFor.h"
#include "keyboard/KeyboardInstrument.h"

using namespace keyboard;
using namespace keyboard_test;
using Messages = std::vector<ShortMessage>;

namespace {

class Instrument : public ::testing::Test {
 protected:
  Instrument() {
    // The engine's key display comes back to the keyboard, as the main window wires it.
    rig.view.marks = [this](int note, Side player, bool down) {
      if (down) {
        kb.ShowKeyDown(note, player);
      } else {
        kb.ShowKeyUp(note, player);
      }
    };
  }
  void PowerUp() {
    kb.WindowShown();
    ASSERT_TRUE(WaitFor([this] { return !kb.Animating(); }));
    rig.Clear();
  }
  void Press(PanelButton b) {
    kb.ButtonPress(b);
    kb.ButtonRelease(b);
  }
  // The knob centre's pointer offset that moves a wheel knob to `top`.
  static int WheelGripFor(int currentTop, int top) { return top - currentTop + 7; }

  Rig rig;
  KeyboardInstrument kb{rig.engine};
};

// --------------------------------------------------------------------------------- power

TEST_F(Instrument, StartsOffAndShowingSwitchesOnWithTwoRoundsOfRangeAndPortamento) {
  EXPECT_FALSE(kb.PowerOn());
  EXPECT_EQ(kb.Look(), PanelLook::Dark);
  EXPECT_FALSE(kb.PowerLampLit());
  kb.WindowShown();
  EXPECT_TRUE(kb.PowerOn());
  EXPECT_TRUE(kb.PowerLampLit());
  EXPECT_FALSE(kb.PowerSwitchPressed());
  EXPECT_EQ(kb.Look(), PanelLook::HalfLit) << "half lit during the first wait";
  EXPECT_TRUE(rig.link.sent.empty()) << "nothing before the panel lights";
  ASSERT_TRUE(WaitFor([this] { return kb.Look() == PanelLook::Lit; }));
  EXPECT_EQ(rig.link.sent, Concat({RangeMessages(2), PortaMessages(0)}));
  ASSERT_TRUE(WaitFor([this] { return !kb.Animating(); }));
  EXPECT_EQ(rig.link.sent, Concat({RangeMessages(2), PortaMessages(0), RangeMessages(2), PortaMessages(0)}));
  // The engine sounds them on the local part's channel.
  EXPECT_EQ(rig.Output().size(), 10u);
  rig.Clear();
  kb.WindowShown();
  EXPECT_FALSE(kb.Animating()) << "showing with the power on does nothing";
  EXPECT_TRUE(rig.link.sent.empty());
}

TEST_F(Instrument, PowerAnimationWaitsOnTimersWithTheEventLoopRunning) {
  QElapsedTimer clock;
  clock.start();
  const std::clock_t cpuStart = std::clock();
  kb.WindowShown();
  // Meanwhile the loop keeps delivering events: a note played during the wait is handled.
  QTimer::singleShot(20, [this] { kb.MousePress(46 + 5, 62 + 60); });
  ASSERT_TRUE(WaitFor([&] { return !kb.Animating(); }));
  const double wallMs = static_cast<double>(clock.elapsed());
  const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  EXPECT_GE(wallMs, KeyboardInstrument::kPowerOnFirstWaitMs + KeyboardInstrument::kPowerOnSecondWaitMs);
  EXPECT_EQ(rig.link.sent.front(), On(36, 80)) << "played during the animation";
  EXPECT_LT(cpuMs, wallMs / 4) << "the waits sleep in the event loop instead of spinning";
}

TEST_F(Instrument, PowerOffResetsShiftsAndRangeKeepsPortamentoAndSendsNothing) {
  PowerUp();
  Press(PanelButton::OctShiftUp);
  Press(PanelButton::KeyShiftDown);
  Press(PanelButton::PbTwelve);
  Press(PanelButton::PortaUp);
  kb.ShowKeyDown(70, Side::Remote);
  ASSERT_TRUE(kb.Marks().Any());
  rig.Clear();
  QSignalSpy cleared(&kb, &KeyboardInstrument::keyMarksCleared);

  kb.PowerPress();
  EXPECT_TRUE(kb.PowerSwitchPressed());
  EXPECT_TRUE(kb.PowerLampLit()) << "the pressed switch shows the state it had";
  kb.PowerRelease();
  EXPECT_FALSE(kb.PowerOn());
  EXPECT_FALSE(kb.PowerLampLit());
  EXPECT_EQ(kb.OctaveShift(), 0);
  EXPECT_EQ(kb.KeyShift(), 0);
  EXPECT_EQ(rig.engine.OctaveShift(), 0);
  EXPECT_EQ(kb.PitchBendRange(), 2);
  EXPECT_EQ(kb.PortaTime(), 1);
  EXPECT_EQ(kb.MarkerLeft(), 216);
  EXPECT_TRUE(kb.MarkerVisible());
  EXPECT_FALSE(kb.Marks().Any());
  EXPECT_EQ(cleared.count(), 1);
  EXPECT_EQ(kb.Look(), PanelLook::HalfLit);
  ASSERT_TRUE(WaitFor([this] { return !kb.Animating(); }));
  EXPECT_EQ(kb.Look(), PanelLook::Dark);
  EXPECT_TRUE(rig.link.sent.empty());
  EXPECT_TRUE(rig.Output().empty());

  // On again: shifts 0, range 2, the kept portamento time, each sent twice.
  kb.PowerPress();
  EXPECT_FALSE(kb.PowerLampLit());
  kb.PowerRelease();
  ASSERT_TRUE(WaitFor([this] { return !kb.Animating(); }));
  EXPECT_EQ(rig.link.sent, Concat({RangeMessages(2), PortaMessages(1), RangeMessages(2), PortaMessages(1)}));
}

TEST_F(Instrument, SwitchingOffDuringThePowerOnAnimationEndsItDark) {
  kb.WindowShown();
  kb.PowerPress();
  kb.PowerRelease();
  ASSERT_TRUE(WaitFor([this] { return !kb.Animating(); }));
  EXPECT_EQ(kb.Look(), PanelLook::Dark);
  EXPECT_TRUE(rig.link.sent.empty()) << "the interrupted power-on showed nothing";
}

TEST_F(Instrument, WithThePowerOffOnlyTheSpringBackSends) {
  kb.MousePress(46 + 5, 62 + 60);
  kb.KeyPress(0x43);
  Press(PanelButton::OctShiftUp);
  Press(PanelButton::PbUp);
  Press(PanelButton::PortaUp);
  EXPECT_FALSE(kb.ButtonPressed(PanelButton::PortaUp));
  kb.PanelRepainted();
  kb.ModulationGrab();
  kb.ModulationDrag(-20);
  kb.ModulationLetGo();
  EXPECT_GT(kb.ModulationValue(), 0) << "the knob still moves";
  kb.PortaGrab();
  kb.PortaDrag(10);
  kb.PortaLetGo();
  EXPECT_EQ(kb.PortaTime(), 28);
  EXPECT_EQ(kb.OctaveShift(), 0);
  EXPECT_EQ(kb.PitchBendRange(), 2);
  EXPECT_TRUE(rig.link.sent.empty());
  EXPECT_EQ(rig.view.refreshes, 0);

  kb.PitchBendGrab();
  kb.PitchBendDrag(WheelGripFor(kb.PitchBendKnobTop(), 31));
  kb.PitchBendLetGo();
  EXPECT_TRUE(rig.link.sent.empty()) << "the drag itself sends nothing";
  ASSERT_TRUE(WaitFor([this] { return !kb.SpringingBack(); }));
  EXPECT_EQ(rig.link.sent, (Messages{Bend(104), Bend(86), Bend(73), Bend(64)}));
}

// ---------------------------------------------------------------------------- mouse play

TEST_F(Instrument, MouseGlissandoPlaysOneNoteAtATime) {
  PowerUp();
  const int y = 62 + 60;
  kb.MousePress(46 + 5, y);              // C
  kb.MouseMove(true, 46 + 8, y);         // still C
  kb.MouseMove(true, 46 + 14, y);        // D
  kb.MouseMove(true, 46 + 14, 62 + 20);  // C sharp above it
  kb.MouseMove(true, 46 + 14, 62 + 70);  // off the keys
  kb.MouseMove(true, 46 + 20, 62 + 70);  // still off
  kb.MouseMove(true, 46 + 20, y);        // back on D
  kb.MouseMove(false, 46 + 30, y);       // no button flag: nothing
  kb.MouseRelease();
  kb.MouseRelease();  // a second release has nothing to end
  EXPECT_EQ(rig.link.sent, (Messages{On(36, 80), On(36, 0), On(38, 80), On(38, 0), On(37, 80), On(37, 0),
                                     On(38, 80), On(38, 0)}));
  EXPECT_EQ(kb.HeldMouseNote(), kNoNote);
}

TEST_F(Instrument, MouseOnTheGapAboveTheKeysPlaysNothing) {
  PowerUp();
  kb.MousePress(100, 58);
  EXPECT_EQ(kb.HeldMouseNote(), kNoNote);
  kb.MouseRelease();
  EXPECT_TRUE(rig.link.sent.empty());
}

TEST_F(Instrument, TopCHeldToThePixelRightOfTheKeysThenOff) {
  PowerUp();
  kb.MousePress(46 + 425, 62 + 3);
  kb.MouseMove(true, 46 + 432, 62 + 66);
  EXPECT_EQ(kb.HeldMouseNote(), 96);
  kb.MouseMove(true, 46 + 433, 62 + 66);
  EXPECT_EQ(rig.link.sent, (Messages{On(96, 80), On(96, 0)}));
}

TEST_F(Instrument, MouseReleaseWithThePowerOffStillEndsTheNote) {
  PowerUp();
  kb.MousePress(46 + 5, 62 + 60);
  kb.PowerPress();
  kb.PowerRelease();
  kb.MouseRelease();
  EXPECT_EQ(rig.link.sent, (Messages{On(36, 80), On(36, 0)}));
}

TEST_F(Instrument, ShiftsAreAddedByTheEngineOnly) {
  PowerUp();
  Press(PanelButton::OctShiftUp);
  Press(PanelButton::KeyShiftDown);
  rig.Clear();
  kb.KeyPress(0x43);               // C key: 60 to PlayLocal, sounding 71
  kb.MousePress(46 + 1, 62 + 60);  // lowest key: 36, sounding 47
  EXPECT_EQ(rig.link.sent, (Messages{On(71, 64), On(47, 80)}));
  EXPECT_EQ(rig.Output(), (Messages{On(71, 64), On(47, 80)}));
  // Marked on the very keys played.
  EXPECT_TRUE(kb.Marks().Has(24, Side::Local));
  EXPECT_TRUE(kb.Marks().Has(0, Side::Local));
}

TEST_F(Instrument, PlayedNotesAlwaysFitADataByte) {
  PowerUp();
  for (int i = 0; i < 3; ++i) Press(PanelButton::OctShiftDown);
  for (int i = 0; i < 7; ++i) Press(PanelButton::KeyShiftDown);
  rig.Clear();
  kb.MousePress(46 + 1, 62 + 60);
  kb.MouseRelease();
  for (int i = 0; i < 5; ++i) Press(PanelButton::OctShiftUp);
  for (int i = 0; i < 13; ++i) Press(PanelButton::KeyShiftUp);
  rig.Clear();
  kb.MousePress(46 + 425, 62 + 60);
  EXPECT_EQ(rig.link.sent, (Messages{On(126, 80)}));
  EXPECT_EQ(kb.OctaveShift(), 2);
  EXPECT_EQ(kb.KeyShift(), 6);
}

// ------------------------------------------------------------------------------- PC keys

TEST_F(Instrument, ChordAndSeparateReleases) {
  PowerUp();
  kb.KeyPress(0x43);  // C
  kb.KeyPress(0x56);  // V
  kb.KeyRelease(0x43);
  kb.KeyRelease(0x56);
  EXPECT_EQ(rig.link.sent, (Messages{On(60, 64), On(62, 64), Off(60, 64), Off(62, 64)}));
}

TEST_F(Instrument, HeldKeyPlaysOnceAndUnmappedKeysOnlyKeepFlags) {
  PowerUp();
  for (int i = 0; i < 5; ++i) kb.KeyPress(0xBA);
  kb.KeyRelease(0xBA);
  kb.KeyRelease(0xBA);
  kb.KeyPress(0x20);
  EXPECT_TRUE(kb.KeyDown(0x20));
  kb.KeyRelease(0x20);
  EXPECT_FALSE(kb.KeyDown(0x20));
  EXPECT_EQ(rig.link.sent, (Messages{On(73, 64), Off(73, 64)}));
}

TEST_F(Instrument, KeyHeldAcrossPowerOffKeepsItsFlag) {
  PowerUp();
  kb.KeyPress(0x5A);  // Z
  kb.PowerPress();
  kb.PowerRelease();
  kb.KeyRelease(0x5A);
  EXPECT_TRUE(kb.KeyDown(0x5A)) << "with the power off the release is not seen";
  kb.PowerPress();
  kb.PowerRelease();
  ASSERT_TRUE(WaitFor([this] { return !kb.Animating(); }));
  rig.Clear();
  kb.KeyPress(0x5A);
  kb.KeyRelease(0x5A);
  EXPECT_EQ(rig.link.sent, (Messages{Off(57, 64)}));
}

TEST_F(Instrument, LosingTheActiveStateClearsMarksAndSilencesButKeepsFlags) {
  PowerUp();
  kb.KeyPress(0x41);
  kb.MousePress(46 + 5, 62 + 60);
  rig.Clear();
  kb.Deactivated();
  EXPECT_FALSE(kb.Marks().Any());
  EXPECT_EQ(rig.view.refreshes, 1);
  EXPECT_EQ(rig.Output(), AllNotesOffMessages());
  EXPECT_TRUE(rig.link.sent.empty()) << "all-notes-off does not travel";
  EXPECT_TRUE(kb.KeyDown(0x41));
  EXPECT_EQ(kb.HeldMouseNote(), 36);
  kb.KeyPress(0x41);
  kb.KeyRelease(0x41);
  EXPECT_EQ(rig.link.sent, (Messages{Off(56, 64)}));
}

// ---------------------------------------------------------------------------- key marks

TEST_F(Instrument, MarksOfBothPlayersAndUnderShifts) {
  PowerUp();
  kb.ShowKeyDown(60, Side::Local);
  kb.ShowKeyDown(60, Side::Remote);
  EXPECT_TRUE(kb.Marks().Has(24, Side::Local));
  EXPECT_TRUE(kb.Marks().Has(24, Side::Remote));
  kb.ShowKeyUp(60, Side::Local);
  EXPECT_FALSE(kb.Marks().Has(24, Side::Local));
  EXPECT_TRUE(kb.Marks().Has(24, Side::Remote));
  kb.ShowKeyDown(35, Side::Local);
  kb.ShowKeyDown(97, Side::Local);
  kb.ShowKeyDown(36, Side::Remote);
  kb.ShowKeyDown(96, Side::Remote);
  EXPECT_TRUE(kb.Marks().Has(0, Side::Remote));
  EXPECT_TRUE(kb.Marks().Has(60, Side::Remote));
  Press(PanelButton::OctShiftUp);
  EXPECT_FALSE(kb.Marks().Any()) << "the shift steps clear the marks";
  kb.ShowKeyDown(60, Side::Remote);
  EXPECT_TRUE(kb.Marks().Has(12, Side::Remote)) << "a remote note is placed with the local shifts";
}

TEST_F(Instrument, PowerOffDrawsNoMarksButStillRemovesThem) {
  PowerUp();
  kb.ShowKeyDown(40, Side::Local);
  kb.PowerPress();
  kb.PowerRelease();
  kb.ShowKeyDown(41, Side::Local);
  EXPECT_FALSE(kb.Marks().Has(5, Side::Local));
  QSignalSpy changed(&kb, &KeyboardInstrument::keyMarkChanged);
  kb.ShowKeyUp(41, Side::Local);
  EXPECT_EQ(changed.count(), 0) << "no mark there: nothing to redraw";
}

// ------------------------------------------------------------------------------ shifts

TEST_F(Instrument, ShiftStepsEvenAtTheLimit) {
  PowerUp();
  struct Step {
    PanelButton button;
    int oct, key, markerLeft;
    bool markerVisible;
  } steps[] = {
      {PanelButton::OctShiftUp, 1, 0, 132, true},    {PanelButton::OctShiftUp, 2, 0, 48, true},
      {PanelButton::OctShiftUp, 2, 0, 48, true},     {PanelButton::KeyShiftUp, 2, 1, 41, false},
      {PanelButton::KeyShiftZero, 2, 0, 48, true},   {PanelButton::OctShiftZero, 0, 0, 216, true},
      {PanelButton::KeyShiftDown, 0, -1, 223, true}, {PanelButton::OctShiftDown, -1, -1, 307, true},
  };
  for (const Step& s : steps) {
    rig.Clear();
    QSignalSpy cleared(&kb, &KeyboardInstrument::keyMarksCleared);
    QSignalSpy panel(&kb, &KeyboardInstrument::panelChanged);
    Press(s.button);
    EXPECT_EQ(kb.OctaveShift(), s.oct);
    EXPECT_EQ(kb.KeyShift(), s.key);
    EXPECT_EQ(rig.engine.OctaveShift(), s.oct) << "the engine holds the shifts";
    EXPECT_EQ(rig.engine.KeyShift(), s.key);
    EXPECT_EQ(kb.MarkerLeft(), s.markerLeft);
    EXPECT_EQ(kb.MarkerVisible(), s.markerVisible);
    EXPECT_EQ(cleared.count(), 1);
    EXPECT_GE(panel.count(), 1);
    EXPECT_EQ(rig.view.refreshes, 1);
    EXPECT_EQ(rig.Output(), AllNotesOffMessages());
    EXPECT_TRUE(rig.link.sent.empty());
  }
  for (int i = 0; i < 5; ++i) Press(PanelButton::OctShiftDown);
  for (int i = 0; i < 9; ++i) Press(PanelButton::KeyShiftDown);
  EXPECT_EQ(kb.OctaveShift(), -2);
  EXPECT_EQ(kb.KeyShift(), -6);
  EXPECT_EQ(kb.MarkerLeft(), 426);
}

// ------------------------------------------------------------------------------ panel

TEST_F(Instrument, PanelGlyphsForSeveralValues) {
  PowerUp();
  auto glyphsAt = [this](std::initializer_list<QPoint> places) {
    std::vector<int> out;
    const auto all = kb.PanelGlyphs();
    for (QPoint at : places) {
      for (const auto& g : all) {
        if (g.at == at) out.push_back(g.glyph);
      }
    }
    return out;
  };
  const std::initializer_list<QPoint> oct = {{44, 4}, {59, 4}};
  const std::initializer_list<QPoint> key = {{44, 27}, {59, 27}};
  const std::initializer_list<QPoint> range = {{139, 4}, {151, 4}};
  const std::initializer_list<QPoint> porta = {{127, 27}, {139, 27}, {151, 27}};
  EXPECT_EQ(kb.PanelGlyphs().size(), 9u);
  EXPECT_EQ(glyphsAt(oct), (std::vector<int>{kGlyphNoSign, 0}));
  EXPECT_EQ(glyphsAt(key), (std::vector<int>{kGlyphNoSign, 0}));
  EXPECT_EQ(glyphsAt(range), (std::vector<int>{0, 2}));
  EXPECT_EQ(glyphsAt(porta), (std::vector<int>{0, kGlyphF, kGlyphF})) << "reads 0FF";
  for (int i = 0; i < 3; ++i) Press(PanelButton::KeyShiftDown);
  Press(PanelButton::OctShiftUp);
  Press(PanelButton::PbTwelve);
  for (int i = 0; i < 12; ++i) Press(PanelButton::PbUp);
  for (int i = 0; i < 5; ++i) Press(PanelButton::PortaUp);
  EXPECT_EQ(glyphsAt(oct), (std::vector<int>{kGlyphPlus, 1}));
  EXPECT_EQ(glyphsAt(key), (std::vector<int>{kGlyphMinus, 3}));
  EXPECT_EQ(glyphsAt(range), (std::vector<int>{2, 4}));
  EXPECT_EQ(glyphsAt(porta), (std::vector<int>{0, 0, 5})) << "reads 005";
  kb.PortaGrab();
  kb.PortaDrag(100);
  EXPECT_EQ(glyphsAt(porta), (std::vector<int>{1, 2, 7}));
}

TEST_F(Instrument, RangeButtonsSendTheRegisteredParameter) {
  PowerUp();
  Press(PanelButton::PbTwelve);
  for (int i = 0; i < 13; ++i) Press(PanelButton::PbUp);
  EXPECT_EQ(kb.PitchBendRange(), 24);
  rig.Clear();
  Press(PanelButton::PbUp);
  EXPECT_EQ(rig.link.sent, RangeMessages(24)) << "at the limit it sends 24 again";
  rig.Clear();
  Press(PanelButton::PbTwo);
  for (int i = 0; i < 3; ++i) Press(PanelButton::PbDown);
  EXPECT_EQ(rig.link.sent, Concat({RangeMessages(2), RangeMessages(1), RangeMessages(0), RangeMessages(0)}));
  // On the local part's channel, as every local message.
  rig.engine.ChannelChanged(Side::Local, 5);
  rig.Clear();
  Press(PanelButton::PbTwo);
  EXPECT_EQ(rig.Output(),
            (Messages{PackShort(0xB5, 100, 0), PackShort(0xB5, 101, 0), PackShort(0xB5, 6, 2)}));
  EXPECT_EQ(rig.link.sent, RangeMessages(2)) << "the peer sees channel 0";
}

TEST_F(Instrument, RepaintWithThePowerOnResendsRangeAndPortamento) {
  PowerUp();
  kb.PanelRepainted();
  EXPECT_EQ(rig.link.sent, Concat({RangeMessages(2), PortaMessages(0)}));
}

TEST_F(Instrument, RepaintsOfTheHalfLitPanelSendNothing) {
  kb.WindowShown();
  ASSERT_EQ(kb.Look(), PanelLook::HalfLit);
  kb.PanelRepainted();
  EXPECT_TRUE(rig.link.sent.empty()) << "switching on: no values shown yet";
  ASSERT_TRUE(WaitFor([this] { return !kb.Animating(); }));
  kb.PowerPress();
  kb.PowerRelease();
  ASSERT_EQ(kb.Look(), PanelLook::HalfLit);
  rig.Clear();
  kb.PanelRepainted();
  EXPECT_TRUE(rig.link.sent.empty()) << "switching off";
}

TEST_F(Instrument, PortamentoStepsSendFourMessagesAndMoveTheKnobOnMultiplesOfFour) {
  PowerUp();
  Press(PanelButton::PortaUp);
  EXPECT_EQ(rig.link.sent, Concat({PortaMessages(1), PortaMessages(1)}));
  EXPECT_EQ(kb.PortaKnobLeft(), 346);
  for (int i = 0; i < 3; ++i) Press(PanelButton::PortaUp);
  EXPECT_EQ(kb.PortaTime(), 4);
  EXPECT_EQ(kb.PortaKnobLeft(), 347);
  rig.Clear();
  Press(PanelButton::PortaDown);
  EXPECT_EQ(kb.PortaKnobLeft(), 347) << "3 is no multiple of 4";
  for (int i = 0; i < 3; ++i) Press(PanelButton::PortaDown);
  Press(PanelButton::PortaDown);
  EXPECT_EQ(kb.PortaTime(), 0);
  EXPECT_EQ(kb.PortaKnobLeft(), 346);
  EXPECT_EQ(rig.link.sent.back(), Cc(5, 0));
  EXPECT_EQ(rig.link.sent.size(), 4u * 5);
}

TEST_F(Instrument, PortamentoEnds) {
  PowerUp();
  for (int i = 0; i < 126; ++i) Press(PanelButton::PortaUp);
  EXPECT_EQ(kb.PortaKnobLeft(), 346 + 31);
  Press(PanelButton::PortaUp);
  EXPECT_EQ(kb.PortaTime(), 127);
  EXPECT_EQ(kb.PortaKnobLeft(), 378) << "127 puts the knob at its right end";
  Press(PanelButton::PortaUp);
  EXPECT_EQ(kb.PortaTime(), 127);
  Press(PanelButton::PortaDown);
  EXPECT_EQ(kb.PortaTime(), 126);
  EXPECT_EQ(kb.PortaKnobLeft(), 378) << "126 leaves the knob where it is";
}

TEST_F(Instrument, PortamentoKnobDrag) {
  PowerUp();
  struct Drag {
    int x;  // pointer relative to the knob's left
    int left, time;
  } drags[] = {{3, 346, 0}, {100, 378, 127}, {2, 377, 124}, {3, 377, 124}, {-100, 346, 0}, {7, 350, 16}};
  kb.PortaGrab();
  for (const Drag& d : drags) {
    rig.Clear();
    kb.PortaDrag(d.x);
    EXPECT_EQ(kb.PortaKnobLeft(), d.left) << d.x;
    EXPECT_EQ(kb.PortaTime(), d.time) << d.x;
    EXPECT_EQ(rig.link.sent, PortaMessages(d.time));
  }
  kb.PortaLetGo();
  rig.Clear();
  kb.PortaDrag(10);
  EXPECT_EQ(kb.PortaKnobLeft(), 350) << "no drag after the release";
  EXPECT_TRUE(rig.link.sent.empty());
}

TEST_F(Instrument, ModulationWheelDragMapping) {
  PowerUp();
  EXPECT_EQ(kb.ModulationKnobTop(), 111);
  struct Drag {
    int top, value;
  } drags[] = {{31, 127}, {111, 0}, {71, 64}, {72, 62}, {32, 126}, {110, 2}, {0, 127}, {200, 0}};
  kb.ModulationGrab();
  for (const Drag& d : drags) {
    rig.Clear();
    kb.ModulationDrag(WheelGripFor(kb.ModulationKnobTop(), d.top));
    EXPECT_EQ(kb.ModulationKnobTop(), std::clamp(d.top, 31, 111));
    EXPECT_EQ(kb.ModulationValue(), d.value) << d.top;
    EXPECT_EQ(rig.link.sent, (Messages{Cc(1, d.value)}));
  }
  kb.ModulationLetGo();
  EXPECT_EQ(kb.ModulationValue(), 0) << "the wheel stays where it was let go";
  EXPECT_FALSE(kb.SpringingBack());
}

TEST_F(Instrument, PitchBendDragAndSpringBackFromTheTop) {
  PowerUp();
  EXPECT_EQ(kb.PitchBendKnobTop(), 71);
  kb.PitchBendGrab();
  kb.PitchBendDrag(WheelGripFor(71, 20));
  EXPECT_EQ(kb.PitchBendKnobTop(), 31);
  kb.PitchBendDrag(WheelGripFor(31, 200));
  EXPECT_EQ(kb.PitchBendKnobTop(), 111);
  kb.PitchBendDrag(WheelGripFor(111, 31));
  EXPECT_EQ(rig.link.sent, (Messages{Bend(127), Bend(0), Bend(127)}));
  rig.Clear();
  kb.PitchBendLetGo();
  EXPECT_TRUE(kb.SpringingBack());
  ASSERT_TRUE(WaitFor([this] { return !kb.SpringingBack(); }));
  EXPECT_EQ(rig.link.sent, (Messages{Bend(104), Bend(86), Bend(73), Bend(64)}));
  EXPECT_EQ(kb.PitchBendValue(), 64);
  EXPECT_EQ(kb.PitchBendKnobTop(), 70) << "rests one pixel above the drag's 64";
}

TEST_F(Instrument, PitchBendSpringBackFromTheBottomAndNotFromTheCentre) {
  PowerUp();
  kb.PitchBendGrab();
  kb.PitchBendDrag(WheelGripFor(71, 111));
  kb.PitchBendLetGo();
  ASSERT_TRUE(WaitFor([this] { return !kb.SpringingBack(); }));
  EXPECT_EQ(rig.link.sent, (Messages{Bend(0), Bend(24), Bend(42), Bend(55), Bend(64)}));
  rig.Clear();
  kb.PitchBendGrab();
  kb.PitchBendDrag(WheelGripFor(kb.PitchBendKnobTop(), 71));
  kb.PitchBendLetGo();
  EXPECT_FALSE(kb.SpringingBack());
  EXPECT_EQ(rig.link.sent, (Messages{Bend(64)}));
}

TEST_F(Instrument, GrabbingTheWheelDuringTheSpringBackTakesItOver) {
  PowerUp();
  kb.PitchBendGrab();
  kb.PitchBendDrag(WheelGripFor(71, 31));
  kb.PitchBendLetGo();
  kb.PitchBendGrab();
  EXPECT_FALSE(kb.SpringingBack());
  QCoreApplication::processEvents();
  EXPECT_EQ(kb.PitchBendValue(), 127);
  kb.PitchBendLetGo();
  ASSERT_TRUE(WaitFor([this] { return !kb.SpringingBack(); }));
  EXPECT_EQ(kb.PitchBendValue(), 64);
}

}  // namespace
