#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <array>
#include <cstdint>

#include "routing/RoutingEngine.h"

// The keyboard window's fixed geometry, which key lies where, and which keys carry a mark.
// Everything is in the window's client coordinates unless a name says otherwise.
namespace keyboard {

inline constexpr int kNoNote = 9999;
inline constexpr int kKeyCount = 61;
inline constexpr int kLowestNote = 36;  // key index 0, a C
inline constexpr int kHighestNote = kLowestNote + kKeyCount - 1;
inline constexpr QSize kClientSize{483, 131};
inline constexpr QPoint kKeyboardOrigin{46, 62};
inline constexpr QSize kKeyboardSize{432, 66};
inline constexpr int kOctaveWidth = 84;
inline constexpr int kWhiteKeyWidth = 12;
// Marks whose top lies this low sit on white keys; higher ones on black keys.
inline constexpr int kWhiteMarkTop = 102;

inline constexpr QRect kPanelRect{137, 6, 164, 47};
inline constexpr int kPanelHeight = 47;
inline constexpr int kGlyphStripTop = 47;  // the glyph strip below the lit panel
inline constexpr QSize kGlyphSize{10, 17};
inline constexpr int kGlyphCount = 16;

inline QRect KeyboardRect() {
  return {kKeyboardOrigin, kKeyboardSize};
}

// Panel glyph cells.
enum Glyph : int {
  kGlyphF = 10,
  kGlyphUnlitDigit = 11,
  kGlyphMinus = 12,
  kGlyphNoSign = 13,
  kGlyphPlus = 14,
  kGlyphEmpty = 15
};

constexpr bool IsBlackSemitone(int s) {
  return s == 1 || s == 3 || s == 6 || s == 8 || s == 10;
}

// The note under window point (x, y), or kNoNote.
int NoteAt(int x, int y);

// Key index that shows a played (transposed) note under the given shifts, or -1 when the note
// has no key on this keyboard.
int KeyIndexOf(int note, int octaveShift, int keyShift);

// A player's mark rectangle of key index 0..60, in window coordinates.
QRect MarkRect(int key, Side player);

// Which keys carry a mark of which player. The window paints from this, so a repaint the
// system asks for keeps the marks of notes still held.
class KeyMarks {
 public:
  bool Has(int key, Side player) const { return marks_[Slot(key, player)]; }
  // Both return whether anything changed.
  bool Set(int key, Side player, bool on);
  bool ClearAll();
  bool Any() const;

 private:
  static std::size_t Slot(int key, Side player) {
    return static_cast<std::size_t>(key) * 2 + static_cast<std::size_t>(player);
  }
  std::array<bool, kKeyCount * 2> marks_{};
};

// The note a Windows virtual-key code plays from the PC keyboard, 0 for none. Only the low
// 8 bits of the code count.
int NoteForVirtualKey(int virtualKey);

}  // namespace keyboard
