#include <gtest/gtest.h>

#include "keyboard/KeyboardModel.h"
#include "keyboard/VirtualKeys.h"

using namespace keyboard;

namespace {

// XKB keycodes (evdev + 8) of the keys the tests press.
enum Xkb : std::uint32_t {
  kX1 = 10,
  kXMinus = 20,
  kXEqual = 21,
  kXQ = 24,
  kXLeftBrace = 34,
  kXRightBrace = 35,
  kXA = 38,
  kXSemicolon = 47,
  kXApostrophe = 48,
  kXGrave = 49,
  kXBackslash = 51,
  kXZ = 52,
  kXComma = 59,
  kXDot = 60,
  kXSlash = 61,
  kX102nd = 94,
  kXRo = 97,
  kXYen = 132,
  // The number pad.
  kXKpAsterisk = 63,
  kXKp7 = 79,
  kXKp8 = 80,
  kXKpMinus = 82,
  kXKp5 = 84,
  kXKpPlus = 86,
  kXKp1 = 87,
  kXKp0 = 90,
  kXKpDot = 91,
  kXKpJpComma = 103,
  kXKpEnter = 104,
  kXKpSlash = 106,
  kXKpComma = 129,
};

struct Case {
  PcLayout layout;
  int qtKey;
  std::uint32_t scan;
  int vk;
  const char* what;
};

TEST(VirtualKeyTranslation, UsJapaneseAndUkLayouts) {
  using L = PcLayout;
  const Case cases[] = {
      // Letters keep their codes on every layout, whatever the key's place.
      {L::Us, Qt::Key_A, kXA, 0x41, "A"},
      {L::Japanese, Qt::Key_Z, kXZ, 0x5A, "Z"},
      {L::Us, Qt::Key_A, kXQ, 0x41, "A on an AZERTY-like key place"},
      {L::Us, 0x0444 /* Cyrillic ef */, kXA, 0x41, "a non-Latin letter by its place"},
      // US punctuation.
      {L::Us, Qt::Key_Semicolon, kXSemicolon, 0xBA, "US ;"},
      {L::Us, Qt::Key_Colon, kXSemicolon, 0xBA, "US Shift+; is the same key"},
      {L::Us, Qt::Key_Apostrophe, kXApostrophe, 0xDE, "US '"},
      {L::Us, Qt::Key_BracketRight, kXRightBrace, 0xDD, "US ]"},
      {L::Us, Qt::Key_Comma, kXComma, 0xBC, "US ,"},
      {L::Us, Qt::Key_Less, kXComma, 0xBC, "US <"},
      {L::Us, Qt::Key_Period, kXDot, 0xBE, "US ."},
      {L::Us, Qt::Key_Slash, kXSlash, 0xBF, "US /"},
      {L::Us, Qt::Key_QuoteLeft, kXGrave, 0xC0, "US `"},
      {L::Us, Qt::Key_Exclam, kX1, 0x31, "US Shift+1"},
      // Japanese 106/109: the same places carry other codes.
      {L::Japanese, Qt::Key_Semicolon, kXSemicolon, 0xBB, "JP ; right of L"},
      {L::Japanese, Qt::Key_Plus, kXSemicolon, 0xBB, "JP Shift+;"},
      {L::Japanese, Qt::Key_Colon, kXApostrophe, 0xBA, "JP :"},
      {L::Japanese, Qt::Key_Asterisk, kXApostrophe, 0xBA, "JP Shift+:"},
      {L::Japanese, Qt::Key_BracketRight, kXBackslash, 0xDD, "JP ] right of :"},
      {L::Japanese, Qt::Key_At, kXLeftBrace, 0xC0, "JP @ right of P"},
      {L::Japanese, Qt::Key_BracketLeft, kXRightBrace, 0xDB, "JP ["},
      {L::Japanese, Qt::Key_AsciiCircum, kXEqual, 0xDE, "JP ^"},
      {L::Japanese, Qt::Key_Minus, kXMinus, 0xBD, "JP -"},
      {L::Japanese, Qt::Key_Backslash, kXYen, 0xDC, "JP yen key (XKB gives a backslash)"},
      {L::Japanese, Qt::Key_Backslash, kXRo, 0xE2, "JP ro key"},
      {L::Japanese, Qt::Key_Comma, kXComma, 0xBC, "JP ,"},
      {L::Japanese, Qt::Key_QuoteDbl, kX1 + 1, 0x32, "JP Shift+2"},
      // UK: the key left of 1 is the only one giving 0xDF.
      {L::Uk, Qt::Key_QuoteLeft, kXGrave, 0xDF, "UK `"},
      {L::Uk, Qt::Key_NumberSign, kXBackslash, 0xDE, "UK #"},
      {L::Uk, Qt::Key_Apostrophe, kXApostrophe, 0xC0, "UK '"},
      {L::Uk, Qt::Key_Backslash, kX102nd, 0xDC, "UK backslash left of Z"},
      // Without a native scan code, the character alone tells the key, shifted or not.
      {L::Us, Qt::Key_Semicolon, 0, 0xBA, "US ; by character"},
      {L::Us, Qt::Key_Colon, 0, 0xBA, "US : by character"},
      {L::Us, Qt::Key_Greater, 0, 0xBE, "US > by character"},
      {L::Us, Qt::Key_BraceRight, 0, 0xDD, "US } by character"},
      {L::Japanese, Qt::Key_Colon, 0, 0xBA, "JP : by character"},
      {L::Japanese, Qt::Key_Semicolon, 0, 0xBB, "JP ; by character"},
      {L::Japanese, Qt::Key_Asterisk, 0, 0xBA, "JP * by character"},
      {L::Japanese, Qt::Key_yen, 0, 0xDC, "JP yen by character"},
      {L::Japanese, Qt::Key_Underscore, 0, 0xE2, "JP _ by character"},
      {L::Uk, Qt::Key_sterling, 0, 0x33, "UK pound sign is Shift+3"},
      {L::Us, Qt::Key_Space, 0, 0x20, "space"},
      {L::Us, Qt::Key_F5, 0, 0x74, "F5"},
      {L::Us, Qt::Key_Shift, 0, 0x10, "Shift"},
      {L::Us, Qt::Key_unknown, 0, 0, "a key without a code"},
  };
  for (const Case& c : cases) EXPECT_EQ(VirtualKeyOf(c.layout, c.qtKey, c.scan, false), c.vk) << c.what;
}

TEST(VirtualKeyTranslation, NumberPadKeysHaveTheirOwnCodesAndPlayNothing) {
  using L = PcLayout;
  const Case cases[] = {
      {L::Us, Qt::Key_0, kXKp0, 0x60, "0"},
      {L::Us, Qt::Key_1, kXKp1, 0x61, "1"},
      {L::Japanese, Qt::Key_5, kXKp5, 0x65, "5"},
      {L::Uk, Qt::Key_7, kXKp7, 0x67, "7"},
      {L::Us, Qt::Key_8, kXKp8, 0x68, "8"},
      {L::Us, Qt::Key_9, 0, 0x69, "9 by character"},
      {L::Us, Qt::Key_Asterisk, kXKpAsterisk, 0x6A, "US *"},
      {L::Japanese, Qt::Key_Asterisk, kXKpAsterisk, 0x6A, "JP * (the main block's is 0xBA)"},
      {L::Japanese, Qt::Key_Asterisk, 0, 0x6A, "JP * by character"},
      {L::Us, Qt::Key_Plus, kXKpPlus, 0x6B, "+"},
      {L::Japanese, Qt::Key_Plus, kXKpPlus, 0x6B, "JP + (the main block's is 0xBB)"},
      {L::Us, Qt::Key_Minus, kXKpMinus, 0x6D, "-"},
      {L::Us, Qt::Key_Period, kXKpDot, 0x6E, "."},
      {L::Us, Qt::Key_Period, 0, 0x6E, ". by character"},
      {L::Uk, Qt::Key_Comma, kXKpDot, 0x6E, "the decimal key giving a comma"},
      {L::Us, Qt::Key_Comma, kXKpComma, 0x6C, "the comma key beside it"},
      {L::Japanese, Qt::Key_Comma, kXKpJpComma, 0x6C, "the JP comma key"},
      {L::Us, Qt::Key_Comma, 0, 0x6C, ", by character"},
      {L::Us, Qt::Key_Slash, kXKpSlash, 0x6F, "/"},
      {L::Us, Qt::Key_Slash, 0, 0x6F, "/ by character"},
      {L::Us, Qt::Key_Enter, kXKpEnter, 0x0D, "Enter"},
      // Num Lock off: the digit keys are the navigation keys, as on Windows.
      {L::Us, Qt::Key_Home, kXKp7, 0x24, "7 as Home"},
      {L::Us, Qt::Key_Up, kXKp8, 0x26, "8 as Up"},
      {L::Us, Qt::Key_Clear, kXKp5, 0x0C, "5 as Clear"},
      {L::Us, Qt::Key_Insert, kXKp0, 0x2D, "0 as Insert"},
      {L::Us, Qt::Key_Delete, kXKpDot, 0x2E, ". as Delete"},
  };
  for (const Case& c : cases) {
    const int vk = VirtualKeyOf(c.layout, c.qtKey, c.scan, true);
    EXPECT_EQ(vk, c.vk) << c.what;
    EXPECT_EQ(NoteForVirtualKey(vk), 0) << c.what;
  }
  // The main block's keys of the same characters keep their codes (and their notes).
  EXPECT_EQ(VirtualKeyOf(PcLayout::Us, Qt::Key_Slash, kXSlash, false), 0xBF);
  EXPECT_EQ(VirtualKeyOf(PcLayout::Us, Qt::Key_Period, 0, false), 0xBE);
  EXPECT_EQ(VirtualKeyOf(PcLayout::Us, Qt::Key_1, kX1, false), 0x31);
  // Held without native codes, a number-pad key and its main-block twin are separate keys.
  VirtualKeyTranslator t;
  EXPECT_EQ(t.Press(PcLayout::Us, Qt::Key_5, 0, true), 0x65);
  EXPECT_EQ(t.Press(PcLayout::Us, Qt::Key_5, 0, false), 0x35);
  EXPECT_EQ(t.Release(PcLayout::Us, Qt::Key_5, 0, false), 0x35);
  EXPECT_EQ(t.ReleaseHeld(Qt::Key_5, 0, true), 0x65);
  EXPECT_EQ(t.ReleaseHeld(Qt::Key_5, 0, true), std::nullopt) << "released once";
}

TEST(VirtualKeyTranslation, MappedPunctuationPlaysOnTheExpectedKeys) {
  // On a US board the keys right of L and right of P's neighbour play C sharp and D sharp;
  // on a Japanese board the colon key and the bracket key right of it do.
  EXPECT_EQ(NoteForVirtualKey(VirtualKeyOf(PcLayout::Us, Qt::Key_Semicolon, kXSemicolon, false)), 73);
  EXPECT_EQ(NoteForVirtualKey(VirtualKeyOf(PcLayout::Us, Qt::Key_BracketRight, kXRightBrace, false)), 75);
  EXPECT_EQ(NoteForVirtualKey(VirtualKeyOf(PcLayout::Japanese, Qt::Key_Colon, kXApostrophe, false)), 73);
  EXPECT_EQ(NoteForVirtualKey(VirtualKeyOf(PcLayout::Japanese, Qt::Key_BracketRight, kXBackslash, false)),
            75);
  EXPECT_EQ(NoteForVirtualKey(VirtualKeyOf(PcLayout::Japanese, Qt::Key_Semicolon, kXSemicolon, false)), 0);
  EXPECT_EQ(NoteForVirtualKey(VirtualKeyOf(PcLayout::Uk, Qt::Key_QuoteLeft, kXGrave, false)), 74);
}

TEST(VirtualKeyTranslation, ReleaseMatchesItsPressWhenShiftChangesTheCharacter) {
  VirtualKeyTranslator t;
  // With a scan code: ";" pressed on a JP board, released as "+" after Shift went down.
  EXPECT_EQ(t.Press(PcLayout::Japanese, Qt::Key_Semicolon, kXSemicolon, false), 0xBB);
  EXPECT_EQ(t.Release(PcLayout::Japanese, Qt::Key_Plus, kXSemicolon, false), 0xBB);
  // The layout switched while the key was held: the release still gives the press's code.
  EXPECT_EQ(t.Press(PcLayout::Us, Qt::Key_Apostrophe, kXApostrophe, false), 0xDE);
  EXPECT_EQ(t.Release(PcLayout::Japanese, Qt::Key_Colon, kXApostrophe, false), 0xDE);
  // Without a scan code the shifted character is the same key.
  EXPECT_EQ(t.Press(PcLayout::Us, Qt::Key_Comma, 0, false), 0xBC);
  EXPECT_EQ(t.Release(PcLayout::Us, Qt::Key_Less, 0, false), 0xBC);
  // A release never seen pressed is told afresh.
  EXPECT_EQ(t.Release(PcLayout::Us, Qt::Key_Period, kXDot, false), 0xBE);
}

TEST(VirtualKeyTranslation, LayoutFromWhatTheKeymapPutsOnTwoKeys) {
  EXPECT_EQ(LayoutFromKeysyms('\'', '"', '\\'), PcLayout::Us);
  EXPECT_EQ(LayoutFromKeysyms(':', '*', ']'), PcLayout::Japanese);
  EXPECT_EQ(LayoutFromKeysyms('\'', '@', '#'), PcLayout::Uk);
  EXPECT_EQ(LayoutFromKeysyms(0xE4 /* a umlaut, German */, 0xC4, '#'), PcLayout::Us);
  EXPECT_EQ(LayoutFromKeysyms(0, 0, 0), PcLayout::Us);
}

}  // namespace
