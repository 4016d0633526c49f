#include "platform/http/header_values.h"

#include <gtest/gtest.h>

#include <optional>

namespace dizedir::http {
namespace {

TEST(HeaderValuesTest, ContentRangeAndLength) {
  struct Case {
    const char* value;
    std::optional<uint64_t> start;
    std::optional<uint64_t> total;
  };
  const Case ranges[] = {
      {"bytes 100-199/1000", 100, 1000},
      {" Bytes\t0-0/5\r\n", 0, 5},
      {"bytes */1000", std::nullopt, 1000},
      {"bytes 5-9/*", 5, std::nullopt},
      {"bytes 5-9", std::nullopt, std::nullopt},
      {"items 0-1/2", std::nullopt, std::nullopt},
      {"bytes 1x-9/10", std::nullopt, 10},
      {"bytes 0-1/18446744073709551615", 0, std::nullopt},  // 20 digits
      {"bytes 0-1/9999999999999999999", 0, 9999999999999999999ull},
  };
  for (const Case& c : ranges) {
    SCOPED_TRACE(c.value);
    const ContentRange range = ParseContentRange(c.value);
    EXPECT_EQ(range.start, c.start);
    EXPECT_EQ(range.total, c.total);
  }
  const Case lengths[] = {
      {" 1234\r\n", 1234, {}}, {"0", 0, {}}, {"", std::nullopt, {}},
      {"-1", std::nullopt, {}}, {"12 34", std::nullopt, {}},
      {"4294967296", 4294967296ull, {}},
  };
  for (const Case& c : lengths) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(ParseContentLength(c.value), c.start);
  }
  EXPECT_TRUE(StartsWithNoCase("Content-Range: x", "content-range:"));
  EXPECT_FALSE(StartsWithNoCase("HTTP", "HTTP/"));
}

}  // namespace
}  // namespace dizedir::http
