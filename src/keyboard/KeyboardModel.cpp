#include "keyboard/KeyboardModel.h"

#include <algorithm>
#include <string_view>

namespace keyboard {
namespace {

struct Rect {  // left, top, right, bottom as the tables give them
  int l, t, r, b;
};

// Octave-0 mark rectangles (keyboard-picture coordinates, right and bottom exclusive),
// indexed by semitone: the local player's and the remote player's.
constexpr std::array<Rect, 12> kLocalMarks = {{{3, 53, 9, 61},
                                               {10, 25, 13, 35},
                                               {15, 53, 21, 61},
                                               {24, 25, 27, 35},
                                               {27, 53, 33, 61},
                                               {39, 53, 45, 61},
                                               {46, 25, 49, 35},
                                               {51, 53, 57, 61},
                                               {59, 25, 62, 35},
                                               {63, 53, 69, 61},
                                               {72, 25, 75, 35},
                                               {75, 53, 81, 61}}};
constexpr std::array<Rect, 12> kRemoteMarks = {{{3, 44, 9, 52},
                                                {10, 13, 13, 23},
                                                {15, 44, 21, 52},
                                                {24, 13, 27, 23},
                                                {27, 44, 33, 52},
                                                {39, 44, 45, 52},
                                                {46, 13, 49, 23},
                                                {51, 44, 57, 52},
                                                {59, 13, 62, 23},
                                                {63, 44, 69, 52},
                                                {72, 13, 75, 23},
                                                {75, 44, 81, 52}}};

struct Hit {  // inclusive bounds within an octave, and the semitone it stands for
  int l, r, t, b, semitone;
};
// Black keys first: where a black key overlaps a white one, the black key wins.
constexpr std::array<Hit, 12> kHits = {{{8, 14, 0, 41, 1},
                                        {22, 28, 0, 41, 3},
                                        {44, 50, 0, 41, 6},
                                        {57, 63, 0, 41, 8},
                                        {70, 76, 0, 41, 10},
                                        {0, 11, 0, 65, 0},
                                        {12, 23, 0, 65, 2},
                                        {24, 35, 0, 65, 4},
                                        {36, 47, 0, 65, 5},
                                        {48, 59, 0, 65, 7},
                                        {60, 71, 0, 65, 9},
                                        {72, 83, 0, 65, 11}}};

using MarkTable = std::array<std::array<QRect, 2>, kKeyCount>;

constexpr MarkTable BuildMarkTable() {
  MarkTable table{};
  for (int k = 0; k < kKeyCount; ++k) {
    const int dx = kOctaveWidth * (k / 12) + kKeyboardOrigin.x();
    const int dy = kKeyboardOrigin.y();
    const auto s = static_cast<std::size_t>(k % 12);
    const Rect local = kLocalMarks[s];
    const Rect remote = kRemoteMarks[s];
    auto& row = table[static_cast<std::size_t>(k)];
    row[0] = QRect(local.l + dx, local.t + dy, local.r - local.l, local.b - local.t);
    row[1] = QRect(remote.l + dx, remote.t + dy, remote.r - remote.l, remote.b - remote.t);
  }
  return table;
}

// Computed once, read-only afterwards.
constexpr MarkTable kMarkTable = BuildMarkTable();

using KeyMap = std::array<std::uint8_t, 256>;

KeyMap BuildKeyMap() {
  KeyMap map{};
  constexpr std::string_view kRow = "azsxcfvgbnjmk";
  for (std::size_t i = 0; i < kRow.size(); ++i) {
    // A letter key's virtual-key code is its capital, 32 below the small letter.
    map[static_cast<std::size_t>(kRow[i] - 32)] = static_cast<std::uint8_t>(56 + i);
  }
  constexpr std::array<std::pair<int, int>, 7> kFixed = {
      {{0x4C, 70}, {0xBC, 69}, {0xBE, 71}, {0xBF, 72}, {0xBA, 73}, {0xDF, 74}, {0xDD, 75}}};
  for (auto [code, note] : kFixed) map[static_cast<std::size_t>(code)] = static_cast<std::uint8_t>(note);
  return map;
}

const KeyMap kKeyMap = BuildKeyMap();

}  // namespace

int NoteAt(int x, int y) {
  x -= kKeyboardOrigin.x();
  y -= kKeyboardOrigin.y();
  // Inclusive at the far edges: the pixel right of the picture and the row below it count.
  if (x < 0 || x > kKeyboardSize.width() || y < 0 || y > kKeyboardSize.height()) return kNoNote;
  const int octave = x / kOctaveWidth;
  if (octave == 5) return kHighestNote;
  const int xo = x % kOctaveWidth;
  for (const Hit& h : kHits) {
    if (xo >= h.l && xo <= h.r && y >= h.t && y <= h.b) return kLowestNote + 12 * octave + h.semitone;
  }
  return kNoNote;
}

int KeyIndexOf(int note, int octaveShift, int keyShift) {
  const int index = note - kLowestNote - 12 * octaveShift - keyShift;
  return (index < 0 || index >= kKeyCount) ? -1 : index;
}

QRect MarkRect(int key, Side player) {
  return kMarkTable[static_cast<std::size_t>(std::clamp(key, 0, kKeyCount - 1))]
                   [static_cast<std::size_t>(player)];
}

bool KeyMarks::Set(int key, Side player, bool on) {
  if (key < 0 || key >= kKeyCount) return false;
  bool& mark = marks_[Slot(key, player)];
  if (mark == on) return false;
  mark = on;
  return true;
}

bool KeyMarks::ClearAll() {
  const bool had = Any();
  marks_.fill(false);
  return had;
}

bool KeyMarks::Any() const {
  return std::ranges::any_of(marks_, [](bool m) { return m; });
}

int NoteForVirtualKey(int virtualKey) {
  return kKeyMap[static_cast<std::size_t>(virtualKey & 0xFF)];
}

}  // namespace keyboard
