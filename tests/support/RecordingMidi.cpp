#include "support/RecordingMidi.h"

class FakeMidiSystem::Input final : public MidiInput {
 public:
  Input(FakeMidiSystem& owner, Handler h) : owner_(owner), handler(std::move(h)) { owner_.openInput_ = this; }
  ~Input() override {
    if (owner_.openInput_ == this) owner_.openInput_ = nullptr;
  }
  FakeMidiSystem& owner_;
  Handler handler;
};

std::unique_ptr<MidiInput> FakeMidiSystem::OpenInput(int index, MidiInput::Handler handler) {
  ++inputOpens;
  if (failInput || index < 0 || index >= inputNames.size())
    throw MidiDeviceError(QStringLiteral("fake input fails"));
  return std::make_unique<Input>(*this, std::move(handler));
}

std::unique_ptr<MidiOutput> FakeMidiSystem::OpenOutput(int index) {
  ++outputOpens;
  if (failOutput || index < 0 || index >= outputNames.size())
    throw MidiDeviceError(QStringLiteral("fake output fails"));
  return std::make_unique<RecordingMidiOutput>(out);
}

bool FakeMidiSystem::Play(ShortMessage m) {
  if (openInput_ == nullptr) return false;
  openInput_->handler(m);
  return true;
}
