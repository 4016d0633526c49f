// Verify, repair and install against a hostile server and a damaged client:
// whatever the tree manifests, the objects and the HTTP answers say, nothing
// is written or deleted outside the client, the task ends with a text that
// names the problem, the disk takes no more than the release announces, every
// file is left either as it was or as published, and an honest repair
// afterwards brings the client to the published tree.
//
// Each family of attacks is one table. The clients live in scratch/outside
// (the damaged one in client/, an empty one for installs in fresh/), so a
// write or delete that escapes lands in scratch/outside, where victim files
// wait; the served release and the published tree live elsewhere in scratch.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "codec/content_hash.h"
#include "codec/md5.h"
#include "engine/patch_engine.h"
#include "engine/release_guard.h"
#include "lists/content_store.h"
#include "lists/release_state.h"
#include "lists/tree_manifest.h"
#include "platform/env.h"
#include "platform/http/curl_downloader.h"
#include "plugin/string_table.h"
#include "support/fault_injection_env.h"
#include "support/recording_sink.h"
#include "support/release_fixture.h"
#include "support/release_signer.h"
#include "support/scratch_dir.h"
#include "support/test_bytes.h"
#include "support/test_http_server.h"
#include "tools/publish/tree_publisher.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;
using Fault = TestHttpServer::Fault;

constexpr const char* kOtherLine = "0B9E4C1D-7A2F-4E55-8C3B-1D2E3F4A5B6C";
constexpr uint64_t kMiB = uint64_t{1} << 20;
// What the capped disk of a run holds unless a case says otherwise: far
// more than an honest repair of this release writes, so whatever a run
// writes beyond that was sent to fill the disk.
constexpr uint64_t kCapacity = 256 * kMiB;
// "Not enough free disk space", said before anything is fetched.
constexpr uint32_t kStringNoSpace = 229;
// A ThreadSanitizer build is here for the threads: work in bulk on one
// thread, which costs it minutes, is left to the other builds.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif
// The sequence a signed client accepted before the run.
constexpr int64_t kAccepted = 4;

enum class Task { kVerify, kRepair, kInstall };

const char* TaskName(Task task) {
  switch (task) {
    case Task::kVerify: return "verify";
    case Task::kRepair: return "repair";
    case Task::kInstall: return "install";
  }
  return "";
}

// How long a run's downloader waits: the test lengths every engine test
// uses, or, where a stop is to be what ends a transfer, long enough that
// nothing else does first.
struct Patience {
  uint32_t stall_millis = 300;
  bool rate_floor = true;
};

// Lines of text that zlib shrinks well, different for every seed.
std::string Compressible(size_t bytes, int seed) {
  std::string text;
  for (int i = 0; text.size() < bytes; ++i) {
    text += "line " + std::to_string(i * seed) + " of the release notes\n";
  }
  text.resize(bytes);
  return text;
}

// What the release publishes: plain files in nested directories, a raw
// and a zlib object among them, and a pack of compressed and raw entries.
ClientTree PublishedTree() {
  ClientTree tree;
  tree.files["readme.txt"] = Compressible(30000, 1);
  tree.files["data/blob.bin"] = RandomBytes(48 << 10, 1);
  tree.files["data/maps/level1.map"] = Compressible(64 << 10, 3);
  tree.packs["items.pac"] = {{1, {Compressible(12000, 5), true}},
                             {2, {RandomBytes(20000, 2), false}},
                             {3, {Compressible(9000, 7), true}}};
  return tree;
}

// A pack as the player sees it: its entries, whatever order its writer
// laid them out in.
std::string PackState(const fs::path& path) {
  const std::optional<PackContents> pack = ReadPack(path);
  if (!pack) return "unreadable pack " + Md5Hex(ReadBytes(path));
  std::string state = "pack";
  for (const auto& [id, entry] : *pack) {
    state += " " + std::to_string(id) + (entry.compressed ? "z" : "r") + Md5Hex(entry.bytes);
  }
  return state;
}

// Every file below `dir` by its name there, '/' between components, with
// its bytes. A link to a file counts as the file it leads to, under the
// link's own name; links to directories are not followed.
Files FilesBelow(const fs::path& dir) {
  Files files;
  if (!fs::exists(dir)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) {
      files[entry.path().lexically_relative(dir).generic_string()] = ReadBytes(entry.path());
    }
  }
  return files;
}

// Files the engine keeps for itself while it runs.
bool IsBookkeeping(const std::string& name) {
  return name == "dizedir.lock" || name == "qmz_GT/downloadaddr.txt" ||
         name.rfind(std::string(kRepairDirName) + "/", 0) == 0;
}

// Every file of a client but the engine's bookkeeping: plain files by the
// MD5 of their bytes (short enough to read in a failure), packs by their
// entries.
Files ClientState(const fs::path& dir) {
  Files state;
  for (const auto& [name, bytes] : FilesBelow(dir)) {
    if (IsBookkeeping(name)) continue;
    state[name] = name.ends_with(".pac") ? PackState(dir / name) : Md5Hex(bytes);
  }
  return state;
}

// Names below `dir` that carry the temporary suffix.
std::vector<std::string> Temporaries(const fs::path& dir) {
  std::vector<std::string> found;
  for (const auto& [name, bytes] : FilesBelow(dir)) {
    if (name.find(std::string(kTempSuffix)) != std::string::npos) found.push_back(name);
  }
  return found;
}

// The first `size` bytes of a zlib stream of zeros that inflates to far
// more than any content of this release: an object that costs its size on
// the wire and could cost gigabytes inflated.
std::string ZlibBomb(size_t size) {
  static const std::string kStream = DeflateStream(std::string(64 * kMiB, '\0'), 15);
  std::string stream = "z" + kStream;
  stream.resize(size, '\0');
  return stream;
}

class TreeHostile : public ::testing::Test {
 public:
  // One object a repair of the damaged client needs.
  struct Object {
    std::string url;  // as the server is asked for it
    ContentHash hash{};
    std::string bytes;  // as published
  };

  void SetUp() override {
    if (strings_ == nullptr) {
      ASSERT_TRUE(StringTable::Open(Env::Default(), DIZEDIR_RESCHN_DLL, &strings_).ok());
    }
    // A server of its own for every case: answers a case left stalled
    // hold none of the threads the next one needs.
    server_.reset();
    server_ = std::make_unique<TestHttpServer>();
    ASSERT_TRUE(server_->started());
    faulted_.clear();
    added_.clear();
    kept_.clear();
    signer_.reset();
    outside_ = scratch_.path() / "outside";
    client_ = outside_ / "client";
    fresh_ = outside_ / "fresh";
    served_ = scratch_.path() / "served";
    tree_ = scratch_.path() / "tree";
    for (const fs::path& dir : {outside_, served_, tree_}) fs::remove_all(dir);
    release_ = std::make_unique<ReleaseFixture>(served_ / "rel", scratch_.path() / "work");
    release_->Publish();
    server_->ServeDirectory(served_.string());
    WriteClientTree(tree_, PublishedTree());
    PublishTree();

    // The client: the published tree with a file gone, one damaged, a pack
    // entry missing and one too many.
    WriteClientTree(client_, PublishedTree());
    release_->WriteClient(client_, 1, {}, server_->host_port() + "/rel");
    fs::remove(client_ / "readme.txt");
    std::string blob = ReadBytes(client_ / "data/blob.bin");
    blob[1000] ^= 0x5A;
    WriteBytes(client_ / "data/blob.bin", blob);
    PackContents pack = PublishedTree().packs.at("items.pac");
    pack.erase(2);
    pack[9] = {"an entry the release does not hold", false};
    WriteBytes(client_ / kPackDir / "items.pac", MakePack(scratch_.path() / "scratch.pac", pack));
    damaged_ = ClientState(client_);
    fs::create_directories(fresh_);

    // What an escape would overwrite or delete.
    for (const char* victim : {"victim.zip", "victim.txt", "linked/victim.txt"}) {
      WriteBytes(outside_ / victim, std::string("precious ") + victim);
    }
    outside_before_ = OutsideFiles();
    server_->ClearRequests();
  }

  // Scans the published tree, stores its objects and serves its manifest.
  void PublishTree() {
    TreeManifest manifest;
    ASSERT_TRUE(publish::ScanReleaseTree(Env::Default(), tree_.string(), &manifest).ok());
    manifest.line = ReleaseFixture::kGuid;
    manifest.version = 1;
    publish::StoredObjects stored;
    ASSERT_TRUE(publish::StoreTreeObjects(Env::Default(), root().string(), tree_.string(),
                                          &manifest, &stored)
                    .ok());
    ASSERT_TRUE(publish::WriteTreeManifest(Env::Default(), root().string(), manifest).ok());
    manifest_ = manifest;
    honest_manifest_ = ReadBytes(root() / TreeManifestFileName(1));
  }

  const fs::path& root() const { return release_->root(); }
  static std::string ManifestUrl() { return "/rel/" + TreeManifestFileName(1); }

  // The object of a plain file ("data/blob.bin") or a pack entry
  // ("items.pac#2") of the published tree.
  Object ObjectOf(const std::string& key) const {
    ContentHash hash{};
    const size_t mark = key.find('#');
    if (mark == std::string::npos) {
      std::string path = key;
      for (char& c : path) {
        if (c == '/') c = '\\';
      }
      for (const TreeFile& f : manifest_.files) {
        if (f.path == path) hash = f.hash;
      }
    } else {
      const std::string path = "qmz\\fodder\\" + key.substr(0, mark);
      const uint32_t id = static_cast<uint32_t>(std::stoul(key.substr(mark + 1)));
      for (const TreePack& p : manifest_.packs) {
        if (p.path == path && p.FindEntry(id) != nullptr) hash = p.FindEntry(id)->hash;
      }
    }
    Object object;
    object.url = "/rel/" + StoreObjectUrlPath(hash);
    object.hash = hash;
    object.bytes = ReadBytes(root() / StoreObjectUrlPath(hash));
    EXPECT_FALSE(object.bytes.empty()) << key;
    return object;
  }

  // The three objects a repair of the damaged client needs, and what a
  // repair of it claims of the disk before it fetches: every object and
  // every content.
  std::vector<Object> NeededObjects() const {
    return {ObjectOf("data/blob.bin"), ObjectOf("items.pac#2"), ObjectOf("readme.txt")};
  }
  uint64_t NeededBytes() const {
    const ClientTree tree = PublishedTree();
    uint64_t bytes = tree.files.at("readme.txt").size() + tree.files.at("data/blob.bin").size() +
                     tree.packs.at("items.pac").at(2).bytes.size();  // raw: stored as it is
    for (const Object& object : NeededObjects()) bytes += object.bytes.size();
    return bytes;
  }

  // A content of the hostile server's own, stored so it can be fetched, as
  // a file of the tree at `path`.
  TreeFile PlantFile(const std::string& path, const std::string& content) {
    TreeFile file;
    file.path = path;
    file.size = content.size();
    file.hash = HashBytes(content);
    const std::string object = EncodeStoreObject(content);
    file.object_size = object.size();
    WriteBytes(root() / StoreObjectUrlPath(file.hash), object);
    return file;
  }

  void ServeManifestText(const std::string& text) {
    WriteBytes(root() / TreeManifestFileName(1), text);
  }
  void ServeManifest(const TreeManifest& manifest) {
    ServeManifestText(FormatTreeManifest(manifest));
  }
  // The honest manifest with `file` added where its path sorts.
  void ServeManifestWith(const TreeFile& file) {
    TreeManifest manifest = manifest_;
    manifest.files.push_back(file);
    ServeManifest(manifest);
  }
  void ServeAt(const std::string& url, std::string bytes) {
    server_->AddFile(url, std::move(bytes));
    added_.push_back(url);
  }
  void SetFault(const std::string& url, const Fault& fault) {
    server_->SetFault(url, fault);
    faulted_.push_back(url);
  }

  // The client holds the operator's key and has accepted a release before;
  // the served release is signed honestly.
  void SignRelease() {
    signer_ = std::make_unique<ReleaseSigner>();
    WriteBytes(client_ / kTrustedKeyName, signer_->PublicKeyFile());
    ReleaseState state;
    state.line = ReleaseFixture::kGuid;
    state.sequence = kAccepted;
    WriteBytes(client_ / kReleaseStateName, FormatReleaseState(state));
    signer_->Sign(root(), SignedManifest());
    damaged_ = ClientState(client_);
  }
  ReleaseManifest SignedManifest() const {
    return signer_->ManifestOf(root(), ReleaseFixture::kGuid, kAccepted);
  }

  // One task as the plug-in runs it, on `env`; `beside` runs in a thread of
  // its own while the task does, and is told when the task is over.
  bool Run(Task task, Env* env = Env::Default(), Patience patience = {},
           const std::function<void(PatchEngine*, const std::atomic<bool>& over)>& beside =
               nullptr) {
    DownloaderModule module;
    module.get = [env, patience] {
      HttpInterface* d =
          env == Env::Default() ? GetHttpInterface() : new http::CurlDownloader(env);
      d->SetStallTimeout(patience.stall_millis);
      d->SetRetryPolicy(2, 20);
      d->SetRateFloor(patience.rate_floor ? 2048 : 0, 400);
      return d;
    };
    module.stop = [env](HttpInterface* d) {
      if (env == Env::Default()) {
        StopDll(d);
      } else {
        delete static_cast<http::CurlDownloader*>(d);
      }
    };
    PatchEngine engine(env, strings_.get(), module);
    engine.set_small_file_deadline(1500);
    sink_ = RecordingSink();
    engine.SetPlugin(&sink_, nullptr);
    engine.SetClientDir((task == Task::kInstall ? fresh_ : client_).string() + "/");
    engine.ParseRegionList();
    std::atomic<bool> over{false};
    std::thread helper;
    if (beside) helper = std::thread([&] { beside(&engine, over); });
    bool ok = false;
    switch (task) {
      case Task::kVerify: ok = engine.RunVerify(); break;
      case Task::kRepair: ok = engine.RunRepair(); break;
      case Task::kInstall:
        engine.SetInstallAddress(server_->host_port() + "/rel");
        ok = engine.RunInstall();
        break;
    }
    over = true;
    if (helper.joinable()) helper.join();
    return ok;
  }

  std::string FirstFailure() const {
    const auto failures = sink_.failures();
    return failures.empty() ? "" : failures.front();
  }
  std::string Text(uint32_t id) const { return strings_->LookupNarrow(id); }

  // Files beside the clients that no run may touch.
  Files OutsideFiles() const {
    Files files;
    for (const auto& [name, bytes] : FilesBelow(outside_)) {
      if (name.rfind("client/", 0) != 0 && name.rfind("fresh/", 0) != 0) files[name] = bytes;
    }
    return files;
  }

  // The client's files that the release owns: without its lists, its
  // trust and what the player keeps beside the game.
  Files GameState(const fs::path& dir) const {
    Files state = ClientState(dir);
    for (const char* own : {"curver.bin", "patchone.ini", kTrustedKeyName, kReleaseStateName}) {
      state.erase(own);
    }
    for (const auto& [name, bytes] : kept_) state.erase(name);
    return state;
  }

  // The run failed, saying `id` first and `detail` after it; nothing
  // outside the clients changed and nothing was finished.
  void ExpectRefused(bool ok, uint32_t id, const std::string& detail) {
    EXPECT_FALSE(ok);
    const std::string failure = FirstFailure();
    EXPECT_EQ(failure.rfind(Text(id), 0), 0u) << failure;
    EXPECT_NE(failure.find(detail), std::string::npos) << failure;
    EXPECT_TRUE(sink_.finished().empty());
    EXPECT_EQ(OutsideFiles(), outside_before_);
  }

  // Every file of the client is as it was before the run or as published,
  // none is half written, and no temporary is left.
  void ExpectConsistent() {
    const Files published = ClientState(tree_);
    const Files now = ClientState(client_);
    for (const auto& [name, state] : now) {
      const auto before = damaged_.find(name);
      const auto after = published.find(name);
      const bool as_before = before != damaged_.end() && before->second == state;
      const bool as_published = after != published.end() && after->second == state;
      EXPECT_TRUE(as_before || as_published) << name;
    }
    for (const auto& [name, state] : damaged_) EXPECT_EQ(now.count(name), 1u) << name;
    EXPECT_EQ(Temporaries(client_), std::vector<std::string>{});
  }

  // Where the repair keeps a fetched object of this client.
  fs::path FetchedObject(const ContentHash& hash) const {
    const std::string hex = ContentHashHex(hash);
    return client_ / kRepairDirName / hex.substr(0, 2) / hex.substr(2, 2) / hex;
  }

  // What the repair directory holds is whole: each object is the one its
  // name promises, so the next run may take it as fetched.
  void ExpectOnlyWholeObjectsKept() {
    const fs::path dir = client_ / kRepairDirName;
    if (!fs::exists(dir)) return;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      if (entry.is_directory()) continue;
      const std::string name = entry.path().filename().string();
      bool known = false;
      for (const Object& object : NeededObjects()) {
        if (ContentHashHex(object.hash) != name) continue;
        known = true;
        EXPECT_EQ(ReadBytes(entry.path()), object.bytes) << name;
      }
      EXPECT_TRUE(known) << name;
    }
  }

  // With the honest release served again, one repair brings the client to
  // the published tree and leaves nothing of its own behind; a verify then
  // finds it intact. With `install`, an install into the empty client
  // brings that one to the published tree too.
  void ExpectHonestRepairRestores(bool install = false) {
    for (const std::string& path : faulted_) server_->ClearFault(path);
    for (const std::string& path : added_) server_->RemoveFile(path);
    faulted_.clear();
    added_.clear();
    ServeManifestText(honest_manifest_);
    if (signer_ != nullptr) signer_->Sign(root(), SignedManifest());
    ASSERT_TRUE(Run(Task::kRepair)) << FirstFailure();
    EXPECT_EQ(sink_.finished(), std::vector<std::string>{Text(kStringTreeRepaired)});
    EXPECT_EQ(GameState(client_), ClientState(tree_));
    for (const auto& [name, bytes] : kept_) EXPECT_EQ(ReadBytes(client_ / name), bytes) << name;
    EXPECT_FALSE(fs::exists(client_ / kRepairDirName));
    EXPECT_EQ(Temporaries(client_), std::vector<std::string>{});
    EXPECT_EQ(OutsideFiles(), outside_before_);
    ASSERT_TRUE(Run(Task::kVerify)) << FirstFailure();
    EXPECT_EQ(sink_.finished(), std::vector<std::string>{Text(kStringTreeIntact)});
    if (install) {
      ASSERT_TRUE(Run(Task::kInstall)) << FirstFailure();
      EXPECT_EQ(GameState(fresh_), ClientState(tree_));
    }
  }

  static std::unique_ptr<StringTable> strings_;
  ScratchDir scratch_{"tree_hostile"};
  fs::path outside_, client_, fresh_, served_, tree_;
  std::unique_ptr<ReleaseFixture> release_;
  TreeManifest manifest_;
  std::string honest_manifest_;
  Files damaged_;  // the client's state before the run
  Files outside_before_;
  Files kept_;  // the player's files beside the game, by name
  std::unique_ptr<ReleaseSigner> signer_;
  std::vector<std::string> faulted_, added_;
  std::unique_ptr<TestHttpServer> server_;
  RecordingSink sink_;
};

std::unique_ptr<StringTable> TreeHostile::strings_;

// Tree manifests no client can hold, that lead out of the client or onto
// the engine's own files, or that promise more than the disk holds: each is
// refused with the text that says why, before the client loses or gains a
// byte it should not (or, refused only while files are put back, with every
// file as it was or as published), and the disk never takes more than the
// bounds of the format and the free space allow.
TEST_F(TreeHostile, HostileTreeManifestsAreRefused) {
  // Threads meet in the fetch and the stop, which the other tables run.
  if (kThreadSanitizer) GTEST_SKIP() << "single-threaded work, left to the other builds";
  constexpr uint64_t kHuge = uint64_t{1} << 62;
  constexpr uint64_t kLargest = (uint64_t{1} << 63) - 1;
  const auto with_file = [](std::string path, uint64_t size, uint64_t object_size) {
    return [=](TreeHostile* t) {
      TreeFile file;
      file.path = path;
      file.size = size;
      file.object_size = object_size;
      file.hash = HashBytes(path);
      t->ServeManifestWith(file);
    };
  };
  // A file whose object the server does hold.
  const auto with_planted = [](std::string path) {
    return [=](TreeHostile* t) { t->ServeManifestWith(t->PlantFile(path, "planted")); };
  };
  struct Case {
    const char* name;
    std::function<void(TreeHostile*)> arrange;
    uint32_t failure;
    std::string detail;
    // Verify and install refuse it as a repair does (else only a repair
    // gets that far).
    bool every_task;
    // The refusal may come once files are being put back: the files
    // before it in path order are repaired, the rest are as they were.
    bool while_placing = false;
    // What the run may write: the lists and the manifest, and the objects
    // and files of a repair that gets that far.
    uint64_t may_write = kMiB;
    // Parses a million paths on the task's thread and nothing more.
    bool bulk = false;
  };
  const std::vector<Case> cases = {
      {"no file list for the version",
       [](TreeHostile* t) { t->SetFault(ManifestUrl(), Fault::Status(404)); },
       kStringTreeListFetch, Text(kStringUnusableAnswer), true},
      {"garbage", [](TreeHostile* t) { t->ServeManifestText(RandomBytes(5000, 3)); },
       kStringTreeListBad, "line 1", true},
      {"an empty file", [](TreeHostile* t) { t->ServeManifestText(""); }, kStringTreeListBad,
       "", true},
      {"a manifest cut short",
       [](TreeHostile* t) {
         t->ServeManifestText(t->honest_manifest_.substr(0, t->honest_manifest_.size() - 7));
       },
       kStringTreeListBad, "", true},
      {"another release line",
       [](TreeHostile* t) {
         TreeManifest other = t->manifest_;
         other.line = kOtherLine;
         t->ServeManifest(other);
       },
       kStringTreeListOther, "tree1.manifest", true},
      {"another version",
       [](TreeHostile* t) {
         TreeManifest other = t->manifest_;
         other.version = 2;
         t->ServeManifest(other);
       },
       kStringTreeListOther, "tree1.manifest", true},
      {"a path that climbs", with_file("..\\victim.zip", 5, 6), kStringTreeListBad,
       "victim.zip", true},
      {"a path from the root", with_file("\\victim.zip", 5, 6), kStringTreeListBad,
       "victim.zip", true},
      {"a path on a drive", with_file("C:victim.zip", 5, 6), kStringTreeListBad, "victim.zip",
       true},
      {"a device name", with_file("data\\nul.txt", 5, 6), kStringTreeListBad, "nul.txt", true},
      {"a path through a file of its own", with_file("readme.txt\\x.bin", 5, 6),
       kStringTreeListBad, "readme.txt", true},
      {"two paths Windows takes for one", with_file("README.TXT", 5, 6), kStringTreeListBad,
       "README.TXT", true},
      // Files the engine keeps in the client: put back from the server they
      // would replace the installed list, the server list, the lock a
      // second task waits on, or the objects of the repair itself.
      {"the client's own version list", with_planted("curver.bin"), kStringTreeListBad,
       "curver.bin", true},
      {"the client's server list", with_planted("PatchOne.ini"), kStringTreeListBad,
       "PatchOne.ini", true},
      {"the update lock", with_planted("dizedir.lock"), kStringTreeListBad, "dizedir.lock",
       true},
      {"the signed release state", with_planted("dizedir.state"), kStringTreeListBad,
       "dizedir.state", true},
      {"a file of the repair directory", with_planted("dizedir.repair\\x"),
       kStringTreeListBad, "dizedir.repair", true},
      {"an object larger than its content allows", with_file("extra.bin", 5, 7),
       kStringTreeListBad, "object size", true},
      {"an object of no bytes", with_file("extra.bin", 5, 0), kStringTreeListBad,
       "object size", true},
      {"more files and packs than any client holds",
       [](TreeHostile* t) {
         std::string text = "dizedir tree manifest 1\nline " + std::string(ReleaseFixture::kGuid) +
                            "\nversion 1\n";
         for (size_t i = 0; i <= kMaxTreePaths; ++i) {
           std::string digits = std::to_string(i);
           text += "pack p" + std::string(8 - digits.size(), '0') + digits + ".pac\n";
         }
         t->ServeManifestText(text);
       },
       kStringTreeListBad, "more than", false, false, 20 * kMiB, true},
      {"announced larger than any file list",
       [](TreeHostile* t) {
         t->SetFault(ManifestUrl(), Fault::LongerThanAnnounced(kMaxTreeManifestBytes));
       },
       kStringTreeListFetch, Text(kStringSentTooMuch), false},
      {"a file list that never ends",
       [](TreeHostile* t) { t->SetFault(ManifestUrl(), Fault::EndlessBody()); },
       kStringTreeListFetch, Text(kStringSentTooMuch), false, false,
       kMaxTreeManifestBytes + kMiB},
      {"a file larger than the disk", with_file("zz.bin", kHuge, kHuge), kStringNoSpace, "",
       false},
      // Together they come to 2^64 bytes, which a sum in 64 bits takes for
      // nothing; the large one's object never ends.
      {"sizes that add up past 2^64",
       [](TreeHostile* t) {
         TreeManifest manifest = t->manifest_;
         TreeFile large;
         large.path = "zz1.bin";
         large.size = kLargest;
         large.object_size = kLargest;
         large.hash = HashBytes("large");
         TreeFile small = t->PlantFile("zz2.bin", "s");
         manifest.files.push_back(large);
         manifest.files.push_back(small);
         t->ServeManifest(manifest);
         const std::string url = "/rel/" + StoreObjectUrlPath(large.hash);
         t->ServeAt(url, "z");
         t->SetFault(url, Fault::EndlessBody());
       },
       kStringNoSpace, "", false},
      // Rows that do not fit the block they name: the block is the
      // publisher's by its hash, so only the pack can tell, and the fault
      // is the list's, not the object's (which is kept).
      {"a raw block said to be compressed",
       [](TreeHostile* t) {
         TreeManifest manifest = t->manifest_;
         TreePackEntry& entry = manifest.packs.front().entries[1];
         entry.compressed = true;
         entry.size = entry.stored_size * 2;
         t->ServeManifest(manifest);
       },
       kStringTreeRepairFailed, "items.pac", false, true},
      {"an entry whose MD5 is not its block's",
       [](TreeHostile* t) {
         TreeManifest manifest = t->manifest_;
         manifest.packs.front().entries[1].md5_hex = Md5Hex("another block");
         t->ServeManifest(manifest);
       },
       kStringTreeRepairFailed, "items.pac", false, true},
      {"a path through the player's file",
       [](TreeHostile* t) {
         t->kept_["player.dat"] = "the player's own";
         WriteBytes(t->client_ / "player.dat", t->kept_["player.dat"]);
         t->damaged_ = ClientState(t->client_);
         t->ServeManifestWith(t->PlantFile("player.dat\\x.bin", "planted"));
       },
       kStringTreeRepairFailed, "player.dat", false, true},
      {"a path through a link out of the client",
       [](TreeHostile* t) {
         std::error_code error;
         fs::create_directory_symlink(t->outside_ / "linked", t->client_ / "linked", error);
         ASSERT_FALSE(error) << error.message();
         t->ServeManifestWith(t->PlantFile("linked\\victim.txt", "planted"));
       },
       kStringTreeRepairFailed, "link", false, true},
  };
  for (const Case& c : cases) {
    if (c.bulk && kThreadSanitizer) continue;
    std::vector<Task> tasks = {Task::kRepair};
    if (c.every_task) tasks = {Task::kVerify, Task::kRepair, Task::kInstall};
    for (Task task : tasks) {
      SCOPED_TRACE(std::string(c.name) + ", " + TaskName(task));
      SetUp();
      c.arrange(this);
      FaultInjectionEnv disk(Env::Default());
      disk.ReportFreeDiskSpace(uint64_t{1} << 40);
      disk.FailWritesAfter(kCapacity);
      ExpectRefused(Run(task, &disk), c.failure, c.detail);
      EXPECT_LE(kCapacity - disk.SpaceLeft(), c.may_write);
      if (c.failure == kStringNoSpace) {
        EXPECT_EQ(server_->BodyBytesUnder("/rel/store/"), 0u);
      }
      if (c.while_placing) {
        ExpectConsistent();
      } else {
        EXPECT_EQ(ClientState(client_), damaged_);
        EXPECT_EQ(Temporaries(client_), std::vector<std::string>{});
      }
      EXPECT_EQ(GameState(fresh_), Files{});
      EXPECT_FALSE(fs::exists(fresh_ / "curver.bin"));
      ExpectHonestRepairRestores(task == Task::kInstall);
    }
  }
}

// Objects and answers for them that are not what the manifest promises:
// the repair fails saying so, the file the object was for stays as it was
// (never half written), a damaged object is not kept, so the next honest
// repair fetches it again, and no object is written past its size.
TEST_F(TreeHostile, HostileObjectsNeverReachTheClient) {
  // What an honest repair of the damaged client writes: the bound for the
  // hostile ones, with room for one object fetched twice.
  uint64_t honest_writes = 0;
  {
    FaultInjectionEnv disk(Env::Default());
    disk.FailWritesAfter(kCapacity);
    ASSERT_TRUE(Run(Task::kRepair, &disk)) << FirstFailure();
    honest_writes = kCapacity - disk.SpaceLeft();
  }
  using Serve = std::function<void(TreeHostile*, const Object&)>;
  const auto bytes = [](std::function<std::string(const std::string&)> edit) -> Serve {
    return [=](TreeHostile* t, const Object& o) { t->ServeAt(o.url, edit(o.bytes)); };
  };
  const auto fault = [](Fault f) -> Serve {
    return [=](TreeHostile* t, const Object& o) { t->SetFault(o.url, f); };
  };
  const auto flip = [](size_t at) {
    return [=](const std::string& b) {
      std::string out = b;
      out[at % out.size()] ^= 0x5A;
      return out;
    };
  };
  const auto first_byte = [](char form) {
    return [=](const std::string& b) { return form + b.substr(1); };
  };
  struct Case {
    const char* name;
    const char* target;  // the object: a file's path, or pack#id
    Serve serve;
    uint32_t failure;  // 0: the repair succeeds all the same
    uint32_t reason;   // a text the failure holds after its own, 0 for none
  };
  const std::vector<Case> cases = {
      {"a raw file object with other bytes", "data/blob.bin", bytes(flip(4000)),
       kStringTreeObjectDamaged, 0},
      {"a zlib file object with other bytes", "readme.txt", bytes(flip(300)),
       kStringTreeObjectDamaged, 0},
      {"a pack entry's object with other bytes", "items.pac#2", bytes(flip(777)),
       kStringTreeObjectDamaged, 0},
      {"a form byte that is neither", "readme.txt", bytes(first_byte('x')),
       kStringTreeObjectDamaged, 0},
      {"a zlib object sent as raw", "readme.txt", bytes(first_byte('r')),
       kStringTreeObjectDamaged, 0},
      {"a raw object sent as zlib", "data/blob.bin", bytes(first_byte('z')),
       kStringTreeObjectDamaged, 0},
      {"a zlib bomb", "readme.txt",
       bytes([](const std::string& b) { return ZlibBomb(b.size()); }),
       kStringTreeObjectDamaged, 0},
      {"a zlib bomb as a pack entry", "items.pac#2",
       bytes([](const std::string& b) { return ZlibBomb(b.size()); }),
       kStringTreeObjectDamaged, 0},
      {"an object longer than its size", "data/blob.bin",
       bytes([](const std::string& b) { return b + "more"; }), kStringTreeFetchFailed,
       kStringSentTooMuch},
      {"an object shorter than its size", "items.pac#2",
       bytes([](const std::string& b) { return b.substr(0, b.size() - 1); }),
       kStringTreeFetchFailed, 0},
      {"a body longer than announced", "data/blob.bin", fault(Fault::LongerThanAnnounced(kMiB)),
       kStringTreeFetchFailed, kStringSentTooMuch},
      {"a body that never ends", "readme.txt", fault(Fault::EndlessBody()),
       kStringTreeFetchFailed, kStringSentTooMuch},
      {"a body shorter than announced", "data/blob.bin", fault(Fault::ShortBody(100)),
       kStringTreeFetchFailed, 0},
      {"no such object", "items.pac#2", fault(Fault::Status(404)), kStringTreeFetchFailed,
       kStringUnusableAnswer},
      {"a redirect", "readme.txt",
       [](TreeHostile* t, const Object& o) {
         t->SetFault(o.url, Fault::RedirectTo(t->server_->url(o.url)));
       },
       kStringTreeFetchFailed, kStringUnusableAnswer},
      {"a trickle below the floor", "data/blob.bin", fault(Fault::SlowRate(1)),
       kStringTreeFetchFailed, kStringTooSlow},
      {"one stall", "data/blob.bin", fault(Fault::Stall(1000, 1)), 0, 0},
      {"one dropped connection", "data/blob.bin", fault(Fault::DropAfter(1000, 1)), 0, 0},
      // Objects are asked for unencoded: ranges of an encoded body could
      // not be joined.
      {"an encoded answer", "readme.txt", fault(Fault::Encoded("gzip")), kStringTreeFetchFailed,
       kStringUnusableAnswer},
      // What an earlier run or the disk left: the full size, other bytes.
      {"a damaged object kept from an earlier run", "data/blob.bin",
       [flip](TreeHostile* t, const Object& o) {
         WriteBytes(t->FetchedObject(o.hash), flip(10)(o.bytes));
       },
       kStringTreeObjectDamaged, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const Object object = ObjectOf(c.target);
    c.serve(this, object);
    FaultInjectionEnv disk(Env::Default());
    disk.FailWritesAfter(kCapacity);
    const bool ok = Run(Task::kRepair, &disk);
    EXPECT_LE(kCapacity - disk.SpaceLeft(), honest_writes + object.bytes.size());
    if (c.failure == 0) {
      EXPECT_TRUE(ok) << FirstFailure();
      EXPECT_EQ(GameState(client_), ClientState(tree_));
      continue;
    }
    ExpectRefused(ok, c.failure, c.reason == 0 ? "" : Text(c.reason));
    ExpectConsistent();
    // The file the object is for is as it was.
    const std::string target =
        std::string(c.target).find('#') == std::string::npos
            ? c.target
            : std::string(kPackDir) + std::string(c.target).substr(0, std::string(c.target).find('#'));
    const auto before = damaged_.find(target);
    const Files now = ClientState(client_);
    const auto after = now.find(target);
    EXPECT_EQ(before == damaged_.end(), after == now.end()) << target;
    if (before != damaged_.end() && after != now.end()) {
      EXPECT_EQ(after->second, before->second) << target;
    }
    // Nothing damaged is kept to be taken for fetched next time.
    ExpectOnlyWholeObjectsKept();
    ExpectHonestRepairRestores();
  }
}

// A disk that fills at any point of a repair: the run says the disk is
// full, every file is as it was or as published, what was fetched whole is
// kept and nothing else, and the next repair with room finishes. A disk
// that reports too little room for what the repair needs is not written to
// at all.
TEST_F(TreeHostile, AFullDiskLeavesTheClientWhole) {
  // Threads meet in the fetch and the stop, which the other tables run.
  if (kThreadSanitizer) GTEST_SKIP() << "single-threaded work, left to the other builds";
  uint64_t honest_writes = 0;
  {
    FaultInjectionEnv disk(Env::Default());
    disk.FailWritesAfter(kCapacity);
    ASSERT_TRUE(Run(Task::kRepair, &disk)) << FirstFailure();
    honest_writes = kCapacity - disk.SpaceLeft();
  }
  struct Case {
    std::string name;
    uint64_t reported_free;
    uint64_t capacity;
    uint32_t failure;
  };
  std::vector<Case> cases;
  SetUp();
  cases.push_back({"reported one byte short", NeededBytes() - 1, kCapacity, kStringNoSpace});
  // The lists, the objects, each file and the pack: a cut through every
  // step the repair takes.
  constexpr int kCuts = 12;
  for (int i = 0; i < kCuts; ++i) {
    const uint64_t capacity = honest_writes * i / kCuts;
    cases.push_back({"full after " + std::to_string(capacity) + " bytes", uint64_t{1} << 40,
                     capacity, kStringDiskFull});
  }
  cases.push_back({"full one byte short", uint64_t{1} << 40, honest_writes - 1, kStringDiskFull});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    FaultInjectionEnv disk(Env::Default());
    disk.ReportFreeDiskSpace(c.reported_free);
    disk.FailWritesAfter(c.capacity);
    ExpectRefused(Run(Task::kRepair, &disk), c.failure, "");
    if (c.failure == kStringNoSpace) {
      EXPECT_EQ(server_->BodyBytesUnder("/rel/store/"), 0u);
      EXPECT_EQ(ClientState(client_), damaged_);
    }
    ExpectConsistent();
    ExpectOnlyWholeObjectsKept();
    ExpectHonestRepairRestores();
  }
}

// A client that holds the operator's key takes no tree manifest the signed
// release manifest does not vouch for, byte for byte.
TEST_F(TreeHostile, SignedReleasesVouchForTheirTreeManifests) {
  // Threads meet in the fetch and the stop, which the other tables run.
  if (kThreadSanitizer) GTEST_SKIP() << "single-threaded work, left to the other builds";
  struct Case {
    const char* name;
    std::function<void(TreeHostile*)> tamper;
    uint32_t failure;
    std::string detail;
  };
  // A manifest as valid as the honest one that puts a content of the
  // server's choosing in the client.
  const auto planted = [](TreeHostile* t) {
    TreeManifest manifest = t->manifest_;
    manifest.files.push_back(t->PlantFile("planted.exe", "MZ planted"));
    return FormatTreeManifest(manifest);
  };
  const std::vector<Case> cases = {
      {"a tree manifest the release manifest does not name",
       [](TreeHostile* t) {
         ReleaseManifest manifest = t->SignedManifest();
         std::erase_if(manifest.files, [](const ManifestFile& f) {
           return f.name == TreeManifestFileName(1);
         });
         t->signer_->Sign(t->root(), manifest);
       },
       kStringFileNotSigned, "tree1.manifest"},
      {"a tree manifest of the signed size with other bytes",
       [](TreeHostile* t) {
         std::string text = t->honest_manifest_;
         text[text.size() - 2] = text[text.size() - 2] == '0' ? '1' : '0';
         t->ServeManifestText(text);
       },
       kStringFileAltered, "tree1.manifest"},
      {"a longer tree manifest",
       [planted](TreeHostile* t) { t->ServeManifestText(planted(t)); }, kStringTreeListFetch,
       Text(kStringSentTooMuch)},
      {"a shorter tree manifest",
       [](TreeHostile* t) {
         TreeManifest manifest = t->manifest_;
         manifest.files.pop_back();
         t->ServeManifest(manifest);
       },
       kStringFileAltered, "tree1.manifest"},
      {"a tree manifest signed for another one's size",
       [planted](TreeHostile* t) {
         const std::string text = planted(t);
         ReleaseManifest manifest = t->SignedManifest();
         for (ManifestFile& f : manifest.files) {
           if (f.name == TreeManifestFileName(1)) f.size = text.size();
         }
         t->signer_->Sign(t->root(), manifest);
         t->ServeManifestText(text);
       },
       kStringFileAltered, "tree1.manifest"},
  };
  for (const Case& c : cases) {
    for (Task task : {Task::kVerify, Task::kRepair}) {
      SCOPED_TRACE(std::string(c.name) + ", " + TaskName(task));
      SetUp();
      SignRelease();
      c.tamper(this);
      ExpectRefused(Run(task), c.failure, c.detail);
      EXPECT_EQ(ClientState(client_), damaged_);
      EXPECT_FALSE(fs::exists(client_ / "planted.exe"));
      EXPECT_EQ(server_->BodyBytesUnder("/rel/store/"), 0u);
      ExpectHonestRepairRestores();
    }
  }
}

// What a damaged client holds where the release's files, the repair's
// objects or its directory belong (links out of the client, garbage, what
// a killed repair left): a repair puts the client right without writing,
// reading into the client or deleting anything outside it, or refuses
// saying why, and the next honest repair finishes.
TEST_F(TreeHostile, DamagedClientsAreRepairedInPlace) {
  // Threads meet in the fetch and the stop, which the other tables run.
  if (kThreadSanitizer) GTEST_SKIP() << "single-threaded work, left to the other builds";
  const auto link = [](const fs::path& target, const fs::path& at) {
    fs::remove(at);
    std::error_code error;
    if (fs::is_directory(target)) {
      fs::create_directory_symlink(target, at, error);
    } else {
      fs::create_symlink(target, at, error);
    }
    ASSERT_FALSE(error) << error.message();
  };
  struct Case {
    const char* name;
    std::function<void(TreeHostile*)> arrange;
    uint32_t failure;  // 0: the repair succeeds
  };
  const std::vector<Case> cases = {
      {"a damaged file that is a link out of the client",
       [link](TreeHostile* t) { link(t->outside_ / "victim.txt", t->client_ / "data/blob.bin"); },
       0},
      {"a missing file whose place a link out of the client takes",
       [link](TreeHostile* t) { link(t->outside_ / "victim.txt", t->client_ / "readme.txt"); }, 0},
      {"a pack that is a link out of the client",
       [link](TreeHostile* t) {
         const fs::path pack = t->client_ / kPackDir / "items.pac";
         fs::copy_file(pack, t->outside_ / "victim.pac");
         link(t->outside_ / "victim.pac", pack);
       },
       0},
      {"a pack whose table is garbage",
       [](TreeHostile* t) {
         WriteBytes(t->client_ / kPackDir / "items.pac", RandomBytes(5000, 11));
       },
       0},
      {"a link where the repair directory goes",
       [link](TreeHostile* t) { link(t->outside_ / "linked", t->client_ / kRepairDirName); }, 0},
      {"a file where the repair directory goes",
       [](TreeHostile* t) { WriteBytes(t->client_ / kRepairDirName, "not a directory"); }, 0},
      {"what a killed repair left",
       [](TreeHostile* t) {
         const std::string temp(kTempSuffix);
         WriteBytes(t->client_ / ("data/blob.bin" + temp), "half a file");
         WriteBytes(t->client_ / kPackDir / ("items.pac.blocks" + temp), "half the blocks");
         WriteBytes(t->client_ / kPackDir / ("items.pac.new" + temp), "half a pack");
         const Object blob = t->ObjectOf("data/blob.bin");
         WriteBytes(t->FetchedObject(blob.hash).string() + temp, blob.bytes.substr(0, 1000));
       },
       0},
      {"a fetched object that is a link out of the client",
       [link](TreeHostile* t) {
         const Object blob = t->ObjectOf("data/blob.bin");
         fs::create_directories(t->FetchedObject(blob.hash).parent_path());
         link(t->outside_ / "victim.txt", t->FetchedObject(blob.hash));
       },
       0},
      // Of the size the object has, so it passes for one fetched before.
      {"a fetched object that is a link to another file of its size",
       [link](TreeHostile* t) {
         const Object blob = t->ObjectOf("data/blob.bin");
         WriteBytes(t->outside_ / "same_size.bin", std::string(blob.bytes.size(), 'x'));
         fs::create_directories(t->FetchedObject(blob.hash).parent_path());
         link(t->outside_ / "same_size.bin", t->FetchedObject(blob.hash));
       },
       kStringTreeObjectDamaged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.arrange(this);
    damaged_ = ClientState(client_);
    outside_before_ = OutsideFiles();
    const bool ok = Run(Task::kRepair);
    EXPECT_EQ(OutsideFiles(), outside_before_);
    if (c.failure != 0) {
      ExpectRefused(ok, c.failure, "");
      ExpectConsistent();
      ExpectHonestRepairRestores();
      continue;
    }
    ASSERT_TRUE(ok) << FirstFailure();
    EXPECT_EQ(GameState(client_), ClientState(tree_));
    EXPECT_FALSE(fs::exists(client_ / kRepairDirName));
    EXPECT_FALSE(fs::is_symlink(client_ / kRepairDirName));
    EXPECT_EQ(Temporaries(client_), std::vector<std::string>{});
    ASSERT_TRUE(Run(Task::kVerify)) << FirstFailure();
    EXPECT_EQ(sink_.finished(), std::vector<std::string>{Text(kStringTreeIntact)});
  }
}

// A stop while the objects come in ends the repair with the stopped text,
// whatever the transfer is doing, and the next repair finishes.
TEST_F(TreeHostile, AStopDuringTheFetchEndsTheRepair) {
  struct Case {
    const char* name;
    Fault fault;
  } cases[] = {
      {"an object that stalls", Fault::Stall(1000, -1)},
      {"an object that trickles", Fault::SlowRate(2000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const Object object = ObjectOf("data/blob.bin");
    SetFault(object.url, c.fault);
    // Only the stop may end the transfer.
    Patience patient;
    patient.stall_millis = 60000;
    patient.rate_floor = false;
    const bool ok =
        Run(Task::kRepair, Env::Default(), patient,
            [&](PatchEngine* engine, const std::atomic<bool>& over) {
              while (!over.load() && server_->RequestsFor(object.url).empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
              }
              engine->RequestStop();
            });
    ExpectRefused(ok, kStringUpdateStopped, "");
    ExpectConsistent();
    EXPECT_EQ(ClientState(client_), damaged_);
    ExpectOnlyWholeObjectsKept();
    ExpectHonestRepairRestores();
  }
}

}  // namespace
}  // namespace dizedir
