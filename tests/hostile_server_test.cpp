// The update against a hostile server: whatever the lists, parts and
// archives say, nothing is written or deleted outside the client, the task
// ends with a text that names the problem, and an honest update afterwards
// brings the client to the published tree byte for byte.
//
// Each family of attacks is one table. The client lives in
// scratch/outside/client, so a write or delete that escapes it lands in
// scratch/outside, where victim files wait; the served release and the
// fixture's workspace live elsewhere in scratch.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/md5.h"
#include "engine/patch_engine.h"
#include "lists/list_text.h"
#include "lists/split_archive.h"
#include "lists/version_lists.h"
#include "platform/env.h"
#include "plugin/string_table.h"
#include "support/engine_task.h"
#include "support/fake_downloader.h"
#include "support/fault_injection_env.h"
#include "support/raw_zip.h"
#include "support/recording_sink.h"
#include "support/release_fixture.h"
#include "support/scratch_dir.h"
#include "support/small_release.h"
#include "support/test_bytes.h"
#include "support/test_http_server.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

using small_release::kPatch2;
using small_release::kPatch3;
using small_release::kVersion1;

using small_release::Published;

// A record of the installed list of this release line.
LocalVersionRecord LocalRecord(int32_t number, int32_t state) {
  LocalVersionRecord r;
  r.stamp = "2026-12-01 10:00:00";
  r.guid = ReleaseFixture::kGuid;
  r.number = number;
  r.state = state;
  return r;
}

std::string EncodeList(const std::vector<PatchRecord>& records) {
  std::string text;
  for (const PatchRecord& r : records) text += r.Format() + std::string(kListLineTerminator);
  return text;
}

class HostileServer : public ::testing::Test {
 public:
  void SetUp() override {
    if (strings_ == nullptr) {
      ASSERT_TRUE(StringTable::Open(Env::Default(), DIZEDIR_RESCHN_DLL, &strings_).ok());
    }
    outside_ = scratch_.path() / "outside";
    client_ = outside_ / "client";
    served_ = scratch_.path() / "served";
    fs::remove_all(outside_);
    fs::remove_all(served_);
    release_ = std::make_unique<ReleaseFixture>(served_ / "rel", scratch_.path() / "work");
    release_->AddPatch(2, 1, kPatch2, 1);
    release_->AddPatch(3, 1, kPatch3, 3);
    server_.ServeDirectory(served_.string());
    release_->WriteClient(client_, 1, kVersion1, server_.host_port() + "/rel");
    // What an escape would overwrite or delete.
    for (const char* victim : {"victim.zip", "victim_0.zxp", "victim_1.zxp", "victim.zip.zxp"}) {
      WriteBytes(outside_ / victim, std::string("precious ") + victim);
    }
    outside_before_ = OutsideFiles();
    kept_.clear();
  }

  // Files beside the client that no run may touch.
  Files OutsideFiles() const {
    Files files;
    for (const auto& [name, bytes] : FilesUnder(outside_)) {
      if (name.rfind("client/", 0) != 0) files[name] = bytes;
    }
    return files;
  }

  bool RunUpdate(const std::string& client_dir, Env* env = Env::Default()) {
    return RunEngineTask(EngineTask::kUpdate, strings_.get(), &sink_, client_dir, env);
  }
  bool RunUpdate() { return RunUpdate(client_.string() + "/"); }

  std::string FirstFailure() const {
    const auto failures = sink_.failures();
    return failures.empty() ? "" : failures.front();
  }
  std::string Text(uint32_t id) const { return strings_->LookupNarrow(id); }

  // The client's game files: everything but the system's own files and
  // downloads kept for reuse.
  Files GameFiles() const {
    Files tree;
    for (const auto& [name, bytes] : FilesUnder(client_)) {
      const bool own = name == "curver.bin" || name == "patchone.ini" ||
                       name == "dizedir.lock" || name == "qmz_GT/downloadaddr.txt";
      if (!own) tree[name] = bytes;
    }
    return tree;
  }

  // The run failed, saying `id` first and mentioning `detail`; nothing
  // outside the client changed.
  void ExpectRefused(bool ok, uint32_t id, const std::string& detail) {
    EXPECT_FALSE(ok);
    const std::string failure = FirstFailure();
    EXPECT_EQ(failure.rfind(Text(id), 0), 0u) << failure;
    EXPECT_NE(failure.find(detail), std::string::npos) << failure;
    EXPECT_TRUE(sink_.finished().empty());
    EXPECT_EQ(OutsideFiles(), outside_before_);
  }

  // With the honest release served again, one update brings the client to
  // the published tree and leaves nothing else behind.
  void ExpectHonestUpdateRepairs() {
    release_->Publish();
    ASSERT_TRUE(RunUpdate()) << FirstFailure();
    Files expected = Published();
    expected.insert(kept_.begin(), kept_.end());
    EXPECT_EQ(GameFiles(), expected);
    EXPECT_EQ(OutsideFiles(), outside_before_);
    ASSERT_TRUE(RunUpdate()) << FirstFailure();
    EXPECT_EQ(sink_.finished(), std::vector<std::string>{Text(227)});
  }

  // The published patch list with record `number` changed by `edit`.
  void ServeEditedPatchList(int number, const std::function<void(PatchRecord*)>& edit) {
    std::vector<PatchRecord> records = release_->patches();
    for (PatchRecord& r : records) {
      if (r.number == number) edit(&r);
    }
    WriteBytes(release_->root() / "verlist.bin", EncodeList(records));
  }

  // Record 3 of the patch list becomes one archive with these bytes.
  void ServeArchiveAsPatch3(const std::string& zip) {
    WriteBytes(release_->root() / "hostile3.zip", zip);
    ServeEditedPatchList(3, [&](PatchRecord* r) {
      r->archive = "hostile3.zip";
      r->parts = {{"hostile3.zip", Md5Hex(zip)}};
    });
  }

  // The client's game files once version 2 is applied.
  static Files Version2() {
    Files tree = kVersion1;
    for (const auto& [k, v] : kPatch2) tree[k] = v;
    return tree;
  }

  static std::unique_ptr<StringTable> strings_;
  // Client files beyond the published tree that no patch touches.
  Files kept_;
  ScratchDir scratch_{"hostile"};
  fs::path outside_, client_, served_;
  Files outside_before_;
  std::unique_ptr<ReleaseFixture> release_;
  TestHttpServer server_;
  RecordingSink sink_;
};

std::unique_ptr<StringTable> HostileServer::strings_;

// Archive and part names of the patch list become file names in the
// client directory; none of these may reach a file anywhere else.
TEST_F(HostileServer, ListNamesNeverLeaveTheClient) {
  struct Case {
    const char* name;
    std::string archive;  // the archive name the list gives record 3
    int parts;            // 1: one file named `archive`
    std::string shown;    // what the failure text must name
  } cases[] = {
      {"climbing whole archive", "../victim.zip", 1, "../victim.zip"},
      {"planted beside the client", "../planted.zip.sh", 1, "../planted.zip.sh"},
      {"climbing split archive", "../victim", 2, "../victim"},
      {"absolute", "/tmp/x.zip", 1, "/tmp/x.zip"},
      {"backslash directory", "..\\victim.zip", 1, "..\\victim.zip"},
      {"drive", "C:victim.zip", 1, "C:victim.zip"},
      {"device", "nul.zip", 1, "nul.zip"},
      {"control character", "a\x01.zip", 1, "a\x01.zip"},
      {"own temporary", "x.zip.dztmp", 1, "x.zip.dztmp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    ServeEditedPatchList(3, [&](PatchRecord* r) {
      r->archive = c.archive;
      r->parts.clear();
      for (int i = 0; i < c.parts; ++i) {
        PartEntry part;
        part.name = c.parts == 1 ? c.archive : c.archive + "_" + std::to_string(i);
        part.digest = Md5Hex("planted");
        r->parts.push_back(part);
      }
    });
    ExpectRefused(RunUpdate(), kStringNameRefused, c.shown);
    // Nothing of the hostile list was applied or recorded.
    EXPECT_EQ(GameFiles(), kVersion1);
    ExpectHonestUpdateRepairs();
  }
}

// curver.bin is the client's own file, but a damaged or earlier hostile one
// must not steer a delete outside either: withdrawn and dropped records
// delete only what their names can name inside the client.
TEST_F(HostileServer, DamagedLocalNamesDeleteNothingOutside) {
  struct Case {
    const char* name;
    int published_state;  // of record 3 in the patch list
  } cases[] = {
      {"withdrawn record", 0},
      {"record no longer offered", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const LocalVersionRecord installed = LocalRecord(1, 1);
    LocalVersionRecord pending = LocalRecord(3, 2);
    pending.archive = "../victim";
    pending.partCount = 2;
    pending.parts = {{"../victim_0", ""}, {"../victim_1", ""}};
    WriteBytes(client_ / "curver.bin", EncodeLocalVersions({installed, pending}));
    std::vector<PatchRecord> records = release_->patches();
    if (c.published_state >= 0) {
      records[1].state = c.published_state;
    } else {
      records.pop_back();
    }
    WriteBytes(release_->root() / "verlist.bin", EncodeList(records));
    RunUpdate();
    EXPECT_EQ(OutsideFiles(), outside_before_);
    ExpectHonestUpdateRepairs();
  }
}

// Every way the version check can refuse the lists it is given: the exact
// texts in order, the published list gone, nothing applied, and the honest
// lists afterwards bring the client up to date.
TEST_F(HostileServer, TheVersionCheckRefusesListsThatDoNotFit) {
  auto published = [](int number, int state, const char* guid) {
    VersionRecord r;
    r.stamp = "2026-12-01 10:00:00";
    r.guid = guid;
    r.number = number;
    r.state = state;
    return r.Format() + std::string(kListLineTerminator);
  };
  struct Case {
    const char* name;
    std::string served;  // the published version list
    std::vector<uint32_t> failures;
    std::vector<uint32_t> finished;
  } cases[] = {
      {"another release line", published(3, 1, "00000000-0000-0000-0000-000000000000"),
       {222}, {}},
      {"a withdrawn version in the published list", published(3, 0, ReleaseFixture::kGuid),
       {}, {223}},
      {"an unknown state", published(3, 7, ReleaseFixture::kGuid), {}, {223}},
      {"published optional where installed", published(1, 2, ReleaseFixture::kGuid), {}, {223}},
      {"a line of three fields", Scramble("2026-12-01 10:00:00 x") + "\r\n", {230, 231}, {}},
      {"an empty line", "\r\n", {230, 231}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    WriteBytes(release_->root() / "curver.bin", c.served);
    EXPECT_FALSE(RunUpdate());
    std::vector<std::string> failures, finished;
    for (uint32_t id : c.failures) failures.push_back(Text(id));
    for (uint32_t id : c.finished) finished.push_back(Text(id));
    EXPECT_EQ(sink_.failures(), failures);
    EXPECT_EQ(sink_.finished(), finished);
    EXPECT_FALSE(fs::exists(client_ / "newver.bin"));
    EXPECT_EQ(GameFiles(), kVersion1);
    ExpectHonestUpdateRepairs();
  }
}

// Version lists that no patch can satisfy are reported, never "complete".
TEST_F(HostileServer, ImpossibleVersionsAreReportedNotComplete) {
  struct Case {
    const char* name;
    std::function<void(HostileServer*)> arrange;
    uint32_t failure;
  } cases[] = {
      {"installed version above every published one",
       [](HostileServer* t) {
         WriteBytes(t->client_ / "curver.bin", EncodeLocalVersions({LocalRecord(2147483647, 1)}));
       },
       kStringInstalledAhead},
      {"patch list that does not reach the published version",
       [](HostileServer* t) {
         std::vector<PatchRecord> records = t->release_->patches();
         records.pop_back();  // version 3 is published, its patch is not
         WriteBytes(t->release_->root() / "verlist.bin", EncodeList(records));
       },
       kStringNoPathToVersion},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.arrange(this);
    for (int run = 0; run < 2; ++run) {
      EXPECT_FALSE(RunUpdate());
      EXPECT_EQ(FirstFailure().rfind(Text(c.failure), 0), 0u) << FirstFailure();
      EXPECT_TRUE(sink_.finished().empty());
    }
    EXPECT_EQ(OutsideFiles(), outside_before_);
  }
}

// A run cut short against a list that has since changed (or a hostile one)
// leaves pending records and their downloads; the next honest run drops
// them with their files instead of calling the client complete around them.
TEST_F(HostileServer, PendingRecordsNoLongerOfferedAreDroppedWithTheirFiles) {
  std::vector<LocalVersionRecord> records = {LocalRecord(1, 1)};
  for (int n = 100; n < 150; ++n) {
    LocalVersionRecord pending = LocalRecord(n, 2);
    pending.partCount = 1;
    pending.AddPart("p" + std::to_string(n) + ".zip");
    WriteBytes(client_ / ("p" + std::to_string(n) + ".zip"), "left over");
    records.push_back(pending);
  }
  WriteBytes(client_ / "curver.bin", EncodeLocalVersions(records));
  ASSERT_TRUE(RunUpdate()) << FirstFailure();
  EXPECT_EQ(GameFiles(), Published());
  ASSERT_TRUE(RunUpdate()) << FirstFailure();
  EXPECT_EQ(sink_.finished(), std::vector<std::string>{Text(227)});
}

// Zip items whose names or kinds may not be written: each fails its patch
// with a text naming it, nothing of it lands outside, and the version is
// not recorded, so the honest update applies it in full.
TEST_F(HostileServer, RefusedItemsFailTheirPatchByName) {
  struct Case {
    const char* name;
    RawZipItem item;
    std::string shown;
  } cases[] = {
      {"climbing", {"../x.txt", "escaped"}, "../x.txt"},
      {"climbing after the clean-up", {"a/../../x.txt", "escaped"}, "../x.txt"},
      {"alternate data stream", {"game.cfg:hidden", "stream"}, "game.cfg:hidden"},
      {"device", {"sub/nul.txt", "device"}, "sub/nul.txt"},
      {"own temporary", {"game.cfg.dztmp", "temp"}, "game.cfg.dztmp"},
      {"the update's own list", {"curver.bin", "forged"}, "curver.bin"},
      {"the update's lock", {"DIZEDIR.LOCK", "forged"}, "DIZEDIR.LOCK"},
      {"symbolic link", RawZipItem::Link("link", "../../outside"), "link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    ServeArchiveAsPatch3(
        BuildRawZip({{"sub/before.txt", "written first"}, c.item, {"sub/after.txt", "later"}}));
    ExpectRefused(RunUpdate(), kStringNameRefused, c.shown);
    // Nothing of the patch was unpacked (the verified download may stay
    // for the next run) and its version is not recorded.
    Files tree = GameFiles();
    tree.erase("hostile3.zip");
    EXPECT_EQ(tree, Version2());
    ExpectHonestUpdateRepairs();
  }
}

// Archives built to fill the disk: refused before the first byte is
// unpacked when what they declare cannot be right or cannot fit, and a disk
// that fills anyway is named as full. The client's disk is a capped one.
TEST_F(HostileServer, ArchivesThatWouldFillTheDiskWriteNothing) {
  constexpr uint64_t kMiB = uint64_t{1} << 20;
  auto overlapping = [] {
    std::vector<RawZipItem> items;
    RawZipItem first("f000.bin", std::string(8 << 20, '\0'));
    first.deflate = true;
    items.push_back(first);
    for (int i = 1; i < 100; ++i) {
      // Names of one length: a central entry must match the local header
      // it points at in everything but where it came from.
      const std::string digits = std::to_string(i);
      RawZipItem shared("f" + std::string(3 - digits.size(), '0') + digits + ".bin", "");
      shared.shares_data_of = 0;
      items.push_back(shared);
    }
    return BuildRawZip(items);
  };
  auto declared_beyond = [] {
    RawZipItem bomb("zeros.bin", std::string(1 << 20, '\0'));
    bomb.deflate = true;
    bomb.declared_size = 3u << 30;
    return BuildRawZip({bomb});
  };
  auto plain = [] { return BuildRawZip({{"big.bin", RandomBytes(4 << 20, 9)}}); };
  struct Case {
    const char* name;
    std::function<std::string()> archive;
    uint64_t reported_free;  // what the disk says it has
    uint64_t capacity;       // what it really takes
    uint32_t failure;
    const char* detail;
    uint64_t may_write;  // bytes the run may put on the capped disk
  } cases[] = {
      {"items that share one stream", overlapping, 1024 * kMiB, 1024 * kMiB,
       226, "share", 64 << 10},
      {"declared beyond the free space", declared_beyond, 512 * kMiB, 512 * kMiB, 229,
       "3072 MiB", 64 << 10},
      // The downloads fit; unpacking the 4 MiB item does not.
      {"a disk that fills anyway", plain, 1024 * kMiB, 6 * kMiB, kStringDiskFull, "big.bin",
       6 * kMiB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    ServeArchiveAsPatch3(c.archive());
    FaultInjectionEnv disk(Env::Default());
    disk.ReportFreeDiskSpace(c.reported_free);
    disk.FailWritesAfter(c.capacity);
    EXPECT_FALSE(RunUpdate(client_.string() + "/", &disk));
    const std::string failure = FirstFailure();
    EXPECT_EQ(failure.rfind(Text(c.failure), 0), 0u) << failure;
    EXPECT_NE(failure.find(c.detail), std::string::npos) << failure;
    EXPECT_LE(c.capacity - disk.SpaceLeft(), c.may_write);
    Files tree = GameFiles();
    tree.erase("hostile3.zip");
    EXPECT_EQ(tree, Version2());
    ExpectHonestUpdateRepairs();
  }
}

// The server list is replaced only by one that names a region: an error
// page served with 200 must not cost the player the list that works.
TEST_F(HostileServer, OnlyAUsableServerListReplacesTheOldOne) {
  const std::string good = ReadBytes(client_ / "patchone.ini");
  const std::string fresh =
      "[Region1]\nlist=east west\neast=" + server_.host_port() + "/rel\nwest=h/x\n";
  struct Case {
    const char* name;
    std::string served;
    bool replaced;
  } cases[] = {
      {"an error page", "<html><body>502 Bad Gateway</body></html>", false},
      {"an empty file", "", false},
      {"regions without addresses", "[Region1]\nlist=east\n", false},
      {"binary noise", RandomBytes(5000, 7), false},
      {"a real list", fresh, true},
  };
  std::string host_file;
  const std::string host = server_.host_port();
  for (size_t i = 0; i < host.size(); ++i) {
    host_file += static_cast<char>(static_cast<uint8_t>(host[i]) + i + 10);
  }
  WriteBytes(client_ / "IPconfig.dat", host_file);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(client_ / "patchone.ini", good);
    WriteBytes(served_ / "patchone.ini", c.served);
    PatchEngine engine(Env::Default(), strings_.get());
    sink_ = RecordingSink();
    engine.SetPlugin(&sink_, nullptr);
    engine.SetClientDir(client_.string() + "/");
    EXPECT_TRUE(engine.RunServerList());
    EXPECT_EQ(ReadBytes(client_ / "patchone.ini"), c.replaced ? c.served : good);
    EXPECT_EQ(engine.region_list().GetCount(), c.replaced ? 2u : 1u);
    EXPECT_FALSE(fs::exists(client_ / "patchone_temp.ini"));
    const auto statuses = sink_.statuses();
    EXPECT_EQ(!statuses.empty() && statuses.back() == Text(kStringServerListUnusable),
              !c.replaced);
  }
}

// A pack whose one entry claims 4 GiB - 1 bytes, backed by a 4 MiB zlib
// block of zeros with its true digest.
std::string PackClaimingGigabytes() {
  const std::string zeros(size_t{4} << 20, '\0');
  uLongf stored = compressBound(zeros.size());
  std::string block(stored, '\0');
  if (compress(reinterpret_cast<Bytef*>(block.data()), &stored,
               reinterpret_cast<const Bytef*>(zeros.data()), zeros.size()) != Z_OK) {
    std::abort();
  }
  block.resize(stored);
  auto u32 = [](uint32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(v >> (8 * i));
    return out;
  };
  return u32(0) + u32(1) + u32(1) + u32(61) + u32(0xFFFFFFFFu) +
         u32(static_cast<uint32_t>(stored)) + u32(1) + Md5Hex(block) + std::string(1, '\0') +
         block;
}

// Packs in a patch: merged from a temporary name into the pack they name,
// checked before anything of the patch is placed, and never able to cost
// the client a pack.
TEST_F(HostileServer, PatchPacksNeverCostTheClientItsPacks) {
  const PackContents client_pack = {{1, {"one", false}}, {2, {"two", true}}};
  const PackContents added = {{900, {"new entry", true}}};
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> items;  // item name, bytes
    bool applies;
    PackContents expected;  // the client's items.pac afterwards
    std::string shown;      // named by the failure
  } cases[] = {
      {"an entry claiming 4 GiB", {{"items.pac", PackClaimingGigabytes()}}, false,
       client_pack, "items.pac"},
      {"a pack named by its path in the client", {{"qmz/fodder/items.pac", ""}}, true,
       {{1, {"one", false}}, {2, {"two", true}}, {900, {"new entry", true}}}, ""},
      {"a whole pack that is not one", {{"qmz/fodder/items.PAC", "<html>oops</html>"}}, false,
       client_pack, "items.PAC"},
      {"a move within one pack", {{"Move.txt", "1 From:items To:./items\r\n"}}, true,
       client_pack, ""},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const fs::path pack = client_ / "qmz/fodder/items.pac";
    WriteBytes(pack, MakePack(scratch_.path() / "scratch.pac", client_pack));
    kept_["qmz/fodder/items.pac"] = ReadBytes(pack);
    std::vector<RawZipItem> items;
    for (auto& [name, bytes] : c.items) {
      items.emplace_back(name, bytes.empty() ? MakePack(scratch_.path() / "p.pac", added) : bytes);
    }
    ServeArchiveAsPatch3(BuildRawZip(items));
    const bool ok = RunUpdate();
    EXPECT_EQ(ok, c.applies) << FirstFailure();
    EXPECT_EQ(ReadPack(pack), std::optional<PackContents>(c.expected));
    EXPECT_FALSE(fs::exists(client_ / "qmz/fodder/qmz"));
    if (!ok) {
      ExpectRefused(ok, kStringPatchNotInstalled, c.shown);
      ExpectHonestUpdateRepairs();
    }
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DIZEDIR_ADDRESS_LIMIT_USABLE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DIZEDIR_ADDRESS_LIMIT_USABLE 0
#endif
#endif
#if !defined(DIZEDIR_ADDRESS_LIMIT_USABLE)
#define DIZEDIR_ADDRESS_LIMIT_USABLE 1
#endif

// The same hostile pack inside the address space a 32-bit launcher has: the
// whole update runs and fails with a text instead of ending the process.
TEST_F(HostileServer, AHostilePackFailsWithinAThirtyTwoBitAddressSpace) {
#if DIZEDIR_ADDRESS_LIMIT_USABLE
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const fs::path pack = client_ / "qmz/fodder/items.pac";
  WriteBytes(pack, MakePack(scratch_.path() / "scratch.pac", {{1, {"one", false}}}));
  ServeArchiveAsPatch3(BuildRawZip({{"items.pac", PackClaimingGigabytes()}}));
  auto limited_update = [&] {
    rlimit address_space;
    address_space.rlim_cur = address_space.rlim_max = rlim_t{3} << 30;
    if (setrlimit(RLIMIT_AS, &address_space) != 0) std::_Exit(2);
    const bool ok = RunUpdate();
    const bool named = FirstFailure().rfind(Text(kStringPatchNotInstalled), 0) == 0;
    std::_Exit(!ok && named ? 0 : 1);
  };
  EXPECT_EXIT(limited_update(), testing::ExitedWithCode(0), "");
#else
  GTEST_SKIP() << "sanitizers reserve more address space than a 32-bit launcher has";
#endif
}

// Transfers that run past what was announced, trickle, or arrive encoded:
// each ends promptly with a text saying why, the capped disk never takes
// more than the release announced, and the honest server afterwards brings
// the client up to date.
TEST_F(HostileServer, TransfersNeverRunPastWhatWasAnnounced) {
  using Fault = TestHttpServer::Fault;
  constexpr uint64_t kCapacity = uint64_t{64} << 20;
  // What the release announces: its files, and for the two lists the most
  // their readers accept, with room for the small files the engine writes.
  auto announced = [this] {
    uint64_t bytes = 2 * kMaxListFileBytes + (uint64_t{1} << 20);
    for (const auto& entry : fs::directory_iterator(release_->root())) {
      bytes += fs::file_size(entry.path());
    }
    return bytes;
  };
  struct Case {
    const char* name;
    std::string path;
    Fault fault;
    uint64_t reported_free;
    uint32_t failure;  // 0: the update succeeds
    uint32_t reason;   // the reason after it, 0 for none
  } cases[] = {
      {"an endless chunked part", "/rel/upd3_1.zxp", Fault::EndlessBody(), kCapacity, 225,
       kStringSentTooMuch},
      {"a part longer than its size", "/rel/upd3_0.zxp", Fault::LongerThanAnnounced(10 << 20),
       kCapacity, 225, kStringSentTooMuch},
      {"an endless patch list", "/rel/verlist.bin", Fault::EndlessBody(), kCapacity, 224,
       kStringSentTooMuch},
      {"an endless published list", "/rel/curver.bin", Fault::EndlessBody(), kCapacity, 221,
       kStringSentTooMuch},
      {"a patch list at one byte a second", "/rel/verlist.bin", Fault::SlowRate(1), kCapacity,
       224, kStringTooSlow},
      {"a part at one byte a second", "/rel/upd3_2.zxp", Fault::SlowRate(1), kCapacity, 225,
       kStringTooSlow},
      {"a gzip-encoded patch list", "/rel/verlist.bin", Fault::Encoded("gzip"), kCapacity, 0, 0},
      {"a disk that fills during a part", "/rel/upd2.zip", Fault(), uint64_t{1} << 40,
       kStringDiskFull, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    server_.SetFault(c.path, c.fault);
    FaultInjectionEnv disk(Env::Default());
    disk.ReportFreeDiskSpace(c.reported_free);
    const uint64_t capacity = c.failure == kStringDiskFull ? 20000 : kCapacity;
    disk.FailWritesAfter(capacity);
    const auto start = std::chrono::steady_clock::now();
    const bool ok = RunUpdate(client_.string() + "/", &disk);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_LE(capacity - disk.SpaceLeft(), announced());
    if (c.failure == 0) {
      EXPECT_TRUE(ok) << FirstFailure();
      EXPECT_EQ(GameFiles(), Published());
      continue;
    }
    EXPECT_FALSE(ok);
    std::string expected = Text(c.failure);
    const std::string failure = FirstFailure();
    EXPECT_EQ(failure.rfind(expected, 0), 0u) << failure;
    if (c.reason != 0) {
      EXPECT_NE(failure.find(Text(c.reason)), std::string::npos) << failure;
    }
    EXPECT_EQ(OutsideFiles(), outside_before_);
    server_.ClearFault(c.path);
    ExpectHonestUpdateRepairs();
  }
}

// A directory the player moved elsewhere and linked back (a junction on
// Windows) is the player's choice: a patch writes through it, and the
// version is recorded only with every item in place.
TEST_F(HostileServer, LinksThePlayerMadeAreFollowed) {
  fs::create_directories(outside_ / "moved");
  std::error_code error;
  fs::create_directory_symlink(outside_ / "moved", client_ / "data", error);
  if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
  ASSERT_TRUE(RunUpdate()) << FirstFailure();
  EXPECT_TRUE(fs::is_symlink(client_ / "data"));
  EXPECT_EQ(ReadBytes(outside_ / "moved" / "blob.bin"), kPatch3.at("data/blob.bin"));
  ASSERT_TRUE(RunUpdate()) << FirstFailure();
  EXPECT_EQ(sink_.finished(), std::vector<std::string>{Text(227)});
}

// What an earlier run or the player left in the client: the honest update
// deals with each and ends at the published tree.
TEST_F(HostileServer, LeftoversInTheClientDoNotBlockTheUpdate) {
  struct Case {
    const char* name;
    std::function<void(HostileServer*)> arrange;
    bool succeeds;
    std::string failure;  // a text the failure must hold
  } cases[] = {
      {"an empty directory where a file goes",
       [](HostileServer* t) { fs::create_directories(t->client_ / "sub/new.txt"); }, true, ""},
      {"a directory with files where a file goes",
       [](HostileServer* t) { WriteBytes(t->client_ / "sub/new.txt/mine.txt", "player's"); },
       false, "sub/new.txt"},
      {"the downloads of a withdrawn version",
       [](HostileServer* t) {
         const LocalVersionRecord installed = LocalRecord(1, 1);
         LocalVersionRecord pending = LocalRecord(4, 2);
         pending.partCount = 2;
         pending.AddPart("upd4_0");
         pending.AddPart("upd4_1");
         WriteBytes(t->client_ / "upd4_0.zxp", "fetched before it was withdrawn");
         WriteBytes(t->client_ / "curver.bin", EncodeLocalVersions({installed, pending}));
         t->release_->AddPatch(4, 0, {{"extras/x.bin", "withdrawn"}}, 2);
       },
       true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.arrange(this);
    const bool ok = RunUpdate();
    EXPECT_EQ(ok, c.succeeds) << FirstFailure();
    if (ok) {
      EXPECT_EQ(GameFiles(), Published());
    } else {
      EXPECT_NE(FirstFailure().find(c.failure), std::string::npos) << FirstFailure();
      EXPECT_EQ(ReadBytes(client_ / "sub/new.txt/mine.txt"), "player's");
    }
  }
}

// A clock that runs as fast as the code sleeps, so the watch of a transfer
// can count its polls without the test waiting for them.
class FastClockEnv : public EnvWrapper {
 public:
  FastClockEnv() : EnvWrapper(Env::Default()) {}
  uint32_t TickMillis() override { return now_.load(); }
  void SleepMillis(uint32_t millis) override { now_ += millis; }

 private:
  std::atomic<uint32_t> now_{1};
};

// What a queue reports at each poll of the watch, from the poll's number
// (counted from 0): the item in transfer and its bytes so far.
using QueueScript = std::function<std::pair<int, uint64_t>(int poll)>;

// A downloader whose queue moves only as its script says and never ends on
// its own, serving the lists and sizes of a release directory.
class StalledQueue final : public HttpInterface {
 public:
  // Every part's size is told `extra` bytes larger than its file, so a
  // release of a few kilobytes can stand for one of many gigabytes.
  StalledQueue(fs::path root, QueueScript script, uint64_t extra = 0)
      : root_(std::move(root)), script_(std::move(script)), extra_(extra) {}
  int polls() const { return polls_.load(); }
  int Connect(const char*, uint32_t) override { return 1; }
  void Shutdown() override {}
  int DownloadFile(const char* url, const char* local_path) override {
    const std::string name = fs::path(url).filename().string();
    if (!fs::exists(root_ / name)) return 0;
    const std::string path = local_path;
    Env::Default()->CreateDirectories(path.substr(0, path.find_last_of("\\/")));
    return WriteFileAtomically(Env::Default(), path, ReadBytes(root_ / name)).ok() ? 1 : 0;
  }
  void Unused3() override {}
  void Unused4() override {}
  void Unused5() override {}
  void Unused6() override {}
  void Unused7() override {}
  uint32_t GetFileSize(const char* remote_name) override {
    const uint64_t size = GetFileSize64(remote_name);
    return size >> 32 != 0 ? 0 : static_cast<uint32_t>(size);
  }
  // The watch asks for the index first, then for the bytes: the second
  // question ends a poll.
  uint32_t GetReceivedBytes() override { return static_cast<uint32_t>(GetReceivedBytes64()); }
  void Unused10() override {}
  void Unused11() override {}
  int GetCurrentIndex() override { return script_(polls_.load()).first; }
  void AddRemoteFile(const char*) override {}
  void AddLocalFile(const char*) override {}
  int DownloadQueue() override {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return ended_; });
    return 0;
  }
  void EndTransfers() override {
    std::lock_guard<std::mutex> lock(mu_);
    ended_ = true;
    cv_.notify_all();
  }
  void Unused17() override {}
  void Unused18() override {}
  void Unused19() override {}
  void Unused20() override {}
  void SetRemoteDir(const char*) override {}
  void SetHost(const char*) override {}
  void SetStallTimeout(uint32_t) override {}
  void SetRetryPolicy(uint32_t, uint32_t) override {}
  void SetFileLimits(uint32_t, uint32_t) override {}
  int GetLastFailure() override { return kHttpFailureNone; }
  void SetRateFloor(uint32_t, uint32_t) override {}
  int SetCaBundle(const char*) override { return 1; }
  void SetConnections(uint32_t count) override {
    Record("SetConnections " + std::to_string(count));
  }
  int GetFileSizes(uint32_t count, const char* const* remote_names,
                   uint64_t* sizes) override {
    Record("GetFileSizes " + std::to_string(count));
    int all = 1;
    for (uint32_t i = 0; i < count; ++i) {
      sizes[i] = GetFileSize64(remote_names[i]);
      if (sizes[i] == 0) all = 0;
    }
    return all;
  }
  uint64_t GetFileSize64(const char* remote_name) override {
    std::string name = remote_name;
    name = name.substr(name.find_last_of("\\/") + 1);
    std::error_code error;
    const uint64_t size = fs::file_size(root_ / name, error);
    return error ? 0 : size + extra_;
  }
  uint64_t GetReceivedBytes64() override { return script_(polls_++).second; }
  void SetMirrors(const char* urls) override { Record("SetMirrors " + std::string(urls)); }
  void AddFileDigest(const char* md5) override { Record("AddFileDigest " + std::string(md5)); }
  void AddFileSize(uint64_t size) override {
    Record("AddFileSize " + std::to_string(size));
    std::lock_guard<std::mutex> lock(mu_);
    sizes_.push_back(size);
  }
  // The parts before the current one whole and the current one's bytes, as
  // the poll the watch is in has them.
  uint64_t GetQueueReceivedBytes64() override {
    const auto [index, bytes] = script_(std::max(0, polls_.load() - 1));
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t before = 0;
    for (int k = 0; k < index && k < static_cast<int>(sizes_.size()); ++k) before += sizes_[k];
    return before + bytes;
  }
  int DownloadFiles(uint32_t count, const char* const* urls, const char* const* local_paths,
                    const uint32_t*, int32_t* failures) override {
    return DownloadFilesOneByOne(this, count, urls, local_paths, failures);
  }
  // The calls that set up the queue, in order.
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

 private:
  void Record(std::string call) {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(std::move(call));
  }
  const fs::path root_;
  const QueueScript script_;
  const uint64_t extra_;
  std::atomic<int> polls_{0};
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool ended_ = false;
  std::vector<std::string> calls_;  // guarded by mu_
  std::vector<uint64_t> sizes_;     // guarded by mu_
};

// One update by a fresh engine that transfers through `queue` on `env`.
bool RunQueuedUpdate(StalledQueue* queue, Env* env, const StringTable* strings,
                     RecordingSink* sink, const fs::path& client) {
  DownloaderModule module;
  module.get = [queue]() -> HttpInterface* { return queue; };
  module.stop = [](HttpInterface*) {};
  PatchEngine engine(env, strings, module);
  *sink = RecordingSink();
  engine.SetPlugin(sink, nullptr);
  engine.SetClientDir(client.string() + "/");
  engine.ParseRegionList();
  return engine.RunUpdate();
}

// A transfer fails with the stall text, ends the queue and applies nothing
// once 120 polls in a row bring no byte; pauses shorter than that, however
// many, and the first poll of each part before its first byte do not add up
// to a stall. The release queues four parts.
TEST_F(HostileServer, OnlyALongPauseInARowIsAStall) {
  constexpr int kAllowance = 120;
  struct Case {
    const char* name;
    QueueScript script;
    int min_polls;  // the poll the failure may come at, at the earliest
    int max_polls;
  } cases[] = {
      {"never moves", [](int) { return std::make_pair(0, uint64_t{0}); }, kAllowance,
       kAllowance + 1},
      {"a byte every 100 polls, then nothing",
       [](int poll) { return std::make_pair(0, static_cast<uint64_t>(std::min(poll, 600) / 100)); },
       600 + kAllowance - 100, 600 + kAllowance + 1},
      // Each part: its first poll before any byte, 80 polls of progress,
      // then 119 without; the last part then stops for good.
      {"parts that pause just short of the allowance",
       [](int poll) {
         const int part = std::min(poll / 200, 3);
         const int offset = poll - part * 200;
         return std::make_pair(part, static_cast<uint64_t>(std::min(offset, 80)));
       },
       800, 800 + kAllowance + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StalledQueue stalled(release_->root(), c.script);
    FastClockEnv clock;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(RunQueuedUpdate(&stalled, &clock, strings_.get(), &sink_, client_));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(sink_.failures(), std::vector<std::string>{Text(234)});
    EXPECT_GE(stalled.polls(), c.min_polls);
    EXPECT_LE(stalled.polls(), c.max_polls);
    EXPECT_EQ(GameFiles(), kVersion1);
    EXPECT_FALSE(fs::exists(client_ / "verlist.bin"));
    EXPECT_FALSE(fs::exists(client_ / "newver.bin"));
  }
}

// Updates of many gigabytes: parts told 5 GiB larger than their files. The
// free-space check weighs the whole total, and the item bar and its text
// show a part's bytes past 4 GiB as they are; 32-bit sums would wrap to a
// few gigabytes and pass a disk that cannot hold the update.
TEST_F(HostileServer, SizesPast4GiBAreCountedWhole) {
  constexpr uint64_t kGiB = uint64_t{1} << 30;
  constexpr uint64_t kExtra = 5 * kGiB;
  // The release queues four parts: more than 20 GiB in all.
  struct Case {
    const char* name;
    uint64_t free_bytes;
    bool refused_for_space;
  } cases[] = {
      {"a disk of 16 GiB", 16 * kGiB, true},
      {"a disk of 1 TiB", 1024 * kGiB, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The second part stays at 4.5 GiB until the watch gives up.
    StalledQueue stalled(
        release_->root(),
        [](int) { return std::make_pair(1, kExtra - kGiB / 2); }, kExtra);
    FastClockEnv clock;
    FaultInjectionEnv disk(&clock);
    disk.ReportFreeDiskSpace(c.free_bytes);
    EXPECT_FALSE(RunQueuedUpdate(&stalled, &disk, strings_.get(), &sink_, client_));
    if (c.refused_for_space) {
      EXPECT_EQ(sink_.failures(), std::vector<std::string>{Text(229)});
      EXPECT_EQ(stalled.polls(), 0);
      continue;
    }
    EXPECT_EQ(sink_.failures(), std::vector<std::string>{Text(234)});
    const std::vector<RecordingSink::Item> items = sink_.items();
    ASSERT_FALSE(items.empty());
    const RecordingSink::Item& last = items.back();
    // The host's 32-bit fraction counts KiB for parts this large.
    ASSERT_GT(last.total, 0);
    EXPECT_NEAR(double(last.done) / last.total, 4.5 / 5.0, 0.01);
    EXPECT_NE(last.text.find(std::to_string((kExtra - kGiB / 2) >> 10) + " "), std::string::npos)
        << last.text;
    EXPECT_EQ(GameFiles(), kVersion1);
  }
}

// What the client tells the downloader before the queue starts: the
// connections ng.ini asks for (bounded), the mirrors downloadaddr.txt lists
// (only usable ones), every part's size in one call, and each part's MD5 as
// the patch list gives it.
TEST_F(HostileServer, TheQueueGetsConnectionsMirrorsAndDigests) {
  struct Case {
    const char* name;
    const char* settings;  // the [SETTING] lines of ng.ini
    const char* address;   // downloadaddr.txt
    uint32_t connections;
    std::string mirrors;
  } cases[] = {
      {"nothing set", "", "-\r\n", 0, ""},
      {"one connection", "Connections=1\r\n", "-\r\n", 1, ""},
      {"too many", "Connections=100000\r\n", "-\r\n", 16, ""},
      {"nonsense", "Connections=-3\r\n", "-\r\n", 0, ""},
      {"mirrors", "Connections=3\r\n",
       "http://game.example\r\nhttp://m1.example/rel/\r\nftp://m2.example\r\n"
       "https://m3.example:8443/x\r\n",
       3, "http://m1.example/rel\nhttps://m3.example:8443/x\n"},
  };
  const std::string address_file = (release_->root() / "downloadaddr.txt").string();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    // Made anew with every release: the archives carry their time.
    std::vector<std::string> digests;
    for (const PatchRecord& patch : release_->patches()) {
      for (const PartEntry& part : patch.parts) {
        digests.push_back("AddFileDigest " + part.digest);
        digests.push_back("AddFileSize " + std::to_string(fs::file_size(
                                               release_->root() / PartFileName(part.name))));
      }
    }
    WriteBytes(client_ / "ng.ini", std::string("[SETTING]\r\n") + c.settings);
    WriteBytes(address_file, c.address);
    StalledQueue stalled(release_->root(), [](int) { return std::make_pair(0, uint64_t{0}); });
    FastClockEnv clock;
    EXPECT_FALSE(RunQueuedUpdate(&stalled, &clock, strings_.get(), &sink_, client_));
    std::vector<std::string> expected = {"SetConnections " + std::to_string(c.connections),
                                         "GetFileSizes " + std::to_string(digests.size() / 2),
                                         "SetMirrors " + c.mirrors};
    expected.insert(expected.end(), digests.begin(), digests.end());
    EXPECT_EQ(stalled.calls(), expected);
  }
}

TEST_F(HostileServer, NoClientDirectoryMeansNoUpdate) {
  EXPECT_FALSE(RunUpdate(""));
  EXPECT_EQ(FirstFailure(), Text(kStringNoClientDir));
  EXPECT_EQ(GameFiles(), kVersion1);
  EXPECT_EQ(OutsideFiles(), outside_before_);
}

}  // namespace
}  // namespace dizedir
