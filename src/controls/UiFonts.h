#pragma once

#include <QFont>

// The windows' fonts. The program was laid out for the Japanese Windows fonts; where they are
// not installed, the Noto CJK faces stand in at the same pixel sizes, so every caption still
// fits the place it was measured for.
namespace UiFonts {

QFont PGothic(int pixels);  // "ＭＳ Ｐゴシック": proportional Gothic, the windows' face
QFont Gothic(int pixels);   // "ＭＳ ゴシック": fixed-pitch Gothic, the chat window's face
QFont PMincho(int pixels);  // "ＭＳ Ｐ明朝": the about box's product name

}  // namespace UiFonts
