#pragma once

#include <QColor>
#include <QRect>
#include <QSize>
#include <array>

class QPainter;

// The two liquid-crystal pictures of the level meter and the number display, drawn in code:
// black bars and figures on a turquoise ground.
namespace lcd {

inline const QColor kGround{0x73, 0xEF, 0xBD};  // light green
inline const QColor kUnlit{0x18, 0xDE, 0xBD};   // pale turquoise
inline const QColor kLit{0x00, 0x00, 0x00};

// METER: 13 × 10. Rows 0–3 the dark segment, rows 4–7 the lit segment, rows 8–9 the end cap.
inline constexpr QSize kMeterSize{13, 10};
inline constexpr QRect kDarkSegment{0, 0, 13, 4};
inline constexpr QRect kLitSegment{0, 4, 13, 4};
inline constexpr QRect kEndCap{0, 8, 13, 2};
void DrawMeter(QPainter& painter);

// NUMBER: 112 × 19, digits 0–9 at a pitch of 11 pixels, then two ground columns. Every digit
// leaves its first two columns as ground: a display copies 13 columns per digit, and the two
// columns of the next digit that ride along must look like the gap between figures.
inline constexpr int kDigitPitch = 11;
inline constexpr int kDigitBlockWidth = 13;
inline constexpr QSize kNumberSize{112, 19};

// The seven segments in a digit's cell, in the usual order a (top), b (upper right),
// c (lower right), d (bottom), e (lower left), f (upper left), g (middle).
inline constexpr std::array<QRect, 7> kSegments{{
    {4, 2, 5, 2},   // a
    {9, 4, 2, 5},   // b
    {9, 11, 2, 5},  // c
    {4, 16, 5, 2},  // d
    {2, 11, 2, 5},  // e
    {2, 4, 2, 5},   // f
    {4, 9, 5, 2},   // g
}};
// Bit s set: segment s is lit for that digit.
inline constexpr std::array<unsigned, 10> kDigitSegments{
    0b0111111, 0b0000110, 0b1011011, 0b1001111, 0b1100110,
    0b1101101, 0b1111101, 0b0000111, 0b1111111, 0b1101111,
};
void DrawNumbers(QPainter& painter);

}  // namespace lcd
