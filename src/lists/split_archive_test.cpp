#include "lists/split_archive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace dizedir {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  uint32_t x = 7;
  for (auto& c : data) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return data;
}

TEST(SplitArchiveTest, PartNamesFollowTheSuffixRule) {
  EXPECT_EQ(PartName("upd", 12), "upd_12");
  EXPECT_EQ(PartFileName("upd_0"), "upd_0.zxp");
  EXPECT_EQ(PartFileName("full.zip"), "full.zip");
  EXPECT_EQ(PartFileName("upd_0.zxp"), "upd_0.zxp");
}

TEST(SplitArchiveTest, SplitSizesAndPartsEndToEndAreTheSource) {
  struct Case {
    size_t size;
    int count;
    std::vector<size_t> parts;
  };
  const std::vector<Case> cases = {
      {10, 5, {3, 3, 3, 1}},
      {10, 6, {2, 2, 2, 2, 2, 0}},
      {0, 3, {0}},
      {9, 2, {5, 4}},
      {3 * kMiB, 2, {2 * kMiB, kMiB}},
      {3 * kMiB + 5, 3, {2 * kMiB, kMiB, 5}},
  };
  Env* env = Env::Default();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " into " + std::to_string(c.count));
    ScratchDir dir;
    const std::string source = Pattern(c.size);
    ASSERT_TRUE(dir.Write("arc.zip", source));
    ASSERT_TRUE(SplitFile(env, dir.Path("arc.zip"), c.count));
    std::string joined;
    for (size_t i = 0; i < c.parts.size(); ++i) {
      const std::string part = dir.Read("arc_" + std::to_string(i) + ".zxp");
      EXPECT_EQ(part.size(), c.parts[i]);
      joined += part;
    }
    EXPECT_TRUE(joined == source);
    EXPECT_FALSE(dir.Exists("arc_" + std::to_string(c.parts.size()) + ".zxp"));
    // The source, its parts, and nothing else.
    EXPECT_EQ(dir.EntryCount(), c.parts.size() + 1);
  }
}

TEST(SplitArchiveTest, RefusesFewerThanTwoParts) {
  ScratchDir dir;
  Env* env = Env::Default();
  ASSERT_TRUE(dir.Write("a_0.zxp", "x"));
  ASSERT_TRUE(dir.Write("a.bin", "xyz"));
  for (int count : {1, 0, -1}) {
    EXPECT_FALSE(SplitFile(env, dir.Path("a.bin"), count));
  }
  EXPECT_EQ(dir.EntryCount(), 2u);
  EXPECT_FALSE(SplitFile(env, dir.Path("missing.bin"), 2));
}

}  // namespace
}  // namespace dizedir
