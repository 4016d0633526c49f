// Signed releases end to end: a client that holds the operator's key takes
// in only what that key (or a key it rotated to) signed. A tampering proxy
// sits between the client and the honest server and changes one thing per
// case; each is refused with its own text, the client's game files and
// installed version stay what they were, and with the proxy honest again
// the same client updates to the published tree.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/release_guard.h"
#include "lists/release_state.h"
#include "lists/version_lists.h"
#include "platform/env.h"
#include "plugin/string_table.h"
#include "support/engine_task.h"
#include "support/recording_sink.h"
#include "support/release_fixture.h"
#include "support/release_signer.h"
#include "support/scratch_dir.h"
#include "support/small_release.h"
#include "support/tampering_proxy.h"
#include "support/test_bytes.h"
#include "support/test_http_server.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

using small_release::kPatch2;
using small_release::kPatch3;
using small_release::kVersion1;
constexpr const char* kOtherLine = "0B9E4C1D-7A2F-4E55-8C3B-1D2E3F4A5B6C";
// The sequence the client accepted before the run; honest releases are
// signed at it, so an honest run leaves the state file as it was.
constexpr int64_t kAccepted = 6;
constexpr uint32_t kClientCurrent = 227;

class SignedUpdate : public ::testing::Test {
 public:
  void SetUp() override {
    if (strings_ == nullptr) {
      ASSERT_TRUE(StringTable::Open(Env::Default(), DIZEDIR_RESCHN_DLL, &strings_).ok());
    }
    client_ = scratch_.path() / "client";
    release_ = std::make_unique<ReleaseFixture>(scratch_.path() / "served" / "rel",
                                                scratch_.path() / "work");
    release_->AddPatch(2, 1, kPatch2, 1);
    last_patch_list_ = ReadBytes(root() / "verlist.bin");
    release_->AddPatch(3, 1, kPatch3, 3);
    server_.ServeDirectory((scratch_.path() / "served").string());
    ASSERT_TRUE(proxy_.started());
    release_->WriteClient(client_, 1, kVersion1, proxy_.host_port() + "/rel");
    WriteBytes(client_ / kTrustedKeyName, signer_.PublicKeyFile());
    ReleaseState state;
    state.line = ReleaseFixture::kGuid;
    state.sequence = kAccepted;
    WriteBytes(client_ / kReleaseStateName, FormatReleaseState(state));
    SignHonestly();
  }

  fs::path root() const { return release_->root(); }
  void SignHonestly() { signer_.Sign(root(), Manifest()); }
  ReleaseManifest Manifest(int64_t sequence = kAccepted) const {
    return signer_.ManifestOf(root(), ReleaseFixture::kGuid, sequence);
  }

  bool Run(EngineTask task = EngineTask::kUpdate) {
    return RunEngineTask(task, strings_.get(), &sink_, client_.string() + "/");
  }
  std::string FirstFailure() const {
    const auto failures = sink_.failures();
    return failures.empty() ? "" : failures.front();
  }
  std::string Text(uint32_t id) const { return strings_->LookupNarrow(id); }

  // What the player has: the game files and the installed version. Parts
  // kept for the next run, pending records and the fetched address list are
  // the update's own bookkeeping.
  std::pair<Files, int32_t> Installed() const {
    Files game;
    for (const auto& [name, bytes] : FilesUnder(client_)) {
      const bool own = name == "curver.bin" || name == "dizedir.lock" ||
                       name.rfind("qmz_GT/", 0) == 0 || name.find(".zxp") != std::string::npos ||
                       name.rfind("upd", 0) == 0;
      if (!own) game[name] = bytes;
    }
    VersionLists lists;
    const std::string dir = client_.string() + "/";
    lists.ReadLocalVersions(Env::Default(), dir + "curver.bin", dir);
    return {game, lists.LastInstalledNumber()};
  }

  // The published tree with the client's own files beside it.
  Files Published() const {
    Files tree = small_release::Published();
    tree[kTrustedKeyName] = ReadBytes(client_ / kTrustedKeyName);
    tree["patchone.ini"] = ReadBytes(client_ / "patchone.ini");
    tree[kReleaseStateName] = ReadBytes(client_ / kReleaseStateName);
    return tree;
  }

  void ExpectHonestUpdateRepairs() {
    proxy_.Honest();
    SignHonestly();
    ASSERT_TRUE(Run()) << FirstFailure();
    EXPECT_EQ(Installed(), std::make_pair(Published(), int32_t{3}));
    ASSERT_TRUE(Run()) << FirstFailure();
    EXPECT_EQ(sink_.finished(), std::vector<std::string>{Text(kClientCurrent)});
  }

  static std::unique_ptr<StringTable> strings_;
  ScratchDir scratch_{"signed"};
  fs::path client_;
  std::unique_ptr<ReleaseFixture> release_;
  std::string last_patch_list_;
  TestHttpServer server_;
  TamperingProxy proxy_{server_.host_port()};
  ReleaseSigner signer_;
  RecordingSink sink_;
};

std::unique_ptr<StringTable> SignedUpdate::strings_;

TEST_F(SignedUpdate, TamperingIsRefusedAndTheHonestServerRepairs) {
  struct Case {
    const char* attack;
    std::function<void(SignedUpdate*)> tamper;
    uint32_t text_id;
    const char* detail;
  };
  auto manifest_bytes = [](SignedUpdate* t, const ReleaseManifest& m, const ReleaseSigner& by) {
    // Signed aside, then served by the proxy in place of the honest pair.
    const fs::path aside = t->scratch_.path() / "aside";
    fs::create_directories(aside);
    const std::string path = (aside / kReleaseManifestName).string();
    WriteBytes(path, FormatReleaseManifest(m));
    by.SignFile(path);
    t->proxy_.Rewrite("/rel/release.manifest", Replace(ReadBytes(path)));
    t->proxy_.Rewrite("/rel/release.manifest.minisig", Replace(ReadBytes(path + ".minisig")));
  };
  const Case cases[] = {
      {"a byte of verlist.bin", [](SignedUpdate* t) {
         t->proxy_.Rewrite("/rel/verlist.bin", FlipByte(40));
       }, kStringFileAltered, "verlist.bin"},
      {"a byte of curver.bin", [](SignedUpdate* t) {
         t->proxy_.Rewrite("/rel/curver.bin", FlipByte(30));
       }, kStringFileAltered, "curver.bin"},
      {"a byte of downloadaddr.txt", [](SignedUpdate* t) {
         t->proxy_.Rewrite("/rel/downloadaddr.txt", FlipByte(3));
       }, kStringFileAltered, "downloadaddr.txt"},
      {"a byte of a part", [](SignedUpdate* t) {
         t->proxy_.Rewrite("/rel/upd2.zip", FlipByte(60));
       }, kStringFileAltered, "upd2.zip"},
      {"a part of another release swapped in", [](SignedUpdate* t) {
         ReleaseFixture other(t->scratch_.path() / "other", t->scratch_.path() / "work-other");
         other.AddPatch(2, 1, {{"game.cfg", "evil"}, {"sub/new.txt", "added in 2!"}}, 1);
         t->proxy_.Rewrite("/rel/upd2.zip", Replace(ReadBytes(other.root() / "upd2.zip")));
       }, kStringFileAltered, "upd2.zip"},
      {"last release's verlist.bin under today's manifest", [](SignedUpdate* t) {
         t->proxy_.Rewrite("/rel/verlist.bin", Replace(t->last_patch_list_));
       }, kStringFileAltered, "verlist.bin"},
      {"an older validly signed manifest", [&](SignedUpdate* t) {
         manifest_bytes(t, t->Manifest(kAccepted - 1), t->signer_);
       }, kStringManifestRolledBack, "5 < 6"},
      {"an expired manifest", [&](SignedUpdate* t) {
         ReleaseManifest m = t->Manifest();
         m.expires = static_cast<int64_t>(std::time(nullptr)) - 60;
         manifest_bytes(t, m, t->signer_);
       }, kStringManifestExpired, "expired"},
      {"a manifest signed by another key", [&](SignedUpdate* t) {
         manifest_bytes(t, t->Manifest(), ReleaseSigner());
       }, kStringUntrustedKey, "key "},
      {"a manifest of another release line", [&](SignedUpdate* t) {
         manifest_bytes(t, t->signer_.ManifestOf(t->root(), kOtherLine, kAccepted + 1),
                        t->signer_);
       }, kStringManifestOtherLine, kOtherLine},
      {"a manifest that leaves a part out", [&](SignedUpdate* t) {
         ReleaseManifest m = t->Manifest();
         std::erase_if(m.files, [](const ManifestFile& f) { return f.name == "upd3_1.zxp"; });
         manifest_bytes(t, m, t->signer_);
       }, kStringFileNotSigned, "upd3_1.zxp"},
      {"a byte of the manifest", [](SignedUpdate* t) {
         t->proxy_.Rewrite("/rel/release.manifest", FlipByte(50));
       }, kStringSignatureMismatch, "release.manifest"},
      {"the signature dropped", [](SignedUpdate* t) {
         t->proxy_.Withhold("/rel/release.manifest.minisig");
       }, kStringSignatureMissing, "release.manifest.minisig"},
      {"the manifest dropped", [](SignedUpdate* t) {
         t->proxy_.Withhold("/rel/release.manifest");
       }, kStringSignatureMissing, "release.manifest"},
      {"an endless manifest", [](SignedUpdate* t) {
         t->proxy_.Endless("/rel/release.manifest");
       }, kStringSignatureMissing, "release.manifest"},
      {"an endless verlist.bin", [](SignedUpdate* t) {
         t->proxy_.Endless("/rel/verlist.bin");
       }, 224, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attack);
    fs::remove_all(scratch_.path());
    proxy_.Honest();
    SetUp();
    const auto before = Installed();
    const std::string state_before = ReadBytes(client_ / kReleaseStateName);
    c.tamper(this);
    EXPECT_FALSE(Run());
    const std::string failure = FirstFailure();
    EXPECT_EQ(failure.rfind(Text(c.text_id), 0), 0u) << failure;
    EXPECT_NE(failure.find(c.detail), std::string::npos) << failure;
    EXPECT_TRUE(sink_.finished().empty());
    EXPECT_EQ(Installed(), before);
    EXPECT_EQ(ReadBytes(client_ / kReleaseStateName), state_before);
    ExpectHonestUpdateRepairs();
  }
}

// An operator retires key A: a release signed by A names B as the next key,
// a client that trusted only A takes it in and from then on also trusts B,
// so the next release may be signed by B alone. A client that never saw the
// announcement does not trust B.
// The signed sizes hold the transfer to them, so the server is not asked
// for sizes at all: each part costs one request, not two.
TEST_F(SignedUpdate, SignedSizesAreNotAskedOfTheServer) {
  server_.ClearRequests();
  ASSERT_TRUE(Run()) << FirstFailure();
  EXPECT_EQ(Installed(), std::make_pair(Published(), int32_t{3}));
  int part_requests = 0;
  for (const auto& request : server_.requests()) {
    EXPECT_NE(request.method, "HEAD") << request.path;
    EXPECT_NE(request.range, "bytes=0-0") << request.path;
    if (request.path.find(".zxp") != std::string::npos || request.path.find(".zip") != std::string::npos) {
      ++part_requests;
    }
  }
  EXPECT_EQ(part_requests, 4);  // upd2.zip and the three parts of patch 3
}

TEST_F(SignedUpdate, KeyRotationCarriesClientsOver) {
  const std::string client_without_announcement = scratch_.path() / "late";
  fs::copy(client_, client_without_announcement, fs::copy_options::recursive);
  ReleaseSigner next;
  ReleaseManifest announcing = Manifest(kAccepted + 1);
  announcing.next_key = next.PublicKeyLine();
  signer_.Sign(root(), announcing);
  ASSERT_TRUE(Run()) << FirstFailure();
  const ReleaseState learned =
      LoadReleaseState(Env::Default(), (client_ / kReleaseStateName).string());
  EXPECT_EQ(learned.sequence, kAccepted + 1);
  EXPECT_EQ(learned.learned_keys, std::vector<std::string>{next.PublicKeyLine()});

  release_->AddPatch(4, 1, {{"game.cfg", "v4"}}, 1);
  next.Sign(root(), next.ManifestOf(root(), ReleaseFixture::kGuid, kAccepted + 2));
  ASSERT_TRUE(Run()) << FirstFailure();
  EXPECT_EQ(Installed().second, 4);
  EXPECT_EQ(ReadBytes(client_ / "game.cfg"), "v4");

  client_ = client_without_announcement;
  EXPECT_FALSE(Run());
  EXPECT_EQ(FirstFailure().rfind(Text(kStringUntrustedKey), 0), 0u) << FirstFailure();
}

// Keys and signatures made by the minisign tool work in the client: the
// operator may never run the publisher's signing commands at all.
TEST_F(SignedUpdate, ReleaseSignedByTheMinisignToolUpdates) {
  if (std::system("minisign -v >/dev/null 2>&1") != 0) GTEST_SKIP() << "minisign not installed";
  const fs::path keys = scratch_.path() / "tool-keys";
  fs::create_directories(keys);
  const std::string pub = (keys / "tool.pub").string(), sec = (keys / "tool.key").string();
  ASSERT_EQ(std::system(("minisign -G -W -p '" + pub + "' -s '" + sec + "' >/dev/null").c_str()),
            0);
  WriteBytes(client_ / kTrustedKeyName, ReadBytes(pub));
  WriteBytes(root() / kReleaseManifestName, FormatReleaseManifest(Manifest()));
  ASSERT_EQ(std::system(("minisign -S -s '" + sec + "' -m '" +
                         (root() / kReleaseManifestName).string() + "' >/dev/null")
                            .c_str()),
            0);
  ASSERT_TRUE(Run()) << FirstFailure();
  EXPECT_EQ(Installed().second, 3);
}

// With a trusted key, a server list replaces the client's only when the
// operator signed it; otherwise the previous one is kept and the task says
// why.
TEST_F(SignedUpdate, ServerListNeedsTheOperatorsSignature) {
  const std::string kept = ReadBytes(client_ / "patchone.ini");
  const std::string offered =
      "[Region1]\nlist=main\nmain=" + proxy_.host_port() + "/elsewhere\n[curregDianXin]\nregion=0\n";
  const fs::path lists = scratch_.path() / "served" / "lists";
  WriteBytes(lists / "patchone.ini", offered);
  signer_.SignFile((lists / "patchone.ini").string());
  WriteBytes(client_ / "IPconfig.dat", [&] {
    // The host file's stored form: each byte shifted by its position + 10.
    const std::string host = proxy_.host_port() + "/lists";
    std::string stored;
    for (size_t i = 0; i < host.size(); ++i) stored += static_cast<char>(host[i] + i + 10);
    return stored;
  }());

  struct Case {
    const char* attack;
    std::function<void()> tamper;
    uint32_t reason;  // 0: accepted
  };
  const Case cases[] = {
      {"signature withheld", [&] { proxy_.Withhold("/lists/patchone.ini.minisig"); },
       kStringSignatureMissing},
      {"list altered", [&] { proxy_.Rewrite("/lists/patchone.ini", FlipByte(12)); },
       kStringSignatureMismatch},
      {"signed by another key", [&] {
         const fs::path aside = scratch_.path() / "aside-list";
         WriteBytes(aside / "patchone.ini", offered);
         ReleaseSigner().SignFile((aside / "patchone.ini").string());
         proxy_.Rewrite("/lists/patchone.ini.minisig",
                        Replace(ReadBytes(aside / "patchone.ini.minisig")));
       }, kStringUntrustedKey},
      {"honest", [] {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attack);
    proxy_.Honest();
    WriteBytes(client_ / "patchone.ini", kept);
    c.tamper();
    EXPECT_TRUE(Run(EngineTask::kServerList)) << FirstFailure();
    if (c.reason == 0) {
      EXPECT_EQ(ReadBytes(client_ / "patchone.ini"), offered);
      continue;
    }
    EXPECT_EQ(ReadBytes(client_ / "patchone.ini"), kept);
    const auto statuses = sink_.statuses();
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().rfind(Text(kStringServerListUnsigned), 0), 0u) << statuses.back();
    EXPECT_NE(statuses.back().find(Text(c.reason)), std::string::npos) << statuses.back();
  }
}

}  // namespace
}  // namespace dizedir
