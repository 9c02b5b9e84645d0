#include "controls/UiFonts.h"

#include <fontconfig/fontconfig.h>

#include <QFontDatabase>
#include <QStringList>
#include <memory>
#include <string>

namespace {

// The family of the first face that fontconfig offers for a pattern and that covers Japanese.
// (Its best match alone may be a Latin face when no Japanese one is installed.)
QString FirstJapanese(const std::string& pattern) {
  const std::unique_ptr<FcPattern, decltype(&FcPatternDestroy)> wanted(
      FcNameParse(reinterpret_cast<const FcChar8*>(pattern.c_str())), FcPatternDestroy);
  if (!wanted || !FcConfigSubstitute(nullptr, wanted.get(), FcMatchPattern)) return {};
  FcDefaultSubstitute(wanted.get());
  FcResult result = FcResultNoMatch;
  const std::unique_ptr<FcFontSet, decltype(&FcFontSetDestroy)> fonts(
      FcFontSort(nullptr, wanted.get(), FcFalse, nullptr, &result), FcFontSetDestroy);
  if (!fonts) return {};
  const auto* japanese = reinterpret_cast<const FcChar8*>("ja");
  for (int i = 0; i < fonts->nfont; ++i) {
    FcLangSet* langs = nullptr;
    FcChar8* family = nullptr;
    if (FcPatternGetLangSet(fonts->fonts[i], FC_LANG, 0, &langs) == FcResultMatch &&
        FcLangSetHasLang(langs, japanese) == FcLangEqual &&
        FcPatternGetString(fonts->fonts[i], FC_FAMILY, 0, &family) == FcResultMatch) {
      return QString::fromUtf8(reinterpret_cast<const char*>(family));
    }
  }
  return {};
}

// The Windows face when it is installed (by its Japanese or its Latin name), else the system's
// Japanese face of the same kind; a glyph missing from it comes from another Japanese face
// before a Latin one.
QFont Make(const QString& windowsFace, const QString& latinName, const char* generic, int pixels) {
  const QStringList installed = QFontDatabase::families();
  const QString stand = UiFonts::JapaneseFamily(generic);
  const QString sans = UiFonts::JapaneseFamily("sans-serif");
  QStringList families;
  for (const QString& f : {windowsFace, latinName}) {
    if (installed.contains(f)) families << f;
  }
  for (const QString& f : {stand, sans}) {
    if (!f.isEmpty() && !families.contains(f)) families << f;
  }
  QFont font;
  if (!families.isEmpty()) {
    font.setFamily(families.front());
    font.setFamilies(families);
  }
  font.setPixelSize(pixels);
  return font;
}

}  // namespace

namespace UiFonts {

QString JapaneseFamily(const char* generic) {
  return FirstJapanese(std::string(generic) + ":lang=ja");
}

QFont PGothic(int pixels) {
  return Make(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"), "sans-serif", pixels);
}

QFont Gothic(int pixels) {
  QFont f = Make(QStringLiteral("ＭＳ ゴシック"), QStringLiteral("MS Gothic"), "monospace", pixels);
  f.setStyleHint(QFont::TypeWriter);
  return f;
}

QFont PMincho(int pixels) {
  return Make(QStringLiteral("ＭＳ Ｐ明朝"), QStringLiteral("MS PMincho"), "serif", pixels);
}

}  // namespace UiFonts
