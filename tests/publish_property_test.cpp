// The publisher and the client together, on random input: random client
// trees over several versions, a release built from them, served on
// loopback, and a client at every earlier version brought up to date by
// `dizedir update`. The updated tree must equal the newest tree file for
// file and pack entry for pack entry, with nothing left over.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
    publish_test::TreeMaker maker(kSeed + c);
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
