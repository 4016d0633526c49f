#include "codec/zip_names.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace dizedir {
namespace {

TEST(ZipNamesTest, CleanNameAndContainment) {
  struct Case {
    const char16_t* stored;
    const char16_t* cleaned;
    bool contained;
  };
  const Case cases[] = {
      {u"C:/x/y.txt", u"x/y.txt", true},
      {u"a/b/../c.txt", u"c.txt", true},
      {u"//srv/share/d.txt", u"srv/share/d.txt", true},
      {u"e/f.txt", u"e/f.txt", true},
      {u"a\\b\\..\\c.txt", u"c.txt", true},
      {u"a\\b\\../c.txt", u"c.txt", true},
      {u"a/b/..\\c.txt", u"c.txt", true},
      // Rules apply again to what is left, in their order.
      {u"C:\\D:\\x.txt", u"x.txt", true},
      {u"x/../C:/y.txt", u"y.txt", true},
      {u"/a/../b/../c", u"c", true},
      {u"C:", u"", true},
      {u"", u"", true},
      {u"ab:c", u"ab:c", true},
      // What the rules leave climbing out is kept, and refused later.
      {u"../x", u"../x", false},
      {u"/../x.txt", u"../x.txt", false},
      {u"a/../../x", u"../x", false},
      {u"..\\x", u"..\\x", false},
      {u"..", u"..", false},
      {u"a/..", u"a/..", false},
      {u"a/.../b", u"a/.../b", false},
      {u"a/.. /b", u"a/.. /b", false},
      {u"/etc/x", u"etc/x", true},
      {u"C:\\x", u"x", true},
      {u"..a/b..", u"..a/b..", true},
      {u"./a/./b", u"./a/./b", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.stored));
    const std::u16string cleaned = ZipCleanName(c.stored);
    EXPECT_EQ(Utf16ToUtf8(cleaned), Utf16ToUtf8(c.cleaned));
    EXPECT_EQ(ZipNameIsContained(cleaned), c.contained);
  }
  EXPECT_FALSE(ZipNameIsContained(u"/x"));
  EXPECT_FALSE(ZipNameIsContained(u"C:x"));
  EXPECT_FALSE(ZipNameIsContained(std::u16string(u"a\0/b", 4)));
}

TEST(ZipNamesTest, ResolveTarget) {
  struct Case {
    const char16_t* target;
    bool is_directory;
    ZipTarget verdict;
    const char* relative;
  };
  const Case cases[] = {
      {u"a/b.txt", false, ZipTarget::kInside, "a/b.txt"},
      {u"a\\b\\", true, ZipTarget::kInside, "a\\b"},
      {u"/base/dir/a.txt", false, ZipTarget::kInside, "a.txt"},
      {u"\\BASE\\Dir\\a.txt", false, ZipTarget::kInside, "a.txt"},
      {u"/base/dir/", true, ZipTarget::kInside, ""},
      {u"/base/dir/", false, ZipTarget::kNoName, ""},
      {u"", false, ZipTarget::kNoName, ""},
      {u"a/.", false, ZipTarget::kNoName, ""},
      {u"a/. ", false, ZipTarget::kNoName, ""},
      {u"a/.", true, ZipTarget::kInside, "a/."},
      {u"/base/other/a.txt", false, ZipTarget::kOutside, ""},
      {u"/base/dir/../a.txt", false, ZipTarget::kOutside, ""},
      {u"C:\\a.txt", false, ZipTarget::kOutside, ""},
      {u"a/../../b", false, ZipTarget::kOutside, ""},
      {u"a.dztmp", false, ZipTarget::kTemporary, ""},
      {u"A.DzTmp/b", false, ZipTarget::kTemporary, ""},
      // Look-alikes of '.', '/' and '\\' are names, never separators or climbs.
      {u"\uFF0E\uFF0E\uFF0Fx.txt", false, ZipTarget::kInside,
       "\xEF\xBC\x8E\xEF\xBC\x8E\xEF\xBC\x8Fx.txt"},
      {u"\uFF0E\uFF0E\uFF3C\u8868\u793A.txt", false, ZipTarget::kInside,
       "\xEF\xBC\x8E\xEF\xBC\x8E\xEF\xBC\xBC\xE8\xA1\xA8\xE7\xA4\xBA.txt"},
      // No file can carry half a surrogate pair under the name it was given.
      {u"a\xD800" u"b.txt", false, ZipTarget::kNoName, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.target));
    std::string relative = "stale";
    EXPECT_EQ(ZipResolveTarget(u"/base/dir/", c.target, c.is_directory,
                               &relative),
              c.verdict);
    EXPECT_EQ(relative, c.relative);
  }
}

}  // namespace
}  // namespace dizedir
