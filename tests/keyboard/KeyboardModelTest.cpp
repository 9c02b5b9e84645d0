#include <gtest/gtest.h>

#include <set>

#include "keyboard/KeyboardModel.h"

using namespace keyboard;

namespace {

struct Point {
  int x, y;  // keyboard-picture coordinates
  int note;
  const char* why;
};

// Points given relative to the keyboard picture; NoteAt takes window coordinates.
int At(int x, int y) {
  return NoteAt(x + kKeyboardOrigin.x(), y + kKeyboardOrigin.y());
}

TEST(KeyboardNoteAt, EdgesOfEveryRule) {
  const Point cases[] = {
      {0, 0, 36, "top left corner is the lowest C"},
      {-1, 30, kNoNote, "left of the picture"},
      {30, -1, kNoNote, "above the picture"},
      {433, 30, kNoNote, "two pixels right of the picture"},
      {432, 30, 96, "one pixel right of the picture is still the top C"},
      {432, 66, 96, "the row below the picture in the top octave"},
      {420, 0, 96, "the top C's left edge"},
      {425, 66, 96, "the top C at any height in range"},
      {425, 67, kNoNote, "below the range"},
      {5, 66, kNoNote, "the row below the picture in octave 0"},
      {5, 65, 36, "the white key's last row"},
      {83, 66, kNoNote, "the row below in octave 0's B"},
      {8, 41, 37, "C sharp's lower end"},
      {8, 42, 36, "below C sharp's end: the C under it"},
      {14, 41, 37, "C sharp's right edge"},
      {15, 41, 38, "just right of C sharp: D"},
      {7, 0, 36, "just left of C sharp: C"},
      {11, 50, 36, "C's right edge low down"},
      {12, 50, 38, "D's left edge low down"},
      {22, 10, 39, "D sharp"},
      {28, 41, 39, "D sharp's right bottom corner"},
      {29, 41, 40, "E beside D sharp"},
      {35, 60, 40, "E's right edge"},
      {36, 60, 41, "F's left edge"},
      {44, 20, 42, "F sharp"},
      {50, 42, 43, "below F sharp's right edge: G"},
      {57, 0, 44, "G sharp"},
      {63, 41, 44, "G sharp's last pixel"},
      {70, 5, 46, "A sharp"},
      {76, 41, 46, "A sharp's right bottom corner"},
      {77, 41, 47, "B"},
      {83, 0, 47, "B's right edge"},
      {84, 0, 48, "octave 1's C"},
      {84 + 8, 20, 49, "octave 1's C sharp"},
      {4 * 84 + 83, 65, 95, "the last B"},
      {4 * 84 + 76, 10, 94, "the last A sharp"},
  };
  for (const Point& c : cases) EXPECT_EQ(At(c.x, c.y), c.note) << c.why << " at " << c.x << "," << c.y;
}

TEST(KeyboardNoteAt, EveryPointOfTheKeyboardGivesAKeyOfItsOctave) {
  for (int x = 0; x <= 432; ++x) {
    for (int y = 0; y <= 65; ++y) {
      const int note = At(x, y);
      ASSERT_GE(note, 36) << x << "," << y;
      ASSERT_LE(note, 96) << x << "," << y;
      if (x < 420) {
        ASSERT_EQ((note - 36) / 12, x / 84) << x << "," << y;
      }
    }
  }
}

TEST(KeyboardMarks, SixtyOneKeysTimesTwoRectangles) {
  std::set<std::tuple<int, int, int, int>> seen;
  for (int key = 0; key < kKeyCount; ++key) {
    const bool black = IsBlackSemitone(key % 12);
    const QRect local = MarkRect(key, Side::Local);
    const QRect remote = MarkRect(key, Side::Remote);
    for (const QRect& r : {local, remote}) {
      EXPECT_EQ(r.size(), black ? QSize(3, 10) : QSize(6, 8)) << key;
      EXPECT_TRUE(KeyboardRect().contains(r)) << key;
      EXPECT_EQ(r.top() >= kWhiteMarkTop, !black) << "a mark's height tells its key colour, key " << key;
      seen.insert({r.left(), r.top(), r.width(), r.height()});
      // The mark lies on its own key: the middle of it hits that key's note.
      EXPECT_EQ(NoteAt(r.center().x(), r.center().y()), kLowestNote + key) << key;
    }
    EXPECT_EQ(remote.left(), local.left()) << key;
    EXPECT_LT(remote.bottom(), local.top()) << "remote mark above the local one, key " << key;
  }
  EXPECT_EQ(seen.size(), 122u);
}

TEST(KeyboardMarks, TableValuesInWindowCoordinates) {
  // The first C: local 3,53-9,61 and remote 3,44-9,52, moved by (46, 62).
  EXPECT_EQ(MarkRect(0, Side::Local), QRect(QPoint(49, 115), QPoint(54, 122)));
  EXPECT_EQ(MarkRect(0, Side::Remote), QRect(QPoint(49, 106), QPoint(54, 113)));
  // A sharp of octave 3: 72,25-75,35 moved by 3 * 84 + 46.
  EXPECT_EQ(MarkRect(46, Side::Local), QRect(72 + 252 + 46, 25 + 62, 3, 10));
  EXPECT_EQ(MarkRect(60, Side::Remote), QRect(3 + 420 + 46, 44 + 62, 6, 8));
}

TEST(KeyboardMarks, KeyIndexUnderShifts) {
  struct Case {
    int note, oct, key, index;
  } cases[] = {
      {36, 0, 0, 0},   {96, 0, 0, 60},  {35, 0, 0, -1},
      {97, 0, 0, -1},  {60, 1, 0, 12},  // a remote note 60 with octave shift 1 marks the second C
      {72, 1, 0, 24},                   // the local key at index 24 sounds 72 and is marked there
      {71, 1, -1, 24}, {6, -2, -6, 0},  {126, 2, 6, 60},
      {127, 2, 6, -1}, {5, -2, -6, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(KeyIndexOf(c.note, c.oct, c.key), c.index) << c.note;
}

TEST(KeyboardMarks, BothPlayersOnOneKeyAreIndependent) {
  KeyMarks marks;
  EXPECT_TRUE(marks.Set(5, Side::Local, true));
  EXPECT_TRUE(marks.Set(5, Side::Remote, true));
  EXPECT_FALSE(marks.Set(5, Side::Remote, true)) << "no change";
  EXPECT_TRUE(marks.Set(5, Side::Local, false));
  EXPECT_FALSE(marks.Has(5, Side::Local));
  EXPECT_TRUE(marks.Has(5, Side::Remote));
  EXPECT_FALSE(marks.Set(61, Side::Local, true)) << "no such key";
  EXPECT_TRUE(marks.ClearAll());
  EXPECT_FALSE(marks.Any());
}

TEST(KeyboardKeyMap, TwentyKeysAndNothingElse) {
  const std::pair<int, int> map[] = {{0x41, 56}, {0x5A, 57}, {0x53, 58}, {0x58, 59}, {0x43, 60},
                                     {0x46, 61}, {0x56, 62}, {0x47, 63}, {0x42, 64}, {0x4E, 65},
                                     {0x4A, 66}, {0x4D, 67}, {0x4B, 68}, {0xBC, 69}, {0x4C, 70},
                                     {0xBE, 71}, {0xBF, 72}, {0xBA, 73}, {0xDF, 74}, {0xDD, 75}};
  int mapped = 0;
  for (int vk = 0; vk < 256; ++vk) {
    int expected = 0;
    for (auto [code, note] : map) {
      if (code == vk) expected = note;
    }
    EXPECT_EQ(NoteForVirtualKey(vk), expected) << std::hex << vk;
    if (NoteForVirtualKey(vk) != 0) ++mapped;
  }
  EXPECT_EQ(mapped, 20);
  EXPECT_EQ(NoteForVirtualKey(0x143), 60) << "only the low 8 bits count";
}

}  // namespace
