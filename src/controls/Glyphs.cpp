#include "controls/Glyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <functional>

#include "controls/UiFonts.h"

namespace {

const QColor kInk{0x10, 0x10, 0x10};
const QColor kDigitYellow{0xF0, 0xD0, 0x00};
const QColor kDigitEdge{0x70, 0x58, 0x00};
const QColor kLabelInk{0x00, 0x00, 0x80};

QPixmap Paint(QSize size, qreal ratio, const std::function<void(QPainter&)>& draw) {
  QPixmap pixmap(size * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  draw(p);
  return pixmap;
}

void Letters(QPainter& p, const QString& text, const QColor& colour, int pixels, bool bold = true) {
  QFont f = UiFonts::PGothic(pixels);
  f.setBold(bold);
  f.setFamilies({QStringLiteral("DejaVu Sans"), f.family()});
  p.setFont(f);
  p.setPen(colour);
  p.drawText(QRect(0, 0, 16, 16), Qt::AlignCenter, text);
}

void OutlinedDigit(QPainter& p, char digit) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPixelSize(15);
  f.setBold(true);
  QPainterPath path;
  const QFontMetricsF m(f);
  const QString text(QChar::fromLatin1(digit));
  const qreal x = (16 - m.horizontalAdvance(text)) / 2;
  path.addText(x, 8 + (m.ascent() - m.descent()) / 2, f, text);
  p.setPen(QPen(kDigitEdge, 1.2));
  p.setBrush(kDigitYellow);
  p.drawPath(path);
}

void Dot(QPainter& p, const QColor& colour) {
  QRadialGradient g(QPointF(6, 6), 7);
  g.setColorAt(0, colour.lighter(170));
  g.setColorAt(1, colour);
  p.setPen(QPen(colour.darker(160), 1));
  p.setBrush(g);
  p.drawEllipse(QRectF(3, 3, 10, 10));
}

void EighthNote(QPainter& p) {
  p.setPen(Qt::NoPen);
  p.setBrush(kInk);
  p.save();
  p.translate(6, 12.5);
  p.rotate(-20);
  p.drawEllipse(QRectF(-3.2, -2.2, 6.4, 4.4));
  p.restore();
  p.setPen(QPen(kInk, 1.4));
  p.drawLine(QPointF(8.7, 11.5), QPointF(8.7, 2));
  QPainterPath flag;
  flag.moveTo(8.7, 2);
  flag.cubicTo(10.5, 4.5, 13.5, 5, 12, 9.5);
  p.setBrush(Qt::NoBrush);
  p.drawPath(flag);
}

void PianoKeys(QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(kInk);
  p.setBrush(Qt::white);
  for (int i = 0; i < 4; ++i) p.drawRect(1 + i * 3 + i, 3, 3, 10);
  p.setBrush(kInk);
  for (int x : {3, 7, 11}) p.drawRect(x, 3, 2, 6);
}

void TwoSpeakers(QPainter& p) {
  auto speaker = [&p](qreal x, qreal y) {
    QPainterPath s;
    s.moveTo(x, y + 2);
    s.lineTo(x + 2, y + 2);
    s.lineTo(x + 5, y - 1);
    s.lineTo(x + 5, y + 8);
    s.lineTo(x + 2, y + 5);
    s.lineTo(x, y + 5);
    s.closeSubpath();
    p.setPen(QPen(kInk, 0.8));
    p.setBrush(QColor(0x60, 0x60, 0x60));
    p.drawPath(s);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(x + 4, y, 4, 7), -60 * 16, 120 * 16);
  };
  speaker(0.5, 2);
  speaker(7.5, 7);
}

void Cross(QPainter& p) {
  p.setPen(QPen(QColor(0xC0, 0x00, 0x00), 2.4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(4, 4), QPointF(12, 12));
  p.drawLine(QPointF(12, 4), QPointF(4, 12));
}

void DrawToolbar(QPainter& p, Glyphs::Toolbar glyph) {
  using Glyphs::Toolbar;
  switch (glyph) {
    case Toolbar::EighthNote: EighthNote(p); break;
    case Toolbar::PianoKeys: PianoKeys(p); break;
    case Toolbar::RedDot: Dot(p, QColor(0xE0, 0x00, 0x00)); break;
    case Toolbar::LettersGm: Letters(p, QStringLiteral("GM"), QColor(0x00, 0x00, 0xA0), 10); break;
    case Toolbar::TwoSpeakers: TwoSpeakers(p); break;
    case Toolbar::Digit1: OutlinedDigit(p, '1'); break;
    case Toolbar::Digit2: OutlinedDigit(p, '2'); break;
    case Toolbar::Digit3: OutlinedDigit(p, '3'); break;
    case Toolbar::Digit4: OutlinedDigit(p, '4'); break;
    case Toolbar::Digit5: OutlinedDigit(p, '5'); break;
    case Toolbar::LetterW: Letters(p, QStringLiteral("W"), QColor(0x00, 0x60, 0x00), 13); break;
    case Toolbar::Cross: Cross(p); break;
    case Toolbar::BlackDot: Dot(p, QColor(0x20, 0x20, 0x20)); break;
    case Toolbar::LetterC: Letters(p, QStringLiteral("C"), QColor(0x00, 0x40, 0x90), 13); break;
  }
}

}  // namespace

namespace Glyphs {

QPixmap ToolbarPixmap(Toolbar glyph, qreal ratio) {
  return Paint(kToolbarGlyph, ratio, [glyph](QPainter& p) { DrawToolbar(p, glyph); });
}

QIcon ToolbarIcon(Toolbar glyph) {
  QIcon icon;
  icon.addPixmap(ToolbarPixmap(glyph, 1));
  icon.addPixmap(ToolbarPixmap(glyph, 2));
  return icon;
}

QPixmap RowLabel(const QString& text, QSize size, qreal ratio) {
  return Paint(size, ratio, [&](QPainter& p) {
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(10);
    f.setBold(true);
    p.setFont(f);
    p.setPen(kLabelInk);
    p.drawText(QRect(QPoint(0, 0), size), Qt::AlignLeft | Qt::AlignVCenter, text);
  });
}

QPixmap ColourBar(const QColor& colour, QSize size, qreal ratio) {
  return Paint(size, ratio, [&](QPainter& p) {
    QLinearGradient g(0, 0, 0, size.height());
    g.setColorAt(0, colour.lighter(140));
    g.setColorAt(1, colour.darker(120));
    p.setPen(QPen(colour.darker(170), 1));
    p.setBrush(g);
    p.drawRect(QRectF(0.5, 0.5, size.width() - 1, size.height() - 1));
  });
}

QPixmap PartName(const QString& name, QSize size, qreal ratio) {
  return Paint(size, ratio, [&](QPainter& p) {
    QFont f = UiFonts::PGothic(12);
    f.setBold(true);
    p.setFont(f);
    p.setPen(kInk);
    p.drawText(QRect(QPoint(0, 0), size), Qt::AlignLeft | Qt::AlignVCenter, name);
  });
}

QPixmap ProgramIconPixmap(int size, qreal ratio) {
  return Paint(QSize(size, size), ratio, [size](QPainter& p) {
    p.scale(size / 32.0, size / 32.0);
    QLinearGradient g(0, 0, 0, 32);
    g.setColorAt(0, QColor(0x30, 0x60, 0xC0));
    g.setColorAt(1, QColor(0x10, 0x20, 0x60));
    p.setPen(QPen(QColor(0x08, 0x10, 0x30), 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(0.5, 0.5, 31, 31), 5, 5);
    // Keys along the bottom, a note above them, and the line between two players.
    p.setPen(QPen(Qt::black, 0.8));
    p.setBrush(Qt::white);
    for (int i = 0; i < 6; ++i) p.drawRect(QRectF(3 + i * 4.3, 21, 4.3, 8));
    p.setBrush(Qt::black);
    for (int i : {0, 1, 3, 4}) p.drawRect(QRectF(5.8 + i * 4.3, 21, 2.6, 4.8));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xFF, 0xE0, 0x40));
    p.drawEllipse(QRectF(7, 12.5, 6, 4.5));
    p.setPen(QPen(QColor(0xFF, 0xE0, 0x40), 1.6));
    p.drawLine(QPointF(12.3, 14.5), QPointF(12.3, 3.5));
    p.drawLine(QPointF(12.3, 3.5), QPointF(16.5, 6.5));
    p.setPen(QPen(QColor(0x80, 0xFF, 0x90), 1.4));
    QPainterPath wave;
    wave.moveTo(18, 12);
    wave.lineTo(21, 8);
    wave.lineTo(24, 14);
    wave.lineTo(27, 9);
    wave.lineTo(29, 12);
    p.setBrush(Qt::NoBrush);
    p.drawPath(wave);
  });
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64}) {
    icon.addPixmap(ProgramIconPixmap(size, 1));
    icon.addPixmap(ProgramIconPixmap(size, 2));
  }
  return icon;
}

}  // namespace Glyphs
