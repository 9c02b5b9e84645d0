#include "keyboard/VirtualKeys.h"

#include <QStringList>
#include <Qt>
#include <array>
#include <utility>

namespace keyboard {
namespace {

// Windows virtual-key codes of the keys whose code depends on the layout.
enum Vk : int {
  kOem1 = 0xBA,
  kOemPlus = 0xBB,
  kOemComma = 0xBC,
  kOemMinus = 0xBD,
  kOemPeriod = 0xBE,
  kOem2 = 0xBF,
  kOem3 = 0xC0,
  kOem4 = 0xDB,
  kOem5 = 0xDC,
  kOem6 = 0xDD,
  kOem7 = 0xDE,
  kOem8 = 0xDF,
  kOem102 = 0xE2,
  kOemAuto = 0xF3,
  kNumpad0 = 0x60,
  kMultiply = 0x6A,
  kAdd = 0x6B,
  kSeparator = 0x6C,
  kSubtract = 0x6D,
  kDecimal = 0x6E,
  kDivide = 0x6F,
};

// Linux input codes of the keys in question (the XKB keycode is 8 more).
enum Evdev : std::uint32_t {
  kGrave = 41,
  kMinus = 12,
  kEqual = 13,
  kLeftBrace = 26,
  kRightBrace = 27,
  kBackslash = 43,
  kSemicolon = 39,
  kApostrophe = 40,
  kComma = 51,
  kDot = 52,
  kSlash = 53,
  k102nd = 86,
  kRo = 89,
  kYen = 124,
  kKpDot = 83,
  kKpJpComma = 95,
  kKpComma = 121,
};
constexpr std::uint32_t kXkbOffset = 8;

using PhysicalTable = std::array<std::pair<std::uint32_t, int>, 13>;

// Where the punctuation keys sit and what Windows calls them, per layout.
constexpr PhysicalTable kUsPhysical = {{{kGrave, kOem3},
                                        {kMinus, kOemMinus},
                                        {kEqual, kOemPlus},
                                        {kLeftBrace, kOem4},
                                        {kRightBrace, kOem6},
                                        {kBackslash, kOem5},
                                        {kSemicolon, kOem1},
                                        {kApostrophe, kOem7},
                                        {kComma, kOemComma},
                                        {kDot, kOemPeriod},
                                        {kSlash, kOem2},
                                        {k102nd, kOem102},
                                        {kYen, kOem5}}};
// A 106/109-key board: "@" and "[" right of P, ";" and ":" right of L, "]" right of ":",
// "^" and "¥" right of "-", "\ ろ" left of right Shift, 半角/全角 left of 1.
constexpr PhysicalTable kJapanesePhysical = {{{kGrave, kOemAuto},
                                              {kMinus, kOemMinus},
                                              {kEqual, kOem7},
                                              {kLeftBrace, kOem3},
                                              {kRightBrace, kOem4},
                                              {kBackslash, kOem6},
                                              {kSemicolon, kOemPlus},
                                              {kApostrophe, kOem1},
                                              {kComma, kOemComma},
                                              {kDot, kOemPeriod},
                                              {kSlash, kOem2},
                                              {kRo, kOem102},
                                              {kYen, kOem5}}};
constexpr PhysicalTable kUkPhysical = {{{kGrave, kOem8},
                                        {kMinus, kOemMinus},
                                        {kEqual, kOemPlus},
                                        {kLeftBrace, kOem4},
                                        {kRightBrace, kOem6},
                                        {kBackslash, kOem7},
                                        {kSemicolon, kOem1},
                                        {kApostrophe, kOem3},
                                        {kComma, kOemComma},
                                        {kDot, kOemPeriod},
                                        {kSlash, kOem2},
                                        {k102nd, kOem5},
                                        {kYen, kOem5}}};

struct CharKey {
  int qtKey;
  int vk;
};

// The characters of each layout's punctuation and digit keys, unshifted and shifted, so that
// a key told by its character alone still gives its key's code.
constexpr auto kUsChars = std::to_array<CharKey>({
    {Qt::Key_QuoteLeft, kOem3},      {Qt::Key_AsciiTilde, kOem3},   {Qt::Key_Minus, kOemMinus},
    {Qt::Key_Underscore, kOemMinus}, {Qt::Key_Equal, kOemPlus},     {Qt::Key_Plus, kOemPlus},
    {Qt::Key_BracketLeft, kOem4},    {Qt::Key_BraceLeft, kOem4},    {Qt::Key_BracketRight, kOem6},
    {Qt::Key_BraceRight, kOem6},     {Qt::Key_Backslash, kOem5},    {Qt::Key_Bar, kOem5},
    {Qt::Key_Semicolon, kOem1},      {Qt::Key_Colon, kOem1},        {Qt::Key_Apostrophe, kOem7},
    {Qt::Key_QuoteDbl, kOem7},       {Qt::Key_Comma, kOemComma},    {Qt::Key_Less, kOemComma},
    {Qt::Key_Period, kOemPeriod},    {Qt::Key_Greater, kOemPeriod}, {Qt::Key_Slash, kOem2},
    {Qt::Key_Question, kOem2},       {Qt::Key_Exclam, '1'},         {Qt::Key_At, '2'},
    {Qt::Key_NumberSign, '3'},       {Qt::Key_Dollar, '4'},         {Qt::Key_Percent, '5'},
    {Qt::Key_AsciiCircum, '6'},      {Qt::Key_Ampersand, '7'},      {Qt::Key_Asterisk, '8'},
    {Qt::Key_ParenLeft, '9'},        {Qt::Key_ParenRight, '0'},
});
constexpr auto kJapaneseChars = std::to_array<CharKey>({
    {Qt::Key_Minus, kOemMinus},   {Qt::Key_Equal, kOemMinus},    {Qt::Key_AsciiCircum, kOem7},
    {Qt::Key_AsciiTilde, kOem7},  {Qt::Key_yen, kOem5},          {Qt::Key_Bar, kOem5},
    {Qt::Key_At, kOem3},          {Qt::Key_QuoteLeft, kOem3},    {Qt::Key_BracketLeft, kOem4},
    {Qt::Key_BraceLeft, kOem4},   {Qt::Key_Semicolon, kOemPlus}, {Qt::Key_Plus, kOemPlus},
    {Qt::Key_Colon, kOem1},       {Qt::Key_Asterisk, kOem1},     {Qt::Key_BracketRight, kOem6},
    {Qt::Key_BraceRight, kOem6},  {Qt::Key_Comma, kOemComma},    {Qt::Key_Less, kOemComma},
    {Qt::Key_Period, kOemPeriod}, {Qt::Key_Greater, kOemPeriod}, {Qt::Key_Slash, kOem2},
    {Qt::Key_Question, kOem2},    {Qt::Key_Backslash, kOem102},  {Qt::Key_Underscore, kOem102},
    {Qt::Key_Exclam, '1'},        {Qt::Key_QuoteDbl, '2'},       {Qt::Key_NumberSign, '3'},
    {Qt::Key_Dollar, '4'},        {Qt::Key_Percent, '5'},        {Qt::Key_Ampersand, '6'},
    {Qt::Key_Apostrophe, '7'},    {Qt::Key_ParenLeft, '8'},      {Qt::Key_ParenRight, '9'},
});
constexpr auto kUkChars = std::to_array<CharKey>({
    {Qt::Key_QuoteLeft, kOem8},
    {Qt::Key_notsign, kOem8},
    {Qt::Key_brokenbar, kOem8},
    {Qt::Key_Minus, kOemMinus},
    {Qt::Key_Underscore, kOemMinus},
    {Qt::Key_Equal, kOemPlus},
    {Qt::Key_Plus, kOemPlus},
    {Qt::Key_BracketLeft, kOem4},
    {Qt::Key_BraceLeft, kOem4},
    {Qt::Key_BracketRight, kOem6},
    {Qt::Key_BraceRight, kOem6},
    {Qt::Key_NumberSign, kOem7},
    {Qt::Key_AsciiTilde, kOem7},
    {Qt::Key_Semicolon, kOem1},
    {Qt::Key_Colon, kOem1},
    {Qt::Key_Apostrophe, kOem3},
    {Qt::Key_At, kOem3},
    {Qt::Key_Comma, kOemComma},
    {Qt::Key_Less, kOemComma},
    {Qt::Key_Period, kOemPeriod},
    {Qt::Key_Greater, kOemPeriod},
    {Qt::Key_Slash, kOem2},
    {Qt::Key_Question, kOem2},
    {Qt::Key_Backslash, kOem5},
    {Qt::Key_Bar, kOem5},
    {Qt::Key_Exclam, '1'},
    {Qt::Key_QuoteDbl, '2'},
    {Qt::Key_sterling, '3'},
    {Qt::Key_Dollar, '4'},
    {Qt::Key_Percent, '5'},
    {Qt::Key_AsciiCircum, '6'},
    {Qt::Key_Ampersand, '7'},
    {Qt::Key_Asterisk, '8'},
    {Qt::Key_ParenLeft, '9'},
    {Qt::Key_ParenRight, '0'},
});

// Keys whose code is the same on every layout.
int FixedVirtualKey(int qtKey) {
  if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) return qtKey;  // Qt's code is the capital, as is Windows'
  if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) return qtKey;
  if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24) return 0x70 + (qtKey - Qt::Key_F1);
  switch (qtKey) {
    case Qt::Key_Backspace: return 0x08;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return 0x09;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 0x0D;
    case Qt::Key_Shift: return 0x10;
    case Qt::Key_Control: return 0x11;
    case Qt::Key_Alt: return 0x12;
    case Qt::Key_Pause: return 0x13;
    case Qt::Key_CapsLock: return 0x14;
    case Qt::Key_Escape: return 0x1B;
    case Qt::Key_Space: return 0x20;
    case Qt::Key_PageUp: return 0x21;
    case Qt::Key_PageDown: return 0x22;
    case Qt::Key_End: return 0x23;
    case Qt::Key_Home: return 0x24;
    case Qt::Key_Left: return 0x25;
    case Qt::Key_Up: return 0x26;
    case Qt::Key_Right: return 0x27;
    case Qt::Key_Down: return 0x28;
    case Qt::Key_Clear: return 0x0C;  // number pad 5 with Num Lock off
    case Qt::Key_Insert: return 0x2D;
    case Qt::Key_Delete: return 0x2E;
    case Qt::Key_Meta: return 0x5B;
    case Qt::Key_Menu: return 0x5D;
    case Qt::Key_NumLock: return 0x90;
    case Qt::Key_ScrollLock: return 0x91;
    case Qt::Key_Muhenkan: return 0x1D;
    case Qt::Key_Henkan: return 0x1C;
    case Qt::Key_Hiragana_Katakana: return 0xF2;
    case Qt::Key_Zenkaku_Hankaku: return kOemAuto;
    default: return 0;
  }
}

const PhysicalTable& PhysicalOf(PcLayout layout) {
  switch (layout) {
    case PcLayout::Japanese: return kJapanesePhysical;
    case PcLayout::Uk: return kUkPhysical;
    case PcLayout::Us: break;
  }
  return kUsPhysical;
}

template <std::size_t N>
int FindChar(const std::array<CharKey, N>& table, int qtKey) {
  for (const CharKey& c : table) {
    if (c.qtKey == qtKey) return c.vk;
  }
  return 0;
}

int CharVirtualKey(PcLayout layout, int qtKey) {
  switch (layout) {
    case PcLayout::Japanese: return FindChar(kJapaneseChars, qtKey);
    case PcLayout::Uk: return FindChar(kUkChars, qtKey);
    case PcLayout::Us: break;
  }
  return FindChar(kUsChars, qtKey);
}

// Number-pad keys giving digits or operators (Num Lock off, the digit keys give the navigation
// keys' codes, as Windows does, and are left to the fixed table).
int KeypadVirtualKey(int qtKey, std::uint32_t evdev) {
  if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) return kNumpad0 + (qtKey - Qt::Key_0);
  switch (qtKey) {
    case Qt::Key_Asterisk: return kMultiply;
    case Qt::Key_Plus: return kAdd;
    case Qt::Key_Minus: return kSubtract;
    case Qt::Key_Slash: return kDivide;
    // The decimal key gives the layout's decimal sign, a point or a comma; the comma key that
    // some boards have beside it is the separator. Told by its character alone, a comma is
    // taken for the separator.
    case Qt::Key_Period:
    case Qt::Key_Comma:
      if (evdev == kKpComma || evdev == kKpJpComma) return kSeparator;
      if (evdev == kKpDot) return kDecimal;
      return qtKey == Qt::Key_Period ? kDecimal : kSeparator;
    default: return 0;
  }
}

// Letter and digit keys by position, for layouts whose letters are not Latin (the code then
// follows the key's place, as on Windows).
int PositionalLetterOrDigit(std::uint32_t evdev) {
  static constexpr char kRows[][11] = {"1234567890", "QWERTYUIOP", "ASDFGHJKL", "ZXCVBNM"};
  static constexpr std::uint32_t kRowStart[] = {2, 16, 30, 44};
  for (std::size_t row = 0; row < 4; ++row) {
    const std::string_view keys = kRows[row];
    if (evdev >= kRowStart[row] && evdev < kRowStart[row] + keys.size()) {
      return keys[evdev - kRowStart[row]];
    }
  }
  return 0;
}

}  // namespace

PcLayout LayoutFromKeysyms(std::uint32_t apostropheKey, std::uint32_t apostropheKeyShifted,
                           std::uint32_t backslashKey) {
  // Keysyms of printable ASCII are the characters themselves.
  if (apostropheKey == ':') return PcLayout::Japanese;
  if (apostropheKeyShifted == '@' && backslashKey == '#') return PcLayout::Uk;
  return PcLayout::Us;
}

int VirtualKeyOf(PcLayout layout, int qtKey, std::uint32_t nativeScanCode, bool keypad) {
  // Letters keep the code of the letter the layout puts on the key.
  if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) return qtKey;
  if (keypad) {
    const std::uint32_t evdev = nativeScanCode > kXkbOffset ? nativeScanCode - kXkbOffset : 0;
    if (const int vk = KeypadVirtualKey(qtKey, evdev)) return vk;
    return FixedVirtualKey(qtKey);  // Enter, and the navigation keys with Num Lock off
  }
  if (nativeScanCode > kXkbOffset) {
    const std::uint32_t evdev = nativeScanCode - kXkbOffset;
    for (auto [code, vk] : PhysicalOf(layout)) {
      if (code == evdev) return vk;
    }
    if (const int positional = PositionalLetterOrDigit(evdev)) return positional;
  }
  if (const int fixed = FixedVirtualKey(qtKey)) return fixed;
  return CharVirtualKey(layout, qtKey);
}

namespace {
// Held keys without a native code are told apart by their Qt key and their block.
int QtKeyId(int qtKey, bool keypad) {
  return keypad ? qtKey | static_cast<int>(Qt::KeypadModifier) : qtKey;
}
}  // namespace

int VirtualKeyTranslator::Press(PcLayout layout, int qtKey, std::uint32_t nativeScanCode, bool keypad) {
  const int vk = VirtualKeyOf(layout, qtKey, nativeScanCode, keypad);
  if (nativeScanCode != 0) {
    downByScanCode_[nativeScanCode] = vk;
  } else {
    downByQtKey_[QtKeyId(qtKey, keypad)] = vk;
  }
  return vk;
}

std::optional<int> VirtualKeyTranslator::ReleaseHeld(int qtKey, std::uint32_t nativeScanCode, bool keypad) {
  if (nativeScanCode != 0) {
    if (auto it = downByScanCode_.find(nativeScanCode); it != downByScanCode_.end()) {
      const int vk = it->second;
      downByScanCode_.erase(it);
      return vk;
    }
  } else if (auto it = downByQtKey_.find(QtKeyId(qtKey, keypad)); it != downByQtKey_.end()) {
    const int vk = it->second;
    downByQtKey_.erase(it);
    return vk;
  }
  return std::nullopt;
}

int VirtualKeyTranslator::Release(PcLayout layout, int qtKey, std::uint32_t nativeScanCode, bool keypad) {
  if (const auto held = ReleaseHeld(qtKey, nativeScanCode, keypad)) return *held;
  // Without a remembered press the key is told afresh; the layout tables give a key's
  // shifted and unshifted characters the same code.
  return VirtualKeyOf(layout, qtKey, nativeScanCode, keypad);
}

}  // namespace keyboard
