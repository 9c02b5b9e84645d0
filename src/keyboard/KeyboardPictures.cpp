#include "keyboard/KeyboardPictures.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <array>
#include <functional>

#include "keyboard/KeyboardModel.h"

namespace keyboard {
namespace {

// The panel's finish: silver casing, charcoal keys, a yellow-green backlit LCD.
const QColor kCasingLight(236, 236, 236);
const QColor kCasingShadow(128, 128, 128);
const QColor kButtonFace(70, 72, 80);
const QColor kButtonFacePressed(46, 47, 53);
const QColor kButtonSymbol(236, 236, 236);
const QColor kLcdOff(44, 52, 42);
const QColor kLcdOffPrint(58, 68, 55);
const QColor kLcdHalf(104, 124, 66);
const QColor kLcdLit(172, 204, 96);
const QColor kLcdInk(28, 44, 20);
const QColor kLcdGhost(156, 188, 88);  // unlit segments show faintly through the backlight
const QColor kLampOff(0, 0, 0);
const QColor kLampOn(128, 255, 128);

QPixmap Draw(int w, int h, qreal ratio, const std::function<void(QPainter&)>& paint,
             const QColor& fill = Qt::transparent) {
  QPixmap pixmap(qRound(w * ratio), qRound(h * ratio));
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(fill);
  QPainter p(&pixmap);
  paint(p);
  return pixmap;
}

// A raised (or, pressed, sunken) bevel around a w x h face.
void Bevel(QPainter& p, int w, int h, bool pressed, const QColor& face) {
  p.fillRect(0, 0, w, h, face);
  const QColor light = pressed ? QColor(20, 20, 24) : QColor(150, 152, 160);
  const QColor dark = pressed ? QColor(110, 112, 120) : QColor(18, 18, 22);
  p.fillRect(0, 0, w, 1, light);
  p.fillRect(0, 0, 1, h, light);
  p.fillRect(0, h - 1, w, 1, dark);
  p.fillRect(w - 1, 0, 1, h, dark);
}

void Triangle(QPainter& p, QPointF a, QPointF b, QPointF c, const QColor& colour) {
  QPainterPath path;
  path.moveTo(a);
  path.lineTo(b);
  path.lineTo(c);
  path.closeSubpath();
  p.fillPath(path, colour);
}

QFont PanelFont(int pixelSize, bool bold = true) {
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  font.setStretch(QFont::SemiCondensed);
  return font;
}

void Label(QPainter& p, const QRectF& box, const QString& text, const QColor& colour, int pixelSize = 7) {
  p.setFont(PanelFont(pixelSize));
  p.setPen(colour);
  p.drawText(box, Qt::AlignCenter, text);
}

enum class Symbol { Down, Up, Zero, Two, Twelve };

QPixmap Button(int w, qreal ratio, Symbol symbol, bool pressed) {
  return Draw(w, 13, ratio, [&](QPainter& p) {
    Bevel(p, w, 13, pressed, pressed ? kButtonFacePressed : kButtonFace);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal shift = pressed ? 1.0 : 0.0;  // the printing moves with the pushed cap
    const qreal cx = w / 2.0 + shift;
    const qreal cy = 6.5 + shift;
    switch (symbol) {
      case Symbol::Down: Triangle(p, {cx - 4, cy - 2}, {cx + 4, cy - 2}, {cx, cy + 3}, kButtonSymbol); break;
      case Symbol::Up: Triangle(p, {cx - 4, cy + 2}, {cx + 4, cy + 2}, {cx, cy - 3}, kButtonSymbol); break;
      case Symbol::Zero: Label(p, QRectF(shift, shift, w, 13), QStringLiteral("0"), kButtonSymbol, 9); break;
      case Symbol::Two: Label(p, QRectF(shift, shift, w, 13), QStringLiteral("2"), kButtonSymbol, 9); break;
      case Symbol::Twelve:
        Label(p, QRectF(shift, shift, w, 13), QStringLiteral("12"), kButtonSymbol, 9);
        break;
    }
  });
}

// A rocker switch; its lamp is the strip at (5, 6)-(16, 8) released and one pixel lower and
// further right pressed.
QPixmap PowerSwitch(qreal ratio, bool pressed, bool lit) {
  return Draw(27, 18, ratio, [&](QPainter& p) {
    Bevel(p, 27, 18, pressed, pressed ? kButtonFacePressed : kButtonFace);
    const int d = pressed ? 1 : 0;
    p.fillRect(4 + d, 5 + d, 13, 4, QColor(20, 20, 20));  // the lamp's window
    p.fillRect(5 + d, 6 + d, 11, 2, lit ? kLampOn : kLampOff);
    p.setRenderHint(QPainter::Antialiasing);
    // A power sign beside the lamp.
    p.setPen(QPen(kButtonSymbol, 1.2));
    const QRectF ring(18.5 + d, 5 + d, 6, 6);
    p.drawArc(ring, 120 * 16, 300 * 16);
    p.drawLine(QPointF(21.5 + d, 4 + d), QPointF(21.5 + d, 8 + d));
    Label(p, QRectF(1 + d, 10 + d, 18, 7), QStringLiteral("POWER"), QColor(200, 200, 200), 5);
  });
}

// Seven segments in a 10 x 17 cell: a, b, c, d, e, f, g.
constexpr std::array<QRectF, 7> kSegments = {{{2.6, 1.0, 4.8, 1.6},
                                              {7.4, 2.6, 1.6, 5.0},
                                              {7.4, 9.4, 1.6, 5.0},
                                              {2.6, 14.4, 4.8, 1.6},
                                              {1.0, 9.4, 1.6, 5.0},
                                              {1.0, 2.6, 1.6, 5.0},
                                              {2.6, 7.7, 4.8, 1.6}}};
// Which segments each digit lights, bit 0 = a ... bit 6 = g; then F.
constexpr std::array<int, 11> kDigitSegments = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D,
                                                0x7D, 0x07, 0x7F, 0x6F, 0x71};

void Segments(QPainter& p, QPointF at, int lit, bool ghosts) {
  for (int s = 0; s < 7; ++s) {
    const bool on = (lit >> s) & 1;
    if (!on && !ghosts) continue;
    p.fillRect(kSegments[static_cast<std::size_t>(s)].translated(at), on ? kLcdInk : kLcdGhost);
  }
}

// Plus and minus drawn in the same strokes as the segments.
void Sign(QPainter& p, QPointF at, bool horizontal, bool vertical) {
  const QRectF bar(1.6 + at.x(), 7.7 + at.y(), 6.8, 1.6);
  const QRectF post(4.2 + at.x(), 5.1 + at.y(), 1.6, 6.8);
  p.fillRect(bar, horizontal ? kLcdInk : kLcdGhost);
  p.fillRect(post, vertical ? kLcdInk : kLcdGhost);
}

void DrawGlyph(QPainter& p, QPointF at, int glyph) {
  if (glyph >= 0 && glyph <= kGlyphF) {
    Segments(p, at, kDigitSegments[static_cast<std::size_t>(glyph)], true);
  } else if (glyph == kGlyphUnlitDigit) {
    Segments(p, at, 0, true);
  } else if (glyph == kGlyphMinus) {
    Sign(p, at, true, false);
  } else if (glyph == kGlyphNoSign) {
    Sign(p, at, false, false);
  } else if (glyph == kGlyphPlus) {
    Sign(p, at, true, true);
  }
  // kGlyphEmpty: backlight only.
}

// The panel's fixed printing: the four labels and the unlit cells the values light up.
void PanelPrinting(QPainter& p, const QColor& ink, bool cells) {
  Label(p, QRectF(3, 4, 40, 8), QStringLiteral("OCTAVE"), ink);
  Label(p, QRectF(3, 12, 40, 8), QStringLiteral("SHIFT"), ink);
  Label(p, QRectF(3, 27, 40, 8), QStringLiteral("KEY"), ink);
  Label(p, QRectF(3, 35, 40, 8), QStringLiteral("SHIFT"), ink);
  Label(p, QRectF(78, 4, 60, 8), QStringLiteral("PITCH BEND"), ink);
  Label(p, QRectF(78, 12, 60, 8), QStringLiteral("RANGE"), ink);
  Label(p, QRectF(76, 27, 50, 8), QStringLiteral("PORTAMENTO"), ink);
  Label(p, QRectF(76, 35, 50, 8), QStringLiteral("TIME"), ink);
  p.fillRect(QRectF(3, 23.5, 158, 0.8), ink);  // a rule between the two rows
  p.fillRect(QRectF(73, 3, 0.8, 41), ink);
  if (!cells) return;
  for (QPointF at : {QPointF(44, 4), QPointF(44, 27)}) DrawGlyph(p, at, kGlyphNoSign);
  for (QPointF at : {QPointF(59, 4), QPointF(59, 27), QPointF(139, 4), QPointF(151, 4), QPointF(127, 27),
                     QPointF(139, 27), QPointF(151, 27)}) {
    DrawGlyph(p, at, kGlyphUnlitDigit);
  }
}

// Evenly lit, so that a glyph cell copied anywhere onto the panel matches what is around it.
void LcdGlass(QPainter& p, const QColor& base) {
  p.fillRect(QRectF(0, 0, 164, kPanelHeight), base);
  p.fillRect(QRectF(0, 0, 164, 1), base.darker(130));  // the glass's upper edge in shadow
}

QPixmap Keyboard(qreal ratio) {
  return Draw(kKeyboardSize.width(), kKeyboardSize.height(), ratio, [&](QPainter& p) {
    const int h = kKeyboardSize.height();
    p.fillRect(0, 0, kKeyboardSize.width(), h, Qt::white);
    for (int i = 0; i < 36; ++i) {
      const int x = i * kWhiteKeyWidth;
      p.fillRect(x, 0, 1, h, QColor(96, 96, 96));  // the gap to the left neighbour
      p.fillRect(x + 1, h - 4, kWhiteKeyWidth - 1, 4, QColor(222, 222, 222));  // the key's front
      p.fillRect(x + 1, h - 1, kWhiteKeyWidth - 1, 1, QColor(150, 150, 150));
    }
    p.fillRect(kKeyboardSize.width() - 1, 0, 1, h, QColor(96, 96, 96));
    p.fillRect(0, 0, kKeyboardSize.width(), 2, QColor(120, 20, 24));  // felt strip under the lid
    constexpr std::array<int, 5> kBlackLeft = {8, 22, 44, 57, 70};
    for (int octave = 0; octave < 5; ++octave) {
      for (int left : kBlackLeft) {
        const int x = octave * kOctaveWidth + left;
        p.fillRect(x, 0, 7, 42, Qt::black);
        p.fillRect(x + 1, 2, 1, 36, QColor(70, 70, 74));     // a glint down the left edge
        p.fillRect(x + 1, 38, 5, 3, QColor(58, 58, 62));     // the rounded front
        p.fillRect(x + 7, 2, 1, 40, QColor(150, 150, 150));  // shadow on the white key
      }
    }
  });
}

QPixmap WheelBack(qreal ratio) {
  return Draw(13, 97, ratio, [&](QPainter& p) {
    p.fillRect(0, 0, 13, 97, QColor(28, 28, 30));
    p.fillRect(0, 0, 13, 1, kCasingShadow);
    p.fillRect(0, 0, 1, 97, kCasingShadow);
    p.fillRect(0, 96, 13, 1, kCasingLight);
    p.fillRect(12, 0, 1, 97, kCasingLight);
    // Ridges of the wheel's rubber, seen through the slot.
    for (int y = 3; y < 95; y += 4) p.fillRect(2, y, 9, 1, QColor(52, 52, 56));
    p.fillRect(2, 48, 9, 1, QColor(90, 90, 96));  // centre mark
  });
}

QPixmap WheelKnob(qreal ratio) {
  return Draw(11, 15, ratio, [&](QPainter& p) {
    QLinearGradient g(0, 0, 11, 0);
    g.setColorAt(0, QColor(120, 122, 128));
    g.setColorAt(0.5, QColor(200, 202, 208));
    g.setColorAt(1, QColor(96, 98, 104));
    p.fillRect(0, 0, 11, 15, g);
    p.fillRect(0, 0, 11, 1, QColor(230, 230, 234));
    p.fillRect(0, 14, 11, 1, QColor(40, 40, 44));
    for (int y = 3; y < 13; y += 2) p.fillRect(1, y, 9, 1, QColor(70, 72, 78));
    p.fillRect(1, 7, 9, 1, QColor(200, 40, 40));  // index line
  });
}

QPixmap PortaBack(qreal ratio) {
  return Draw(43, 13, ratio, [&](QPainter& p) {
    p.fillRect(0, 0, 43, 13, QColor(34, 34, 36));
    p.fillRect(0, 0, 43, 1, kCasingShadow);
    p.fillRect(0, 0, 1, 13, kCasingShadow);
    p.fillRect(0, 12, 43, 1, kCasingLight);
    p.fillRect(42, 0, 1, 13, kCasingLight);
    p.fillRect(3, 6, 37, 1, QColor(110, 110, 114));                                  // the slot
    for (int x = 5; x <= 37; x += 8) p.fillRect(x, 2, 1, 2, QColor(110, 110, 114));  // scale ticks
  });
}

QPixmap PortaKnob(qreal ratio) {
  return Draw(9, 11, ratio, [&](QPainter& p) {
    QLinearGradient g(0, 0, 0, 11);
    g.setColorAt(0, QColor(214, 214, 220));
    g.setColorAt(1, QColor(120, 120, 128));
    p.fillRect(0, 0, 9, 11, g);
    p.fillRect(0, 10, 9, 1, QColor(40, 40, 44));
    p.fillRect(8, 0, 1, 11, QColor(40, 40, 44));
    p.fillRect(4, 1, 1, 9, QColor(30, 30, 34));  // grip line
  });
}

// Printed lines joining the button rows to the panel.
QPixmap Lines(int w, qreal ratio, std::initializer_list<int> rows, bool towardsPanelOnRight) {
  return Draw(w, 50, ratio, [&](QPainter& p) {
    for (int y : rows) {
      p.fillRect(0, y, w, 1, QColor(60, 60, 64));
      p.fillRect(0, y + 1, w, 1, kCasingLight);
      const int tick = towardsPanelOnRight ? w - 3 : 0;
      p.fillRect(tick, y - 1, 3, 3, QColor(60, 60, 64));
    }
  });
}

QPixmap Logo(qreal ratio) {
  return Draw(27, 17, ratio, [&](QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath badge;
    badge.addRoundedRect(QRectF(0.5, 0.5, 26, 16), 3, 3);
    p.fillPath(badge, QColor(30, 54, 120));
    p.setPen(QPen(QColor(230, 230, 240), 0.8));
    p.drawPath(badge);
    // A small sine wave over the name: two players' lines meeting.
    QPainterPath wave;
    wave.moveTo(3, 5);
    wave.cubicTo(7, 1, 9, 9, 13.5, 5);
    wave.cubicTo(18, 1, 20, 9, 24, 5);
    p.setPen(QPen(QColor(250, 200, 60), 1.1));
    p.drawPath(wave);
    Label(p, QRectF(0, 7, 27, 9), QStringLiteral("SNV"), QColor(240, 240, 250), 8);
  });
}

}  // namespace

KeyboardPictures::KeyboardPictures(qreal devicePixelRatio) : ratio_(devicePixelRatio) {
  const qreal r = ratio_;
  KeyboardImage = Keyboard(r);
  PANEL1 = Draw(164, kPanelHeight, r, [&](QPainter& p) {
    LcdGlass(p, kLcdOff);
    PanelPrinting(p, kLcdOffPrint, false);
  });
  PANEL2 = Draw(164, kPanelHeight, r, [&](QPainter& p) {
    LcdGlass(p, kLcdHalf);
    PanelPrinting(p, QColor(70, 86, 44), false);
  });
  PANEL3 = Draw(164, kPanelHeight + kGlyphSize.height(), r, [&](QPainter& p) {
    LcdGlass(p, kLcdLit);
    PanelPrinting(p, kLcdInk, true);
    p.fillRect(QRectF(0, kGlyphStripTop, 164, kGlyphSize.height()), kLcdLit);
    for (int g = 0; g < kGlyphCount; ++g) DrawGlyph(p, QPointF(10.0 * g, kGlyphStripTop), g);
  });
  for (int lit = 0; lit < 2; ++lit) {
    Image1[lit] = PowerSwitch(r, false, lit != 0);
    Image2[lit] = PowerSwitch(r, true, lit != 0);
  }
  DownHighImage = Button(17, r, Symbol::Down, false);
  DownLowImage = Button(17, r, Symbol::Down, true);
  UpHighImage = Button(17, r, Symbol::Up, false);
  UpLowImage = Button(17, r, Symbol::Up, true);
  ZeroHighImage = Button(13, r, Symbol::Zero, false);
  ZeroLowImage = Button(13, r, Symbol::Zero, true);
  TwoHighImage = Button(13, r, Symbol::Two, false);
  TwoLowImage = Button(13, r, Symbol::Two, true);
  TwelveHighImage = Button(17, r, Symbol::Twelve, false);
  TwelveLowImage = Button(17, r, Symbol::Twelve, true);
  wheelBack = WheelBack(r);
  wheelKnob = WheelKnob(r);
  portaBack = PortaBack(r);
  portaKnob = PortaKnob(r);
  shiftLines = Lines(19, r, {7, 30}, true);
  rightLines = Lines(20, r, {7, 38}, false);
  logo = Logo(r);
  marker = Draw(5, 3, r, [&](QPainter& p) {
    p.fillRect(0, 0, 5, 1, QColor(200, 30, 30));
    p.fillRect(1, 1, 3, 1, QColor(200, 30, 30));
    p.fillRect(2, 2, 1, 1, QColor(200, 30, 30));
  });
  bevel = Draw(166, 49, r, [&](QPainter& p) {
    p.fillRect(0, 0, 166, 1, kCasingShadow);
    p.fillRect(0, 0, 1, 49, kCasingShadow);
    p.fillRect(0, 48, 166, 1, Qt::white);
    p.fillRect(165, 0, 1, 49, Qt::white);
  });
}

}  // namespace keyboard
