#include <gtest/gtest.h>

#include <random>
#include <string>
#include <variant>
#include <vector>

#include "link/WireParser.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
// A unit as the parser delivers it: a frame's message or a line's bytes.
using Unit = std::variant<ShortMessage, std::string>;

struct Collect final : WireSink {
  std::vector<Unit> units;
  void Frame(ShortMessage m) override { units.emplace_back(m); }
  void Line(QByteArrayView line) override { units.emplace_back(std::string(line.data(), line.size())); }
};

std::vector<Unit> ParseInBlocks(const Bytes& stream, const std::vector<std::size_t>& cuts,
                                WireParser* parserOut = nullptr) {
  WireParser parser;
  Collect sink;
  std::size_t at = 0;
  for (std::size_t cut : cuts) {
    parser.Feed(std::span(stream).subspan(at, cut - at), sink);
    at = cut;
  }
  parser.Feed(std::span(stream).subspan(at), sink);
  if (parserOut) *parserOut = parser;
  return sink.units;
}

struct ParseCase {
  const char* what;
  Bytes stream;
  std::vector<Unit> units;
  WireParser::State endState;
};
void PrintTo(const ParseCase& c, std::ostream* os) {
  *os << c.what;
}

class ParserEdgeCases : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParserEdgeCases, DeliversUnitsInStreamOrder) {
  const ParseCase& c = GetParam();
  WireParser parser;
  EXPECT_EQ(ParseInBlocks(c.stream, {}, &parser), c.units);
  EXPECT_EQ(parser.CurrentState(), c.endState);
}

const std::string kHiragana = "\x82\xA0";

INSTANTIATE_TEST_SUITE_P(
    Wire, ParserEdgeCases,
    ::testing::Values(ParseCase{"two frames then a one-byte line",
                                {0xFF, 0x90, 0x3C, 0x64, 0xFF, 0x80, 0x3C, 0x00, 0x41, 0x0D},
                                {ShortMessage{0x643C90}, ShortMessage{0x003C80}, std::string("A")},
                                WireParser::State::Text},
                      ParseCase{"frame right after a line in one block",
                                {0x61, 0x62, 0x63, 0x0D, 0xFF, 0xC0, 0x05, 0x00},
                                {std::string("abc"), ShortMessage{0x0005C0}},
                                WireParser::State::FrameIdle},
                      ParseCase{"modem CR LF OK CR LF gives an empty line and OK",
                                {0x0D, 0x0A, 'O', 'K', 0x0D, 0x0A},
                                {std::string(""), std::string("OK")},
                                WireParser::State::Text},
                      ParseCase{"0xFF and CR inside a frame are data",
                                {0xFF, 0xFF, 0x0D, 0x7F},
                                {ShortMessage{0x7F0DFF}},
                                WireParser::State::FrameIdle},
                      ParseCase{"double-byte character kept whole",
                                {0x82, 0xA0, 0x0D},
                                {kHiragana},
                                WireParser::State::Text},
                      ParseCase{"CR after a lone lead byte is its trail byte",
                                {0x82, 0x0D, 'x', 0x0D},
                                {std::string("\x82\x0Dx")},
                                WireParser::State::Text},
                      ParseCase{"NUL and LF between text vanish",
                                {'a', 0x00, 'b', 0x0A, 'c', 0x0D},
                                {std::string("abc")},
                                WireParser::State::Text},
                      ParseCase{"NUL or LF after a lead byte is its trail byte",
                                {0xE0, 0x00, 0x81, 0x0A, 0x0D},
                                {std::string("\xE0\x00\x81\x0A", 4)},
                                WireParser::State::Text},
                      ParseCase{"half-width katakana is a single byte",
                                {0xB1, 0x0D},
                                {std::string("\xB1")},
                                WireParser::State::Text},
                      ParseCase{"lead byte survives a frame: first text byte after it is the trail",
                                {0x82, 0xFF, 0x90, 0x40, 0x10, 0x0D, 'z', 0x0D},
                                {ShortMessage{0x104090}, std::string("\x82\x0Dz")},
                                WireParser::State::Text},
                      ParseCase{"a cut-off frame takes the next bytes, then falls back to text",
                                {0xFF, 0x90, 0x3C, 0x0D, 0x0A, 'N', 'O', 0x0D},
                                {ShortMessage{0x0D3C90}, std::string("NO")},
                                WireParser::State::Text},
                      ParseCase{"frames in a run need no switching",
                                {0xFF, 0xB0, 0x07, 0x64, 0xFF, 0xB0, 0x0A, 0x40, 0xFF, 0xE0, 0x00, 0x40},
                                {ShortMessage{0x6407B0}, ShortMessage{0x400AB0}, ShortMessage{0x4000E0}},
                                WireParser::State::FrameIdle},
                      ParseCase{"an empty block changes nothing", {}, {}, WireParser::State::Text}));

TEST(WireParser, KeepsItsStateAcrossBlocks) {
  const Bytes stream = {0xFF, 0x90, 0x3C, 0x64, 0xFF, 0x80, 0x3C, 0x00, 0x41, 0x0D};
  const std::vector<Unit> whole = ParseInBlocks(stream, {});
  EXPECT_EQ(ParseInBlocks(stream, {2, 3, 8}), whole);  // FF 90 | 3C | 64 FF 80 3C 00 | 41 0D

  WireParser parser;
  Collect sink;
  parser.Feed(std::span(stream).first(3), sink);
  EXPECT_EQ(parser.CurrentState(), WireParser::State::FrameData2);
  EXPECT_TRUE(sink.units.empty());
}

// Any stream cut into blocks anywhere gives the same units in the same order.
TEST(WireParser, AnySplitGivesTheSameUnits) {
  std::mt19937 rng(20261208);
  // Bytes weighted toward the ones with meaning, so frames, CRs and lead bytes are frequent.
  const std::vector<std::uint8_t> alphabet = {0xFF, 0x0D, 0x0A, 0x00, 0x82, 0xE0,
                                              0xA0, 0x41, 0x90, 0x3C, 0x7F};
  for (int round = 0; round < 300; ++round) {
    Bytes stream(std::uniform_int_distribution<std::size_t>(0, 400)(rng));
    for (auto& b : stream) {
      b = (rng() % 3 == 0) ? static_cast<std::uint8_t>(rng()) : alphabet[rng() % alphabet.size()];
    }
    const std::vector<Unit> whole = ParseInBlocks(stream, {});
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < stream.size(); ++i) {
      if (rng() % 5 == 0) cuts.push_back(i);
    }
    ASSERT_EQ(ParseInBlocks(stream, cuts), whole) << "round " << round;
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < stream.size(); ++i) everyByte.push_back(i);
    ASSERT_EQ(ParseInBlocks(stream, everyByte), whole) << "round " << round;
  }
}

TEST(WireParser, RandomBytesKeepLinesWithinTheCap) {
  std::mt19937 rng(7);
  WireParser parser;
  struct Check final : WireSink {
    std::size_t lines = 0;
    void Frame(ShortMessage m) override { EXPECT_EQ(m >> 24, 0u); }
    void Line(QByteArrayView line) override {
      ++lines;
      EXPECT_LE(static_cast<std::size_t>(line.size()), WireParser::kMaxLine);
    }
  } sink;
  Bytes block(1 << 16);
  for (int round = 0; round < 64; ++round) {
    for (auto& b : block) b = static_cast<std::uint8_t>(rng());
    parser.Feed(block, sink);
    EXPECT_LE(parser.PendingLineLength(), WireParser::kMaxLine);
  }
  EXPECT_GT(sink.lines, 0u);
}

TEST(WireParser, OverlongLineIsCutAtTheCapAndHandedOverOnce) {
  Bytes stream(WireParser::kMaxLine + 5000, 'x');
  stream.push_back(0x0D);
  stream.push_back('y');
  stream.push_back(0x0D);
  const std::vector<Unit> units =
      ParseInBlocks(stream, {1000, WireParser::kMaxLine, WireParser::kMaxLine + 1});
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(std::get<std::string>(units[0]), std::string(WireParser::kMaxLine, 'x'));
  EXPECT_EQ(std::get<std::string>(units[1]), "y");  // the next line is whole again
}

TEST(WireParser, DoubleByteCharacterAtTheCapIsDroppedWhole) {
  Bytes stream(WireParser::kMaxLine - 1, 'x');
  stream.insert(stream.end(), {0x82, 0xA0, 'z', 0x0D});
  const std::vector<Unit> units = ParseInBlocks(stream, {});
  ASSERT_EQ(units.size(), 1u);
  const std::string& line = std::get<std::string>(units[0]);
  EXPECT_EQ(line, std::string(WireParser::kMaxLine - 1, 'x'));
}

TEST(WireParser, FramesInsideAnOverlongLineStillPlay) {
  Bytes stream(WireParser::kMaxLine + 10, 'x');
  stream.insert(stream.end(), {0xFF, 0x90, 0x40, 0x50, 'x', 0x0D});
  const std::vector<Unit> units = ParseInBlocks(stream, {});
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(std::get<ShortMessage>(units[0]), ShortMessage{0x504090});
  EXPECT_EQ(std::get<std::string>(units[1]).size(), WireParser::kMaxLine);
}

}  // namespace
