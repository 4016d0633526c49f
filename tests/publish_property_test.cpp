// The publisher and the client together, on random input: random client
// trees over several versions, a release built from them, served on
// loopback, and a client at every earlier version brought up to date by
// `dizedir update`. The updated tree must equal the newest tree file for
// file and pack entry for pack entry, with nothing left over.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/env.h"
#include "plugin_host.h"
#include "publish_support.h"
#include "release_builder.h"
#include "support/release_fixture.h"
#include "support/client_files.h"
#include "support/scratch_dir.h"
#include "support/test_http_server.h"
#include "tree_diff.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using publish_test::Tree;

constexpr uint32_t kSeed = 20261209;
constexpr int kCases = 20;

class TreeMaker {
 public:
  explicit TreeMaker(uint32_t seed) : random_(seed) {}

  Tree First() {
    Tree tree;
    const int files = Between(2, 8);
    for (int i = 0; i < files; ++i) tree.files[NewName()] = Bytes();
    const int packs = Between(1, 3);
    for (int p = 0; p < packs; ++p) {
      auto& pack = tree.packs["qmz/fodder/pack" + std::to_string(p) + ".pac"];
      const int entries = Between(1, 30);
      for (int e = 0; e < entries; ++e) pack[NewId()] = Entry();
    }
    return tree;
  }

  // The next version: files changed, added and removed; entries changed,
  // added, removed and moved between packs.
  Tree Next(const Tree& previous) {
    Tree tree = previous;
    for (auto it = tree.files.begin(); it != tree.files.end();) {
      const int roll = Between(0, 9);
      if (roll == 0 && tree.files.size() > 1) {
        it = tree.files.erase(it);
        continue;
      }
      if (roll <= 2) it->second = Bytes();
      ++it;
    }
    const int added = Between(0, 3);
    for (int i = 0; i < added; ++i) tree.files[NewName()] = Bytes();

    std::vector<std::string> names;
    for (const auto& [name, entries] : tree.packs) names.push_back(name);
    for (auto& [name, entries] : tree.packs) {
      for (auto it = entries.begin(); it != entries.end();) {
        const int roll = Between(0, 9);
        if (roll == 0) {
          it = entries.erase(it);
          continue;
        }
        if (roll == 1) it->second = Entry();
        if (roll == 2 && names.size() > 1) {
          // Moves unchanged into another pack.
          const std::string& target = names[Between(0, static_cast<int>(names.size()) - 1)];
          if (target != name && tree.packs[target].count(it->first) == 0) {
            tree.packs[target][it->first] = it->second;
            it = entries.erase(it);
            continue;
          }
        }
        ++it;
      }
      const int fresh = Between(0, 4);
      for (int e = 0; e < fresh; ++e) entries[NewId()] = Entry();
    }
    if (tree == previous) tree.files[NewName()] = Bytes();
    return tree;
  }

 private:
  int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  std::string NewName() {
    static const char* const kDirs[] = {"", "data/", "data/maps/", "sound/", "t\xc3\xa9l\xc3\xa9/"};
    static const char* const kStems[] = {"a", "b", "config", "\xe5\x9c\xb0\xe5\x9b\xbe", "item"};
    static const char* const kExts[] = {".txt", ".bin", ".cfg", ".dat"};
    return std::string(kDirs[Between(0, 4)]) + kStems[Between(0, 4)] +
           std::to_string(next_name_++) + kExts[Between(0, 3)];
  }
  uint32_t NewId() { return next_id_ += static_cast<uint32_t>(Between(1, 50)); }
  std::string Bytes() {
    std::string out(static_cast<size_t>(Between(0, 3000)), '\0');
    const bool compressible = Between(0, 1) == 0;
    for (char& c : out) c = compressible ? static_cast<char>('a' + Between(0, 3))
                                         : static_cast<char>(Between(0, 255));
    return out;
  }
  publish_test::PackEntry Entry() { return {Bytes(), Between(0, 3) != 0}; }

  std::mt19937 random_;
  int next_name_ = 0;
  uint32_t next_id_ = 0;
};


// The tree of a client directory without the files the system itself keeps.
Tree GameTree(const fs::path& client) {
  Tree tree = publish_test::ReadTree(client.string());
  for (const char* own : kClientModules) tree.files.erase(own);
  for (const char* own : {"IPconfig.dat", "ng.ini", "patchone.ini", "curver.bin",
                          "dizedir.lock", "qmz_GT/downloadaddr.txt"}) {
    tree.files.erase(own);
  }
  return tree;
}

TEST(PublishProperty, EveryEarlierVersionUpdatesToTheNewestTree) {
  std::printf("seed %u (change kSeed to repeat a failure)\n", kSeed);
  Env* env = Env::Default();
  TestHttpServer server;
  ASSERT_TRUE(server.started());
  for (int c = 0; c < kCases; ++c) {
    SCOPED_TRACE("case " + std::to_string(c) + " of seed " + std::to_string(kSeed));
    ScratchDir scratch("publish_property");
    const fs::path dir = scratch.path();
    TreeMaker maker(kSeed + c);
    std::vector<Tree> versions = {maker.First()};
    const int count = 2 + c % 3;  // 2 to 4 versions
    while (static_cast<int>(versions.size()) < count) versions.push_back(maker.Next(versions.back()));

    const std::string release = (dir / "release").string();
    std::string base_list;
    ASSERT_TRUE(publish::InitRelease(env, release, {}, &base_list).ok());
    for (size_t v = 0; v < versions.size(); ++v) {
      publish_test::WriteTree((dir / ("v" + std::to_string(v + 1))).string(), versions[v]);
    }
    for (size_t v = 1; v < versions.size(); ++v) {
      const std::string patch = (dir / ("patch" + std::to_string(v + 1))).string();
      publish::TreeDiffResult diff;
      Status s = publish::DiffTrees(env, (dir / ("v" + std::to_string(v))).string(),
                                    (dir / ("v" + std::to_string(v + 1))).string(), patch, {},
                                    &diff);
      ASSERT_TRUE(s.ok()) << s.ToString();
      publish::AddOptions options;
      options.parts = 1 + static_cast<int>((c + v) % 3);
      publish::AddResult added;
      s = publish::AddPatch(env, release, patch + "/patch.zip", options, &added);
      ASSERT_TRUE(s.ok()) << s.ToString();
    }
    publish::ReleaseLists lists;
    ASSERT_TRUE(publish::LoadRelease(env, release, &lists).ok());
    server.ServeDirectory(release);

    for (size_t k = 0; k + 1 < versions.size(); ++k) {
      SCOPED_TRACE("client at version " + std::to_string(k + 1));
      const fs::path client = dir / ("client" + std::to_string(k + 1));
      publish_test::WriteTree(client.string(), versions[k]);
      std::string client_list;
      ASSERT_TRUE(publish::ClientListAt(lists, static_cast<int32_t>(k + 1), &client_list).ok());
      WriteBytes(client / "curver.bin", client_list);
      WriteBytes(client / "IPconfig.dat", ShiftedHost(server.host_port()));
      WriteBytes(client / "patchone.ini",
                 "[Region1]\r\nlist=main\r\nmain=" + server.host_port() + "\r\n");
      for (const char* module : kClientModules) {
        fs::copy_file(fs::path(DIZEDIR_MODULE_DIR) / module, client / module);
      }
      // The server list is fetched again by the update; serve the same one.
      fs::copy_file(client / "patchone.ini", fs::path(release) / "patchone.ini",
                    fs::copy_options::overwrite_existing);
      const std::string command = std::string(DIZEDIR_HOST_PROGRAM) + " update --client '" +
                                  client.string() + "' --optional no >'" +
                                  (dir / "out").string() + "' 2>&1";
      const int status = std::system(command.c_str());
      ASSERT_EQ(WEXITSTATUS(status), 0) << ReadBytes(dir / "out");
      const Tree got = GameTree(client);
      EXPECT_TRUE(got == versions.back())
          << publish_test::DescribeDifference(got, versions.back());
      for (const auto& entry : fs::recursive_directory_iterator(client)) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find(kTempSuffix), std::string::npos) << entry.path();
        EXPECT_EQ(name.find(".zxp"), std::string::npos) << entry.path();
      }
    }
  }
}

}  // namespace
}  // namespace dizedir
