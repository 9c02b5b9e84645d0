#include "tonelist/ToneList.h"

#include <algorithm>

#include "tonelist/GmPrograms.h"

namespace {

constexpr int kNoteOff = 0x80;
constexpr int kNoteOn = 0x90;
constexpr int kProgramChange = 0xC0;
constexpr int kLastEntry = kGmProgramCount - 1;

bool IsEntry(int selected) {
  return selected >= 0 && selected <= kLastEntry;
}

}  // namespace

ToneList::ToneList(RoutingEngine& engine) : engine_(engine) {}

void ToneList::SetEditChannel(int channel) {
  editChannel_ = std::clamp(channel, 0, kMidiChannels - 1);
}

int ToneList::StoredProgram() const {
  // A table entry comes from files and the peer as well; the list only knows 0..127.
  return std::clamp(engine_.Channels().program[static_cast<std::size_t>(editChannel_)], 0, kLastEntry);
}

int ToneList::Shown() {
  auditionProgram_ = StoredProgram();
  ignoreMouse_ = false;
  return auditionProgram_;
}

void ToneList::LeftPress(int selected) {
  if (ignoreMouse_ || !IsEntry(selected)) return;
  auditionProgram_ = selected;
  SendProgramChange(auditionProgram_);
  SendTestNoteOn();
}

void ToneList::DragTo(int selected) {
  if (ignoreMouse_ || !IsEntry(selected) || selected == auditionProgram_) return;
  auditionProgram_ = selected;
  SendTestNoteOffLoud();
  SendProgramChange(auditionProgram_);
  SendTestNoteOn();
}

void ToneList::Release() {
  SendTestNoteOff();
}

std::optional<int> ToneList::Arrow(ListArrow key, int selected) {
  if (!IsEntry(selected)) return std::nullopt;
  int target = selected;
  switch (key) {
    case ListArrow::Left:
      if (selected < kEntriesPerColumn) return std::nullopt;
      target = selected - kEntriesPerColumn;
      break;
    case ListArrow::Up:
      if (selected == 0) return std::nullopt;
      target = selected - 1;
      break;
    case ListArrow::Right:
      // From the last column the list goes to its last entry.
      target = std::min(selected + kEntriesPerColumn, kLastEntry);
      break;
    case ListArrow::Down:
      if (selected == kLastEntry) return std::nullopt;
      target = selected + 1;
      break;
  }
  auditionProgram_ = target;
  SendTestNoteOff();
  SendProgramChange(auditionProgram_);
  SendTestNoteOn();
  return target;
}

void ToneList::Apply(int selected) {
  if (!IsEntry(selected)) return;
  auditionProgram_ = selected;
  engine_.Channels().program[static_cast<std::size_t>(editChannel_)] = selected;
  engine_.RefreshParts();
  // The local part's choice is played once more through the local path so that it reaches
  // the peer; with dual play the remote part is the player's own, and the peer keeps its view.
  if (editChannel_ == engine_.LocalChannel() && !engine_.DualPlay()) {
    engine_.PlayLocal(PackShort(kProgramChange + editChannel_, selected, 0));
  }
}

void ToneList::ApplyByDoubleClick(int selected) {
  Apply(selected);
  // The press that ends a double-click comes after the dialog closed and must stay silent.
  ignoreMouse_ = true;
}

void ToneList::TakeBack() {
  SendProgramChange(StoredProgram());
}

void ToneList::Closed() {
  engine_.AllNotesOff();
}

void ToneList::SendProgramChange(int program) {
  engine_.OutShortMsg(PackShort(kProgramChange + editChannel_, program, 0));
}

void ToneList::SendTestNoteOn() {
  engine_.OutShortMsg(PackShort(kNoteOn + editChannel_, kTestNote, kTestVelocity));
}

void ToneList::SendTestNoteOffLoud() {
  engine_.OutShortMsg(PackShort(kNoteOff + editChannel_, kTestNote, kTestVelocity));
}

void ToneList::SendTestNoteOff() {
  engine_.OutShortMsg(PackShort(kNoteOff + editChannel_, kTestNote, 0));
}

void ToneList::SendTestNoteRelease() {
  engine_.OutShortMsg(PackShort(kNoteOn + editChannel_, kTestNote, 0));
}
