#include "lists/formatted_scanner.h"

#include <gtest/gtest.h>

#include <string>

namespace dizedir {
namespace {

TEST(FormattedScannerTest, NumbersWrapOrSaturateAsTheConversionsDo) {
  struct Case {
    std::string text;
    bool found;
    uint32_t wrapped;
    int32_t saturated;
    std::string rest;  // the next word after the number
  };
  const Case cases[] = {
      {"  42 x", true, 42, 42, "x"},
      {"12abc", true, 12, 12, "abc"},
      {"-1", true, 0xFFFFFFFFu, -1, ""},
      {"+7\t\n", true, 7, 7, ""},
      {"4294967297", true, 1, 2147483647, ""},
      {"2147483648", true, 2147483648u, 2147483647, ""},
      {"-2147483648", true, 2147483648u, -2147483647 - 1, ""},
      {"-99999999999999999999", true, 0u - 1661992959u, -2147483647 - 1, ""},
      {"+", false, 0, 0, "+"},
      {"- 5", false, 0, 0, "-"},
      {"abc 5", false, 0, 0, "abc"},
      {"", false, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FormattedScanner<char> scanner(c.text);
    ScannedDecimal d;
    ASSERT_EQ(scanner.NextDecimal(&d), c.found);
    if (c.found) {
      EXPECT_EQ(d.Wrapped(), c.wrapped);
      EXPECT_EQ(d.Saturated(), c.saturated);
    }
    EXPECT_EQ(scanner.NextWord(), c.rest);
    EXPECT_EQ(LenientInt32(std::string_view(c.text)), c.saturated);
  }
}

TEST(FormattedScannerTest, WideTextSplitsLikeNarrow) {
  FormattedScanner<char16_t> scanner(u"\v 8080,gw  main");
  ScannedDecimal d;
  ASSERT_TRUE(scanner.NextDecimal(&d));
  EXPECT_EQ(d.Saturated(), 8080);
  EXPECT_EQ(scanner.NextWord(), u",gw");
  EXPECT_EQ(scanner.NextWord(), u"main");
  EXPECT_EQ(scanner.NextWord(), u"");
  EXPECT_EQ(LenientInt32(std::u16string_view(u" -12x")), -12);
}

}  // namespace
}  // namespace dizedir
