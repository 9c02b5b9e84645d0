#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QStringList>

#include "controls/UiFonts.h"

namespace {

// Without the Windows faces, each of the windows' fonts is the face fontconfig prefers for
// Japanese text of its kind, whatever that face is called, and it draws the captions' kanji and
// kana rather than boxes.
TEST(UiFonts, EachFaceIsTheSystemsJapaneseFaceOfItsKindAndHasTheGlyphs) {
  const struct {
    QFont font;
    const char* generic;
    int pixels;
  } faces[] = {{UiFonts::PGothic(12), "sans-serif", 12},
               {UiFonts::Gothic(12), "monospace", 12},
               {UiFonts::PMincho(24), "serif", 24}};
  const QStringList japanese = QFontDatabase::families(QFontDatabase::Japanese);
  for (const auto& f : faces) {
    const QString family = UiFonts::JapaneseFamily(f.generic);
    ASSERT_FALSE(family.isEmpty()) << f.generic << ": no Japanese font installed";
    EXPECT_TRUE(japanese.contains(family)) << family.toStdString() << " is not Japanese for Qt";
    if (QFontDatabase::hasFamily(QStringLiteral("MS PGothic"))) continue;  // the Windows faces come first
    EXPECT_EQ(QFontInfo(f.font).family(), family) << f.generic;
    EXPECT_EQ(f.font.pixelSize(), f.pixels);
    const QFontMetrics metrics(f.font);
    for (const QChar c : QStringLiteral("自分相手送信ﾌｧｲﾙを選択してください。")) {
      EXPECT_TRUE(metrics.inFont(c)) << family.toStdString() << " lacks U+" << std::hex << static_cast<int>(c.unicode());
    }
  }
}

}  // namespace
