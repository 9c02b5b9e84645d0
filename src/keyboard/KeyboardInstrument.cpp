#include "keyboard/KeyboardInstrument.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace keyboard {
namespace {

constexpr int kNoteOn = 0x90;
constexpr int kNoteOff = 0x80;
constexpr int kControlChange = 0xB0;
constexpr int kPitchBend = 0xE0;
constexpr int kCcModulation = 1;
constexpr int kCcPortaTime = 5;
constexpr int kCcDataEntry = 6;
constexpr int kCcPortamento = 65;
constexpr int kCcRpnLsb = 100;
constexpr int kCcRpnMsb = 101;

constexpr int kOctaveShiftMax = 2;
constexpr int kKeyShiftMax = 6;
constexpr int kPitchBendRangeMax = 24;
constexpr int kPortaTimeMax = 127;
constexpr int kValueMax = 127;
constexpr int kDefaultPitchBendRange = 2;

// The wheel knob's pointer hotspot: the knob follows the pointer with its grip this far down.
constexpr int kWheelGrip = 7;
constexpr int kPortaGrip = 3;

// Panel places of the values (panel coordinates).
constexpr QPoint kOctaveSignAt{44, 4};
constexpr QPoint kOctaveDigitAt{59, 4};
constexpr QPoint kKeySignAt{44, 27};
constexpr QPoint kKeyDigitAt{59, 27};
constexpr QPoint kRangeTensAt{139, 4};
constexpr QPoint kRangeOnesAt{151, 4};
constexpr QPoint kPortaHundredsAt{127, 27};
constexpr QPoint kPortaTensAt{139, 27};
constexpr QPoint kPortaOnesAt{151, 27};

int SignGlyph(int v) {
  return v < 0 ? kGlyphMinus : (v == 0 ? kGlyphNoSign : kGlyphPlus);
}

}  // namespace

KeyboardInstrument::KeyboardInstrument(RoutingEngine& engine, QObject* parent)
    : QObject(parent), engine_(engine) {
  animation_.setSingleShot(true);
  animation_.setTimerType(Qt::PreciseTimer);  // a wait lasts at least its time, never 5% less
  connect(&animation_, &QTimer::timeout, this, &KeyboardInstrument::AnimationStep);
  springBack_.setTimerType(Qt::PreciseTimer);
  springBack_.setInterval(kSpringBackPeriodMs);
  connect(&springBack_, &QTimer::timeout, this, &KeyboardInstrument::SpringBackTick);
}

void KeyboardInstrument::Play(int status, int data1, int data2) {
  engine_.PlayLocal(PackShort(status, data1, data2));
}

// ------------------------------------------------------------------------------ key display

void KeyboardInstrument::ShowKeyDown(int note, Side player) {
  if (!powerOn_) return;
  const int key = KeyIndexOf(note, OctaveShift(), KeyShift());
  if (key >= 0 && marks_.Set(key, player, true)) emit keyMarkChanged(key, player);
}

void KeyboardInstrument::ShowKeyUp(int note, Side player) {
  const int key = KeyIndexOf(note, OctaveShift(), KeyShift());
  if (key >= 0 && marks_.Set(key, player, false)) emit keyMarkChanged(key, player);
}

void KeyboardInstrument::ClearKeyMarks() {
  marks_.ClearAll();
  emit keyMarksCleared();
}

// ------------------------------------------------------------------------------------ power

void KeyboardInstrument::PowerPress() {
  powerPressed_ = true;
  lampLit_ = powerOn_;
  emit controlsChanged();
}

void KeyboardInstrument::PowerRelease() {
  powerPressed_ = false;
  if (powerOn_) {
    powerOn_ = false;
    engine_.SetOctaveShift(0);
    engine_.SetKeyShift(0);
    pitchBendRange_ = kDefaultPitchBendRange;
    ClearKeyMarks();
    lampLit_ = false;
    look_ = PanelLook::HalfLit;
    StartAnimation(Stage::PowerOffDark, kPowerOffWaitMs);
  } else {
    powerOn_ = true;
    lampLit_ = true;
    look_ = PanelLook::HalfLit;
    StartAnimation(Stage::PowerOnLit, kPowerOnFirstWaitMs);
  }
  emit controlsChanged();
  emit panelChanged();
}

void KeyboardInstrument::WindowShown() {
  if (powerOn_) return;
  PowerPress();
  PowerRelease();
}

// A new switching replaces whatever was left of the previous one's animation.
void KeyboardInstrument::StartAnimation(Stage stage, int ms) {
  stage_ = stage;
  animation_.start(ms);
}

void KeyboardInstrument::AnimationStep() {
  const Stage stage = std::exchange(stage_, Stage::None);
  switch (stage) {
    case Stage::PowerOnLit:
      look_ = PanelLook::Lit;
      ShowAllValues();
      StartAnimation(Stage::PowerOnSecond, kPowerOnSecondWaitMs);
      break;
    case Stage::PowerOnSecond: ShowAllValues(); break;
    case Stage::PowerOffDark: look_ = PanelLook::Dark; break;
    case Stage::None: break;
  }
  emit panelChanged();
}

void KeyboardInstrument::ShowAllValues() {
  // Octave and key shift only redraw; the range and portamento time also send.
  emit controlsChanged();  // the marker follows the shifts
  ShowPitchBendRange();
  ShowPortaTime();
}

// ------------------------------------------------------------------------------------ panel

std::array<PanelGlyph, KeyboardInstrument::kPanelGlyphCount> KeyboardInstrument::PanelGlyphs() const {
  const int oct = OctaveShift();
  const int key = KeyShift();
  const bool off = portaTime_ == 0;  // reads "0FF"
  return {{
      {kOctaveSignAt, SignGlyph(oct)},
      {kOctaveDigitAt, std::abs(oct)},
      {kKeySignAt, SignGlyph(key)},
      {kKeyDigitAt, std::abs(key)},
      {kRangeTensAt, pitchBendRange_ / 10},
      {kRangeOnesAt, pitchBendRange_ % 10},
      {kPortaHundredsAt, off ? 0 : portaTime_ / 100},
      {kPortaTensAt, off ? kGlyphF : portaTime_ % 100 / 10},
      {kPortaOnesAt, off ? kGlyphF : portaTime_ % 10},
  }};
}

void KeyboardInstrument::PanelRepainted() {
  if (!powerOn_ || look_ != PanelLook::Lit) return;
  SendPitchBendRange();
  SendPortaTime();
}

bool KeyboardInstrument::MarkerVisible() const {
  return !(OctaveShift() == kOctaveShiftMax && KeyShift() > 0);
}

int KeyboardInstrument::MarkerLeft() const {
  // 84 pixels an octave, and 7 a semitone as near as whole pixels come.
  return kMarkerHomeLeft - kOctaveWidth * OctaveShift() - 7 * KeyShift();
}

void KeyboardInstrument::ShowPitchBendRange() {
  emit panelChanged();
  SendPitchBendRange();
}

void KeyboardInstrument::ShowPortaTime() {
  emit panelChanged();
  SendPortaTime();
}

void KeyboardInstrument::SendPitchBendRange() {
  // Registered parameter 0, pitch-bend sensitivity, in semitones.
  Play(kControlChange, kCcRpnLsb, 0);
  Play(kControlChange, kCcRpnMsb, 0);
  Play(kControlChange, kCcDataEntry, pitchBendRange_);
}

void KeyboardInstrument::SendPortaTime() {
  Play(kControlChange, kCcPortamento, portaTime_ > 0 ? kValueMax : 0);
  Play(kControlChange, kCcPortaTime, portaTime_);
}

// ---------------------------------------------------------------------------------- buttons

void KeyboardInstrument::ButtonPress(PanelButton button) {
  pressed_[static_cast<std::size_t>(button)] = true;
  emit controlsChanged();
  if (!powerOn_) return;
  switch (button) {
    case PanelButton::OctShiftDown: SetOctaveShift(OctaveShift() - 1); break;
    case PanelButton::OctShiftZero: SetOctaveShift(0); break;
    case PanelButton::OctShiftUp: SetOctaveShift(OctaveShift() + 1); break;
    case PanelButton::KeyShiftDown: SetKeyShift(KeyShift() - 1); break;
    case PanelButton::KeyShiftZero: SetKeyShift(0); break;
    case PanelButton::KeyShiftUp: SetKeyShift(KeyShift() + 1); break;
    case PanelButton::PbDown:
      pitchBendRange_ = std::max(pitchBendRange_ - 1, 0);
      ShowPitchBendRange();
      break;
    case PanelButton::PbTwo:
      pitchBendRange_ = 2;
      ShowPitchBendRange();
      break;
    case PanelButton::PbTwelve:
      pitchBendRange_ = 12;
      ShowPitchBendRange();
      break;
    case PanelButton::PbUp:
      pitchBendRange_ = std::min(pitchBendRange_ + 1, kPitchBendRangeMax);
      ShowPitchBendRange();
      break;
    case PanelButton::PortaDown: PortaStep(-1); break;
    case PanelButton::PortaUp: PortaStep(+1); break;
  }
}

void KeyboardInstrument::ButtonRelease(PanelButton button) {
  pressed_[static_cast<std::size_t>(button)] = false;
  emit controlsChanged();
}

void KeyboardInstrument::SetOctaveShift(int shift) {
  engine_.SetOctaveShift(std::clamp(shift, -kOctaveShiftMax, kOctaveShiftMax));
  ShiftSteps();
}

void KeyboardInstrument::SetKeyShift(int shift) {
  engine_.SetKeyShift(std::clamp(shift, -kKeyShiftMax, kKeyShiftMax));
  ShiftSteps();
}

// Notes sounding under the old shift are silenced before any can be released under the new.
void KeyboardInstrument::ShiftSteps() {
  emit panelChanged();
  emit controlsChanged();
  ClearKeyMarks();
  engine_.AllNotesOff();
}

void KeyboardInstrument::PortaStep(int delta) {
  portaTime_ = std::clamp(portaTime_ + delta, 0, kPortaTimeMax);
  ShowPortaTime();
  if (portaTime_ % 4 == 0) portaKnobLeft_ = kPortaBackLeft + 1 + portaTime_ / 4;
  if (portaTime_ == kPortaTimeMax) portaKnobLeft_ = kPortaBackLeft + 1 + kPortaTravel;
  emit controlsChanged();
  SendPortaTime();
}

// ------------------------------------------------------------------------------------ knobs

int KeyboardInstrument::WheelValueAt(int knobTop, int backTop) {
  return kValueMax - (knobTop - backTop - 1) * kValueMax / kWheelTravel;
}

void KeyboardInstrument::PitchBendGrab() {
  // A grab in the middle of a spring-back takes the wheel over from it.
  springBack_.stop();
  pitchDragging_ = true;
}

void KeyboardInstrument::PitchBendDrag(int yInKnob) {
  if (!pitchDragging_) return;
  pitchKnobTop_ = std::clamp(pitchKnobTop_ + yInKnob - kWheelGrip, kPitchBendBackTop + 1,
                             kPitchBendBackTop + 1 + kWheelTravel);
  pitchBendValue_ = WheelValueAt(pitchKnobTop_, kPitchBendBackTop);
  emit controlsChanged();
  if (powerOn_) Play(kPitchBend, 0, pitchBendValue_);
}

void KeyboardInstrument::PitchBendLetGo() {
  if (!pitchDragging_) return;
  pitchDragging_ = false;
  if (pitchBendValue_ == kPitchBendCentre) return;
  springBack_.start();
}

// The wheel springs back whatever the power: its messages follow the knob home.
void KeyboardInstrument::SpringBackTick() {
  if (pitchBendValue_ == kPitchBendCentre) {
    springBack_.stop();
    return;
  }
  const int step = std::abs(pitchBendValue_ - kPitchBendCentre) / 4 + 8;
  pitchBendValue_ = pitchBendValue_ > kPitchBendCentre ? std::max(pitchBendValue_ - step, kPitchBendCentre)
                                                       : std::min(pitchBendValue_ + step, kPitchBendCentre);
  pitchKnobTop_ = kPitchBendBackTop + kWheelTravel - pitchBendValue_ * kWheelTravel / kValueMax;
  emit controlsChanged();
  Play(kPitchBend, 0, pitchBendValue_);
}

void KeyboardInstrument::ModulationGrab() {
  modulationDragging_ = true;
}

void KeyboardInstrument::ModulationDrag(int yInKnob) {
  if (!modulationDragging_) return;
  modulationKnobTop_ = std::clamp(modulationKnobTop_ + yInKnob - kWheelGrip, kModulationBackTop + 1,
                                  kModulationBackTop + 1 + kWheelTravel);
  modulationValue_ = WheelValueAt(modulationKnobTop_, kModulationBackTop);
  emit controlsChanged();
  if (powerOn_) Play(kControlChange, kCcModulation, modulationValue_);
}

void KeyboardInstrument::ModulationLetGo() {
  modulationDragging_ = false;
}

void KeyboardInstrument::PortaGrab() {
  portaDragging_ = true;
}

void KeyboardInstrument::PortaDrag(int xInKnob) {
  if (!portaDragging_) return;
  portaKnobLeft_ = std::clamp(portaKnobLeft_ + xInKnob - kPortaGrip, kPortaBackLeft + 1,
                              kPortaBackLeft + 1 + kPortaTravel);
  portaTime_ = std::min(4 * (portaKnobLeft_ - kPortaBackLeft - 1), kPortaTimeMax);
  emit controlsChanged();
  if (powerOn_) ShowPortaTime();
}

void KeyboardInstrument::PortaLetGo() {
  portaDragging_ = false;
}

// ---------------------------------------------------------------------------------- playing

void KeyboardInstrument::MousePress(int x, int y) {
  if (!powerOn_) return;
  heldMouseNote_ = NoteAt(x, y);
  if (heldMouseNote_ != kNoNote) Play(kNoteOn, heldMouseNote_, kMouseVelocity);
}

void KeyboardInstrument::MouseMove(bool leftHeld, int x, int y) {
  if (!powerOn_ || !leftHeld) return;
  const int note = NoteAt(x, y);
  if (note == heldMouseNote_) return;
  if (heldMouseNote_ != kNoNote) Play(kNoteOn, heldMouseNote_, 0);
  heldMouseNote_ = note;
  if (note != kNoNote) Play(kNoteOn, note, kMouseVelocity);
}

// Whatever the power, so that a held note always ends.
void KeyboardInstrument::MouseRelease() {
  if (heldMouseNote_ != kNoNote) Play(kNoteOn, heldMouseNote_, 0);
  heldMouseNote_ = kNoNote;
}

void KeyboardInstrument::KeyPress(int virtualKey) {
  if (!powerOn_) return;
  const auto slot = static_cast<std::size_t>(virtualKey & 0xFF);
  if (keyDown_[slot]) return;  // auto-repeat of a held key
  keyDown_[slot] = true;
  if (const int note = NoteForVirtualKey(virtualKey)) Play(kNoteOn, note, kKeyVelocity);
}

void KeyboardInstrument::KeyRelease(int virtualKey) {
  if (!powerOn_) return;
  const auto slot = static_cast<std::size_t>(virtualKey & 0xFF);
  if (!keyDown_[slot]) return;
  keyDown_[slot] = false;
  if (const int note = NoteForVirtualKey(virtualKey)) Play(kNoteOff, note, kKeyVelocity);
}

// ------------------------------------------------------------------------------- activation

void KeyboardInstrument::Activated() {
  // Becoming active redraws the whole window, which draws the keys without marks.
  ClearKeyMarks();
}

void KeyboardInstrument::Deactivated() {
  ClearKeyMarks();
  engine_.AllNotesOff();
}

}  // namespace keyboard
