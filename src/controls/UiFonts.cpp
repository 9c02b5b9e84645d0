#include "controls/UiFonts.h"

#include <QFontDatabase>
#include <QStringList>

namespace {

QFont Make(const QString& windowsFace, const QStringList& standIns, int pixels) {
  const QStringList installed = QFontDatabase::families();
  QString family = standIns.isEmpty() ? windowsFace : standIns.back();
  if (installed.contains(windowsFace)) {
    family = windowsFace;
  } else {
    for (const QString& f : standIns) {
      if (installed.contains(f)) {
        family = f;
        break;
      }
    }
  }
  QFont font(family);
  font.setPixelSize(pixels);
  // A missing glyph should come from another Japanese face, not from a Latin one.
  font.setFamilies({family, QStringLiteral("Noto Sans CJK JP")});
  return font;
}

}  // namespace

namespace UiFonts {

QFont PGothic(int pixels) {
  return Make(QStringLiteral("ＭＳ Ｐゴシック"),
              {QStringLiteral("MS PGothic"), QStringLiteral("Noto Sans CJK JP")}, pixels);
}

QFont Gothic(int pixels) {
  QFont f = Make(QStringLiteral("ＭＳ ゴシック"),
                 {QStringLiteral("MS Gothic"), QStringLiteral("Noto Sans Mono CJK JP"),
                  QStringLiteral("Noto Sans CJK JP")},
                 pixels);
  f.setStyleHint(QFont::TypeWriter);
  return f;
}

QFont PMincho(int pixels) {
  return Make(
      QStringLiteral("ＭＳ Ｐ明朝"),
      {QStringLiteral("MS PMincho"), QStringLiteral("Noto Serif CJK JP"), QStringLiteral("Noto Sans CJK JP")},
      pixels);
}

}  // namespace UiFonts
