#include "tools/common/json_output.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace dizedir {
namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// What a reader of the output gets: a strict parse, which refuses anything
// that is not JSON or not UTF-8.
JsonDocument ParseBack(const std::string& text) {
  return JsonDocument::parse(text);
}

TEST(JsonOutputTest, TextParsesBackWithOnlyBadSequencesReplaced) {
  const std::string r = kReplacement;
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"quotes and backslashes", "say \"hi\" from c:\\dir\\", "say \"hi\" from c:\\dir\\"},
      {"control characters", "\x01\t\n\r\b\f\x1f\x7f", "\x01\t\n\r\b\f\x1f\x7f"},
      {"a NUL inside", std::string("a\0b", 3), std::string("a\0b", 3)},
      {"CJK and a character beyond the BMP", "\xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80",
       "\xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80"},
      {"a lone continuation byte", "a\x80z", "a" + r + "z"},
      {"a byte that never starts a character", "\xFF", r},
      {"a sequence cut short at the end", "ab\xE6\x9D", "ab" + r},
      {"a sequence cut short by ASCII", "\xE6\x9D\"", r + "\""},
      {"an overlong slash", "\xC0\xAF", r + r},
      {"an encoded surrogate", "\xED\xA0\x80", r + r + r},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", r + r + r + r},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JsonDocument document;
    document["name"] = c.text;
    document["names"] = {c.text, "ok"};
    const std::string line = JsonLine(document);
    const std::string ascii = AsciiJsonLine(document);
    // A launcher reads one document per line.
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    for (unsigned char ch : ascii) {
      EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << ascii;
    }
    for (const std::string& text : {line, ascii}) {
      JsonDocument back;
      ASSERT_NO_THROW(back = ParseBack(text)) << text;
      EXPECT_EQ(back["name"], c.expected) << text;
      EXPECT_EQ(back["names"], JsonDocument({c.expected, "ok"})) << text;
    }
  }
}

// Reads BytesAsText's characters back as the bytes they stand for.
bool TextAsBytes(const std::string& text, std::string* bytes) {
  bytes->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = text[i];
    if (c < 0x80) {
      *bytes += static_cast<char>(c);
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
      *bytes += static_cast<char>(((c & 0x03) << 6) | (text[++i] & 0x3F));
    } else {
      return false;  // a character beyond U+00FF
    }
  }
  return true;
}

TEST(JsonOutputTest, BytesComeBackExactly) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"every byte value", every_byte},
      {"a GBK name", "\xB2\xB9\xB6\xA1.zip"},
      {"UTF-8 stays bytes", "\xC3\xA9"},
      {"quotes, backslashes, a NUL", std::string("\"\\\0\"", 4)},
      {"nothing", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string line = JsonLine(JsonDocument{{"digest", BytesAsText(c.bytes)}});
    JsonDocument back;
    ASSERT_NO_THROW(back = ParseBack(line)) << line;
    std::string bytes;
    ASSERT_TRUE(TextAsBytes(back["digest"].get<std::string>(), &bytes)) << line;
    EXPECT_EQ(bytes, c.bytes) << line;
  }
}

TEST(JsonOutputTest, ArrayLinesHoldOneElementEach) {
  struct Case {
    const char* name;
    JsonDocument array;
  };
  const Case cases[] = {
      {"empty", JsonDocument::array()},
      {"one", JsonDocument::array({{{"id", 5}}})},
      {"texts that look like layout",
       JsonDocument::array({{{"name", "a\n]\n"}}, {{"name", "},\n{"}}, "\n", {1, 2}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = JsonArrayLines(c.array);
    JsonDocument whole;
    ASSERT_NO_THROW(whole = ParseBack(text)) << text;
    EXPECT_EQ(whole, c.array) << text;

    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), c.array.size() + 2) << text;
    EXPECT_EQ(lines.front(), "[");
    EXPECT_EQ(lines.back(), "]");
    for (size_t i = 0; i < c.array.size(); ++i) {
      std::string line = lines[i + 1];
      const bool last = i + 1 == c.array.size();
      ASSERT_EQ(!line.empty() && line.back() == ',', !last) << line;
      if (!last) line.pop_back();
      JsonDocument element;
      ASSERT_NO_THROW(element = ParseBack(line)) << line;
      EXPECT_EQ(element, c.array[i]) << line;
    }
  }
}

}  // namespace
}  // namespace dizedir
