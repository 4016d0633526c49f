#include "tools/publish/tree_diff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "publish_support.h"
#include "support/fault_injection_env.h"
#include "support/scratch_dir.h"

namespace dizedir::publish {
namespace {

using publish_test::PackEntry;
using publish_test::Tree;

struct PackExpectation {
  std::string path;
  std::vector<uint32_t> shipped;
  std::vector<uint32_t> removed;
  bool rebuilt = false;
};

struct DiffCase {
  std::string label;
  Tree old_tree;
  Tree new_tree;
  std::vector<std::string> added, changed, removed;
  std::vector<PackExpectation> packs;
  std::string move_list;
  std::string delete_list;  // empty: none
};

const std::string kNonAscii = "\xE6\x95\xB0\xE6\x8D\xAE/\xC3\xA9t\xC3\xA9.txt";

std::vector<DiffCase> Cases() {
  std::vector<DiffCase> cases;
  {
    DiffCase c;
    c.label = "plain files";
    c.old_tree.files = {{"a.txt", "same"}, {"b/c.txt", "old"}, {"gone.txt", "x"},
                        {"deep/er/f.bin", std::string(3000, 'q')}};
    c.new_tree.files = {{"a.txt", "same"}, {"b/c.txt", "new"}, {kNonAscii, "u"},
                        {"deep/er/f.bin", std::string(2999, 'q') + "r"}};
    c.added = {kNonAscii};
    c.changed = {"b/c.txt", "deep/er/f.bin"};
    c.removed = {"gone.txt"};
    c.delete_list = "Files:\r\ngone.txt\r\n";
    cases.push_back(c);
  }
  {
    DiffCase c;
    c.label = "pack entries new, changed, recompressed, removed";
    c.old_tree.packs["qmz/fodder/a.pac"] = {
        {1, {"one", true}}, {2, {"two", true}}, {3, {"three", false}},
        {4, {"four", true}}, {0x80000001u, {"big id", true}}};
    c.new_tree.packs["qmz/fodder/a.pac"] = {
        {1, {"one", true}}, {2, {"TWO", true}}, {3, {"three", true}},
        {5, {"five", false}}};
    c.packs = {{"qmz/fodder/a.pac", {2, 3, 5}, {4, 0x80000001u}}};
    c.delete_list = "Packet:a 4 -2147483647\r\nFiles:\r\n";
    cases.push_back(c);
  }
  {
    DiffCase c;
    c.label = "moves between packs, into a new pack, out of a removed pack";
    c.old_tree.packs["qmz/fodder/a.pac"] = {{1, {"m1", true}}, {2, {"keep", true}}};
    c.old_tree.packs["qmz/fodder/b.pac"] = {{9, {"b9", true}}};
    c.old_tree.packs["qmz/fodder/old.pac"] = {{7, {"m7", false}}, {8, {"dies", true}}};
    c.new_tree.packs["qmz/fodder/a.pac"] = {{2, {"keep", true}}};
    c.new_tree.packs["qmz/fodder/b.pac"] = {{9, {"b9", true}}, {1, {"m1", true}}};
    c.new_tree.packs["qmz/fodder/c.pac"] = {{7, {"m7", false}}, {10, {"c10", true}}};
    c.removed = {"qmz/fodder/old.pac"};
    c.packs = {{"qmz/fodder/c.pac", {10}, {}},
               {"qmz/fodder/a.pac", {}, {}},
               {"qmz/fodder/b.pac", {}, {}}};
    c.move_list = "1 From:a To:b\r\n7 From:old To:c\r\n";
    c.delete_list = "Files:\r\nqmz\\fodder\\old.pac\r\n";
    cases.push_back(c);
  }
  {
    DiffCase c;
    c.label = "same bytes but compressed differently is no move";
    c.old_tree.packs["qmz/fodder/a.pac"] = {{1, {"data", true}}};
    c.new_tree.packs["qmz/fodder/b.pac"] = {{1, {"data", false}}};
    c.removed = {"qmz/fodder/a.pac"};
    c.packs = {{"qmz/fodder/b.pac", {1}, {}}};
    c.delete_list = "Files:\r\nqmz\\fodder\\a.pac\r\n";
    cases.push_back(c);
  }
  {
    DiffCase c;
    c.label = "pack in a subdirectory loses entries: rebuilt whole";
    c.old_tree.packs["qmz/fodder/sub/s.pac"] = {{1, {"a", true}}, {2, {"b", true}}};
    c.new_tree.packs["qmz/fodder/sub/s.pac"] = {{2, {"b", true}}, {3, {"c", true}}};
    c.packs = {{"qmz/fodder/sub/s.pac", {2, 3}, {}, true}};
    c.delete_list = "Files:\r\nqmz\\fodder\\sub\\s.pac\r\n";
    cases.push_back(c);
  }
  {
    DiffCase c;
    c.label = "new pack in a new directory, empty new pack, file becomes dir";
    c.old_tree.files = {{"x", "was a file"}};
    c.new_tree.files = {{"x/y.txt", "now a directory"}};
    c.new_tree.packs["qmz/fodder/deep/n.pac"] = {{4, {"n4", true}}};
    c.new_tree.packs["qmz/fodder/empty.pac"] = {};
    c.added = {"x/y.txt"};
    c.removed = {"x"};
    c.packs = {{"qmz/fodder/deep/n.pac", {4}, {}}, {"qmz/fodder/empty.pac", {}, {}}};
    c.delete_list = "Files:\r\nx\r\n";
    cases.push_back(c);
  }
  {
    DiffCase c;
    c.label = "case-only rename is the same file to a client";
    c.old_tree.files = {{"Data/A.txt", "same"}, {"z.txt", "1"}};
    c.new_tree.files = {{"data/a.txt", "same"}, {"z.txt", "2"}};
    c.changed = {"z.txt"};
    cases.push_back(c);
  }
  return cases;
}

TEST(TreeDiffTest, PatchTurnsOldTreeIntoNewTree) {
  Env* env = Env::Default();
  for (const DiffCase& c : Cases()) {
    SCOPED_TRACE(c.label);
    ScratchDir dir("tree_diff");
    const std::string old_root = dir.dir() + "old", new_root = dir.dir() + "new";
    publish_test::WriteTree(old_root, c.old_tree);
    publish_test::WriteTree(new_root, c.new_tree);
    TreeDiffResult r;
    const Status s = DiffTrees(env, old_root, new_root, dir.dir() + "patch", {}, &r);
    ASSERT_TRUE(s.ok()) << s.ToString();
    EXPECT_EQ(r.added, c.added);
    EXPECT_EQ(r.changed, c.changed);
    EXPECT_EQ(r.removed, c.removed);
    EXPECT_EQ(r.move_list, c.move_list);
    EXPECT_EQ(r.delete_list, c.delete_list);
    ASSERT_EQ(r.packs.size(), c.packs.size());
    for (const PackExpectation& want : c.packs) {
      auto got = std::find_if(r.packs.begin(), r.packs.end(),
                              [&](const PackDelta& d) { return d.path == want.path; });
      ASSERT_NE(got, r.packs.end()) << want.path;
      std::vector<uint32_t> shipped = got->shipped, removed = got->removed;
      std::sort(shipped.begin(), shipped.end());
      std::sort(removed.begin(), removed.end());
      EXPECT_EQ(shipped, want.shipped) << want.path;
      EXPECT_EQ(removed, want.removed) << want.path;
      EXPECT_EQ(got->rebuilt, want.rebuilt) << want.path;
    }

    // A client at the old tree, the patch applied by its own handlers.
    const std::string client = dir.dir() + "client";
    publish_test::WriteTree(client, c.old_tree);
    ASSERT_TRUE(publish_test::ApplyPatchLikeClient(
                    env, client + "/", dir.dir() + "patch/" + kPatchArchiveName)
                    .ok());
    const Tree got = publish_test::ReadTree(client);
    const Tree want = publish_test::ReadTree(new_root);
    if (c.label.find("case-only") == std::string::npos) {
      EXPECT_EQ(publish_test::DescribeDifference(got, want), "");
    } else {
      // The client keeps the name it has; only the contents follow.
      EXPECT_EQ(got.files.at("Data/A.txt"), "same");
      EXPECT_EQ(got.files.at("z.txt"), "2");
    }
  }
}

TEST(TreeDiffTest, RefusesTreesAClientWouldMisread) {
  struct Case {
    std::string label;
    Tree old_tree, new_tree;
    std::string message;
  };
  Tree base;
  base.files = {{"keep.txt", "k"}};
  auto with = [&](std::map<std::string, std::string> files) {
    Tree t = base;
    for (auto& [k, v] : files) t.files[k] = v;
    return t;
  };
  Tree pack_over_file = with({{"data", "a file where a directory must go"}});
  pack_over_file.packs["qmz/fodder/data/x.pac"] = {{1, {"x", true}}};
  std::vector<Case> cases = {
      {"plain file ending in pac", base, with({{"music/intro.pac", "x"}}), "pac"},
      {"plain file under qmz/fodder ending in pac", base,
       with({{"qmz/fodder/zpac", "x"}}), "pac"},
      {"root del.txt", base, with({{"DEL.TXT", "x"}}), "del.txt"},
      {"root Move.txt", base, with({{"Move.txt", "x"}}), "Move.txt"},
      {"directory turns into a file", with({{"d/e.txt", "x"}}), with({{"d", "x"}}),
       "directory"},
      {"removed name with a space", with({{"a b.txt", "x"}}), with({{"c.txt", "y"}}),
       "white space"},
      {"unpacked pack would land on a file", base, pack_over_file, "unpacks"},
      {"equal trees", base, base, "nothing to publish"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir("tree_diff_refuse");
    publish_test::WriteTree(dir.dir() + "old", c.old_tree);
    publish_test::WriteTree(dir.dir() + "new", c.new_tree);
    TreeDiffResult r;
    const Status s = DiffTrees(Env::Default(), dir.dir() + "old", dir.dir() + "new",
                               dir.dir() + "patch", {}, &r);
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.message().find(c.message), std::string::npos) << s.ToString();
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "patch" / kPatchArchiveName));
  }
}

TEST(TreeDiffTest, ArchiveOrderLetsTheClientActItemByItem) {
  Tree old_tree, new_tree;
  old_tree.files = {{"f.txt", "1"}, {"gone.txt", "g"}};
  old_tree.packs["qmz/fodder/a.pac"] = {{1, {"m", true}}, {2, {"r", true}}};
  new_tree.files = {{"f.txt", "2"}};
  new_tree.packs["qmz/fodder/a.pac"] = {{3, {"n", true}}};
  new_tree.packs["qmz/fodder/new/b.pac"] = {{9, {"b", true}}};
  new_tree.packs["qmz/fodder/c.pac"] = {{1, {"m", true}}};
  ScratchDir dir("tree_diff_order");
  publish_test::WriteTree(dir.dir() + "old", old_tree);
  publish_test::WriteTree(dir.dir() + "new", new_tree);
  TreeDiffResult r;
  ASSERT_TRUE(DiffTrees(Env::Default(), dir.dir() + "old", dir.dir() + "new",
                        dir.dir() + "patch", {}, &r).ok());
  const std::string list = dir.dir() + "list.txt";
  const std::string command = "unzip -Z1 '" + dir.dir() + "patch/patch.zip' > '" +
                              list + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string names;
  ASSERT_TRUE(ReadFileToString(Env::Default(), list, &names).ok());
  EXPECT_EQ(names,
            "qmz/fodder/\nqmz/fodder/new/\nMove.txt\ndel.txt\nf.txt\na.pac\n"
            "new/b.pac\n");
}

std::string Noise(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

// Two versions with everything a diff does at once: plain files of several
// pieces, compressible and not, pack entries shipped, removed and moved.
void WriteBusyTrees(const std::string& root) {
  Tree old_tree, new_tree;
  for (int i = 0; i < 12; ++i) {
    const std::string name = "data/d" + std::to_string(i % 3) + "/f" + std::to_string(i);
    std::string text;
    while (text.size() < static_cast<size_t>(300000 * i)) text += "line " + std::to_string(text.size() % 977) + "\n";
    old_tree.files[name] = i % 2 ? Noise(200000 * i, i) : text;
    new_tree.files[name] = i % 4 == 1 ? old_tree.files[name] : (i % 2 ? Noise(250000 * i, 100 + i) : text + "more");
  }
  new_tree.files["data/new.bin"] = Noise(5 << 20, 7);
  for (int p = 0; p < 4; ++p) {
    const std::string name = "qmz/fodder/p" + std::to_string(p) + ".pac";
    for (uint32_t id = 0; id < 60; ++id) {
      const std::string data = "entry " + std::to_string(id) + " of " + name;
      old_tree.packs[name][id * 4 + p] = {data, id % 2 == 0};
      if (id % 7 == 3) continue;
      new_tree.packs[id % 11 == 5 ? "qmz/fodder/p" + std::to_string((p + 1) % 4) + ".pac" : name]
                    [id * 4 + p] = {id % 5 == 1 ? data + " changed" : data, id % 2 == 0};
    }
  }
  publish_test::WriteTree(root + "old", old_tree);
  publish_test::WriteTree(root + "new", new_tree);
}

TEST(TreeDiffTest, PatchBytesDoNotDependOnThreads) {
  struct Case {
    std::string label;
    unsigned zip_threads;
    bool threads_start;
  };
  ScratchDir dir("tree_diff_threads");
  WriteBusyTrees(dir.dir());
  std::string first_zip, first_summary;
  for (const Case& c : {Case{"deflating on four threads", 4, true},
                        Case{"deflating on the caller's thread", 1, true},
                        Case{"no thread can start", 4, false}}) {
    SCOPED_TRACE(c.label);
    FaultInjectionEnv env(Env::Default());
    env.FailThreadCreation(!c.threads_start);
    TreeDiffOptions options;
    options.zip.threads = c.zip_threads;
    options.zip.time = {2024, 3, 0, 9, 8, 7, 6, 0};
    const std::string patch = dir.dir() + "patch_" + std::to_string(c.zip_threads) +
                              (c.threads_start ? "" : "_alone");
    TreeDiffResult r;
    ASSERT_TRUE(DiffTrees(&env, dir.dir() + "old", dir.dir() + "new", patch, options,
                          &r).ok());
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(patch)) {
      left.push_back(e.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{kPatchSummaryName, kPatchArchiveName}));
    std::string zip, summary;
    ASSERT_TRUE(ReadFileToString(Env::Default(), patch + "/" + kPatchArchiveName, &zip).ok());
    ASSERT_TRUE(ReadFileToString(Env::Default(), patch + "/" + kPatchSummaryName, &summary).ok());
    EXPECT_FALSE(r.moves.empty());
    if (first_zip.empty()) {
      first_zip = zip;
      first_summary = summary;
      // What the client makes of it, once.
      const std::string client = dir.dir() + "client";
      publish_test::WriteTree(client, publish_test::ReadTree(dir.dir() + "old"));
      ASSERT_TRUE(publish_test::ApplyPatchLikeClient(
                      Env::Default(), client + "/", patch + "/" + kPatchArchiveName)
                      .ok());
      EXPECT_EQ(publish_test::DescribeDifference(publish_test::ReadTree(client),
                                                 publish_test::ReadTree(dir.dir() + "new")),
                "");
    }
    EXPECT_TRUE(zip == first_zip) << "archive bytes differ";
    EXPECT_EQ(summary, first_summary);
  }
}

TEST(TreeDiffTest, FailuresWhileComparingLeaveNoPatch) {
  struct Case {
    std::string label;
    uint64_t disk_space;  // before appends fail
    bool bad_pack;
  };
  for (const Case& c : {Case{"disk fills while deflating", 1 << 20, false},
                        Case{"disk full from the start", 0, false},
                        Case{"a pack of the new tree is unreadable", ~uint64_t{0}, true}}) {
    SCOPED_TRACE(c.label);
    ScratchDir dir("tree_diff_fail");
    WriteBusyTrees(dir.dir());
    if (c.bad_pack) {
      ASSERT_TRUE(WriteFileAtomically(Env::Default(), dir.dir() + "new/qmz/fodder/p2.pac",
                                      "not a pack at all").ok());
    }
    FaultInjectionEnv env(Env::Default());
    env.FailWritesAfter(c.disk_space);
    TreeDiffOptions options;
    options.zip.threads = 2;
    TreeDiffResult r;
    const Status s = DiffTrees(&env, dir.dir() + "old", dir.dir() + "new",
                               dir.dir() + "patch", options, &r);
    EXPECT_FALSE(s.ok());
    if (c.bad_pack) {
      EXPECT_NE(s.message().find("p2.pac"), std::string::npos) << s.ToString();
    }
    // Neither the archive nor a scratch pack stays behind.
    if (std::filesystem::exists(dir.path() / "patch")) {
      EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "patch"));
    }
  }
}

}  // namespace
}  // namespace dizedir::publish
