#include <gtest/gtest.h>

#include "platform/ShiftJis.h"

namespace {

struct Sample {
  const char* what;
  QString text;
  QByteArray bytes;
};

class ShiftJisRoundTrip : public ::testing::TestWithParam<Sample> {};

TEST_P(ShiftJisRoundTrip, EncodesToCp932AndBack) {
  const Sample& s = GetParam();
  EXPECT_EQ(ShiftJis::Encode(s.text), s.bytes) << s.what;
  EXPECT_EQ(ShiftJis::Decode(s.bytes), s.text) << s.what;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ShiftJisRoundTrip,
    ::testing::Values(
        Sample{"ascii", QStringLiteral("hello>"), QByteArray("hello>")},
        Sample{"empty", QString(), QByteArray()},
        Sample{"kanji", QStringLiteral("接続中"), QByteArray("\x90\xDA\x91\xB1\x92\x86")},
        Sample{"half-width katakana are single bytes", QStringLiteral("ｷｰﾎﾞｰﾄﾞ"),
               QByteArray("\xB7\xB0\xCE\xDE\xB0\xC4\xDE")},
        // CP932 differs from plain Shift-JIS here: the full-width tilde and the NEC row.
        Sample{"windows-only characters", QStringLiteral("～①"), QByteArray("\x81\x60\x87\x40")},
        Sample{"mixed", QStringLiteral("abc>ﾃｽﾄです"), QByteArray("abc>\xC3\xBD\xC4\x82\xC5\x82\xB7")}));

TEST(ShiftJis, CharactersOutsideCp932BecomeQuestionMarks) {
  EXPECT_EQ(ShiftJis::Encode(QStringLiteral("a\U0001F3B9b\u00E9c")), QByteArray("a?b?c"));
}

TEST(ShiftJis, BadBytesDecodeToReplacementCharactersWithoutLosingTheRest) {
  // A lone lead byte at the end, and a lead byte followed by a byte that cannot trail.
  EXPECT_EQ(ShiftJis::Decode(QByteArray("ok\x82")), QStringLiteral("ok\uFFFD"));
  const QString mixed =
      ShiftJis::Decode(QByteArray("\x82\x0D"
                                  "A",
                                  3));
  EXPECT_TRUE(mixed.endsWith(QStringLiteral("A"))) << mixed.toStdString();
  EXPECT_TRUE(mixed.contains(QChar(0xFFFD)));
  // Bytes no CP932 character uses.
  EXPECT_EQ(ShiftJis::Decode(QByteArray("\xFD\xFE")), QStringLiteral("\uFFFD\uFFFD"));
}

TEST(ShiftJis, DecodingAnyByteStringNeverFails) {
  QByteArray all;
  for (int i = 0; i < 256; ++i) all.append(static_cast<char>(i));
  const QString text = ShiftJis::Decode(all + all);
  EXPECT_FALSE(text.isEmpty());
}

TEST(ShiftJis, LeadByteRanges) {
  struct {
    int byte;
    bool lead;
  } const cases[] = {{0x00, false}, {0x7F, false}, {0x80, false}, {0x81, true}, {0x9F, true},  {0xA0, false},
                     {0xA1, false}, {0xDF, false}, {0xE0, true},  {0xFC, true}, {0xFD, false}, {0xFF, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(ShiftJis::IsLeadByte(static_cast<std::uint8_t>(c.byte)), c.lead) << std::hex << c.byte;
  }
}

}  // namespace
