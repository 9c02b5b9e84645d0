#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

// The program's own pictures, drawn in code: toolbar glyphs, the part panels' label
// bitmaps and the program icon. Each is painted at its logical size for the ratio asked, so it
// stays sharp on a high-density screen.
namespace Glyphs {

enum class Toolbar {
  EighthNote,   // MIDI open/close
  PianoKeys,    // keyboard window
  RedDot,       // all notes off
  LettersGm,    // GM reset
  TwoSpeakers,  // dual play
  Digit1,
  Digit2,
  Digit3,
  Digit4,
  Digit5,    // destinations 1..5, yellow
  LetterW,   // wait for a call
  Cross,     // hang up
  BlackDot,  // COM port
  LetterC,   // clear the chat window
};

constexpr QSize kToolbarGlyph{16, 16};
QPixmap ToolbarPixmap(Toolbar glyph, qreal ratio);
QIcon ToolbarIcon(Toolbar glyph);  // at ratios 1 and 2

// Panel labels: the text of a row ("MIDIch", "Prog", ...) as the small bitmap beside it.
QPixmap RowLabel(const QString& text, QSize size, qreal ratio);
// Panel header: the part's colour bar and its name.
inline const QColor kLocalColour{0xE0, 0x20, 0x20};
inline const QColor kRemoteColour{0x10, 0xB0, 0x30};
QPixmap ColourBar(const QColor& colour, QSize size, qreal ratio);
QPixmap PartName(const QString& name, QSize size, qreal ratio);

QPixmap ProgramIconPixmap(int size, qreal ratio);
QIcon ProgramIcon();

}  // namespace Glyphs
