#pragma once

#include <vector>

#include "platform/midi/GmSynth.h"
#include "platform/midi/MidiDevice.h"

// The MIDI devices of this machine: the ports of every RtMidi API that starts (ALSA
// sequencer, JACK) and, first among the outputs, the built-in GM synth.
//
// Device numbers refer to the lists of the latest InputNames()/OutputNames() call; opening
// finds the port again by name, so a port that came or went in between cannot make the
// number open a different device.
class SystemMidi final : public MidiSystem {
 public:
  explicit SystemMidi(GmSynth::Options synthOptions = {});

  void SetSynthOptions(const GmSynth::Options& options) { synthOptions_ = options; }

  QStringList InputNames() override;
  QStringList OutputNames() override;
  std::unique_ptr<MidiInput> OpenInput(int index, MidiInput::Handler handler) override;
  std::unique_ptr<MidiInput> OpenFastInput(int index, MidiInput::Early early, MidiInput::LateHandler handler) override;
  std::unique_ptr<MidiOutput> OpenOutput(int index) override;
  QString SynthOutputState() override;

  enum class Api { Synth, Alsa, Jack };
  struct Port {
    Api api;
    QString name;  // as listed (stable from run to run)
    // Two interfaces of one model list under one name: which of the equal names this is, in
    // the API's own order, so the entry chosen is the device that opens.
    int occurrence = 0;
  };

 private:
  std::vector<Port> Enumerate(bool inputs) const;

  std::unique_ptr<MidiOutput> OpenSynth();

  GmSynth::Options synthOptions_;
  std::weak_ptr<const SynthAudioStatus> synthStatus_;
  // The synth's last failure to open, and the output it was asked for then.
  QString synthFailure_;
  QString synthFailedDriver_;
  int synthFailedBuffer_ = 0;
  std::vector<Port> inputs_;
  std::vector<Port> outputs_;
};

// Port names as the lists show them. Exposed for tests.
namespace midi_names {
// "client:port 128:0" (ALSA) -> "client:port"; JACK names get a "JACK: " prefix.
QString Listed(SystemMidi::Api api, const std::string& rtmidiName);
// Our own ports (opened by this or another copy of the program) are never offered.
bool IsOurs(const std::string& rtmidiName);
// The RtMidi port number of the `occurrence`-th port (from 0) listed as `name` among
// `rtmidiNames`, or of the first one when there are fewer now; -1 when none is left.
int FindListed(const std::vector<std::string>& rtmidiNames, SystemMidi::Api api, const QString& name,
               int occurrence);
}  // namespace midi_names
