#pragma once

#include <optional>

#include "routing/RoutingEngine.h"

// The arrow keys that move through the tone list and audition as they go.
enum class ListArrow { Left, Up, Right, Down };

// What the tone list dialog does, without the window: choosing one channel's program by ear.
// Audition goes straight to the MIDI output on the edited channel (never transposed, never to
// the peer, never onto the keyboard window); only a choice made with OK or a double-click is
// stored, and only a choice for the local part (dual play off) travels through PlayLocal.
//
// `selected` is the list's current entry, which is the program number; the list always has
// one, but a value outside 0..127 is ignored rather than trusted.
class ToneList {
 public:
  static constexpr int kEntriesPerColumn = 16;
  static constexpr int kTestNote = 64;
  static constexpr int kTestVelocity = 100;

  explicit ToneList(RoutingEngine& engine);

  int EditChannel() const { return editChannel_; }
  void SetEditChannel(int channel);  // clamped to 0..15
  int AuditionProgram() const { return auditionProgram_; }
  bool IgnoreMouse() const { return ignoreMouse_; }
  int StoredProgram() const;

  // The dialog is being shown: starts from the channel's stored program, which the list then
  // selects (the return value).
  int Shown();

  void LeftPress(int selected);
  // A right or middle press takes the audition back; the dialog then closes.
  void OtherPress() { TakeBack(); }
  void DragTo(int selected);
  void Release();

  // Returns the entry the list moves to, or nothing when the key does nothing at all (the
  // list's edge). The move is computed from the selection itself so that the list and what
  // is heard can never drift apart.
  std::optional<int> Arrow(ListArrow key, int selected);
  void KeyUp() { SendTestNoteRelease(); }
  void KeyTyped() { SendTestNoteRelease(); }

  // OK and double-click: the entry becomes the channel's stored program. The dialog closes
  // afterwards (Closed).
  void Apply(int selected);
  void ApplyByDoubleClick(int selected);
  // Cancel: the channel gets its stored program back; nothing is stored or sent to the peer.
  void TakeBack();
  // Every way of closing ends with this; it also silences a test note still sounding.
  void Closed();

 private:
  void SendProgramChange(int program);
  void SendTestNoteOn();
  void SendTestNoteOffLoud();
  void SendTestNoteOff();
  void SendTestNoteRelease();

  RoutingEngine& engine_;
  int editChannel_ = 0;
  int auditionProgram_ = 0;
  bool ignoreMouse_ = false;
};
