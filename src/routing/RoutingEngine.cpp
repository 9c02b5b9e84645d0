#include "routing/RoutingEngine.h"

#include <algorithm>
#include <array>
#include <thread>

namespace {

constexpr int kNoteOff = 0x80;
constexpr int kNoteOn = 0x90;
constexpr int kControlChange = 0xB0;
constexpr int kProgramChange = 0xC0;
constexpr int kSystem = 0xF0;

constexpr int kCcVolume = 7;
constexpr int kCcPan = 10;
constexpr int kCcReverb = 91;
constexpr int kCcChorus = 93;
constexpr int kCcSustain = 64;
constexpr int kPedalDown = 64;
constexpr int kCcAllNotesOff = 123;

// General MIDI System On: universal non-real-time system exclusive to all devices.
constexpr std::array<std::uint8_t, 6> kGmSystemOn = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};

bool IsNote(int type) {
  return type == kNoteOff || type == kNoteOn;
}
bool IsChannelStatus(int status) {
  return status >= 0x80 && status < kSystem;
}
bool InChannelRange(int channel) {
  return channel >= 0 && channel < kMidiChannels;
}
int ClampValue(int value) {
  return std::clamp(value, 0, 127);
}
Side Other(Side s) {
  return s == Side::Local ? Side::Remote : Side::Local;
}

const QString kSelectInput = QStringLiteral("MIDI IN デバイスを選択してください。");
const QString kSelectOutput = QStringLiteral("MIDI OUT デバイスを選択してください。");
const QString kInputFailed = QStringLiteral("MIDI IN デバイスのオープンに失敗しました");
const QString kOutputFailed = QStringLiteral("MIDI OUT デバイスのオープンに失敗しました");
const QString kGmResetFailed = QStringLiteral("GMﾘｾｯﾄに失敗しました。");

// The rules of the local part as one word, so the input's thread reads them whole without a
// lock: the transposition in semitones (biased by 0x8000), the two part channels, dual play.
struct EarlyRules {
  int shift = 0;
  int localChannel = 0;
  int remoteChannel = 1;
  bool dual = false;

  std::uint64_t Pack() const {
    return static_cast<std::uint64_t>(shift + 0x8000) | static_cast<std::uint64_t>(localChannel) << 16 |
           static_cast<std::uint64_t>(remoteChannel) << 20 | static_cast<std::uint64_t>(dual) << 24;
  }
  static EarlyRules Unpack(std::uint64_t w) {
    return {static_cast<int>(w & 0xFFFF) - 0x8000, static_cast<int>(w >> 16 & 0xF), static_cast<int>(w >> 20 & 0xF),
            (w >> 24 & 1) != 0};
  }
};

}  // namespace

RoutingEngine::RoutingEngine(MidiSystem& devices, RoutingView& view, MidiDeviceChoice& choice, LinkPort& link)
    : devices_(devices), view_(view), choice_(choice), link_(link) {
  PublishRules();
}

RoutingEngine::~RoutingEngine() {
  CloseMidiDevices();
}

// ---------------------------------------------------------------------------------- devices

void RoutingEngine::OpenMidiDevices() {
  // The input and output may be replaced; the input's thread lets go of the old output first.
  StopEarly();
  // The input is always tried first; each failure is shown before the next step.
  const int in = choice_.SelectedInput();
  if (in < 0) {
    view_.SetMidiButton(false);
    view_.ShowMessage(kSelectInput);
  } else {
    try {
      // The MIDI input's error boundary: a failing message is reported and the next one comes.
      input_ = devices_.OpenFastInput(
          in, [this](ShortMessage m, std::int64_t time) { return SoundEarly(m, time); },
          [this](ShortMessage m, bool sounded) {
        try {
          PlayLocal(m, sounded);
          if (sounded && output_) output_->CheckHealth();
        } catch (...) {
          view_.ReportError(ErrorText(std::current_exception()));
        }
      });
    } catch (const MidiDeviceError& e) {
      input_.reset();
      view_.ShowMessage(kInputFailed + QStringLiteral("\n") + e.Message());
    }
  }

  const int out = choice_.SelectedOutput();
  if (out < 0) {
    view_.SetMidiButton(false);
    view_.ShowMessage(kSelectOutput);
  } else {
    try {
      output_ = devices_.OpenOutput(out);
    } catch (const MidiDeviceToldError&) {
      output_.reset();
    } catch (const MidiDeviceError& e) {
      output_.reset();
      view_.ShowMessage(kOutputFailed + QStringLiteral("\n") + e.Message());
    }
  }

  if (output_) {
    lane_.store(output_->FastLane());
    view_.SetMidiButton(true);
    RefreshParts();
  }
}

void RoutingEngine::CloseMidiDevices() {
  StopEarly();
  input_.reset();
  if (output_) {
    output_->Reset();
    output_.reset();
  }
}

void RoutingEngine::SpeedButton1Click(bool pressed) {
  if (pressed) {
    OpenMidiDevices();
  } else {
    CloseMidiDevices();
  }
}

void RoutingEngine::KMIDI1Click() {
  if (view_.MidiButtonPressed()) {
    CloseMidiDevices();
    view_.SetMidiButton(false);
  } else {
    OpenMidiDevices();
    view_.SetMidiButton(true);
  }
}

void RoutingEngine::OutShortMsg(ShortMessage message) {
  SendIfOpen(message);
}

// Every message to the output goes here. A device that fails is reported (a stream of failures
// is counted by the report, not shown one by one), and the caller - a window's handler, the MIDI
// input, a frame from the peer - carries on.
void RoutingEngine::SendIfOpen(ShortMessage message) {
  if (!output_) return;
  try {
    output_->SendShort(message);
  } catch (...) {
    view_.ReportError(ErrorText(std::current_exception()));
  }
}

// ------------------------------------------------------------------------------- the paths

void RoutingEngine::PlayLocal(ShortMessage message) {
  PlayLocal(message, false);
}

void RoutingEngine::SetOctaveShift(int shift) {
  octaveShift_ = shift;
  PublishRules();
}

void RoutingEngine::SetKeyShift(int shift) {
  keyShift_ = shift;
  PublishRules();
}

void RoutingEngine::PublishRules() {
  rules_.store(EarlyRules{12 * octaveShift_ + keyShift_, localChannel_, remoteChannel_, dualPlay_}.Pack());
}

void RoutingEngine::StopEarly() {
  lane_.store(nullptr);
  // An early sounding takes a few hundred nanoseconds; none can start on the old lane now.
  while (earlyInside_.load() != 0) std::this_thread::yield();
}

// The same choices as PlayLocal's and SoundRemotePart's, by the rules last published. The
// entry count and the lane's load are sequentially consistent with StopEarly's store and load:
// once StopEarly has seen no sounding under way, none holds the old lane.
bool RoutingEngine::SoundEarly(ShortMessage message, std::int64_t time) {
  earlyInside_.fetch_add(1);
  bool sounded = false;
  if (MidiFastLane* lane = lane_.load()) {
    const EarlyRules rules = EarlyRules::Unpack(rules_.load());
    const int status = StatusOf(message);
    int data1 = Data1Of(message);
    const int data2 = Data2Of(message);
    const int type = status & 0xF0;
    if (!IsChannelStatus(status)) {
      sounded = false;  // not played, whoever looks at it
    } else if (IsNote(type) && (data1 + rules.shift < 0 || data1 + rules.shift > 127)) {
      sounded = true;  // shifted off the keys: nothing to sound
    } else {
      if (IsNote(type)) data1 += rules.shift;
      std::array<ShortMessage, 2> out = {PackShort(type + rules.localChannel, data1, data2), 0};
      std::size_t count = 1;
      if (rules.dual && data1 <= 127 && !(ShortMessageLength(status) == 3 && data2 > 127)) {
        out[count++] = PackShort(type + rules.remoteChannel, data1, data2);
      }
      sounded = lane->SendFromInput(time, std::span(out.data(), count));
    }
  }
  earlyInside_.fetch_sub(1);
  return sounded;
}

void RoutingEngine::PlayLocal(ShortMessage message, bool sounded) {
  const int status = StatusOf(message);
  int data1 = Data1Of(message);
  const int data2 = Data2Of(message);

  // System messages (active sensing, timing clock and the rest) concern the cable, not the
  // performance: they are neither sent to the peer nor sounded.
  if (!IsChannelStatus(status)) return;

  const int type = status & 0xF0;
  if (IsNote(type)) {
    data1 += 12 * octaveShift_ + keyShift_;
    // A note shifted off the MIDI range has no key to sound or show.
    if (data1 < 0 || data1 > 127) return;
  }

  // The local part sounds and shows first: what the player hears never waits for the link.
  const int outStatus = type + localChannel_;
  if (type == kNoteOn) view_.SetLevel(Side::Local, data2);
  if (view_.KeyboardShown()) {
    if (type == kNoteOff || (type == kNoteOn && data2 == 0)) {
      view_.ShowKeyUp(data1, Side::Local);
    } else if (type == kNoteOn) {
      view_.ShowKeyDown(data1, Side::Local);
    }
  }

  if (output_) {
    if (!sounded) SendIfOpen(PackShort(outStatus, data1, data2));
    if (dualPlay_) SoundRemotePart(PackShort(type + remoteChannel_, data1, data2), false, !sounded);
  }

  if (link_.LinkUp()) {
    // The peer sees the caller's channel bits unchanged.
    const std::array<std::uint8_t, 4> frame = {kFrameEscape, static_cast<std::uint8_t>(status),
                                               static_cast<std::uint8_t>(data1),
                                               static_cast<std::uint8_t>(data2)};
    try {
      link_.WriteUnit(frame);
    } catch (...) {
      view_.ReportError(ErrorText(std::current_exception()));
    }
  }
}

void RoutingEngine::PlayRemote(ShortMessage message) {
  SoundRemotePart(message, true);
}

void RoutingEngine::SoundRemotePart(ShortMessage message, bool fromPeer, bool send) {
  const int status = StatusOf(message);
  const int data1 = Data1Of(message);
  const int data2 = Data2Of(message);

  // Whatever the peer sends must be a well-formed channel message before it is played:
  // a stray data byte, a system status or a data byte with its top bit set is dropped.
  if (!IsChannelStatus(status)) return;
  const int type = status & 0xF0;
  if (data1 > 127 || (ShortMessageLength(status) == 3 && data2 > 127)) return;

  const int outStatus = type + remoteChannel_;
  if (type == kProgramChange) {
    channels_.program[static_cast<std::size_t>(remoteChannel_)] = data1;
    view_.ShowSetting(Side::Remote, Setting::Program, data1);
  }
  if (view_.KeyboardShown()) {
    if (type == kNoteOff) {
      view_.ShowKeyUp(data1, Side::Remote);
    } else if (type == kNoteOn) {
      view_.SetLevel(Side::Remote, data2);
      if (data2 > 0) {
        view_.ShowKeyDown(data1, Side::Remote);
      } else {
        view_.ShowKeyUp(data1, Side::Remote);
      }
    }
  }
  if (fromPeer) TrackPeer(type, data1, data2);
  if (send) SendIfOpen(PackShort(outStatus, data1, data2));
}

// --------------------------------------------------------------------------- part controls

std::int32_t& RoutingEngine::Entry(ChannelSettings& table, Setting setting, int channel) {
  const auto ch = static_cast<std::size_t>(channel);
  switch (setting) {
    case Setting::Volume: return table.volume[ch];
    case Setting::Reverb: return table.reverb[ch];
    case Setting::Chorus: return table.chorus[ch];
    case Setting::Pan: return table.pan[ch];
    case Setting::Program: break;
  }
  return table.program[ch];
}

std::int32_t RoutingEngine::Entry(const ChannelSettings& table, Setting setting, int channel) {
  return Entry(const_cast<ChannelSettings&>(table), setting, channel);
}

void RoutingEngine::Send(Setting setting, int channel, int value) {
  if (!output_ || !InChannelRange(channel)) return;
  value = ClampValue(value);
  switch (setting) {
    case Setting::Volume: SendIfOpen(PackShort(kControlChange + channel, kCcVolume, value)); break;
    case Setting::Reverb: SendIfOpen(PackShort(kControlChange + channel, kCcReverb, value)); break;
    case Setting::Chorus: SendIfOpen(PackShort(kControlChange + channel, kCcChorus, value)); break;
    case Setting::Pan: SendIfOpen(PackShort(kControlChange + channel, kCcPan, value)); break;
    case Setting::Program: SendIfOpen(PackShort(kProgramChange + channel, value, 0)); break;
  }
}

void RoutingEngine::SendVolume(int channel, int value) {
  Send(Setting::Volume, channel, value);
}
void RoutingEngine::SendReverb(int channel, int value) {
  Send(Setting::Reverb, channel, value);
}
void RoutingEngine::SendChorus(int channel, int value) {
  Send(Setting::Chorus, channel, value);
}
void RoutingEngine::SendPan(int channel, int value) {
  Send(Setting::Pan, channel, value);
}
void RoutingEngine::SendProgram(int channel, int value) {
  Send(Setting::Program, channel, value);
}

void RoutingEngine::RefreshParts() {
  view_.ShowChannel(Side::Local, localChannel_);
  view_.ShowChannel(Side::Remote, remoteChannel_);
  for (int ch = 0; ch < kMidiChannels; ++ch) {
    for (Setting s : {Setting::Program, Setting::Volume, Setting::Pan, Setting::Reverb, Setting::Chorus}) {
      Send(s, ch, Entry(channels_, s, ch));
    }
  }
  for (Side part : {Side::Local, Side::Remote}) {
    const int ch = ChannelOf(part);
    for (Setting s : {Setting::Program, Setting::Pan, Setting::Reverb, Setting::Chorus, Setting::Volume}) {
      view_.ShowSetting(part, s, Entry(channels_, s, ch));
    }
  }
}

void RoutingEngine::SendAllNotesOff() {
  for (int ch = 0; ch < kMidiChannels; ++ch) SendIfOpen(PackShort(kControlChange + ch, kCcAllNotesOff, 0));
}

void RoutingEngine::AllNotesOff() {
  view_.RefreshDisplays();
  SendAllNotesOff();
}

void RoutingEngine::AllNotesOffButton() {
  if (!output_) return;
  SendAllNotesOff();
  view_.ClearKeyMarks();
}

// What the peer holds, on the channel it sounds on now (the remote part may move during a call).
void RoutingEngine::TrackPeer(int type, int data1, int data2) {
  const auto ch = static_cast<std::size_t>(remoteChannel_);
  if (type == kNoteOn || type == kNoteOff) {
    const bool down = type == kNoteOn && data2 > 0;
    peerSounding_[ch].set(static_cast<std::size_t>(data1), down);
    remoteHeld_.set(static_cast<std::size_t>(data1), down);
  } else if (type == kControlChange && data1 == kCcSustain) {
    peerSustain_.set(ch, data2 >= kPedalDown);
  }
}

void RoutingEngine::ReleaseRemoteNotes() {
  // Note by note, not all-notes-off: the remote part may share its channel with the local part
  // (or with its dual copy), and the local player's own held notes go on sounding.
  for (std::size_t ch = 0; ch < peerSounding_.size(); ++ch) {
    const int channel = static_cast<int>(ch);
    for (std::size_t note = 0; note < peerSounding_[ch].size(); ++note) {
      if (peerSounding_[ch].test(note)) SendIfOpen(PackShort(kNoteOff + channel, static_cast<int>(note), 0));
    }
    peerSounding_[ch].reset();
    if (peerSustain_.test(ch)) SendIfOpen(PackShort(kControlChange + channel, kCcSustain, 0));
  }
  peerSustain_.reset();
  if (view_.KeyboardShown()) {
    for (std::size_t note = 0; note < remoteHeld_.size(); ++note) {
      if (remoteHeld_.test(note)) view_.ShowKeyUp(static_cast<int>(note), Side::Remote);
    }
  }
  remoteHeld_.reset();
}

bool RoutingEngine::SendGmReset() {
  if (!output_) return false;
  const bool sent = output_->SendLong(kGmSystemOn);
  if (!sent) view_.ShowMessage(kGmResetFailed);
  return sent;
}

void RoutingEngine::GmResetButton() {
  SendGmReset();
  channels_.ResetToDefaults();
  RefreshParts();
}

void RoutingEngine::ToggleDualPlay() {
  SetDualPlay(!dualPlay_);
}

void RoutingEngine::SetDualPlay(bool on) {
  dualPlay_ = on;
  PublishRules();
  view_.SetDualButton(on);
}

void RoutingEngine::ChannelChanged(Side part, int channel) {
  channel = std::clamp(channel, 0, kMidiChannels - 1);
  (part == Side::Local ? localChannel_ : remoteChannel_) = channel;
  PublishRules();
  view_.ShowChannel(part, channel);
  RefreshParts();
}

void RoutingEngine::ProgramChanged(Side part, int program) {
  program = ClampValue(program);
  const int ch = ChannelOf(part);
  channels_.program[static_cast<std::size_t>(ch)] = program;
  view_.ShowSetting(part, Setting::Program, program);
  SendProgram(ch, program);
  // The local part's choice travels to the peer (and sounds once more here); with dual play
  // the remote part is the player's own second instrument, and nothing is sent.
  if (part == Side::Local && !dualPlay_) PlayLocal(PackShort(kProgramChange, program, 0));
  if (localChannel_ == remoteChannel_) view_.ShowSetting(Other(part), Setting::Program, program);
}

void RoutingEngine::SettingChanged(Side part, Setting setting, int value) {
  if (setting == Setting::Program) {
    ProgramChanged(part, value);
    return;
  }
  const int ch = ChannelOf(part);
  Entry(channels_, setting, ch) = value;
  Send(setting, ch, value);
  if (localChannel_ == remoteChannel_) view_.ShowSetting(Other(part), setting, value);
}

// ------------------------------------------------------------------------------ tone files

ToneSetup RoutingEngine::CurrentToneSetup() const {
  return ToneSetup{localChannel_, remoteChannel_, channels_};
}

void RoutingEngine::LoadToneSetup(const ToneSetup& setup) {
  localChannel_ = std::clamp(setup.localChannel, 0, kMidiChannels - 1);
  remoteChannel_ = std::clamp(setup.remoteChannel, 0, kMidiChannels - 1);
  channels_ = setup.channels;
  SetDualPlay(true);  // publishes the channels too
  RefreshParts();
}
