#include "support/RecordingMidi.h"

#include <thread>

class FakeMidiSystem::Input final : public MidiInput {
 public:
  Input(FakeMidiSystem& owner, Handler h) : owner_(owner), handler(std::move(h)) { owner_.openInput_ = this; }
  Input(FakeMidiSystem& owner, Early e, LateHandler h) : owner_(owner), early(std::move(e)), late(std::move(h)) {
    owner_.openInput_ = this;
  }
  ~Input() override {
    if (owner_.openInput_ == this) owner_.openInput_ = nullptr;
  }
  FakeMidiSystem& owner_;
  Handler handler;
  Early early;
  LateHandler late;
};

std::unique_ptr<MidiInput> FakeMidiSystem::OpenInput(int index, MidiInput::Handler handler) {
  ++inputOpens;
  if (failInput || index < 0 || index >= inputNames.size())
    throw MidiDeviceError(QStringLiteral("fake input fails"));
  return std::make_unique<Input>(*this, std::move(handler));
}

std::unique_ptr<MidiInput> FakeMidiSystem::OpenFastInput(int index, MidiInput::Early early,
                                                         MidiInput::LateHandler handler) {
  ++inputOpens;
  if (failInput || index < 0 || index >= inputNames.size())
    throw MidiDeviceError(QStringLiteral("fake input fails"));
  return std::make_unique<Input>(*this, std::move(early), std::move(handler));
}

std::unique_ptr<MidiOutput> FakeMidiSystem::OpenOutput(int index) {
  ++outputOpens;
  if (failOutput || index < 0 || index >= outputNames.size())
    throw MidiDeviceError(QStringLiteral("fake output fails"));
  return std::make_unique<RecordingMidiOutput>(out);
}

bool FakeMidiSystem::Play(ShortMessage m) {
  if (openInput_ == nullptr) return false;
  if (!openInput_->late) {
    openInput_->handler(m);
    return true;
  }
  bool sounded = false;
  std::thread([&] { sounded = openInput_->early(m, 0); }).join();
  openInput_->late(m, sounded);
  return true;
}
