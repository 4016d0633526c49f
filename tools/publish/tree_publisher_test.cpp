#include "tools/publish/tree_publisher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "lists/content_store.h"
#include "lists/version_lists.h"
#include "pack/pack.h"
#include "publish_support.h"
#include "support/scratch_dir.h"
#include "tools/publish/commands.h"
#include "tools/publish/sign_command.h"

namespace dizedir::publish {
namespace {

namespace fs = std::filesystem;
using publish_test::Tree;

constexpr int64_t kNow = 1700000000;

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

std::string Slashed(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

struct Outcome {
  int rc = -1;
  std::string out, err;
};

class TreePublisherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Version 2 changes a file and an entry, adds a file and an entry, and
    // keeps b.txt, which entry 3 holds raw too: one object for all four.
    v1_.files = {{"data/a.bin", RandomBytes(20000, 1)},
                 {"b.txt", std::string(5000, 'b')},
                 {"empty.dat", ""}};
    v1_.packs["qmz/fodder/items.pac"] = {{1, {std::string(3000, 'x'), true}},
                                         {2, {RandomBytes(3000, 2), false}},
                                         {3, {std::string(5000, 'b'), false}}};
    v2_ = v1_;
    v2_.files["data/a.bin"] = RandomBytes(20000, 3);
    v2_.files["c.txt"] = "new";
    v2_.packs["qmz/fodder/items.pac"][2] = {RandomBytes(3000, 4), false};
    v2_.packs["qmz/fodder/items.pac"][9] = {std::string(4000, 'y'), true};
    publish_test::WriteTree(Path("v1"), v1_);
    publish_test::WriteTree(Path("v2"), v2_);
    // What a client directory copied as the next tree would hold besides.
    ASSERT_TRUE(dir_.Write("v2/curver.bin", "a client's own list"));
    ASSERT_TRUE(dir_.Write("v2/dizedir.lock", ""));
  }

  std::string Path(const std::string& name) const { return dir_.Path(name); }

  Outcome Release(const std::function<void(ReleaseCommand*)>& set) {
    ReleaseCommand c;
    c.release_dir = rel_;
    c.now = kNow;
    set(&c);
    std::istringstream in;
    std::ostringstream out, err;
    Outcome r;
    r.rc = RunRelease(env_, c, in, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
  }
  // Version 1 from v1, version 2 from v2 through a real patch.
  void Publish(const std::string& key = "") {
    const Outcome init = Release([&](ReleaseCommand* c) {
      c->init = true;
      c->from_tree = Path("v1");
      c->secret_key = key;
    });
    ASSERT_EQ(init.rc, 0) << init.err;
    EXPECT_NE(init.out.find("tree1.manifest: 3 files, 1 pack (3 entries), 5 new objects"),
              std::string::npos) << init.out;
    DiffCommand diff;
    diff.old_tree = Path("v1");
    diff.new_tree = Path("v2");
    diff.patch_dir = Path("patch2");
    std::ostringstream out, err;
    ASSERT_EQ(RunDiff(env_, diff, out, err), 0) << err.str();
    const Outcome added = Release([&](ReleaseCommand* c) {
      c->add = Path("patch2");
      c->tree = Path("v2");
      c->secret_key = key;
    });
    ASSERT_EQ(added.rc, 0) << added.err;
    // Only what changed is new: b.txt, kept, and entry 3, which holds the
    // same bytes, share the object version 1 stored.
    EXPECT_NE(added.out.find("tree2.manifest: 4 files, 1 pack (4 entries), 4 new objects"),
              std::string::npos) << added.out;
  }
  TreeManifest Manifest(int32_t version) {
    TreeManifest m;
    const Status s = ParseTreeManifest(dir_.Read("rel/" + TreeManifestFileName(version)), &m);
    EXPECT_TRUE(s.ok()) << s.ToString();
    return m;
  }
  // The tree manifests release.manifest vouches for.
  std::vector<std::string> ListedTrees() {
    ReleaseManifest m;
    bool exists = false;
    EXPECT_TRUE(ReadManifest(env_, rel_, &m, &exists).ok() && exists);
    std::vector<std::string> trees;
    for (const ManifestFile& f : m.files) {
      if (f.name.starts_with("tree")) trees.push_back(f.name);
    }
    return trees;
  }
  std::string Object(const ContentHash& hash) { return rel_ + "/" + StoreObjectUrlPath(hash); }
  size_t StoreObjects() {
    size_t n = 0;
    for (const auto& f : fs::recursive_directory_iterator(rel_ + "/store")) {
      if (!f.is_regular_file()) continue;
      EXPECT_FALSE(IsTemporaryName(f.path().filename().string())) << f.path();
      ++n;
    }
    return n;
  }
  // The object decodes to `content` and is as large as the manifest says.
  void ExpectObject(const ContentHash& hash, uint64_t object_size, const std::string& content,
                    const std::string& what) {
    std::string object, decoded;
    ASSERT_TRUE(ReadFileToString(env_, Object(hash), &object).ok()) << what;
    EXPECT_EQ(object.size(), object_size) << what;
    const Status s = DecodeStoreObject(object, hash, content.size(), &decoded);
    EXPECT_TRUE(s.ok()) << what << ": " << s.ToString();
    EXPECT_EQ(decoded, content) << what;
  }

  Env* env_ = Env::Default();
  ScratchDir dir_{"tree_publisher"};
  std::string rel_ = dir_.Path("rel");
  Tree v1_, v2_;
};

TEST_F(TreePublisherTest, EachVersionsTreeDecodesFromAStoreThatHoldsEveryContentOnce) {
  Publish();
  std::vector<VersionRecord> published;
  ASSERT_TRUE(DecodeRemoteVersions(dir_.Read("rel/curver.bin"), &published));
  struct Step {
    int32_t version;
    const Tree* tree;
    std::string dir;
  };
  const Step steps[] = {{1, &v1_, Path("v1")}, {2, &v2_, Path("v2")}};
  for (const Step& step : steps) {
    SCOPED_TRACE("version " + std::to_string(step.version));
    const TreeManifest m = Manifest(step.version);
    EXPECT_EQ(m.version, step.version);
    EXPECT_EQ(m.line, published.at(0).guid);
    std::vector<std::string> paths;
    for (const TreeFile& f : m.files) {
      paths.push_back(Slashed(f.path));
      ExpectObject(f.hash, f.object_size, step.tree->files.at(Slashed(f.path)), f.path);
    }
    std::vector<std::string> expected_paths;
    for (const auto& [path, data] : step.tree->files) expected_paths.push_back(path);
    EXPECT_EQ(paths, expected_paths) << "the client's own files are never published";
    ASSERT_EQ(m.packs.size(), 1u);
    PackArchive* pack = PackOpenReadOnly(env_, step.dir + "/qmz/fodder/items.pac");
    ASSERT_NE(pack, nullptr);
    EXPECT_EQ(m.packs[0].entries.size(), step.tree->packs.at("qmz/fodder/items.pac").size());
    for (const TreePackEntry& e : m.packs[0].entries) {
      std::string block;
      ASSERT_EQ(PackReadStored(e.id, pack, &block), 1);
      ExpectObject(e.hash, e.object_size, block, "entry " + std::to_string(e.id));
    }
    PackClose(pack);
  }
  EXPECT_EQ(StoreObjects(), 9u);
  using Names = std::vector<std::string>;
  EXPECT_EQ(ListedTrees(), (Names{"tree1.manifest", "tree2.manifest"}));

  const Outcome withdrawn = Release([](ReleaseCommand* c) { c->withdraw = 2; });
  ASSERT_EQ(withdrawn.rc, 0) << withdrawn.err;
  EXPECT_FALSE(dir_.Exists("rel/tree2.manifest"));
  EXPECT_TRUE(dir_.Exists("rel/tree1.manifest"));
  EXPECT_EQ(StoreObjects(), 9u) << "objects may be shared, so they stay";
  EXPECT_EQ(ListedTrees(), Names{"tree1.manifest"});

  const Outcome without_tree = Release([&](ReleaseCommand* c) { c->add = Path("patch2"); });
  ASSERT_EQ(without_tree.rc, 0) << without_tree.err;
  EXPECT_NE(without_tree.err.find("version 3 has no tree manifest"), std::string::npos);
  EXPECT_FALSE(dir_.Exists("rel/tree3.manifest"));
  EXPECT_EQ(StoreObjects(), 9u);
  // A tree manifest left by hand for the withdrawn version is no client's.
  fs::copy_file(Path("rel/tree1.manifest"), Path("rel/tree2.manifest"));
  ASSERT_EQ(Release([](ReleaseCommand* c) { c->set_mirrors = true; }).rc, 0);
  EXPECT_EQ(ListedTrees(), Names{"tree1.manifest"});
}

}  // namespace
}  // namespace dizedir::publish
