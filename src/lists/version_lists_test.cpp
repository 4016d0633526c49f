#include "lists/version_lists.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "codec/md5.h"
#include "lists/list_text.h"
#include "support/scratch_dir.h"
#include "support/fault_injection_env.h"

namespace dizedir {
namespace {

const char kGuid[] = "6F9619FF-8B86-D011-B42D-00C04FC964FF";

std::string SampleFile(const std::string& name) {
  const char* root = std::getenv("DIZEDIR_SOURCE_DIR");
  std::string data;
  EXPECT_NE(root, nullptr);
  if (root == nullptr) return data;
  EXPECT_TRUE(ReadFileToString(Env::Default(),
                               std::string(root) + "/tests/data/lists/" + name,
                               &data)
                  .ok());
  return data;
}

LocalVersionRecord Local(int number, int state) {
  LocalVersionRecord record;
  record.stamp = "2010-01-01 00:00:00";
  record.guid = kGuid;
  record.number = number;
  record.state = state;
  if (state > 1) {
    record.partCount = 2;
    record.AddPart("p" + std::to_string(number) + "_0");
    record.AddPart("p" + std::to_string(number) + "_1");
  }
  return record;
}

TEST(VersionListsTest, SampleFilesDecodeAndReencodeByteForByte) {
  const std::string newver = SampleFile("newver.bin");
  std::vector<VersionRecord> remote;
  ASSERT_TRUE(DecodeRemoteVersions(newver, &remote));
  ASSERT_EQ(remote.size(), 4u);
  EXPECT_EQ(remote[2].stamp, "2010-01-20 09:12:44");
  EXPECT_EQ(remote[2].guid, kGuid);
  EXPECT_EQ(remote[2].number, 3);
  EXPECT_EQ(remote[2].state, 2);
  std::string reencoded;
  for (const auto& r : remote) reencoded += r.Format() + "\r\r\n";
  EXPECT_EQ(reencoded, newver);

  const std::string verlist = SampleFile("verlist.bin");
  std::vector<PatchRecord> patches;
  ASSERT_TRUE(DecodePatches(verlist, &patches));
  ASSERT_EQ(patches.size(), 3u);
  EXPECT_EQ(patches[0].PartNameAt(0), "patch2.zip");
  EXPECT_EQ(patches[1].archive, "patch3");
  EXPECT_EQ(patches[2].PartNameAt(2), "patch4_2");
  EXPECT_EQ(patches[2].PartDigestAt(2), "d41d8cd98f00b204e9800998ecf8427e");
  reencoded.clear();
  for (const auto& p : patches) reencoded += p.Format() + "\r\r\n";
  EXPECT_EQ(reencoded, verlist);

  const std::string curver = SampleFile("curver.bin");
  std::vector<LocalVersionRecord> local;
  ASSERT_TRUE(DecodeLocalVersions(curver, &local));
  ASSERT_EQ(local.size(), 4u);
  EXPECT_EQ(local[3].partCount, 3);
  EXPECT_EQ(local[3].PartNameAt(1), "patch4_1");
  // The installed base is record 2: record 1 is history and is not kept.
  const size_t first_line = curver.find("\r\r\n") + 3;
  EXPECT_EQ(EncodeLocalVersions(local), curver.substr(first_line));
}

TEST(VersionListsTest, DecodeStopsAtTheFirstBadLine) {
  struct Case {
    std::string name;
    std::string data;
    bool ok;
    size_t kept;
    size_t failed_line;
  };
  const std::string good = Local(4, 2).Format() + "\r\r\n";
  const std::string pending_without_trailer =
      Scramble("2010-01-01 00:00:00 g 5 2") + "\r\r\n";
  const std::vector<Case> cases = {
      {"all good", good + good, true, 2, 0},
      {"empty file", "", true, 0, 0},
      {"empty lines are defaults", "\r\r\n\n", true, 2, 0},
      {"bad line keeps those before", good + pending_without_trailer + good,
       false, 1, 2},
      {"too many lines", std::string(kMaxListLines + 1, '\n'), false,
       kMaxListLines, kMaxListLines + 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<LocalVersionRecord> records;
    size_t failed_line = 99;
    EXPECT_EQ(DecodeLocalVersions(c.data, &records, &failed_line), c.ok);
    EXPECT_EQ(records.size(), c.kept);
    EXPECT_EQ(failed_line, c.failed_line);
  }
  std::vector<VersionRecord> remote;
  EXPECT_FALSE(DecodeRemoteVersions("\r\r\n", &remote));
  std::vector<PatchRecord> patches;
  EXPECT_FALSE(DecodePatches("\r\r\n", &patches));
}

TEST(VersionListsTest, EncodeKeepsFromTheInstalledBaseOn) {
  struct Case {
    std::string name;
    std::vector<int> states;
    std::vector<int> written;  // numbers (= index + 1) of the lines written
  };
  const std::vector<Case> cases = {
      {"history and withdrawn dropped", {1, 2, 1, 0, 2}, {3, 5}},
      {"no installed base writes all but withdrawn", {2, 0, 3}, {1, 3}},
      {"empty list", {}, {}},
      {"base at the end", {2, 2, 1}, {3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<LocalVersionRecord> records;
    for (size_t i = 0; i < c.states.size(); ++i) {
      records.push_back(Local(static_cast<int>(i) + 1, c.states[i]));
    }
    std::string expected;
    for (int number : c.written) {
      expected += records[number - 1].Format() + "\r\r\n";
    }
    EXPECT_EQ(EncodeLocalVersions(records), expected);
  }
}

TEST(VersionListsTest, LastInstalledNumber) {
  struct Case {
    std::vector<int> states;
    int expected;
  };
  const std::vector<Case> cases = {
      {{}, 0}, {{2, 3}, 0}, {{1, 2, 1, 2}, 3}, {{1}, 1}, {{1, 1, 0}, 2}};
  for (const auto& c : cases) {
    VersionLists lists;
    for (size_t i = 0; i < c.states.size(); ++i) {
      lists.localVersions.push_back(Local(static_cast<int>(i) + 1, c.states[i]));
    }
    EXPECT_EQ(lists.LastInstalledNumber(), c.expected);
  }
}

TEST(VersionListsTest, ReadsLeaveListsAloneWhenTheFileIsMissing) {
  ScratchDir dir;
  Env* env = Env::Default();
  VersionLists lists;
  lists.remoteVersions.resize(2);
  lists.patches.resize(3);
  lists.localVersions.resize(4);
  EXPECT_FALSE(lists.ReadRemoteVersions(env, dir.Path("newver.bin")));
  EXPECT_FALSE(lists.ReadPatches(env, dir.Path("verlist.bin")));
  EXPECT_FALSE(lists.ReadLocalVersions(env, dir.Path("curver.bin"), dir.dir()));
  EXPECT_EQ(lists.remoteVersions.size(), 2u);
  EXPECT_EQ(lists.patches.size(), 3u);
  EXPECT_EQ(lists.localVersions.size(), 4u);

  // A file that opens replaces the list, even when a later line is bad.
  ASSERT_TRUE(dir.Write("verlist.bin", SampleFile("verlist.bin") + "\r\r\n"));
  EXPECT_FALSE(lists.ReadPatches(env, dir.Path("verlist.bin")));
  EXPECT_EQ(lists.patches.size(), 3u);
  EXPECT_EQ(lists.patches[0].PartNameAt(0), "patch2.zip");
}

TEST(VersionListsTest, ReadLocalVersionsDigestsPartsInTheGivenDirectory) {
  ScratchDir dir;
  Env* env = Env::Default();
  // Parts 0 and 2 of patch4 are on disk; part 1 is missing.
  ASSERT_TRUE(dir.Write("patch4_0.zxp", "first part"));
  ASSERT_TRUE(dir.Write("patch4_2.zxp", ""));
  ASSERT_TRUE(dir.Write("curver.bin", SampleFile("curver.bin")));

  VersionLists lists;
  ASSERT_TRUE(lists.ReadLocalVersions(env, dir.Path("curver.bin"), dir.dir()));
  ASSERT_EQ(lists.localVersions.size(), 4u);
  const LocalVersionRecord& pending = lists.localVersions[3];
  EXPECT_EQ(pending.PartDigestAt(0), Md5Hex("first part"));
  EXPECT_EQ(pending.PartDigestAt(1), "wrong");
  EXPECT_EQ(pending.PartDigestAt(2), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(lists.LastInstalledNumber(), 2);

  // The trailer's good-part count comes from those digests.
  ASSERT_TRUE(lists.WriteLocalVersions(env, dir.Path("curver.bin")));
  const std::string written = dir.Read("curver.bin");
  EXPECT_NE(written.find(" 3 2 patch4\r\r\n"), std::string::npos);
  EXPECT_NE(written.find(" 2 0 patch3\r\r\n"), std::string::npos);

  // A part that appears later is picked up by a fresh digest pass.
  ASSERT_TRUE(dir.Write("patch4_1.zxp", "second"));
  lists.DigestLocalVersions(env, dir.dir());
  EXPECT_EQ(lists.localVersions[3].PartDigestAt(1), Md5Hex("second"));
}

// Counts the files opened for reading, to tell a digest taken from the
// cache from one read off the disk.
class ReadCountingEnv : public EnvWrapper {
 public:
  ReadCountingEnv() : EnvWrapper(Env::Default()) {}
  Status NewReadableFile(const std::string& path,
                         std::unique_ptr<ReadableFile>* result) override {
    ++reads;
    return EnvWrapper::NewReadableFile(path, result);
  }
  int reads = 0;
};

// A digest pass reads a part file only when the run has not read it as it
// is now: a file that changed size or time, that was forgotten, or that is
// gone is read (or found missing) again.
TEST(VersionListsTest, DigestCacheReadsEachPartOncePerState) {
  struct Case {
    const char* what;
    int change;  // 0 none, 1 new bytes of another size, 2 same size and a
                 // later time, 3 forgotten, 4 deleted
    int reads;   // files the second pass opens
    const char* digest_of;  // the bytes the second pass must report, null: "wrong"
  } cases[] = {
      {"unchanged", 0, 0, "first part"},
      {"other size", 1, 1, "a longer first part"},
      {"same size, later time", 2, 1, "FIRST PART"},
      {"forgotten", 3, 1, "first part"},
      {"deleted", 4, 1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    ReadCountingEnv env;
    PartDigestCache cache;
    ASSERT_TRUE(dir.Write("patch4_0.zxp", "first part"));
    VersionLists lists;
    lists.localVersions.push_back(Local(4, 3));
    lists.localVersions[0].parts.resize(1);
    lists.localVersions[0].parts[0].name = "patch4_0";
    lists.DigestLocalVersions(&env, dir.dir(), &cache);
    ASSERT_EQ(env.reads, 1);
    const std::string path = dir.dir() + "patch4_0.zxp";
    if (c.change == 1) {
      ASSERT_TRUE(dir.Write("patch4_0.zxp", "a longer first part"));
    } else if (c.change == 2) {
      ASSERT_TRUE(dir.Write("patch4_0.zxp", "FIRST PART"));
      ASSERT_TRUE(env.SetFileTimes(path, FileTimes{4000000000, 4000000000, {}}).ok());
    } else if (c.change == 3) {
      cache.Forget(path);
    } else if (c.change == 4) {
      ASSERT_TRUE(env.DeleteFile(path).ok());
    }
    env.reads = 0;
    lists.DigestLocalVersions(&env, dir.dir(), &cache);
    EXPECT_EQ(env.reads, c.reads);
    EXPECT_EQ(lists.localVersions[0].PartDigestAt(0),
              c.digest_of != nullptr ? Md5Hex(c.digest_of) : std::string("wrong"));
  }
}

TEST(VersionListsTest, FailedWriteLeavesTheOldListWhole) {
  ScratchDir dir;
  const std::string old_list = SampleFile("curver.bin");
  ASSERT_TRUE(dir.Write("curver.bin", old_list));
  VersionLists lists;
  for (int i = 1; i <= 3; ++i) lists.localVersions.push_back(Local(i, 1));

  struct Case {
    std::string name;
    bool full_disk;
    bool failing_rename;
  };
  for (const Case& c : std::vector<Case>{{"full disk", true, false},
                                         {"failing rename", false, true}}) {
    SCOPED_TRACE(c.name);
    FaultInjectionEnv env(Env::Default());
    if (c.full_disk) env.FailWritesAfter(10);
    if (c.failing_rename) env.FailNextRenames(1);
    EXPECT_FALSE(lists.WriteLocalVersions(&env, dir.Path("curver.bin")));
    EXPECT_EQ(dir.Read("curver.bin"), old_list);
    EXPECT_EQ(dir.EntryCount(), 1u) << "temporary left behind";
  }
  EXPECT_TRUE(lists.WriteLocalVersions(Env::Default(), dir.Path("curver.bin")));
  EXPECT_EQ(dir.Read("curver.bin"), lists.localVersions[2].Format() + "\r\r\n");
}

}  // namespace
}  // namespace dizedir
