#include "lists/split_archive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scratch_dir.h"
#include "support/fault_injection_env.h"

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

TEST(SplitArchiveTest, SplitSizesAndJoinRestoresTheSource) {
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
    for (size_t i = 0; i < c.parts.size(); ++i) {
      EXPECT_EQ(dir.Read("arc_" + std::to_string(i) + ".zxp").size(),
                c.parts[i]);
    }
    EXPECT_FALSE(dir.Exists("arc_" + std::to_string(c.parts.size()) + ".zxp"));
    // The source, its parts, and nothing else.
    EXPECT_EQ(dir.EntryCount(), c.parts.size() + 1);

    ASSERT_TRUE(env->DeleteFile(dir.Path("arc.zip")).ok());
    if (c.parts.size() < 2) continue;
    ASSERT_TRUE(JoinParts(env, dir.dir(), "arc",
                          static_cast<int>(c.parts.size())));
    EXPECT_TRUE(dir.Read("arc.zip") == source);
  }
}

TEST(SplitArchiveTest, RefusesFewerThanTwoParts) {
  ScratchDir dir;
  Env* env = Env::Default();
  ASSERT_TRUE(dir.Write("a_0.zxp", "x"));
  ASSERT_TRUE(dir.Write("a.bin", "xyz"));
  for (int count : {1, 0, -1}) {
    EXPECT_FALSE(JoinParts(env, dir.dir(), "a", count));
    EXPECT_FALSE(SplitFile(env, dir.Path("a.bin"), count));
  }
  EXPECT_EQ(dir.EntryCount(), 2u);
  EXPECT_FALSE(SplitFile(env, dir.Path("missing.bin"), 2));
}

TEST(SplitArchiveTest, JoinConcatenatesInOrderAndCleansUpOnFailure) {
  ScratchDir dir;
  Env* env = Env::Default();
  const std::string big = Pattern(kMiB);
  ASSERT_TRUE(dir.Write("a_0.zxp", "01234"));
  ASSERT_TRUE(dir.Write("a_1.zxp", big));
  ASSERT_TRUE(dir.Write("a_2.zxp", ""));
  ASSERT_TRUE(JoinParts(env, dir.dir(), "a", 3));
  EXPECT_TRUE(dir.Read("a.zip") == "01234" + big);
  EXPECT_TRUE(dir.Exists("a_1.zxp")) << "parts stay in place";

  // A missing part, a full disk or a failing rename: no archive at all,
  // not a truncated one and not the previous one.
  struct Case {
    std::string name;
    int count;
    uint64_t space;
    int failing_renames;
  };
  const std::vector<Case> cases = {
      {"missing last part", 4, UINT64_MAX, 0},
      {"full disk", 3, 100, 0},
      {"failing rename", 3, UINT64_MAX, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(dir.Write("a.zip", "stale"));
    FaultInjectionEnv faulty(env);
    if (c.space != UINT64_MAX) faulty.FailWritesAfter(c.space);
    faulty.FailNextRenames(c.failing_renames);
    EXPECT_FALSE(JoinParts(&faulty, dir.dir(), "a", c.count));
    EXPECT_FALSE(dir.Exists("a.zip"));
    EXPECT_EQ(dir.EntryCount(), 3u);
  }
}

}  // namespace
}  // namespace dizedir
