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
}

// Whether a Content-Range can be believed at all: a server's lie about its
// own range must not pass as one.
TEST(HeaderValuesTest, ContentRangeWellFormed) {
  struct Case {
    const char* value;
    bool well_formed;
    std::optional<uint64_t> end;
  };
  const Case cases[] = {
      {"bytes 100-199/1000", true, 199},
      {"bytes 5-9/*", true, 9},
      {"bytes */1000", true, std::nullopt},
      {"bytes 0-0/1", true, 0},
      {"bytes 9-5/100", false, 5},       // backwards
      {"bytes 0-1000/1000", false, 1000},  // past its total
      {"bytes 1x-9/10", false, std::nullopt},
      {"bytes 0-9/1x", false, 9},
      {"bytes -1-9/10", false, std::nullopt},
      {"bytes 0-18446744073709551615/5", false, std::nullopt},
      {"bytes */*", false, std::nullopt},
      {"bytes 5-9", false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const ContentRange range = ParseContentRange(c.value);
    EXPECT_EQ(range.well_formed, c.well_formed);
    EXPECT_EQ(range.end, c.end);
  }
}

TEST(HeaderValuesTest, CodingsAndStatusLines) {
  struct Coding {
    const char* value;
    ContentCoding coding;
  };
  const Coding codings[] = {
      {"", ContentCoding::kIdentity},
      {" identity\r\n", ContentCoding::kIdentity},
      {"GZIP", ContentCoding::kGzip},
      {"x-gzip", ContentCoding::kGzip},
      {"deflate", ContentCoding::kDeflate},
      {"br", ContentCoding::kUnsupported},
      {"gzip, deflate", ContentCoding::kUnsupported},
      {"gzipx", ContentCoding::kUnsupported},
  };
  for (const Coding& c : codings) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(ParseContentCoding(c.value), c.coding);
  }
  struct Line {
    const char* line;
    std::optional<int> status;
  };
  const Line lines[] = {
      {"HTTP/1.1 206 Partial Content\r\n", 206},
      {"HTTP/2 200\r\n", 200},
      {"http/1.0 404 Not Found", 404},
      {"HTTP/1.1 20 OK", std::nullopt},
      {"HTTP/1.1 2000 OK", std::nullopt},
      {"HTTP/1.1 -20 OK", std::nullopt},
      {"HTTP/1.1", std::nullopt},
      {"XTTP/1.1 200 OK", std::nullopt},
  };
  for (const Line& c : lines) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(ParseStatusLine(c.line), c.status);
  }
  EXPECT_FALSE(StartsWithNoCase("HTTP", "HTTP/"));
}

}  // namespace
}  // namespace dizedir::http
