#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "routing/RoutingEngine.h"
#include "support/RecordingMidi.h"

// Records what the routing engine shows, in order, as short text lines ("level L 100",
// "keydown 70 L"), so a test can check both the effects and their order.
class RecordingRoutingView final : public RoutingView {
 public:
  bool midiButton = true;
  bool keyboardShown = true;
  bool dualButton = false;
  QStringList messages;
  QStringList errors;
  std::vector<std::string> events;
  std::map<std::pair<Side, Setting>, int> shown;  // latest value shown per control
  int channelShown[2] = {-1, -1};
  int level[2] = {0, 0};

  bool MidiButtonPressed() const override { return midiButton; }
  void SetMidiButton(bool pressed) override {
    midiButton = pressed;
    Log(pressed ? "midibutton down" : "midibutton up");
  }
  bool KeyboardShown() const override { return keyboardShown; }
  void SetDualButton(bool pressed) override { dualButton = pressed; }
  void ShowMessage(const QString& text) override {
    messages << text;
    Log("message");
  }
  void ReportError(const QString& text) override {
    errors << text;
    Log("error");
  }
  void SetLevel(Side part, int value) override {
    level[static_cast<int>(part)] = value;
    Log("level " + Name(part) + " " + std::to_string(value));
  }
  void ShowKeyDown(int note, Side player) override {
    Log("keydown " + std::to_string(note) + " " + Name(player));
  }
  void ShowKeyUp(int note, Side player) override {
    Log("keyup " + std::to_string(note) + " " + Name(player));
  }
  void ClearKeyMarks() override { Log("clearmarks"); }
  void ShowChannel(Side part, int channel) override { channelShown[static_cast<int>(part)] = channel; }
  void ShowSetting(Side part, Setting setting, int value) override { shown[{part, setting}] = value; }
  void RefreshDisplays() override { Log("refreshdisplays"); }

  // The events that start with `prefix`.
  std::vector<std::string> Events(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& e : events) {
      if (e.rfind(prefix, 0) == 0) out.push_back(e);
    }
    return out;
  }
  int Shown(Side part, Setting setting) const {
    auto it = shown.find({part, setting});
    return it == shown.end() ? -1 : it->second;
  }

 private:
  static std::string Name(Side s) { return s == Side::Local ? "L" : "R"; }
  void Log(std::string e) { events.push_back(std::move(e)); }
};

class FixedDeviceChoice final : public MidiDeviceChoice {
 public:
  int input = 0;
  int output = 0;
  int SelectedInput() const override { return input; }
  int SelectedOutput() const override { return output; }
};

// A link that records the units written to it; `portOpen` false makes writes fail the way the
// serial port does when it is closed.
class RecordingLink final : public LinkPort {
 public:
  bool connected = false;
  bool portOpen = true;
  std::vector<std::vector<std::uint8_t>> units;

  bool LinkUp() const override { return connected; }
  void WriteUnit(std::span<const std::uint8_t> bytes) override {
    if (!portOpen) throw UserError(QStringLiteral("通信が開始されていない。"));
    units.emplace_back(bytes.begin(), bytes.end());
  }
};

// A real routing engine over fake MIDI devices, its windows and link recorded.
struct EngineRig {
  // Opens the devices and forgets what the opening sent and showed, so a test sees only its own.
  void OpenOutput() {
    engine.OpenMidiDevices();
    ASSERT_TRUE(engine.OutputOpen());
    midi.out->Clear();
    view.events.clear();
  }
  FakeMidiSystem midi;
  RecordingRoutingView view;
  FixedDeviceChoice choice;
  RecordingLink link;
  RoutingEngine engine{midi, view, choice, link};
};
