#pragma once

#include <QFont>
#include <QString>

// The windows' fonts. The program was laid out for the Japanese Windows fonts; where they are
// not installed, the face that fontconfig prefers for Japanese text of the same kind stands in
// at the same pixel sizes (Noto Sans CJK JP, IPA, VL or Takao Gothic, whichever the system has),
// so every caption is drawn, and still fits the place it was measured for.
namespace UiFonts {

QFont PGothic(int pixels);  // "ＭＳ Ｐゴシック": proportional Gothic, the windows' face
QFont Gothic(int pixels);   // "ＭＳ ゴシック": fixed-pitch Gothic, the chat window's face
QFont PMincho(int pixels);  // "ＭＳ Ｐ明朝": the about box's product name

// The installed family fontconfig chooses first for Japanese text of a generic kind
// ("sans-serif", "monospace", "serif"); empty when no installed face covers Japanese.
QString JapaneseFamily(const char* generic);

}  // namespace UiFonts
