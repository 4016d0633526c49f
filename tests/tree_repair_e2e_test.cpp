// Verify, repair and install end to end: releases published by
// `dizedir-publish` with their tree manifests and content store, served on
// loopback, and clients damaged at random and put right by `dizedir
// repair`, or installed from nothing by `dizedir install`. A repaired
// client must equal the published tree file for file and entry for entry,
// keep the files it holds beyond the release, and have fetched no more
// than the objects of what was damaged.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "codec/content_hash.h"
#include "lists/content_store.h"
#include "lists/tree_manifest.h"
#include "pack/pack.h"
#include "platform/env.h"
#include "plugin_host.h"
#include "publish_support.h"
#include "release_builder.h"
#include "support/client_files.h"
#include "support/release_fixture.h"
#include "support/scratch_dir.h"
#include "support/subprocess.h"
#include "support/test_http_server.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using publish_test::Tree;

constexpr uint32_t kSeed = 20261210;
constexpr int kCases = 20;

// The tree of a client directory without the files the system itself keeps.
Tree GameTree(const fs::path& client) {
  Tree tree = publish_test::ReadTree(client.string());
  for (const char* own : kClientModules) tree.files.erase(own);
  for (auto it = tree.files.begin(); it != tree.files.end();) {
    it = IsClientStateName(it->first) ? tree.files.erase(it) : std::next(it);
  }
  return tree;
}

// What a release says of one object: where it is and how large.
struct ObjectRef {
  std::string url_path;
  uint64_t size = 0;
};

class TreeRepairEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.started());
    release_ = scratch_.path() / "release";
    server_.ServeDirectory(release_.string());
  }

  // `dizedir-publish` or `dizedir` with its output in scratch/out; the exit
  // status.
  int Run(const std::string& program, const std::vector<std::string>& args) {
    return Subprocess::RunToFile(program, args, (scratch_.path() / "out").string());
  }
  std::string Output() const { return ReadBytes(scratch_.path() / "out"); }

  // Publishes the versions, each with its tree, as a release on the
  // server. Every tree carries the IPconfig.dat that leads to the server,
  // as an operator's would.
  void Publish(std::vector<Tree>* versions) {
    for (Tree& tree : *versions) tree.files["IPconfig.dat"] = ShiftedHost(server_.host_port());
    for (size_t v = 0; v < versions->size(); ++v) {
      publish_test::WriteTree(TreeDir(v + 1).string(), (*versions)[v]);
    }
    ASSERT_EQ(Run(DIZEDIR_PUBLISH_PROGRAM,
                  {"release", release_.string(), "--init", "--from", TreeDir(1).string()}),
              0)
        << Output();
    for (size_t v = 2; v <= versions->size(); ++v) {
      const std::string patch = (scratch_.path() / ("patch" + std::to_string(v))).string();
      ASSERT_EQ(Run(DIZEDIR_PUBLISH_PROGRAM,
                    {"diff", TreeDir(v - 1).string(), TreeDir(v).string(), "-o", patch}),
                0)
          << Output();
      ASSERT_EQ(Run(DIZEDIR_PUBLISH_PROGRAM, {"release", release_.string(), "--add", patch,
                                              "--tree", TreeDir(v).string()}),
                0)
          << Output();
    }
    WriteBytes(release_ / "patchone.ini",
               "[Region1]\r\nlist=main\r\nmain=" + server_.host_port() + "\r\n");
    newest_ = static_cast<int32_t>(versions->size());
    TreeManifest manifest;
    const std::string text = ReadBytes(release_ / TreeManifestFileName(newest_));
    ASSERT_TRUE(ParseTreeManifest(text, &manifest).ok()) << text.substr(0, 200);
    objects_.clear();
    for (const TreeFile& f : manifest.files) {
      objects_[f.path] = {"/" + StoreObjectUrlPath(f.hash), f.object_size};
    }
    for (const TreePack& p : manifest.packs) {
      for (const TreePackEntry& e : p.entries) {
        objects_[p.path + "#" + std::to_string(e.id)] = {"/" + StoreObjectUrlPath(e.hash),
                                                        e.object_size};
      }
    }
  }

  fs::path TreeDir(size_t version) const {
    return scratch_.path() / ("v" + std::to_string(version));
  }

  // A client of the newest version, as an installer would leave it.
  fs::path MakeClient(const std::string& name, const Tree& tree) {
    const fs::path client = scratch_.path() / name;
    publish_test::WriteTree(client.string(), tree);
    for (const char* module : kClientModules) {
      fs::copy_file(fs::path(DIZEDIR_MODULE_DIR) / module, client / module,
                    fs::copy_options::overwrite_existing);
    }
    // The client's own list at the newest version, as an update leaves it.
    publish::ReleaseLists lists;
    std::string client_list;
    EXPECT_TRUE(publish::LoadRelease(Env::Default(), release_.string(), &lists).ok());
    EXPECT_TRUE(publish::ClientListAt(lists, newest_, &client_list).ok());
    WriteBytes(client / "curver.bin", client_list);
    return client;
  }

  // The objects of the paths and entries named (path, or path#id), each
  // once: what a repair of them may fetch.
  uint64_t ObjectBytes(const std::set<std::string>& keys) const {
    std::set<std::string> urls;
    uint64_t bytes = 0;
    for (const std::string& key : keys) {
      const auto it = objects_.find(key);
      if (it == objects_.end()) continue;
      if (urls.insert(it->second.url_path).second) bytes += it->second.size;
    }
    return bytes;
  }

  // Every entry key of a pack.
  std::set<std::string> PackKeys(const std::string& path) const {
    std::set<std::string> keys;
    for (const auto& [key, object] : objects_) {
      if (key.size() > path.size() && key.compare(0, path.size() + 1, path + "#") == 0) {
        keys.insert(key);
      }
    }
    return keys;
  }

  ScratchDir scratch_{"tree_repair_e2e"};
  TestHttpServer server_;
  fs::path release_;
  int32_t newest_ = 0;
  std::map<std::string, ObjectRef> objects_;  // by path, or path#id
};

// The manifest's spelling of a tree path.
std::string Backslashed(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

void FlipByte(const fs::path& path, uint64_t offset) {
  std::string bytes = ReadBytes(path);
  if (bytes.empty()) {
    bytes = "x";
  } else {
    bytes[offset % bytes.size()] ^= 0x5A;
  }
  WriteBytes(path, bytes);
}

// Damages a client as players' disks and programs do, and records in
// *needed what a repair must fetch for it and in *expected what the
// repaired tree is (extra files stay).
class Damager {
 public:
  Damager(publish_test::TreeMaker* random, const fs::path& client, Tree* expected,
          std::set<std::string>* needed)
      : random_(random), client_(client), expected_(expected), needed_(needed) {}

  std::string DamageOnce(int kind, const std::set<std::string>& pack_keys_of_all) {
    std::vector<std::string> files;
    for (const auto& [path, bytes] : expected_->files) {
      if (path != "IPconfig.dat" && extras_.count(path) == 0) files.push_back(path);
    }
    std::vector<std::string> packs;
    for (const auto& [path, entries] : expected_->packs) packs.push_back(path);
    const auto pick = [&](const std::vector<std::string>& from) {
      return from[static_cast<size_t>(random_->Between(0, static_cast<int>(from.size()) - 1))];
    };
    switch (kind) {
      case 0: {  // a file deleted
        if (files.empty()) return "nothing";
        const std::string path = pick(files);
        fs::remove(client_ / path);
        needed_->insert(Backslashed(path));
        return "deleted " + path;
      }
      case 1: {  // a file cut short
        if (files.empty()) return "nothing";
        const std::string path = pick(files);
        const uint64_t size = fs::file_size(client_ / path);
        fs::resize_file(client_ / path, size / 2);
        if (size != size / 2) needed_->insert(Backslashed(path));
        return "truncated " + path;
      }
      case 2: {  // bytes of a file flipped
        if (files.empty()) return "nothing";
        const std::string path = pick(files);
        FlipByte(client_ / path, static_cast<uint64_t>(random_->Between(0, 1 << 20)));
        needed_->insert(Backslashed(path));
        return "flipped in " + path;
      }
      case 3: {  // bytes of a pack entry's block flipped
        if (packs.empty()) return "nothing";
        const std::string path = pick(packs);
        std::unique_ptr<PackArchive, void (*)(PackArchive*)> pack(
            PackOpenReadOnly(Env::Default(), (client_ / path).string()), PackDiscard);
        if (pack == nullptr || PackGetCount(pack.get()) == 0) return "nothing";
        const uint32_t id = PackGetIdAt(
            static_cast<uint32_t>(random_->Between(0, PackGetCount(pack.get()) - 1)), pack.get());
        PackEntryInfo info;
        PackGetEntryInfo(id, pack.get(), &info);
        pack.reset();
        if (info.stored_size == 0) return "nothing";
        FlipByte(client_ / path,
                 info.offset + static_cast<uint64_t>(random_->Between(0, info.stored_size - 1)));
        needed_->insert(Backslashed(path) + "#" + std::to_string(id));
        return "flipped in " + path + " entry " + std::to_string(id);
      }
      case 4: {  // an entry removed
        if (packs.empty()) return "nothing";
        const std::string path = pick(packs);
        PackArchive* pack = PackOpenForUpdate(Env::Default(), (client_ / path).string());
        if (pack == nullptr || PackGetCount(pack) == 0) {
          PackDiscard(pack);
          return "nothing";
        }
        const uint32_t id =
            PackGetIdAt(static_cast<uint32_t>(random_->Between(0, PackGetCount(pack) - 1)), pack);
        PackRemove(id, pack);
        PackClose(pack);
        needed_->insert(Backslashed(path) + "#" + std::to_string(id));
        return "removed " + path + " entry " + std::to_string(id);
      }
      case 5: {  // a pack's table damaged: cut to a few bytes
        if (packs.empty()) return "nothing";
        const std::string path = pick(packs);
        fs::resize_file(client_ / path, 7);
        for (const std::string& key : pack_keys_of_all) {
          if (key.compare(0, Backslashed(path).size() + 1, Backslashed(path) + "#") == 0) {
            needed_->insert(key);
          }
        }
        return "damaged the table of " + path;
      }
      case 6: {  // an entry the release does not hold, added to a pack
        if (packs.empty()) return "nothing";
        const std::string path = pick(packs);
        PackArchive* pack = PackOpenForUpdate(Env::Default(), (client_ / path).string());
        if (pack == nullptr) return "nothing";
        const std::string data = "not the release's";
        PackAdd(0xFFFFFF00u + static_cast<uint32_t>(random_->Between(0, 200)), data.data(),
                static_cast<uint32_t>(data.size()), pack, 1, nullptr);
        PackClose(pack);
        return "added an entry to " + path;
      }
      default: {  // a file of the player's, which a repair leaves alone
        const std::string path =
            random_->Between(0, 1) == 0 ? "screenshots/shot" + std::to_string(extras_.size()) + ".png"
                                        : "notes" + std::to_string(extras_.size()) + ".txt";
        if (expected_->files.count(path) != 0) return "nothing";
        WriteBytes(client_ / path, "the player's own " + path);
        expected_->files[path] = "the player's own " + path;
        extras_.insert(path);
        return "added " + path;
      }
    }
  }

 private:
  publish_test::TreeMaker* random_;
  fs::path client_;
  Tree* expected_;
  std::set<std::string>* needed_;
  std::set<std::string> extras_;
};

TEST_F(TreeRepairEndToEnd, RandomDamageIsRepairedFetchingOnlyWhatWasDamaged) {
  std::printf("seed %u (change kSeed to repeat a failure)\n", kSeed);
  publish_test::TreeMaker maker(kSeed);
  std::vector<Tree> versions = {maker.First()};
  versions.push_back(maker.Next(versions.back()));
  Publish(&versions);
  std::set<std::string> all_entries;
  for (const auto& [key, object] : objects_) {
    if (key.find('#') != std::string::npos) all_entries.insert(key);
  }

  for (int c = 0; c < kCases; ++c) {
    publish_test::TreeMaker random(kSeed + 1000 + c);
    const fs::path client = MakeClient("client" + std::to_string(c), versions.back());
    Tree expected = versions.back();
    std::set<std::string> needed;
    Damager damager(&random, client, &expected, &needed);
    std::string done;
    const int damages = random.Between(1, 5);
    for (int d = 0; d < damages; ++d) done += damager.DamageOnce(random.Between(0, 7), all_entries) + "; ";
    SCOPED_TRACE("case " + std::to_string(c) + " of seed " + std::to_string(kSeed) + ": " + done);

    const int verified = Run(DIZEDIR_HOST_PROGRAM, {"verify", "--client", client.string()});
    const bool damaged = !needed.empty() || GameTree(client) != expected;
    EXPECT_EQ(verified, damaged ? 3 : 0) << Output();

    server_.ClearRequests();
    ASSERT_EQ(Run(DIZEDIR_HOST_PROGRAM, {"repair", "--client", client.string()}), 0) << Output();
    const Tree got = GameTree(client);
    EXPECT_TRUE(got == expected) << publish_test::DescribeDifference(got, expected);
    const uint64_t fetched = server_.BodyBytesUnder("/store/");
    const uint64_t bound = ObjectBytes(needed);
    EXPECT_LE(fetched * 10, bound * 11) << "fetched " << fetched << " for objects of " << bound;
    EXPECT_EQ(Run(DIZEDIR_HOST_PROGRAM, {"verify", "--client", client.string()}), 0) << Output();
    EXPECT_FALSE(fs::exists(client / kRepairDirName)) << "fetched objects are cleaned up";
  }
}

TEST_F(TreeRepairEndToEnd, InstallFromNothingEqualsThePublishedTreeAndIsCurrent) {
  publish_test::TreeMaker maker(kSeed + 7);
  std::vector<Tree> versions = {maker.First()};
  versions.push_back(maker.Next(versions.back()));
  versions.push_back(maker.Next(versions.back()));
  Publish(&versions);
  const fs::path client = scratch_.path() / "fresh";
  ASSERT_EQ(Run(DIZEDIR_HOST_PROGRAM, {"install", "--from", server_.host_port(), client.string(),
                                       "--modules", DIZEDIR_MODULE_DIR}),
            0)
      << Output();
  const Tree got = GameTree(client);
  EXPECT_TRUE(got == versions.back()) << publish_test::DescribeDifference(got, versions.back());
  // Installed means current: the update that follows fetches no patch.
  server_.ClearRequests();
  ASSERT_EQ(Run(DIZEDIR_HOST_PROGRAM, {"update", "--client", client.string()}), 0) << Output();
  for (const TestHttpServer::Request& r : server_.requests()) {
    EXPECT_EQ(r.path.find(".zxp"), std::string::npos) << r.path;
    EXPECT_EQ(r.path.find(".zip"), std::string::npos) << r.path;
  }
  EXPECT_EQ(Run(DIZEDIR_HOST_PROGRAM, {"verify", "--client", client.string()}), 0) << Output();
}

TEST_F(TreeRepairEndToEnd, KilledRepairsAndInstallsFinishOnTheRerun) {
  publish_test::TreeMaker maker(kSeed + 11);
  std::vector<Tree> versions = {maker.First()};
  // One large file whose object arrives slowly, so kills land mid-transfer
  // as well as while files are being put back.
  std::string large(3 << 20, '\0');
  for (char& c : large) c = static_cast<char>(maker.Between(0, 255));
  versions[0].files["data/large.bin"] = large;
  Publish(&versions);
  server_.SetFault(objects_.at("data\\large.bin").url_path,
                   TestHttpServer::Fault::SlowRate(2 << 20));

  struct Case {
    const char* name;
    bool install;
  };
  for (const Case& c : {Case{"repair", false}, Case{"install", true}}) {
    SCOPED_TRACE(c.name);
    const fs::path client = scratch_.path() / (std::string("killed-") + c.name);
    std::vector<std::string> args = {"repair", "--client", client.string()};
    if (c.install) {
      args = {"install", "--from", server_.host_port(), client.string(), "--modules",
              DIZEDIR_MODULE_DIR};
    } else {
      MakeClient(client.filename().string(), versions.back());
      fs::remove_all(client / "data");
      for (const auto& [path, entries] : versions.back().packs) fs::resize_file(client / path, 3);
    }
    for (int kill_after : {150, 400, 900, 1300}) {
      const int status = Subprocess::RunQuietly(DIZEDIR_HOST_PROGRAM, args,
                                                std::chrono::milliseconds(kill_after));
      if (status == 0) break;
      EXPECT_EQ(status, -SIGKILL) << "after " << kill_after << " ms";
    }
    ASSERT_EQ(Run(DIZEDIR_HOST_PROGRAM, args), 0) << Output();
    const Tree got = GameTree(client);
    EXPECT_TRUE(got == versions.back()) << publish_test::DescribeDifference(got, versions.back());
    EXPECT_FALSE(fs::exists(client / kRepairDirName));
  }
}

}  // namespace
}  // namespace dizedir
