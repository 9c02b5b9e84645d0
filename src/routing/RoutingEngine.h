#pragma once

#include <QString>
#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <memory>
#include <span>

#include "routing/ChannelSettings.h"
#include "platform/midi/MidiDevice.h"

// The two parts of the main window: the local player's ("自分") and the remote player's ("相手").
// As a key-mark player, Local is 0 (drawn red) and Remote is 1 (drawn green).
enum class Side { Local = 0, Remote = 1 };

// One of the five per-channel settings a part panel edits.
enum class Setting { Volume, Reverb, Chorus, Pan, Program };

// What the routing engine shows. The main window implements it; tests record it.
class RoutingView {
 public:
  virtual ~RoutingView() = default;
  virtual bool MidiButtonPressed() const = 0;  // SpeedButton1
  virtual void SetMidiButton(bool pressed) = 0;
  virtual bool KeyboardShown() const = 0;               // SpeedButton2
  virtual void SetDualButton(bool pressed) = 0;         // SpeedButton14
  virtual void ShowMessage(const QString& text) = 0;    // a simple message box
  virtual void ReportError(const QString& text) = 0;    // the program's error report
  virtual void SetLevel(Side part, int value) = 0;      // LevelMeter1 / LevelMeter2
  virtual void ShowKeyDown(int note, Side player) = 0;  // the keyboard window's marks
  virtual void ShowKeyUp(int note, Side player) = 0;
  virtual void ClearKeyMarks() = 0;
  virtual void ShowChannel(Side part, int channel) = 0;  // spin button channel, display + 1
  // Shows a part's setting in its control without any change notification.
  virtual void ShowSetting(Side part, Setting setting, int value) = 0;
  virtual void RefreshDisplays() = 0;  // repaint number displays and meters
};

// The MIDI device choice of the settings dialog's two lists: a device number, -1 for none.
class MidiDeviceChoice {
 public:
  virtual ~MidiDeviceChoice() = default;
  virtual int SelectedInput() const = 0;
  virtual int SelectedOutput() const = 0;
};

// The serial link as the engine sees it: whether frames go to the peer (a connection stands and
// its port is open), and a write that sends one unit (a frame) whole. The serial link reports
// its own line faults; another link's WriteUnit may throw, and the engine reports that.
class LinkPort {
 public:
  virtual ~LinkPort() = default;
  virtual bool LinkUp() const = 0;
  virtual void WriteUnit(std::span<const std::uint8_t> bytes) = 0;
};

// Routes every MIDI message of the performance: the local path (MIDI input, keyboard window,
// part controls, tone list) and the remote path (what the peer sends). Owns the MIDI devices,
// the two part channels and the per-channel table. Runs on the UI thread, but for one thing: a
// message from the MIDI input is sounded on the input's own thread, straight into the output's
// fast lane, by the rules the UI thread last published (transposition, the two part channels,
// dual play); the UI thread then does the rest with it (the peer, meters, key marks).
class RoutingEngine {
 public:
  static constexpr std::uint8_t kFrameEscape = 0xFF;
  static constexpr int kActiveSensing = 0xFE;

  RoutingEngine(MidiSystem& devices, RoutingView& view, MidiDeviceChoice& choice, LinkPort& link);
  ~RoutingEngine();
  RoutingEngine(const RoutingEngine&) = delete;
  RoutingEngine& operator=(const RoutingEngine&) = delete;

  // --- devices
  void OpenMidiDevices();
  void CloseMidiDevices();
  void SpeedButton1Click(bool pressed);  // the MIDI button after its click toggled it
  void KMIDI1Click();                    // the MIDI menu entry
  bool OutputOpen() const { return output_ != nullptr; }
  bool InputOpen() const { return input_ != nullptr; }
  // Sends straight to the output, bypassing the parts (the tone list's audition).
  void OutShortMsg(ShortMessage message);

  // --- the two paths
  void PlayLocal(ShortMessage message);
  void PlayRemote(ShortMessage message);

  // --- transposition, owned by the keyboard window
  int OctaveShift() const { return octaveShift_; }
  int KeyShift() const { return keyShift_; }
  void SetOctaveShift(int shift);
  void SetKeyShift(int shift);

  // --- part controls
  int LocalChannel() const { return localChannel_; }
  int RemoteChannel() const { return remoteChannel_; }
  int ChannelOf(Side part) const { return part == Side::Local ? localChannel_ : remoteChannel_; }
  const ChannelSettings& Channels() const { return channels_; }
  ChannelSettings& Channels() { return channels_; }
  static std::int32_t& Entry(ChannelSettings& table, Setting setting, int channel);
  static std::int32_t Entry(const ChannelSettings& table, Setting setting, int channel);

  void SendVolume(int channel, int value);
  void SendReverb(int channel, int value);
  void SendChorus(int channel, int value);
  void SendPan(int channel, int value);
  void SendProgram(int channel, int value);
  void Send(Setting setting, int channel, int value);

  void RefreshParts();
  void AllNotesOff();
  void AllNotesOffButton();  // Button4Click
  // Ends whatever the peer left sounding (when a connection ends): a note-off for each note it
  // still holds on the channel it sounded on, its sustain pedal up where it held it down, and its
  // held key marks off. The local player's notes are left alone, on a shared channel too.
  void ReleaseRemoteNotes();
  // Returns whether the GM System On message went out; a failure has been reported.
  bool SendGmReset();
  void GmResetButton();  // SpeedButton7Click

  bool DualPlay() const { return dualPlay_; }
  void ToggleDualPlay();  // SpeedButton14Click
  void SetDualPlay(bool on);

  // The change handlers of the part panels (user actions only).
  void ChannelChanged(Side part, int channel);                 // UpDownButton1Change / 4
  void ProgramChanged(Side part, int program);                 // UpDownButton2Change / 3
  void SettingChanged(Side part, Setting setting, int value);  // the sliders

  // --- tone files
  ToneSetup CurrentToneSetup() const;
  // Takes a checked set-up, switches dual play on and refreshes the parts.
  void LoadToneSetup(const ToneSetup& setup);

 private:
  void SendIfOpen(ShortMessage message);
  // The local path; `sounded`: the input's thread has sent it to the output already.
  void PlayLocal(ShortMessage message, bool sounded);
  // The remote part's path; the peer's own messages are tracked, dual play's copies are not.
  // `send` false shows without sending (a copy the input's thread sounded).
  void SoundRemotePart(ShortMessage message, bool fromPeer, bool send = true);
  // The MIDI input's thread: sounds a message by the published rules; whether it did.
  bool SoundEarly(ShortMessage message, std::int64_t time);
  // Publishes the rules that SoundEarly applies.
  void PublishRules();
  // Takes the fast lane away and waits until the input's thread is out of it.
  void StopEarly();
  void TrackPeer(int type, int data1, int data2);
  void SendAllNotesOff();

  MidiSystem& devices_;
  RoutingView& view_;
  MidiDeviceChoice& choice_;
  LinkPort& link_;

  std::unique_ptr<MidiInput> input_;
  std::unique_ptr<MidiOutput> output_;
  // What the input's thread reads: the output's lane (null: nothing is sounded early), the
  // packed rules, and how many early soundings are under way.
  std::atomic<MidiFastLane*> lane_{nullptr};
  std::atomic<std::uint64_t> rules_{0};
  std::atomic<int> earlyInside_{0};

  int localChannel_ = 0;
  int remoteChannel_ = 1;
  ChannelSettings channels_;
  bool dualPlay_ = false;
  int octaveShift_ = 0;
  int keyShift_ = 0;
  // What the peer left sounding: its held notes per channel they sound on, its sustain pedal
  // per channel, and the notes whose key marks it has not yet taken off.
  std::array<std::bitset<128>, 16> peerSounding_{};
  std::bitset<16> peerSustain_;
  std::bitset<128> remoteHeld_;
};
