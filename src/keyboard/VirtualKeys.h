#pragma once

#include <cstdint>
#include <map>
#include <optional>

// Turns the keys Qt reports into the Windows virtual-key codes the keyboard window's key map
// is written in: the code a Windows machine gives for the same key on the same layout.
namespace keyboard {

enum class PcLayout { Us, Japanese, Uk };

// The layout a keymap stands for, told by the keysyms it puts on two keys: the key right of
// L's neighbour (the US apostrophe key, XKB keycode 48), unshifted and shifted, and the key
// above Enter (the US backslash key, XKB keycode 51), unshifted. Layouts without a table of
// their own are read as US.
PcLayout LayoutFromKeysyms(std::uint32_t apostropheKey, std::uint32_t apostropheKeyShifted,
                           std::uint32_t backslashKey);

// nativeScanCode is the XKB keycode (evdev code + 8) as xcb and Wayland deliver it, or 0 when
// the event carries none; the key is then told by its Qt key code alone, which also covers
// the shifted characters of the layout. keypad says the key is on the number pad (Qt's
// KeypadModifier), whose keys Windows names apart from the main block's keys with the same
// character. Returns 0 for a key that has no code.
int VirtualKeyOf(PcLayout layout, int qtKey, std::uint32_t nativeScanCode, bool keypad);

// Keeps the code each held key went down with, so that its release gives the same code even
// when Shift or the layout's character changed in between.
class VirtualKeyTranslator {
 public:
  int Press(PcLayout layout, int qtKey, std::uint32_t nativeScanCode, bool keypad);
  int Release(PcLayout layout, int qtKey, std::uint32_t nativeScanCode, bool keypad);
  // The code the key went down with, forgotten now; nullopt for a key not seen going down,
  // whose release must be told afresh with Release.
  std::optional<int> ReleaseHeld(int qtKey, std::uint32_t nativeScanCode, bool keypad);

 private:
  std::map<std::uint32_t, int> downByScanCode_;
  std::map<int, int> downByQtKey_;
};

}  // namespace keyboard
