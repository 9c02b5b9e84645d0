#pragma once

#include <QObject>
#include <QTimer>
#include <array>
#include <bitset>

#include "routing/RoutingEngine.h"
#include "keyboard/KeyboardModel.h"

namespace keyboard {

// What the status panel shows: dark, half lit (only while the power switches), or lit with
// the values.
enum class PanelLook { Dark, HalfLit, Lit };

// The keyboard window's picture buttons, in the order the window lays them out.
enum class PanelButton {
  OctShiftDown,
  OctShiftZero,
  OctShiftUp,
  KeyShiftDown,
  KeyShiftZero,
  KeyShiftUp,
  PbDown,
  PbTwo,
  PbTwelve,
  PbUp,
  PortaDown,
  PortaUp,
};
inline constexpr int kPanelButtonCount = 12;

struct PanelGlyph {
  QPoint at;  // panel coordinates of the glyph cell's top left
  int glyph;
  bool operator==(const PanelGlyph&) const = default;
};

// Knob tracks (window coordinates) and their travel.
inline constexpr int kPitchBendBackTop = 30;
inline constexpr int kModulationBackTop = 30;
inline constexpr int kWheelTravel = 80;
inline constexpr int kPortaBackLeft = 345;
inline constexpr int kPortaTravel = 32;
inline constexpr int kMarkerHomeLeft = 216;
inline constexpr int kPitchBendCentre = 64;

// The keyboard window's instrument: the power, the shifts and performance values, the key
// marks, and what the mouse, the PC keys, the buttons and the knobs play. Everything it plays
// goes through the routing engine's local path, on channel 0; the engine keeps the two shifts
// and adds them to the notes. The window draws from this object's state and tells it what the
// user did; this object says through its signals what to redraw. UI thread only.
class KeyboardInstrument : public QObject {
  Q_OBJECT

 public:
  static constexpr int kMouseVelocity = 80;
  static constexpr int kKeyVelocity = 64;
  static constexpr int kPowerOnFirstWaitMs = 90;
  static constexpr int kPowerOnSecondWaitMs = 120;
  static constexpr int kPowerOffWaitMs = 30;
  static constexpr int kSpringBackPeriodMs = 1;

  explicit KeyboardInstrument(RoutingEngine& engine, QObject* parent = nullptr);

  // --- key display (the routing engine's ShowKeyDown/ShowKeyUp; note as played, transposed)
  void ShowKeyDown(int note, Side player);
  void ShowKeyUp(int note, Side player);
  void ClearKeyMarks();
  const KeyMarks& Marks() const { return marks_; }

  // --- power
  bool PowerOn() const { return powerOn_; }
  PanelLook Look() const { return look_; }
  bool PowerSwitchPressed() const { return powerPressed_; }
  bool PowerLampLit() const { return lampLit_; }
  void PowerPress();
  void PowerRelease();
  // The window was shown: with the power off, switch it on as a click on the switch would.
  void WindowShown();
  // Whether a power animation is waiting for its next step.
  bool Animating() const { return animation_.isActive(); }

  // --- values
  int OctaveShift() const { return engine_.OctaveShift(); }
  int KeyShift() const { return engine_.KeyShift(); }
  int PitchBendRange() const { return pitchBendRange_; }
  int PortaTime() const { return portaTime_; }
  int PitchBendValue() const { return pitchBendValue_; }
  int ModulationValue() const { return modulationValue_; }

  // --- panel
  static constexpr std::size_t kPanelGlyphCount = 9;
  std::array<PanelGlyph, kPanelGlyphCount> PanelGlyphs() const;
  // A repaint of the lit panel shows the range and the portamento time again, and showing them
  // sends their messages. The half-lit panel of the power animation shows no values, so its
  // repaints send nothing.
  void PanelRepainted();
  bool MarkerVisible() const;
  int MarkerLeft() const;

  // --- buttons (left button only; the window filters the others)
  void ButtonPress(PanelButton button);
  void ButtonRelease(PanelButton button);
  bool ButtonPressed(PanelButton button) const { return pressed_[static_cast<std::size_t>(button)]; }

  // --- knobs; offsets are the pointer's position relative to the knob's top or left
  void PitchBendGrab();
  void PitchBendDrag(int yInKnob);
  void PitchBendLetGo();
  void ModulationGrab();
  void ModulationDrag(int yInKnob);
  void ModulationLetGo();
  void PortaGrab();
  void PortaDrag(int xInKnob);
  void PortaLetGo();
  int PitchBendKnobTop() const { return pitchKnobTop_; }
  int ModulationKnobTop() const { return modulationKnobTop_; }
  int PortaKnobLeft() const { return portaKnobLeft_; }
  bool SpringingBack() const { return springBack_.isActive(); }

  // --- playing (window coordinates)
  void MousePress(int x, int y);  // left button
  void MouseMove(bool leftHeld, int x, int y);
  void MouseRelease();  // left button
  int HeldMouseNote() const { return heldMouseNote_; }
  void KeyPress(int virtualKey);
  void KeyRelease(int virtualKey);
  bool KeyDown(int virtualKey) const { return keyDown_[static_cast<std::size_t>(virtualKey & 0xFF)]; }

  // --- the window's activation
  void Activated();
  void Deactivated();

 signals:
  void panelChanged();                        // panel look or values
  void keyMarkChanged(int key, Side player);  // one mark came or went
  void keyMarksCleared();                     // the whole keyboard picture is drawn afresh
  void controlsChanged();                     // switch, lamp, buttons, knobs or marker

 private:
  enum class Stage { None, PowerOnLit, PowerOnSecond, PowerOffDark };

  void Play(int status, int data1, int data2);
  void SetOctaveShift(int shift);
  void SetKeyShift(int shift);
  void ShiftSteps();
  void ShowPitchBendRange();
  void ShowPortaTime();
  void SendPitchBendRange();
  void SendPortaTime();
  void ShowAllValues();
  void PortaStep(int delta);
  void SpringBackTick();
  void AnimationStep();
  void StartAnimation(Stage stage, int ms);
  static int WheelValueAt(int knobTop, int backTop);

  RoutingEngine& engine_;
  KeyMarks marks_;

  bool powerOn_ = false;
  PanelLook look_ = PanelLook::Dark;
  bool powerPressed_ = false;
  bool lampLit_ = false;
  Stage stage_ = Stage::None;
  QTimer animation_;

  int pitchBendRange_ = 2;
  int portaTime_ = 0;
  int pitchBendValue_ = kPitchBendCentre;
  int modulationValue_ = 0;
  int pitchKnobTop_ = 71;
  int modulationKnobTop_ = 111;
  int portaKnobLeft_ = kPortaBackLeft + 1;
  bool pitchDragging_ = false;
  bool modulationDragging_ = false;
  bool portaDragging_ = false;
  QTimer springBack_;

  std::array<bool, kPanelButtonCount> pressed_{};
  int heldMouseNote_ = kNoNote;
  std::bitset<256> keyDown_;
};

}  // namespace keyboard
