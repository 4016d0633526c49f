#include "platform/ini_file.h"

#include <string>

#include "gtest/gtest.h"
#include "platform/text.h"

namespace dizedir {
namespace {

std::string Utf16Le(std::u16string_view text, bool bom = true) {
  std::string bytes = bom ? "\xFF\xFE" : "";
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

constexpr char16_t kServerList[] =
    u"; server list\r\n"
    u"[Region1]\r\n"
    u"list=东部,West\r\n"
    u"东部=10.0.0.1\r\n"
    u"[gateway]\r\n"
    u"West = 10.0.0.9:8080 \r\n";

TEST(IniFileTest, DetectsEncodingsAndLineEnds) {
  const std::string utf8 = Utf16ToUtf8(kServerList);
  std::string lf = utf8, cr = utf8;
  for (size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
  for (size_t at; (at = cr.find("\r\n")) != std::string::npos;) cr.erase(at + 1, 1);
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"UTF-16LE with BOM", Utf16Le(kServerList)},
      {"UTF-8 with BOM", "\xEF\xBB\xBF" + utf8},
      {"UTF-8 plain, CR LF", utf8},
      {"UTF-8 plain, LF", lf},
      {"UTF-8 plain, CR", cr},
  };
  for (const Case& c : cases) {
    const IniFile ini = IniFile::Parse(c.bytes);
    EXPECT_EQ(ini.GetString(u"Region1", u"list", u"", 1024), u"东部,West")
        << c.name;
    EXPECT_EQ(ini.GetString(u"region1", u"东部", u"", 1024), u"10.0.0.1")
        << c.name;
    EXPECT_EQ(ini.GetString(u"GATEWAY", u"west", u"", 1024), u"10.0.0.9:8080")
        << c.name;
    EXPECT_EQ(ini.GetString(u"gateway", u"; server list", u"none", 1024),
              u"none")
        << c.name;
  }
  // Without a BOM, UTF-16 is not guessed: the keys are simply not found.
  EXPECT_EQ(IniFile::Parse(Utf16Le(kServerList, false))
                .GetString(u"Region1", u"list", u"x", 1024),
            u"x");
}

TEST(IniFileTest, GetStringFollowsTheProfileRules) {
  const IniFile ini = IniFile::Parse(
      "[url]\n"
      "url=first\n"
      "URL=second\n"
      "[Url]\n"
      "other=in the second section of that name\n"
      "url=third\n"
      "[ spaced ]\n"
      "\t key \t=\t  value with  inner  blanks \t\n"
      "dq=\"quoted \"\n"
      "sq=' single'\n"
      "mixed=\"not closed'\n"
      "lone=\"\n"
      "inner=a\"b\"\n"
      "empty=\n"
      "noequals\n"
      "  ;comment=hidden\n"
      "semi=a;b\n"
      "[broken\n"
      "after=broken header\n"
      "[Long]\n"
      "text=0123456789\n");
  struct Case {
    std::u16string_view section, key, default_value;
    size_t buffer_units;
    std::u16string_view expected;
  } cases[] = {
      {u"url", u"url", u"", 1024, u"first"},
      {u"URL", u"Url", u"", 1024, u"first"},
      {u"url", u"other", u"dflt", 1024, u"dflt"},  // only the first [url]
      {u"spaced", u"key", u"", 1024, u"value with  inner  blanks"},
      {u"spaced", u"dq", u"", 1024, u"quoted "},
      {u"spaced", u"sq", u"", 1024, u" single"},
      {u"spaced", u"mixed", u"", 1024, u"\"not closed'"},
      {u"spaced", u"lone", u"", 1024, u"\""},
      {u"spaced", u"inner", u"", 1024, u"a\"b\""},
      {u"spaced", u"empty", u"dflt", 1024, u""},
      {u"spaced", u"noequals", u"dflt", 1024, u""},
      {u"spaced", u";comment", u"dflt", 1024, u"dflt"},
      {u"spaced", u"semi", u"", 1024, u"a;b"},
      {u"spaced", u"[broken", u"dflt", 1024, u""},
      {u"spaced", u"after", u"", 1024, u"broken header"},
      {u"missing", u"url", u"dflt  \t", 1024, u"dflt"},
      {u"Long", u"text", u"", 11, u"0123456789"},
      {u"Long", u"text", u"", 5, u"0123"},
      {u"Long", u"text", u"", 1, u""},
      {u"Long", u"text", u"", 0, u""},
      {u"Long", u"absent", u"default", 4, u"def"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ini.GetString(c.section, c.key, c.default_value, c.buffer_units),
              c.expected)
        << Utf16ToUtf8(c.section) << "/" << Utf16ToUtf8(c.key) << " "
        << c.buffer_units;
  }
}

TEST(IniFileTest, GetIntConvertsLikeAtoi) {
  const IniFile ini = IniFile::Parse(
      "[SETTING]\n"
      "SP=3\n"
      "neg=-7\n"
      "plus=+12\n"
      "lead=   42abc\n"
      "quoted=\"5\"\n"
      "junk=abc\n"
      "empty=\n"
      "sign=-\n"
      "big=99999999999\n"
      "small=-99999999999\n"
      "min=-2147483648\n");
  struct Case {
    std::u16string_view key;
    int default_value;
    int expected;
  } cases[] = {
      {u"sp", -1, 3},         {u"neg", -1, -7},
      {u"plus", -1, 12},      {u"lead", -1, 42},
      {u"quoted", -1, 5},     {u"junk", -1, 0},
      {u"empty", -1, 0},      {u"sign", -1, 0},
      {u"big", -1, INT_MAX},  {u"small", -1, INT_MIN},
      {u"min", -1, INT_MIN},  {u"absent", -1, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ini.GetInt(u"setting", c.key, c.default_value), c.expected)
        << Utf16ToUtf8(c.key);
  }
  EXPECT_EQ(ini.GetInt(u"other", u"SP", 9), 9);
}

TEST(IniFileTest, HostileBytesNeverBreakTheReader) {
  const std::string cases[] = {
      std::string("[a]\nk=v\0w\n", 11),
      Utf16Le(u"[a]\nk=v") + "x",  // odd byte count after the BOM
      "\xFF\xFE",
      "\xFF",
      "[a]\nk=" + std::string(1 << 20, 'x'),
      "[a]\n\xC0\xAF=\xFF\n",
      "[]\n=\n[\n]\n",
  };
  for (const std::string& bytes : cases) {
    const IniFile ini = IniFile::Parse(bytes);
    EXPECT_LE(ini.GetString(u"a", u"k", u"", 1024).size(), 1023u);
    ini.GetInt(u"a", u"k", 0);
  }
  EXPECT_EQ(IniFile::Parse(cases[0]).GetString(u"a", u"k", u"", 1024),
            std::u16string(u"v\0w", 3));
  EXPECT_EQ(IniFile::Parse(cases[1]).GetString(u"a", u"k", u"", 1024), u"v");
}

TEST(IniFileTest, LoadReadsThroughTheEnvAndTreatsAbsenceAsEmpty) {
  Env* env = Env::Default();
  const std::string dir = ::testing::TempDir() + "ini_file_test";
  ASSERT_TRUE(env->CreateDirectories(dir).ok());
  ASSERT_TRUE(
      WriteFileAtomically(env, dir + "/ng.ini", "[SETTING]\r\nSP=2\r\n").ok());
  IniFile ini;
  ASSERT_TRUE(IniFile::Load(env, dir + "\\NG.INI", &ini).ok());
  EXPECT_EQ(ini.GetInt(u"SETTING", u"SP", -1), 2);
  EXPECT_TRUE(IniFile::Load(env, dir + "\\missing.ini", &ini).IsNotFound());
  EXPECT_EQ(ini.GetInt(u"SETTING", u"SP", -1), -1);
  env->DeleteFile(dir + "/ng.ini");
  env->DeleteDirectory(dir);
}

}  // namespace
}  // namespace dizedir
