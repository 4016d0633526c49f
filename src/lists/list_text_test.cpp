#include "lists/list_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dizedir {
namespace {

TEST(ScrambleTest, ShiftsByPositionAndRoundTripsEveryByte) {
  EXPECT_EQ(Scramble("abc"), "\x6B\x6D\x6F");
  // Position 3 starts the 10, 11, 12 pattern over.
  EXPECT_EQ(Scramble("aaaa"), "\x6B\x6C\x6D\x6B");

  // Every byte value at every phase of the pattern, wrapping past 0xFF.
  std::string all;
  for (int phase = 0; phase < 3; ++phase) {
    if (phase) all += 'x';
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  }
  const std::string scrambled = Scramble(all);
  ASSERT_EQ(scrambled.size(), all.size());
  EXPECT_EQ(Unscramble(scrambled), all);
  EXPECT_EQ(static_cast<uint8_t>(Scramble("\xFF")[0]), 9);
}

TEST(ScrambleTest, PrintableTextHasNoSeparatorsAfterScrambling) {
  std::string printable;
  for (int round = 0; round < 3; ++round) {
    for (char c = 0x20; c <= 0x7E; ++c) printable += c;
    printable += ' ';  // shift each character into a new phase
  }
  const std::string scrambled = Scramble(printable);
  EXPECT_EQ(scrambled.find_first_of(std::string(" \r\n", 3)),
            std::string::npos);
}

TEST(SplitListLinesTest, FollowsBoundedLineReads) {
  const std::string long_line(10239, 'x');
  struct Case {
    std::string name;
    std::string data;
    size_t bound;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"empty file", "", kListLineBound, {}},
      {"terminators kept, no line after the last",
       "a\r\r\nb\nc\r\n",
       kListLineBound,
       {"a\r\r\n", "b\n", "c\r\n"}},
      {"last line without terminator", "a\nb", kListLineBound, {"a\n", "b"}},
      {"empty lines", "\n\r\r\n", kListLineBound, {"\n", "\r\r\n"}},
      {"line of bound - 1 bytes arrives as two",
       long_line + "\r\r\n",
       kListLineBound,
       {long_line, "\r\r\n"}},
      {"line that fits", std::string(1022, 'y') + "\n", 1024,
       {std::string(1022, 'y') + "\n"}},
      {"short bound splits", "abcdefg\n", 4, {"abc", "def", "g\n"}},
      {"text after a NUL is lost up to the line end",
       std::string("ab\0cd\nef\n", 9),
       kListLineBound,
       {"ab", "ef\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SplitListLines(c.data, c.bound), c.lines);
  }
}

TEST(ListTextTest, CutAtLineEndStopsAtFirstCrOrLf) {
  EXPECT_EQ(CutAtLineEnd("abc\r\r\n"), "abc");
  EXPECT_EQ(CutAtLineEnd("abc\ndef\r"), "abc");
  EXPECT_EQ(CutAtLineEnd("abc"), "abc");
  EXPECT_EQ(CutAtLineEnd("\r\n"), "");
}

TEST(ListTextTest, StampAndGuidTextForms) {
  LocalTime t;
  t.year = 2009;
  t.month = 3;
  t.day = 7;
  t.hour = 4;
  t.minute = 5;
  t.second = 9;
  EXPECT_EQ(FormatStamp(t), "2009-03-07 04:05:09");

  // Little-endian first three fields, the last eight bytes in stored order.
  const std::array<uint8_t, 16> guid = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A,
                                        0xF0, 0xDE, 0x01, 0x23, 0x45, 0x67,
                                        0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(FormatGuid(guid), "12345678-9ABC-DEF0-0123-456789ABCDEF");
}

}  // namespace
}  // namespace dizedir
