#pragma once

#include <functional>
#include <vector>

#include "routing/RoutingEngine.h"
#include "support/RecordingMidi.h"

// A real routing engine over fake MIDI devices, as the keyboard window meets it in the
// program: what the window hands to PlayLocal comes out on the recorded link (with the
// engine's transposition applied to notes) and on the recorded output (on the local part's
// channel), and the engine's key display calls come back to whoever is wired to `marks`.
namespace keyboard_test {

struct RecordingLink final : LinkPort {
  bool connected = true;
  std::vector<ShortMessage> sent;  // the frames, as short messages
  bool LinkUp() const override { return connected; }
  void WriteUnit(std::span<const std::uint8_t> bytes) override {
    if (bytes.size() == 4) sent.push_back(PackShort(bytes[1], bytes[2], bytes[3]));
  }
};

struct RecordingView final : RoutingView {
  bool keyboardShown = true;
  int refreshes = 0;
  std::vector<QString> messages;
  std::function<void(int, Side, bool)> marks;  // note, player, down
  bool MidiButtonPressed() const override { return true; }
  void SetMidiButton(bool) override {}
  bool KeyboardShown() const override { return keyboardShown; }
  void SetDualButton(bool) override {}
  void ShowMessage(const QString& text) override { messages.push_back(text); }
  void ReportError(const QString& text) override { messages.push_back(text); }
  void SetLevel(Side, int) override {}
  void ShowKeyDown(int note, Side player) override {
    if (marks) marks(note, player, true);
  }
  void ShowKeyUp(int note, Side player) override {
    if (marks) marks(note, player, false);
  }
  void ClearKeyMarks() override {}
  void ShowChannel(Side, int) override {}
  void ShowSetting(Side, Setting, int) override {}
  void RefreshDisplays() override { ++refreshes; }
};

struct FixedChoice final : MidiDeviceChoice {
  int SelectedInput() const override { return 0; }
  int SelectedOutput() const override { return 0; }
};

struct Rig {
  FakeMidiSystem midi;
  RecordingView view;
  FixedChoice choice;
  RecordingLink link;
  RoutingEngine engine{midi, view, choice, link};

  Rig() {
    engine.OpenMidiDevices();
    Clear();
  }
  void Clear() {
    link.sent.clear();
    midi.out->Clear();
    view.refreshes = 0;
  }
  // What reached the output device.
  const std::vector<ShortMessage>& Output() const { return midi.out->shorts; }
};

constexpr ShortMessage On(int note, int velocity) {
  return PackShort(0x90, note, velocity);
}
constexpr ShortMessage Off(int note, int velocity) {
  return PackShort(0x80, note, velocity);
}
constexpr ShortMessage Cc(int controller, int value) {
  return PackShort(0xB0, controller, value);
}
constexpr ShortMessage Bend(int value) {
  return PackShort(0xE0, 0, value);
}

inline std::vector<ShortMessage> RangeMessages(int range) {
  return {Cc(100, 0), Cc(101, 0), Cc(6, range)};
}
inline std::vector<ShortMessage> PortaMessages(int time) {
  return {Cc(65, time > 0 ? 127 : 0), Cc(5, time)};
}
inline std::vector<ShortMessage> AllNotesOffMessages() {
  std::vector<ShortMessage> v;
  for (int ch = 0; ch < 16; ++ch) v.push_back(PackShort(0xB0 + ch, 123, 0));
  return v;
}
inline std::vector<ShortMessage> Concat(std::initializer_list<std::vector<ShortMessage>> parts) {
  std::vector<ShortMessage> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

}  // namespace keyboard_test
