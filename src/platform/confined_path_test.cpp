#include "platform/confined_path.h"

#include <string>

#include "gtest/gtest.h"
#include "platform/text.h"

namespace dizedir {
namespace {

// Every name a hostile server could send to reach outside the client, or to
// make two platforms open different files, next to names a real patch
// carries. The UTF-16 check must agree with the narrow one on each.
TEST(ConfinedPathTest, RefusesEveryNameThatCouldLeaveOrAliasTheBase) {
  struct Case {
    std::string name;
    NameKind kind;
    const char* confined;  // null: refused
  } cases[] = {
      {"upd_0.zxp", NameKind::kBareName, "upd_0.zxp"},
      {"full.zip", NameKind::kBareName, "full.zip"},
      {"qmz\\fodder\\items.pac", NameKind::kRelativePath, "qmz\\fodder\\items.pac"},
      {"data/new/x.txt", NameKind::kRelativePath, "data\\new\\x.txt"},
      {"./items", NameKind::kRelativePath, "items"},
      {"a//b/./c", NameKind::kRelativePath, "a\\b\\c"},
      {" lead space", NameKind::kBareName, " lead space"},
      {".hidden", NameKind::kBareName, ".hidden"},
      {"\xE6\xBC\xA2\xE5\xAD\x97.txt", NameKind::kBareName, "\xE6\xBC\xA2\xE5\xAD\x97.txt"},
      {"\xE8\xA1\xA8\xE7\xA4\xBA.txt", NameKind::kBareName, "\xE8\xA1\xA8\xE7\xA4\xBA.txt"},
      {"\xED\x95\x9C\xEA\xB8\x80/\xD0\x9A.txt", NameKind::kRelativePath,
       "\xED\x95\x9C\xEA\xB8\x80\\\xD0\x9A.txt"},
      // look-alikes that a best-fit code-page conversion reads as a climb,
      // a root or a drive; harmless ones stay names
      {"\xEF\xBC\x8E\xEF\xBC\x8E", NameKind::kBareName, nullptr},
      {"\xEF\xBC\x8E\xEF\xBC\x8E\xEF\xBC\x8Fx.txt", NameKind::kRelativePath, nullptr},
      {"\xEF\xBC\x8E\xEF\xBC\x8E\xEF\xBC\xBCx.txt", NameKind::kRelativePath, nullptr},
      {"..\xC2\xA5..\xC2\xA5x.txt", NameKind::kRelativePath, nullptr},
      {"a\xE2\x82\xA9..\xE2\x82\xA9..\xE2\x82\xA9x", NameKind::kRelativePath, nullptr},
      {"\xEF\xBC\x8F" "etc", NameKind::kRelativePath, nullptr},
      {"C\xEF\xBC\x9Ax.txt", NameKind::kRelativePath, nullptr},
      {"a\xEF\xBC\x8E", NameKind::kBareName, nullptr},
      {"price\xC2\xA5" "100.txt", NameKind::kRelativePath, "price\xC2\xA5" "100.txt"},
      {"v1\xEF\xBC\x8E" "2.txt", NameKind::kBareName, "v1\xEF\xBC\x8E" "2.txt"},
      {"com10", NameKind::kBareName, "com10"},
      {"console.txt", NameKind::kBareName, "console.txt"},
      // separators where a bare name is meant
      {"../victim.zip", NameKind::kBareName, nullptr},
      {"dir\\upd_0", NameKind::kBareName, nullptr},
      {"a/b", NameKind::kBareName, nullptr},
      // climbing out
      {"..", NameKind::kRelativePath, nullptr},
      {"../planted.zip.sh", NameKind::kRelativePath, nullptr},
      {"a/../../x", NameKind::kRelativePath, nullptr},
      {"a\\..\\b", NameKind::kRelativePath, nullptr},
      {"... ", NameKind::kRelativePath, nullptr},
      {"a/.. /b", NameKind::kRelativePath, nullptr},
      {"a/.../b", NameKind::kRelativePath, nullptr},
      {"x.", NameKind::kBareName, nullptr},
      {"x ", NameKind::kBareName, nullptr},
      // roots, drives, streams, UNC
      {"/etc/passwd", NameKind::kRelativePath, nullptr},
      {"\\windows\\x.dll", NameKind::kRelativePath, nullptr},
      {"\\\\srv\\share\\x", NameKind::kRelativePath, nullptr},
      {"C:x.txt", NameKind::kRelativePath, nullptr},
      {"c:\\x.txt", NameKind::kRelativePath, nullptr},
      {"file.txt:stream", NameKind::kBareName, nullptr},
      // devices, in any case and with any extension
      {"CON", NameKind::kBareName, nullptr},
      {"nul.txt", NameKind::kBareName, nullptr},
      {"data/aux .pac", NameKind::kRelativePath, nullptr},
      {"Com1.zip", NameKind::kBareName, nullptr},
      {"lpt9", NameKind::kBareName, nullptr},
      {"COM\xC2\xB9", NameKind::kBareName, nullptr},
      {"conout$", NameKind::kBareName, nullptr},
      // control characters, wildcards, invalid text
      {std::string("a\0b", 3), NameKind::kBareName, nullptr},
      {"a\nb", NameKind::kBareName, nullptr},
      {"a\x7F", NameKind::kBareName, nullptr},
      {"*.zip", NameKind::kBareName, nullptr},
      {"a?b", NameKind::kBareName, nullptr},
      {"a|b", NameKind::kBareName, nullptr},
      {"a\"b", NameKind::kBareName, nullptr},
      {"a<b>", NameKind::kBareName, nullptr},
      {"a\xC0\xAF", NameKind::kBareName, nullptr},
      {"\xED\xA0\x80", NameKind::kBareName, nullptr},
      {"a\xFF", NameKind::kBareName, nullptr},
      // the system's own temporaries, in any case
      {"x.dztmp", NameKind::kBareName, nullptr},
      {"d/x.DzTmp/y", NameKind::kRelativePath, nullptr},
      // nothing left
      {"", NameKind::kRelativePath, nullptr},
      {".", NameKind::kRelativePath, nullptr},
      {"./", NameKind::kRelativePath, nullptr},
  };
  for (const Case& c : cases) {
    std::string confined;
    const Status s = ConfineName(c.name, c.kind, &confined);
    if (c.confined == nullptr) {
      EXPECT_FALSE(s.ok()) << c.name << " -> " << confined;
      EXPECT_FALSE(s.message().empty()) << c.name;
    } else {
      EXPECT_TRUE(s.ok()) << c.name << ": " << s.ToString();
      EXPECT_EQ(confined, c.confined) << c.name;
    }
    // Malformed UTF-8 has no UTF-16 twin to compare with.
    if (Utf16ToUtf8(Utf8ToUtf16(c.name)) == c.name) {
      EXPECT_EQ(IsConfinedName(Utf8ToUtf16(c.name), c.kind), c.confined != nullptr) << c.name;
    }
  }
}

TEST(ConfinedPathTest, JoinsBelowTheBaseAndNeverAtTheRoot) {
  struct Case {
    const char* base;
    const char* name;
    const char* path;  // null: refused
  } cases[] = {
      {"/client/", "upd_0.zxp", "/client/upd_0.zxp"},
      {"C:\\Game\\", "a/b.txt", "C:\\Game\\a\\b.txt"},
      {"/client", "x", "/client\\x"},
      {"", "x", nullptr},
      {"", "/x", nullptr},
      {"/client/", "../x", nullptr},
  };
  for (const Case& c : cases) {
    std::string path;
    const Status s = ConfinePath(c.base, c.name, NameKind::kRelativePath, &path);
    EXPECT_EQ(s.ok(), c.path != nullptr) << c.base << " + " << c.name;
    if (c.path != nullptr) {
      EXPECT_EQ(path, c.path);
    }
  }
}

TEST(ConfinedPathTest, Utf16RefusesUnpairedSurrogates) {
  EXPECT_FALSE(IsConfinedName(std::u16string(1, char16_t{0xD800}), NameKind::kBareName));
  EXPECT_FALSE(IsConfinedName(std::u16string(1, char16_t{0xDC00}), NameKind::kBareName));
  EXPECT_TRUE(IsConfinedName(u"\U0001F600.txt", NameKind::kBareName));
}

}  // namespace
}  // namespace dizedir
