#include "lists/version_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lists/list_text.h"

namespace dizedir {
namespace {

const char kGuid[] = "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";

// A stored line: scrambled base, optional plain trailer, CR CR LF.
std::string Line(const std::string& plain, const std::string& trailer = "") {
  std::string line = Scramble(plain);
  if (!trailer.empty()) line += " " + trailer;
  return line + "\r\r\n";
}

std::string Base(int number, int state) {
  return "2010-05-06 07:08:09 " + std::string(kGuid) + " " +
         std::to_string(number) + " " + std::to_string(state);
}

TEST(VersionRecordTest, ParseBasePart) {
  struct Case {
    std::string name;
    std::string line;
    bool ok;
    int number;
    int state;
    std::string stamp;
  };
  const std::string stamp = "2010-05-06 07:08:09";
  const std::vector<Case> cases = {
      {"five fields", Line(Base(7, 2)), true, 7, 2, stamp},
      {"four fields read with state 1",
       Line("2010-05-06 07:08:09 " + std::string(kGuid) + " 12"), true, 12, 1,
       stamp},
      {"plain trailer after the base is ignored",
       Scramble(Base(3, 0)) + " 2 1 upd\r\r\n", true, 3, 0, stamp},
      {"negative and signed numbers", Line("d t g -4 +2"), true, -4, 2,
       "d t"},
      {"out-of-range numbers saturate", Line("d t g 99999999999 -99999999999"),
       true, 2147483647, -2147483647 - 1, "d t"},
      {"three fields fail", Line("2010-05-06 07:08:09 " + std::string(kGuid)),
       false, 1, 1, ""},
      {"non-numeric number fails", Line("d t g x 1"), false, 1, 1, ""},
      {"empty line fails", "\r\r\n", false, 1, 1, ""},
      {"overlong token fails", Line("d " + std::string(260, 't') + " g 1 1"),
       false, 1, 1, ""},
      {"token of 259 is allowed", Line("d " + std::string(259, 't') + " g 5 1"),
       true, 5, 1, "d " + std::string(259, 't')},
      {"NUL ends the text", Scramble(std::string("d t g 4\0 5", 10)), true, 4,
       1, "d t"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VersionRecord record;
    EXPECT_EQ(record.Parse(c.line), c.ok);
    EXPECT_EQ(record.number, c.number);
    EXPECT_EQ(record.state, c.state);
    EXPECT_EQ(record.stamp, c.stamp);
  }
}

TEST(VersionRecordTest, FormatWritesQueuedStateAsPending) {
  VersionRecord record;
  record.stamp = "2010-05-06 07:08:09";
  record.guid = kGuid;
  record.number = 9;
  record.state = 3;
  EXPECT_EQ(record.Format(), Scramble(Base(9, 2)));
  record.state = 1;
  EXPECT_EQ(Unscramble(record.Format()), Base(9, 1));
}

TEST(PatchRecordTest, ParseTrailer) {
  struct Case {
    std::string name;
    std::string line;
    bool ok;
    std::string archive;
    std::vector<std::pair<std::string, std::string>> parts;
  };
  const std::string base = Scramble(Base(4, 1));
  const std::vector<Case> cases = {
      {"split archive names its parts",
       base + " 3 upd d0 d1 d2\r\r\n",
       true,
       "upd",
       {{"upd_0", "d0"}, {"upd_1", "d1"}, {"upd_2", "d2"}}},
      {"single zip", base + " 1 full.zip abc\r\n", true, "full.zip",
       {{"full.zip", "abc"}}},
      {"last digest runs to the line end", base + " 2 a x y z\n", true, "a",
       {{"a_0", "x"}, {"a_1", "y z"}}},
      {"zero parts still needs a space after the archive", base + " 0 a ",
       true, "a", {}},
      {"non-numeric count reads as zero", base + " n a  ", true, "a", {}},
      {"negative count yields no parts", base + " -3 a d", true, "a", {}},
      {"no space after the archive", base + " 0 a", false, "", {}},
      {"no trailer at all", base + "\r\r\n", false, "", {}},
      {"empty line", "\r\r\n", false, "", {}},
      {"too few digests", base + " 3 upd d0 d1\r\r\n", false, "upd", {}},
      {"count far beyond the line", base + " 2000000000 upd d0 d1", false,
       "upd", {}},
      {"part names beyond the name limit",
       base + " 2 " + std::string(258, 'a') + " d0 d1", false,
       std::string(258, 'a'), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PatchRecord record;
    EXPECT_EQ(record.Parse(c.line), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(record.number, 4);
    EXPECT_EQ(record.archive, c.archive);
    ASSERT_EQ(record.PartCount(), c.parts.size());
    for (size_t i = 0; i < c.parts.size(); ++i) {
      EXPECT_EQ(record.PartNameAt(i), c.parts[i].first);
      EXPECT_EQ(record.PartDigestAt(i), c.parts[i].second);
    }
  }
}

TEST(PatchRecordTest, UnparsableBaseKeepsDefaultsButTrailerCounts) {
  PatchRecord record;
  EXPECT_TRUE(record.Parse("zz 1 full.zip d\r\r\n"));
  EXPECT_EQ(record.number, 1);
  EXPECT_EQ(record.state, 1);
  EXPECT_EQ(record.stamp, "");
  EXPECT_EQ(record.PartNameAt(0), "full.zip");
  EXPECT_EQ(record.PartNameAt(1), "");
  EXPECT_EQ(record.PartDigestAt(7), "");
}

TEST(PatchRecordTest, FormatParsesBack) {
  PatchRecord record;
  record.stamp = "2010-05-06 07:08:09";
  record.guid = kGuid;
  record.number = 6;
  record.state = 2;
  ASSERT_TRUE(record.AddPart("p_0"));
  ASSERT_TRUE(record.AddPart("p_1"));
  record.parts[0].digest = "aa";
  record.parts[1].digest = "bb";
  EXPECT_EQ(record.Format(), Scramble(Base(6, 2)) + " 2 p aa bb");

  PatchRecord back;
  ASSERT_TRUE(back.Parse(record.Format() + "\r\r\n"));
  EXPECT_EQ(back.Format(), record.Format());
}

TEST(PatchRecordTest, AddPart) {
  struct Step {
    std::string name;
    bool ok;
    std::string archive_after;
  };
  struct Case {
    std::string title;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"zip takes the name after its directory",
       {{"dl\\full.zip", true, "full.zip"}, {"other.zip", false, "full.zip"}}},
      {"split parts share their prefix",
       {{"dl\\upd_0", true, "upd"}, {"upd_1", true, "upd"},
        {"other_2", false, "upd"}}},
      {"last underscore separates the index",
       {{"a_b_0", true, "a_b"}, {"a_b_1", true, "a_b"}}},
      {"name without underscore", {{"upd", false, ""}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    PatchRecord record;
    size_t expected_parts = 0;
    for (const auto& step : c.steps) {
      SCOPED_TRACE(step.name);
      EXPECT_EQ(record.AddPart(step.name), step.ok);
      expected_parts += step.ok;
      EXPECT_EQ(record.archive, step.archive_after);
      ASSERT_EQ(record.PartCount(), expected_parts);
      if (step.ok) {
        EXPECT_EQ(record.parts.back().name, step.name);
        EXPECT_EQ(record.parts.back().digest, "");
      }
    }
  }
}

TEST(LocalVersionRecordTest, ParseTrailer) {
  struct Case {
    std::string name;
    std::string line;
    bool ok;
    int number;
    int state;
    int part_count;
    std::string archive;
    std::vector<std::string> parts;
  };
  const std::vector<Case> cases = {
      {"empty line gives defaults", "\r\r\n", true, 1, 1, 0, "", {}},
      {"installed record", Line(Base(5, 1)), true, 5, 1, 0, "", {}},
      {"state 1 ignores a trailer", Line(Base(5, 1), "3 0 upd"), true, 5, 1,
       0, "", {}},
      {"pending split patch", Line(Base(6, 2), "3 1 upd"), true, 6, 2, 3,
       "upd", {"upd_0", "upd_1", "upd_2"}},
      {"pending single zip", Line(Base(6, 2), "1 0 full.zip"), true, 6, 2, 1,
       "full.zip", {"full.zip"}},
      {"archive runs to the line end", Line(Base(6, 2), "2 0 my upd"), true,
       6, 2, 2, "my upd", {"my upd_0", "my upd_1"}},
      {"one part without zip or underscore yields none",
       Line(Base(6, 2), "1 0 upd"), true, 6, 2, 1, "", {}},
      {"negative count yields none", Line(Base(6, 2), "-5 0 upd"), true, 6,
       2, -5, "", {}},
      {"pending without trailer fails", Line(Base(6, 2)), false, 6, 2, 0, "",
       {}},
      {"pending with one trailer token fails", Line(Base(6, 2), "3"), false,
       6, 2, 0, "", {}},
      {"count beyond any list fails", Line(Base(6, 2), "2000000000 0 upd"),
       false, 6, 2, 0, "", {}},
      {"overlong archive fails",
       Line(Base(6, 2), "2 0 " + std::string(300, 'u')), false, 6, 2, 0, "",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LocalVersionRecord record;
    EXPECT_EQ(record.Parse(c.line), c.ok);
    EXPECT_EQ(record.number, c.number);
    EXPECT_EQ(record.state, c.state);
    if (!c.ok) continue;
    EXPECT_EQ(record.partCount, c.part_count);
    EXPECT_EQ(record.archive, c.archive);
    ASSERT_EQ(record.PartCount(), c.parts.size());
    for (size_t i = 0; i < c.parts.size(); ++i) {
      EXPECT_EQ(record.PartNameAt(i), c.parts[i]);
    }
  }
}

TEST(LocalVersionRecordTest, FormatCountsGoodPartsAndStoresQueuedAsPending) {
  LocalVersionRecord record;
  record.stamp = "2010-05-06 07:08:09";
  record.guid = kGuid;
  record.number = 8;
  record.state = 3;
  record.partCount = 4;
  for (int i = 0; i < 4; ++i) record.AddPart("upd_" + std::to_string(i));
  record.parts[0].digest = "0123";
  record.parts[1].digest = std::string(kWrongDigest);
  record.parts[3].digest = "4567";
  EXPECT_EQ(record.Format(), Scramble(Base(8, 2)) + " 4 2 upd");

  record.state = 1;
  EXPECT_EQ(record.Format(), Scramble(Base(8, 1)));
}

}  // namespace
}  // namespace dizedir
