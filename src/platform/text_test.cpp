#include "platform/text.h"

#include <string>

#include "gtest/gtest.h"
#include "platform/case_fold.h"

namespace dizedir {
namespace {

TEST(TextTest, Utf8ToUtf16ReplacesEachMalformedByte) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string wide;
    bool valid;
  } cases[] = {
      {"empty", "", u"", true},
      {"ascii", "qmz\\fodder", u"qmz\\fodder", true},
      {"two bytes", "\xC3\xA9", u"\u00E9", true},
      {"three bytes", "\xE4\xB8\xAD\xE6\x96\x87", u"\u4E2D\u6587", true},
      {"four bytes", "\xF0\x9F\x98\x80", u"\U0001F600", true},
      {"largest", "\xF4\x8F\xBF\xBF", u"\U0010FFFF", true},
      {"embedded nul", std::string("a\0b", 3), std::u16string(u"a\0b", 3), true},
      {"lone continuation", "a\x80" "b", u"a\uFFFDb", false},
      {"truncated at end", "a\xE4\xB8", u"a\uFFFD\uFFFD", false},
      {"truncated before ascii", "\xE4\xB8z", u"\uFFFD\uFFFDz", false},
      {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD", false},
      {"overlong three", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD", false},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", false},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},
      {"invalid lead", "\xFF\xFE", u"\uFFFD\uFFFD", false},
      {"replacement character itself", "a\xEF\xBF\xBD", u"a\uFFFD", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.wide) << c.name;
    EXPECT_EQ(NarrowToUtf16(c.utf8), c.wide) << c.name;
    EXPECT_EQ(IsUtf8(c.utf8), c.valid) << c.name;
    // UTF-8 is taken as it stands whatever the system's code page.
    if (c.valid) {
      EXPECT_EQ(LegacyTextToUtf8(c.utf8), c.utf8) << c.name;
    }
  }
}

TEST(TextTest, Utf16ToUtf8ReplacesUnpairedSurrogates) {
  struct Case {
    const char* name;
    std::u16string wide;
    std::string utf8;
  } cases[] = {
      {"ascii", u"patchone.ini", "patchone.ini"},
      {"bmp", u"\u00E9\u4E2D", "\xC3\xA9\xE4\xB8\xAD"},
      {"pair", u"\U0001F600", "\xF0\x9F\x98\x80"},
      {"lone high at end", u"a\xD83D", "a\xEF\xBF\xBD"},
      {"lone high before ascii", u"\xD83Dz", "\xEF\xBF\xBDz"},
      {"lone low", u"\xDE00", "\xEF\xBF\xBD"},
      {"reversed pair", u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf16ToUtf8(c.wide), c.utf8) << c.name;
    EXPECT_EQ(Utf16ToNarrow(c.wide), c.utf8) << c.name;
  }
}

TEST(TextTest, CaseInsensitiveNames) {
  struct Case {
    std::string a, b;
    bool equal;
  } cases[] = {
      {"SETTING", "setting", true},
      {"Qmz_GT", "QMZ_gt", true},
      {"a[", "A{", false},  // '[' and '{' differ by 0x20 but are no letters
      {"abc", "abcd", false},
      {"Straße", "STRAßE", true},
      {"ÀÉÎ", "àéî", true},
      {"×", "÷", false},
      {"ĀĹŹ", "āĺź", true},
      {"Ÿ", "ÿ", true},
      {"ΑΩ", "αω", true},
      {"ДЁ", "дё", true},
      {"中文", "中文", true},
      {"\xFF", "\xFE", false},
      {"\xFF", "\xFF", true},
      {"\xFF" "A", "\xFF" "a", false},
      {"\xC3", "\xC3", true},
      {"A\xEF\xBF\xBD", "a\xEF\xBF\xBD", false},  // U+FFFD itself
      {"\xEF\xBF\xBD", "\xEF\xBF\xBD", true},
      {"ß", "SS", false},
      {"A", "\xC1\x81", false},  // an overlong 'A'
      {"\xF0\x9F\x98\x80x", "\xF0\x9F\x98\x80X", true},
      {"É.pac", "é.PAC", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsIgnoreCaseUtf8(c.a, c.b), c.equal) << c.a << " " << c.b;
    // The hash key of the path lookup must agree with the comparison.
    EXPECT_EQ(CaseFoldKeyUtf8(c.a) == CaseFoldKeyUtf8(c.b), c.equal)
        << c.a << " " << c.b;
    EXPECT_EQ(EqualsIgnoreCase(Utf8ToUtf16(c.a), Utf8ToUtf16(c.b)),
              c.equal || c.a[0] == '\xFF' ||
                  c.a.find("\xEF\xBF\xBD") != std::string::npos)
        << c.a << " " << c.b;
  }
}

TEST(TextTest, CutUtf8NeverSplitsACharacter) {
  struct Case {
    std::string text;
    size_t max;
    std::string cut;
  } cases[] = {
      {"short", 255, "short"},
      {"abcdef", 3, "abc"},
      {"ab\xC3\xA9", 3, "ab"},                       // two-byte char cut in half
      {"ab\xC3\xA9", 4, "ab\xC3\xA9"},
      {"a\xE4\xB8\xAD", 3, "a"},                    // three-byte char
      {"a\xF0\x9F\x98\x80z", 4, "a"},              // four-byte char
      {"a\xF0\x9F\x98\x80z", 5, "a\xF0\x9F\x98\x80"},
      {"\x80\x80\x80\x80\x80\x80", 5, "\x80\x80"},  // malformed: bounded back-off
  };
  for (const Case& c : cases) EXPECT_EQ(CutUtf8(c.text, c.max), c.cut) << c.text;
}

}  // namespace
}  // namespace dizedir
