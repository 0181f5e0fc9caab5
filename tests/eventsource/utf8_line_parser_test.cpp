// SPDX-License-Identifier: Apache-2.0
#include "eventsource/utf8_line_parser.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace zelk::detail {
namespace {

using Lines = std::vector<std::string>;

const std::string kFFFD = "\xEF\xBF\xBD";

Lines append(UTF8LineParser& parser, std::string_view chunk) {
  Lines lines;
  EXPECT_EQ(parser.append(chunk, [&](std::string_view line) { lines.emplace_back(line); }),
            StreamOverflow::none);
  return lines;
}

// Feeds the chunks in order and collects every line they complete.
Lines appendAll(const std::vector<std::string>& chunks) {
  UTF8LineParser parser;
  Lines lines;
  for (const auto& chunk : chunks) {
    for (auto& line : append(parser, chunk)) lines.push_back(std::move(line));
  }
  return lines;
}

TEST(UTF8LineParserTest, SplitsAtLfCrAndCrlfCountedOnce) {
  EXPECT_EQ(appendAll({"a\r\nb\n"}), (Lines{"a", "b"}));
  EXPECT_EQ(appendAll({"a\r\rb\n"}), (Lines{"a", "", "b"}));
  EXPECT_EQ(appendAll({"\n\n"}), (Lines{"", ""}));
  EXPECT_EQ(appendAll({"a\n\rb\r"}), (Lines{"a", "", "b"}));
  EXPECT_EQ(appendAll({"\r\n\r\n"}), (Lines{"", ""}));
  // Lines long enough for the vectorised scan.
  const std::string l1(37, 'a'), l2(16, 'b'), l3(70, 'c');
  EXPECT_EQ(appendAll({l1 + "\r" + l2 + "\r\n" + l3 + "\n" + l1 + "\r"}), (Lines{l1, l2, l3, l1}));
}

TEST(UTF8LineParserTest, CrlfCutBetweenChunksCountsOnce) {
  UTF8LineParser parser;
  EXPECT_EQ(append(parser, "a\r"), (Lines{"a"}));
  EXPECT_EQ(append(parser, "\nb\n"), (Lines{"b"}));

  // An empty chunk between the two halves keeps the pending CR.
  EXPECT_EQ(appendAll({"a\r", "", "\n", "b\r", "c\n"}), (Lines{"a", "b", "c"}));
  // A pending CR followed by anything but LF is forgotten.
  EXPECT_EQ(appendAll({"a\r", "b\n"}), (Lines{"a", "b"}));
}

TEST(UTF8LineParserTest, KeepsUnterminatedTextForLaterChunks) {
  UTF8LineParser parser;
  EXPECT_EQ(append(parser, "abc"), Lines{});
  EXPECT_EQ(append(parser, "def"), Lines{});
  EXPECT_EQ(append(parser, "\nghi"), (Lines{"abcdef"}));
  EXPECT_EQ(append(parser, "\r"), (Lines{"ghi"}));
}

TEST(UTF8LineParserTest, SequencesCutAtEveryByteDecodeWhole) {
  // Two-, three- and four-byte characters, each cut at every position, alone and between text.
  for (const std::string character : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}) {
    const std::string stream = "x" + character + character + "y\n";
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
      for (std::size_t second = cut; second <= stream.size(); ++second) {
        const Lines lines = appendAll(
            {stream.substr(0, cut), stream.substr(cut, second - cut), stream.substr(second)});
        EXPECT_EQ(lines, (Lines{"x" + character + character + "y"}))
            << "cuts at " << cut << " and " << second << " of " << stream.size();
      }
    }
  }
}

TEST(UTF8LineParserTest, HeldBackBytesWaitForTheNextChunk) {
  UTF8LineParser parser;
  EXPECT_EQ(append(parser, "\xE2\x82"), Lines{});
  EXPECT_EQ(append(parser, ""), Lines{});
  EXPECT_EQ(append(parser, "\xAC\n"), (Lines{"\xE2\x82\xAC"}));

  // Held back one byte at a time.
  EXPECT_EQ(appendAll({"\xF0", "\x9F", "\x98", "\x80", "\n"}), (Lines{"\xF0\x9F\x98\x80"}));
}

TEST(UTF8LineParserTest, HeldBackBytesThatStayIncompleteBecomeReplacements) {
  // A lone 0xFF at the end of a chunk is held back, then replaced once more bytes follow it.
  EXPECT_EQ(appendAll({"a\xFF", "", "b\n"}), (Lines{"a" + kFFFD + "b"}));
  EXPECT_EQ(appendAll({"\xFF", "\n"}), (Lines{kFFFD}));
  // An unfinished three-byte sequence followed by a terminator: one replacement.
  EXPECT_EQ(appendAll({"\xE2\x82", "\n"}), (Lines{kFFFD}));
  // Still unfinished after a second chunk that brings a valid continuation byte only.
  EXPECT_EQ(appendAll({"\xF0", "\x9F\x98", "a\n"}), (Lines{kFFFD + "a"}));
  // Held-back bytes completed by a chunk shorter than what remains of the sequence.
  EXPECT_EQ(appendAll({"\xF0\x9F", "\x98", "\x80", "z\n"}), (Lines{"\xF0\x9F\x98\x80z"}));
}

TEST(UTF8LineParserTest, ReplacesEachMaximalSubpart) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"a\xFF"
       "b",
       "a" + kFFFD + "b"},
      {"x\xC3(", "x" + kFFFD + "("},
      {"\xC0\xAF", kFFFD + kFFFD},                          // overlong two-byte form
      {"\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},              // overlong three-byte form
      {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD},              // surrogate U+D800
      {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},  // above U+10FFFF
      {"\xF5\x80", kFFFD + kFFFD},
      {"\xF0\x9F\x98z", kFFFD + "z"},  // a truncated four-byte sequence is one subpart
      {"\xE2\x82z", kFFFD + "z"},
      {"\xE2z", kFFFD + "z"},
      {"\x80\xBF", kFFFD + kFFFD},
      // The example of the Unicode standard: 61 F1 80 80 E1 80 C2 62 80 63 80 BF 64.
      {"a\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d",
       "a" + kFFFD + kFFFD + kFFFD + "b" + kFFFD + "c" + kFFFD + kFFFD + "d"},
      // Limits of the valid ranges are kept.
      {"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
       "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
  };
  for (const auto& c : cases) {
    // Long enough that the vectorised scan and the byte-by-byte tail both see the input.
    const std::string padding(20, '.');
    EXPECT_EQ(appendAll({c.input + "\n"}), (Lines{c.expected})) << c.input;
    EXPECT_EQ(appendAll({padding + c.input + padding + "\n"}),
              (Lines{padding + c.expected + padding}))
        << c.input;
  }
}

TEST(UTF8LineParserTest, IllFormedSequenceClearsPendingCr) {
  EXPECT_EQ(appendAll({"a\r\xFF\n"}), (Lines{"a", kFFFD}));
  EXPECT_EQ(appendAll({"a\r", "\xFF", "\n"}), (Lines{"a", kFFFD}));
}

TEST(UTF8LineParserTest, ByteOrderMarkAndNulAreContent) {
  const std::string line(
      "\xEF\xBB\xBF"
      "data:\0x",
      11);
  EXPECT_EQ(appendAll({line + "\n"}), (Lines{line}));
}

TEST(UTF8LineParserTest, CloseAndResetForgetsPartialState) {
  for (const std::string pending : {"abc", "\xE2\x82", "x\r"}) {
    UTF8LineParser parser;
    append(parser, pending);
    parser.closeAndReset();
    EXPECT_EQ(append(parser, "\n"), (Lines{""})) << pending;
  }
}

TEST(UTF8LineParserTest, LineOverLimitIsReportedAndStopsTheParser) {
  UTF8LineParser parser(8);
  Lines lines;
  auto collect = [&](std::string_view line) { lines.emplace_back(line); };

  // Exactly at the limit is fine, in one chunk or built across chunks.
  EXPECT_EQ(parser.append("12345678\n1234", collect), StreamOverflow::none);
  EXPECT_EQ(parser.append("5678\n", collect), StreamOverflow::none);
  EXPECT_EQ(lines, (Lines{"12345678", "12345678"}));

  // One byte more, inside a single chunk: the lines before it still come out, nothing after.
  EXPECT_EQ(parser.append("ok\n123456789\nlater\n", collect), StreamOverflow::line);
  EXPECT_EQ(lines.back(), "ok");
  EXPECT_TRUE(parser.overflowed());
  EXPECT_EQ(parser.append("more\n", collect), StreamOverflow::line);
  EXPECT_EQ(lines.size(), 3u);

  parser.closeAndReset();
  EXPECT_FALSE(parser.overflowed());
  EXPECT_EQ(parser.append("again\n", collect), StreamOverflow::none);
  EXPECT_EQ(lines.back(), "again");
}

TEST(UTF8LineParserTest, UnterminatedLineOverLimitIsReportedBeforeItEnds) {
  UTF8LineParser parser(8);
  auto ignore = [](std::string_view) {};
  EXPECT_EQ(parser.append("12345", ignore), StreamOverflow::none);
  EXPECT_EQ(parser.append("6789", ignore), StreamOverflow::line);
}

TEST(UTF8LineParserTest, ReplacementsCountTowardTheLimit) {
  UTF8LineParser parser(3);
  Lines lines;
  auto collect = [&](std::string_view line) { lines.emplace_back(line); };
  EXPECT_EQ(parser.append("\xFF\n", collect), StreamOverflow::none);
  EXPECT_EQ(parser.append("a\xFF\n", collect), StreamOverflow::line);
  EXPECT_EQ(lines, (Lines{kFFFD}));
}

}  // namespace
}  // namespace zelk::detail
