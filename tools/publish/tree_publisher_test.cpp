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

TEST_F(TreePublisherTest, VerifyFindsEveryObjectATreeManifestPromisesAndTheStoreLacks) {
  KeygenCommand keygen;
  keygen.out_dir = Path("keys");
  keygen.unencrypted = true;
  std::istringstream in;
  std::ostringstream ignored;
  ASSERT_EQ(RunKeygen(env_, keygen, in, ignored, ignored), 0);
  const std::string secret = Path("keys/") + kSecretKeyName;
  minisign::SecretKey key;
  ASSERT_TRUE(LoadSecretKey(env_, secret, "", in, &key).ok());
  Publish(secret);
  SignCommand refresh;
  refresh.file = rel_;
  refresh.secret_key = secret;
  refresh.refresh = true;
  refresh.now = kNow + 1;
  std::ostringstream out, err;
  ASSERT_EQ(RunSign(env_, refresh, in, out, err), 0) << "refresh and compare agree: " << err.str();

  const TreeManifest v2 = Manifest(2);
  const TreePackEntry& entry9 = v2.packs.at(0).entries.back();
  const TreeFile& c_txt = v2.files.at(1);
  ASSERT_EQ(c_txt.path, "c.txt");
  const ContentHash b_txt = v2.files.at(0).hash;
  // Writes the release manifest again, edited, and signs it, so only what
  // a case breaks is at fault.
  const auto resign = [&](const std::function<void(ReleaseManifest*)>& edit) {
    ReleaseManifest m;
    bool exists = false;
    ASSERT_TRUE(ReadManifest(env_, rel_, &m, &exists).ok());
    edit(&m);
    ASSERT_TRUE(dir_.Write("rel/release.manifest", FormatReleaseManifest(m)));
    ASSERT_TRUE(SignFileBeside(env_, rel_ + "/release.manifest", key, "", kNow).ok());
  };
  const auto retree = [&](const std::function<void(TreeManifest*)>& edit) {
    TreeManifest m = v2;
    edit(&m);
    const std::string text = FormatTreeManifest(m);
    ASSERT_TRUE(dir_.Write("rel/tree2.manifest", text));
    resign([&](ReleaseManifest* r) {
      for (ManifestFile& f : r->files) {
        if (f.name == "tree2.manifest") f = {f.name, text.size(), HashBytes(text)};
      }
    });
  };
  const auto flip_last = [&](const std::string& path) {
    std::string data;
    ASSERT_TRUE(ReadFileToString(env_, path, &data).ok());
    data.back() ^= 1;
    ASSERT_TRUE(WriteFileAtomically(env_, path, data).ok());
  };
  const auto drop = [](const std::string& name) {
    return [name](ReleaseManifest* m) {
      std::erase_if(m->files, [&](const ManifestFile& f) { return f.name == name; });
    };
  };
  struct Case {
    const char* label;
    std::function<void()> tamper;
    std::string problem;  // empty: verify passes
    std::string summary = "";
  };
  const std::vector<Case> cases = {
      // Each distinct object once, however many paths and versions hold it.
      {"untouched", [] {}, "", "2 tree manifests, 9 objects checked"},
      {"a file's object gone", [&] { fs::remove(Object(c_txt.hash)); },
       StoreObjectUrlPath(c_txt.hash) + " is missing; needed by tree2.manifest c.txt"},
      {"an entry's object damaged", [&] { flip_last(Object(entry9.hash)); },
       "; needed by tree2.manifest qmz\\fodder\\items.pac entry 9"},
      {"a shared object, reported once with its first users", [&] { fs::remove(Object(b_txt)); },
       "is missing; needed by tree1.manifest b.txt, tree1.manifest qmz\\fodder\\items.pac "
       "entry 3, tree2.manifest b.txt and 1 more"},
      {"an object size",
       [&] { retree([](TreeManifest* m) { m->files.at(1).object_size -= 1; }); },
       " holds " + std::to_string(c_txt.object_size) + " bytes, the tree manifest says " +
           std::to_string(c_txt.object_size - 1) + "; needed by tree2.manifest c.txt"},
      {"another line", [&] { retree([](TreeManifest* m) { m->line = "0-0"; }); },
       "tree2.manifest is for release line 0-0"},
      {"another version", [&] { retree([](TreeManifest* m) { m->version = 1; }); },
       "tree2.manifest holds version 1"},
      {"a tree manifest left out", [&] { resign(drop("tree1.manifest")); },
       "tree1.manifest is not in release.manifest"},
      {"a tree manifest gone", [&] { fs::remove(rel_ + "/tree2.manifest"); },
       "tree2.manifest, listed in release.manifest, is missing"},
      {"a tree manifest of no live version",
       [&] { fs::copy_file(rel_ + "/tree2.manifest", rel_ + "/tree5.manifest"); },
       "tree5.manifest is for version 5, which no client can be at"},
      {"no tree manifests at all",
       [&] {
         fs::remove(rel_ + "/tree1.manifest");
         fs::remove(rel_ + "/tree2.manifest");
         fs::remove_all(rel_ + "/store");
         resign(drop("tree1.manifest"));
         resign(drop("tree2.manifest"));
       },
       "", "no tree manifests"},
  };
  const std::string pristine = Path("pristine");
  fs::copy(rel_, pristine, fs::copy_options::recursive);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(rel_);
    fs::copy(pristine, rel_, fs::copy_options::recursive);
    c.tamper();
    VerifyCommand verify;
    verify.release_dir = rel_;
    verify.public_key = Path("keys/") + kPublicKeyName;
    verify.now = kNow;
    std::ostringstream vout, verr;
    const int rc = RunVerify(env_, verify, vout, verr);
    if (c.problem.empty()) {
      EXPECT_EQ(rc, 0) << verr.str();
      EXPECT_EQ(verr.str(), "");
      EXPECT_NE(vout.str().find(c.summary), std::string::npos) << vout.str();
    } else {
      EXPECT_EQ(rc, 1);
      EXPECT_NE(verr.str().find(c.problem), std::string::npos) << verr.str();
      EXPECT_NE(vout.str().find(" 1 problems"), std::string::npos)
          << "one fault, one line: " << verr.str();
    }
  }
}

}  // namespace
}  // namespace dizedir::publish
