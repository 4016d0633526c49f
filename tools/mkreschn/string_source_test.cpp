#include "string_source.h"

#include <gtest/gtest.h>

#include <string>

namespace mkreschn {
namespace {

TEST(StringSourceTest, AcceptsWellFormedTables) {
  struct Case {
    std::string table;
    StringSource want;
  };
  const Case cases[] = {
      {"# comment\n\n241\tUpdate failed: \r\n249\t ...", {{241, "Update failed: "}, {249, " ..."}}},
      {"1\ta\\tb\\nc\\\\d\n", {{1, "a\tb\nc\\d"}}},
      {"0\tx\n65535\ty\n", {{0, "x"}, {65535, "y"}}},
      {"2\tGr\xc3\xb6\xc3\x9f" "e \xf0\x9f\x98\x80\n", {{2, "Gr\xc3\xb6\xc3\x9f" "e \xf0\x9f\x98\x80"}}},
      {"247\tPatch %d of %i\n", {{247, "Patch %d of %i"}}},
      {"248\t%d: %5u/%-3u KiB, %.2u KiB/s 100%%\n",
       {{248, "%d: %5u/%-3u KiB, %.2u KiB/s 100%%"}}},
      // Outside the formats a percent sign is plain text.
      {"246\t100% done %s\n", {{246, "100% done %s"}}},
      {"", {}},
  };
  for (const Case& c : cases) {
    StringSource got;
    std::string error;
    EXPECT_TRUE(ParseStringSource(c.table, &got, &error)) << c.table << ": " << error;
    EXPECT_EQ(got, c.want) << c.table;
  }
}

TEST(StringSourceTest, RefusesMalformedTables) {
  struct Case {
    std::string table;
    std::string error;  // expected start of the message
  };
  const Case cases[] = {
      {"1\ta\n1\tb\n", "line 2: string 1 defined twice"},
      {"65536\tx\n", "line 1: string ID past 65535"},
      {"-1\tx\n", "line 1: bad string ID"},
      {"12a\tx\n", "line 1: bad string ID"},
      {"\tx\n", "line 1: bad string ID"},
      {"# ok\n5 no tab\n", "line 2: expected ID<TAB>text"},
      {"5\t\n", "line 1: empty text"},
      {"5\ta\\q\n", "line 1: unknown escape"},
      {"5\ta\\\n", "line 1: backslash at the end"},
      {"5\ta\tb\n", "line 1: raw control character"},
      {"5\t\xc3\n", "line 1: text is not valid UTF-8"},
      {"5\t\xc0\xaf\n", "line 1: text is not valid UTF-8"},
      {"5\t\xed\xa0\x80\n", "line 1: text is not valid UTF-8"},
      {"247\tPatch %d\n", "line 1: format 247 must take"},
      {"247\t%d of %u\n", "line 1: format 247 must take"},
      {"247\t%s of %d\n", "line 1: unsupported conversion"},
      {"247\t%ld of %d\n", "line 1: unsupported conversion"},
      {"247\t%*d of %d\n", "line 1: unsupported conversion"},
      {"247\t%1000d of %d\n", "line 1: field width"},
      {"248\t%d %d %u %u\n", "line 1: format 248 must take"},
      {"248\t%d %u %u %u %u\n", "line 1: format 248 must take"},
      {"248\t%d %u %u %u%\n", "line 1: unsupported conversion"},
      {"1\t" + std::string(65536, 'x') + "\n", "line 1: text longer"},
  };
  for (const Case& c : cases) {
    StringSource got;
    std::string error;
    EXPECT_FALSE(ParseStringSource(c.table, &got, &error)) << c.table;
    EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.table.substr(0, 40);
  }
}

}  // namespace
}  // namespace mkreschn
