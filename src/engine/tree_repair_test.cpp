#include "engine/tree_repair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "lists/content_store.h"
#include "pack/pack.h"
#include "support/fault_injection_env.h"
#include "support/scratch_dir.h"
#include "support/test_bytes.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

// An object where a repair looks for it, its directories made first.
Status PutObject(const std::string& path, const std::string& bytes) {
  const Status s = Env::Default()->CreateDirectories(path.substr(0, path.find_last_of("\\/")));
  return s.ok() ? WriteFileAtomically(Env::Default(), path, bytes) : s;
}

using Seen = std::tuple<FindingKind, std::string, uint32_t>;

const char kItems[] = "data\\items.pac";
const char kVoices[] = "sound\\voices.pac";
const char kPhoto[] = "data\\\xD1\x84\xD0\xBE\xD1\x82\xD0\xBE.dat";  // фото.dat

std::string Native(const std::string& dir, std::string relative) {
  std::replace(relative.begin(), relative.end(), '\\', '/');
  return dir + relative;
}

std::string ReadOrEmpty(const std::string& path) {
  std::string data;
  ReadFileToString(Env::Default(), path, &data);
  return data;
}

void Write(const std::string& dir, const std::string& relative, const std::string& data) {
  const std::string path = Native(dir, relative);
  fs::create_directories(fs::path(path).parent_path());
  ASSERT_TRUE(WriteFileAtomically(Env::Default(), path, data).ok());
}

void Edit(const std::string& dir, const std::string& relative,
          const std::function<void(std::string*)>& change) {
  std::string data = ReadOrEmpty(Native(dir, relative));
  change(&data);
  Write(dir, relative, data);
}

// A store object in the raw form, whatever the content.
std::string RawObject(const std::string& content) {
  std::string object(1, 'r');
  object += content;
  return object;
}

// The offset of a pack entry's row in its file.
size_t RowOffset(const std::string& pack, uint32_t id) {
  const uint32_t count = static_cast<uint8_t>(pack[4]) | static_cast<uint8_t>(pack[5]) << 8;
  for (size_t k = 0; k < count; ++k) {
    const size_t at = kPackHeaderSize + k * kPackRowSize;
    uint32_t row_id = 0;
    for (int i = 3; i >= 0; --i) row_id = row_id << 8 | static_cast<uint8_t>(pack[at + i]);
    if (row_id == id) return at;
  }
  ADD_FAILURE() << "no row " << id;
  return 0;
}

// Every regular file below `dir` but temporaries, by its relative path.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file() || IsTemporaryName(entry.path().filename().string())) continue;
    files[fs::relative(entry.path(), dir).string()] = ReadOrEmpty(entry.path().string());
  }
  return files;
}

std::vector<std::string> Temporaries(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (IsTemporaryName(entry.path().filename().string())) found.push_back(entry.path());
  }
  return found;
}

std::vector<Seen> Kinds(const std::vector<TreeFinding>& findings) {
  std::vector<Seen> out;
  for (const TreeFinding& f : findings) {
    EXPECT_FALSE(f.detail.empty()) << f.path;
    out.emplace_back(f.kind, f.path, f.entry_id);
  }
  return out;
}

// Fails one rename, the `nth` from now, as a crash between two steps would
// stop a repair.
class NthRenameFails : public EnvWrapper {
 public:
  NthRenameFails(Env* target, int nth) : EnvWrapper(target), left_(nth) {}
  Status RenameFile(const std::string& from, const std::string& to) override {
    if (--left_ == 0) return Status::IOError("injected rename failure");
    return EnvWrapper::RenameFile(from, to);
  }

 private:
  int left_;
};

class TreeRepairTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string dir = pristine_.dir();
    const std::string readme = "Welcome to the game.\n";
    Write(dir, "readme.txt", readme);
    Write(dir, "data\\copy.txt", readme);  // one object for two files
    Write(dir, "data\\maps\\level1.map", RandomBytes(200000, 1));
    Write(dir, "data\\maps\\empty.bin", "");
    Write(dir, kPhoto, std::string(3000, 'f'));
    AddEntries(kItems, {{1, "sword", false},
                        {7, std::string(5000, 'q'), true},
                        {12, "potion potion potion potion", true},
                        {300, RandomBytes(100000, 2), false}});
    AddEntries(kVoices,
               {{2, std::string(300000, 'v') + RandomBytes(1000, 3), true}, {5, "hello", false}});
    // The update machinery's own files and a killed run's temporary: never
    // in the tree, never findings.
    Write(dir, "curver.bin", "state");
    Write(dir, std::string(kRepairDirName) + "\\obj", "fetched");
    Write(dir, "patch.zip.dztmp", "half");

    const Status s = ScanClientTree(
        Env::Default(), dir, [](std::string_view path) { return !IsClientStateName(path); },
        &manifest_);
    ASSERT_TRUE(s.ok()) << s.ToString();
    // The store: every content once, as a publisher would have it.
    for (TreeFile& f : manifest_.files) {
      f.object_size = Store(ReadOrEmpty(Native(dir, f.path)), f.hash);
    }
    for (TreePack& p : manifest_.packs) {
      PackArchive* archive = PackOpenReadOnly(Env::Default(), Native(dir, p.path));
      ASSERT_NE(archive, nullptr);
      for (TreePackEntry& e : p.entries) {
        std::string block;
        ASSERT_EQ(PackReadStored(e.id, archive, &block), 1);
        e.object_size = Store(block, e.hash);
      }
      PackDiscard(archive);
    }
    ASSERT_EQ(manifest_.files.size(), 5u);
    ASSERT_EQ(manifest_.packs.size(), 2u);
  }

  struct Content {
    uint32_t id;
    std::string data;
    bool compressed;
  };
  void AddEntries(const std::string& pack, const std::vector<Content>& contents) {
    const std::string path = Native(pristine_.dir(), pack);
    fs::create_directories(fs::path(path).parent_path());
    PackArchive* archive = PackOpenForUpdate(Env::Default(), path);
    for (const Content& c : contents) {
      ASSERT_EQ(PackAdd(c.id, c.data.data(), static_cast<uint32_t>(c.data.size()), archive,
                        c.compressed ? 1 : 0, nullptr),
                1);
    }
    ASSERT_EQ(PackClose(archive), 1);
  }

  uint64_t Store(const std::string& content, const ContentHash& hash) {
    const std::string object = EncodeStoreObject(content);
    EXPECT_TRUE(PutObject(FetchedObjectPath(store_.dir(), hash), object).ok());
    return object.size();
  }

  const TreeFile& File(const std::string& path) const {
    return *TreePathIndex(manifest_).FindFile(path);
  }
  const TreePackEntry& Entry(const std::string& pack, uint32_t id) const {
    return *TreePathIndex(manifest_).FindPack(pack)->FindEntry(id);
  }
  std::vector<ContentHash> PackObjects(const std::string& pack) const {
    std::vector<ContentHash> out;
    for (const TreePackEntry& e : TreePathIndex(manifest_).FindPack(pack)->entries) {
      out.push_back(e.hash);
    }
    return out;
  }

  // A fresh copy of the pristine client.
  std::string NewClient(ScratchDir* client) const {
    fs::copy(pristine_.path(), client->path(), fs::copy_options::recursive);
    return client->dir();
  }

  // Copies exactly what ObjectsToFetch names into a new object directory,
  // checking each against the manifest's sizes.
  void Fetch(const std::vector<TreeFinding>& findings, ScratchDir* fetched,
             std::vector<ContentHash>* hashes) const {
    for (const NeededObject& o : ObjectsToFetch(manifest_, findings)) {
      const std::string object = ReadOrEmpty(FetchedObjectPath(store_.dir(), o.hash));
      EXPECT_EQ(o.object_size, object.size());
      EXPECT_TRUE(CheckStoreObject(Env::Default(), FetchedObjectPath(store_.dir(), o.hash), o.hash,
                                   o.content_size)
                      .ok());
      ASSERT_TRUE(PutObject(FetchedObjectPath(fetched->dir(), o.hash), object).ok());
      hashes->push_back(o.hash);
    }
  }

  // The tree as the manifest spells it, without what only a store knows.
  static std::string Shape(TreeManifest m) {
    m.line.clear();
    m.version = 0;
    for (TreeFile& f : m.files) f.object_size = 0;
    for (TreePack& p : m.packs) {
      for (TreePackEntry& e : p.entries) e.object_size = 0;
    }
    return FormatTreeManifest(m);
  }

  // The client holds exactly the release again, besides `extras`.
  void ExpectRestored(const std::string& dir, const std::set<std::string>& extras) {
    TreeManifest scanned;
    const Status s = ScanClientTree(
        Env::Default(), dir,
        [&](std::string_view path) {
          return !IsClientStateName(path) && extras.count(std::string(path)) == 0;
        },
        &scanned);
    ASSERT_TRUE(s.ok()) << s.ToString();
    EXPECT_EQ(Shape(scanned), Shape(manifest_));
    std::vector<TreeFinding> findings;
    ASSERT_TRUE(VerifyClientTree(Env::Default(), dir, manifest_, nullptr, &findings).ok());
    for (const TreeFinding& f : findings) {
      EXPECT_EQ(f.kind, FindingKind::kExtraFile) << f.path;
      EXPECT_EQ(extras.count(f.path), 1u) << f.path;
    }
    const size_t reported = static_cast<size_t>(std::count_if(
        extras.begin(), extras.end(), [](const std::string& p) { return !IsClientModuleName(p); }));
    EXPECT_EQ(findings.size(), reported);
    EXPECT_TRUE(Temporaries(dir).size() == 1) << "only the fixture's own temporary";
  }

  ScratchDir pristine_{"client"};
  ScratchDir store_{"store"};
  TreeManifest manifest_;
};

TEST_F(TreeRepairTest, EachDamageIsFoundFetchedAndRepaired) {
  using K = FindingKind;
  struct Case {
    const char* label;
    std::function<void(const std::string& dir)> damage;
    std::vector<Seen> findings;
    std::vector<ContentHash> objects;
    std::set<std::string> extras;
  };
  const std::string level1 = "data\\maps\\level1.map";
  const auto flip = [](size_t at) {
    return [at](std::string* data) { (*data)[at] = static_cast<char>((*data)[at] ^ 0x01); };
  };
  const auto block_of = [](const std::string& dir, const char* pack, uint32_t id) {
    PackArchive* archive = PackOpenReadOnly(Env::Default(), Native(dir, pack));
    PackEntryInfo info;
    EXPECT_EQ(PackGetEntryInfo(id, archive, &info), 1);
    PackDiscard(archive);
    return size_t{info.offset};
  };
  const auto in_pack = [](const char* pack, const std::function<void(PackArchive*)>& change) {
    return [pack, change](const std::string& dir) {
      PackArchive* archive = PackOpenForUpdate(Env::Default(), Native(dir, pack));
      change(archive);
      ASSERT_EQ(PackClose(archive), 1);
    };
  };
  const Case cases[] = {
      {"a file deleted",
       [](const std::string& d) { fs::remove(Native(d, "readme.txt")); },
       {{K::kMissingFile, "readme.txt", 0}},
       {File("readme.txt").hash},
       {}},
      {"both files of one content deleted",
       [](const std::string& d) {
         fs::remove(Native(d, "readme.txt"));
         fs::remove(Native(d, "data\\copy.txt"));
       },
       {{K::kMissingFile, "data\\copy.txt", 0}, {K::kMissingFile, "readme.txt", 0}},
       {File("readme.txt").hash},
       {}},
      {"a file truncated",
       [&](const std::string& d) { fs::resize_file(Native(d, level1), 1000); },
       {{K::kDamagedFile, level1, 0}},
       {File(level1).hash},
       {}},
      {"a byte flipped",
       [&](const std::string& d) { Edit(d, level1, flip(150000)); },
       {{K::kDamagedFile, level1, 0}},
       {File(level1).hash},
       {}},
      {"a byte flipped in a non-ASCII name",
       [&](const std::string& d) { Edit(d, kPhoto, flip(0)); },
       {{K::kDamagedFile, kPhoto, 0}},
       {File(kPhoto).hash},
       {}},
      {"a byte flipped in an entry's block",
       [&](const std::string& d) { Edit(d, kItems, flip(block_of(d, kItems, 300) + 99999)); },
       {{K::kDamagedEntry, kItems, 300}},
       {Entry(kItems, 300).hash},
       {}},
      {"a row's size changed, its block intact",
       [&](const std::string& d) {
         Edit(d, kItems, [](std::string* p) { (*p)[RowOffset(*p, 7) + 8] ^= 0x02; });
       },
       {{K::kDamagedEntry, kItems, 7}},
       {Entry(kItems, 7).hash},
       {}},
      {"a row's digest changed",
       [&](const std::string& d) {
         Edit(d, kItems, [](std::string* p) { (*p)[RowOffset(*p, 12) + 20] ^= 0x01; });
       },
       {{K::kDamagedEntry, kItems, 12}},
       {Entry(kItems, 12).hash},
       {}},
      {"an entry removed",
       in_pack(kItems, [](PackArchive* a) { PackRemove(12, a); }),
       {{K::kMissingEntry, kItems, 12}},
       {Entry(kItems, 12).hash},
       {}},
      {"an extra entry",
       in_pack(kVoices, [](PackArchive* a) { PackAdd(99, "x", 1, a, 0, nullptr); }),
       {{K::kExtraEntry, kVoices, 99}},
       {},
       {}},
      {"an extra file",
       [](const std::string& d) { Write(d, "data\\notes.txt", "mine"); },
       {{K::kExtraFile, "data\\notes.txt", 0}},
       {},
       {"data\\notes.txt"}},
      {"the plug-in beside a release that does not hold it",
       [](const std::string& d) {
         Write(d, "dizedir.so", "module");
         Write(d, "ResChn.dll", "texts");
       },
       {},
       {},
       {"dizedir.so", "ResChn.dll"}},
      {"a plain file where a pack belongs",
       [](const std::string& d) { Write(d, kVoices, "not a pack at all"); },
       {{K::kDamagedPackTable, kVoices, 0}},
       PackObjects(kVoices),
       {}},
      {"a pack where a plain file belongs",
       [](const std::string& d) {
         fs::copy_file(Native(d, kVoices), Native(d, "readme.txt"),
                       fs::copy_options::overwrite_existing);
       },
       {{K::kDamagedFile, "readme.txt", 0}},
       {File("readme.txt").hash},
       {}},
      {"a pack cut short",
       [](const std::string& d) { fs::resize_file(Native(d, kItems), 30); },
       {{K::kDamagedPackTable, kItems, 0}},
       PackObjects(kItems),
       {}},
      {"a pack's header garbled",
       [](const std::string& d) { Edit(d, kItems, [](std::string* p) { (*p)[6] = '\x7f'; }); },
       {{K::kDamagedPackTable, kItems, 0}},
       PackObjects(kItems),
       {}},
      {"a pack deleted",
       [](const std::string& d) { fs::remove(Native(d, kVoices)); },
       {{K::kMissingFile, kVoices, 0}},
       PackObjects(kVoices),
       {}},
      {"a directory deleted",
       [](const std::string& d) { fs::remove_all(Native(d, "sound")); },
       {{K::kMissingFile, kVoices, 0}},
       PackObjects(kVoices),
       {}},
      {"a directory of files deleted, an extra file beside",
       [](const std::string& d) {
         fs::remove_all(Native(d, "data\\maps"));
         Write(d, "zz.txt", "mine");
       },
       {{K::kMissingFile, "data\\maps\\empty.bin", 0},
        {K::kMissingFile, level1, 0},
        {K::kExtraFile, "zz.txt", 0}},
       {File("data\\maps\\empty.bin").hash, File(level1).hash},
       {"zz.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir client("client");
    const std::string dir = NewClient(&client);
    c.damage(dir);
    std::vector<TreeFinding> findings;
    Status s = VerifyClientTree(Env::Default(), dir, manifest_, nullptr, &findings);
    ASSERT_TRUE(s.ok()) << s.ToString();
    EXPECT_EQ(Kinds(findings), c.findings);

    ScratchDir fetched("fetched");
    std::vector<ContentHash> hashes;
    Fetch(findings, &fetched, &hashes);
    EXPECT_EQ(std::set<ContentHash>(hashes.begin(), hashes.end()),
              std::set<ContentHash>(c.objects.begin(), c.objects.end()));
    EXPECT_EQ(hashes.size(), std::set<ContentHash>(hashes.begin(), hashes.end()).size())
        << "each object once";

    const std::map<std::string, std::string> before = Snapshot(dir);
    s = RepairClientTree(Env::Default(), dir, manifest_, findings, fetched.dir(), nullptr);
    ASSERT_TRUE(s.ok()) << s.ToString();
    ExpectRestored(dir, c.extras);
    for (const std::string& extra : c.extras) {
      EXPECT_EQ(ReadOrEmpty(Native(dir, extra)), before.at(Native("", extra)));
    }
  }
}

TEST_F(TreeRepairTest, PathsMatchAsWindowsWouldAndStateIsNoFinding) {
  ScratchDir client("client");
  const std::string dir = NewClient(&client);
  // What a killed repair leaves: ignored, even a whole pack.
  fs::copy_file(Native(dir, kItems), Native(dir, std::string(kVoices) + ".new.dztmp"));
  Write(dir, std::string(kItems) + ".blocks.dztmp", "half");
  fs::rename(Native(dir, "readme.txt"), Native(dir, "README.TXT"));
  fs::rename(Native(dir, "sound"), Native(dir, "Sound"));
  std::vector<TreeFinding> findings;
  ASSERT_TRUE(VerifyClientTree(Env::Default(), dir, manifest_, nullptr, &findings).ok());
  EXPECT_EQ(Kinds(findings), std::vector<Seen>{});
}

TEST_F(TreeRepairTest, ProgressCountsTheManifestsBytesAndCanStop) {
  uint64_t described = 0;
  for (const TreeFile& f : manifest_.files) described += f.size;
  for (const TreePack& p : manifest_.packs) {
    for (const TreePackEntry& e : p.entries) described += e.stored_size;
  }
  struct Case {
    const char* label;
    std::function<void(const std::string&)> damage;
    uint64_t total;  // 0: what the manifest describes
  };
  const Case cases[] = {
      {"intact", [](const std::string&) {}, 0},
      {"a pack and a file missing: counted though not read",
       [](const std::string& d) {
         fs::remove(Native(d, kVoices));
         fs::remove(Native(d, "data\\maps\\level1.map"));
       },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir client("client");
    const std::string dir = NewClient(&client);
    c.damage(dir);
    uint64_t last = 0, calls = 0;
    bool ordered = true;
    const VerifyProgress count = [&](uint64_t done, uint64_t total, std::string_view) {
      ordered = ordered && done >= last && done <= total && total == described;
      last = done;
      ++calls;
      return true;
    };
    std::vector<TreeFinding> findings;
    ASSERT_TRUE(VerifyClientTree(Env::Default(), dir, manifest_, count, &findings).ok());
    EXPECT_TRUE(ordered);
    EXPECT_EQ(last, described);

    // Stopped half way, each in its turn.
    const uint64_t half = calls / 2;
    uint64_t seen = 0;
    const VerifyProgress stop = [&](uint64_t, uint64_t, std::string_view) { return ++seen < half; };
    EXPECT_TRUE(VerifyClientTree(Env::Default(), dir, manifest_, stop, &findings).IsAborted());
    EXPECT_EQ(seen, half) << "not asked again once told to stop";

    ScratchDir fetched("fetched");
    std::vector<ContentHash> hashes;
    ASSERT_TRUE(VerifyClientTree(Env::Default(), dir, manifest_, nullptr, &findings).ok());
    Fetch(findings, &fetched, &hashes);
    uint64_t written = 0, to_write = 0;
    for (const NeededObject& o : ObjectsToFetch(manifest_, findings)) to_write += o.content_size;
    const VerifyProgress repair = [&](uint64_t done, uint64_t total, std::string_view) {
      written = done;
      EXPECT_EQ(total, to_write);
      return true;
    };
    ASSERT_TRUE(
        RepairClientTree(Env::Default(), dir, manifest_, findings, fetched.dir(), repair).ok());
    EXPECT_EQ(written, to_write);
  }
}

TEST_F(TreeRepairTest, AHostileObjectIsRefusedAndItsTargetKept) {
  const std::string level1 = "data\\maps\\level1.map";
  struct Case {
    const char* label;
    std::function<void(const std::string&)> damage;
    std::string object;  // put in place of the one the repair needs
    ContentHash hash;    // of that object
  };
  const ContentHash level1_hash = File(level1).hash;
  const ContentHash entry_hash = Entry(kItems, 300).hash;
  const ContentHash voices_hash = Entry(kVoices, 2).hash;
  const std::string bomb = EncodeStoreObject(std::string(size_t{16} << 20, '\0'));
  ASSERT_LT(bomb.size(), 200000u);
  const auto flip_level1 = [&](const std::string& d) {
    Edit(d, level1, [](std::string* p) { (*p)[10] ^= 1; });
  };
  const auto drop_entry = [](const std::string& d) {
    PackArchive* a = PackOpenForUpdate(Env::Default(), Native(d, kItems));
    PackRemove(300, a);
    PackClose(a);
  };
  const Case cases[] = {
      {"another content", flip_level1, EncodeStoreObject(RandomBytes(200000, 9)), level1_hash},
      {"a zlib bomb", flip_level1, bomb, level1_hash},
      {"cut short", flip_level1, RawObject(RandomBytes(199999, 1)), level1_hash},
      {"an entry's block of another content", drop_entry, RawObject(RandomBytes(100000, 7)),
       entry_hash},
      {"a pack's block that is a bomb",
       [](const std::string& d) { fs::remove(Native(d, kVoices)); }, bomb, voices_hash},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir client("client");
    const std::string dir = NewClient(&client);
    c.damage(dir);
    std::vector<TreeFinding> findings;
    ASSERT_TRUE(VerifyClientTree(Env::Default(), dir, manifest_, nullptr, &findings).ok());
    ScratchDir fetched("fetched");
    std::vector<ContentHash> hashes;
    Fetch(findings, &fetched, &hashes);
    const std::string bad = FetchedObjectPath(fetched.dir(), c.hash);
    ASSERT_TRUE(PutObject(bad, c.object).ok());
    const std::map<std::string, std::string> before = Snapshot(dir);
    const Status s =
        RepairClientTree(Env::Default(), dir, manifest_, findings, fetched.dir(), nullptr);
    EXPECT_TRUE(s.IsCorruption()) << s.ToString();
    EXPECT_NE(s.message().find(bad), std::string::npos) << s.message();
    EXPECT_EQ(Snapshot(dir), before);
    EXPECT_EQ(Temporaries(dir).size(), 1u);
  }
}

TEST_F(TreeRepairTest, AnInterruptedRepairLeavesFilesWholeAndTheNextOneFinishes) {
  const auto damage = [&](const std::string& d) {
    fs::remove(Native(d, "readme.txt"));
    Edit(d, "data\\maps\\level1.map", [](std::string* p) { (*p)[5] ^= 1; });
    PackArchive* a = PackOpenForUpdate(Env::Default(), Native(d, kItems));
    PackRemove(300, a);
    PackRemove(7, a);
    PackAdd(40, "extra", 5, a, 0, nullptr);
    PackClose(a);
    fs::resize_file(Native(d, kVoices), 100);
  };
  ScratchDir reference("client");
  const std::string pristine = NewClient(&reference);
  const std::map<std::string, std::string> whole = Snapshot(pristine);
  // What the whole repair writes, to stop it at points all through.
  uint64_t written = 0;
  {
    ScratchDir client("client");
    const std::string dir = NewClient(&client);
    damage(dir);
    std::vector<TreeFinding> findings;
    ASSERT_TRUE(VerifyClientTree(Env::Default(), dir, manifest_, nullptr, &findings).ok());
    ScratchDir fetched("fetched");
    std::vector<ContentHash> hashes;
    Fetch(findings, &fetched, &hashes);
    FaultInjectionEnv counting(Env::Default());
    counting.FailWritesAfter(uint64_t{1} << 40);
    ASSERT_TRUE(RepairClientTree(&counting, dir, manifest_, findings, fetched.dir(), nullptr).ok());
    written = (uint64_t{1} << 40) - counting.SpaceLeft();
  }
  struct Case {
    const char* label;
    uint64_t space;      // bytes the disk takes; 0 for no limit
    int failing_rename;  // 0 for none
    Status::Code code;
  };
  const Case cases[] = {
      {"disk full at once", 1, 0, Status::Code::kNoSpace},
      {"disk full a fifth in", written / 5, 0, Status::Code::kNoSpace},
      {"disk full half way", written / 2, 0, Status::Code::kNoSpace},
      {"disk full four fifths in", written * 4 / 5, 0, Status::Code::kNoSpace},
      {"disk full a byte short", written - 1, 0, Status::Code::kNoSpace},
      // The renames: a pack's save, two files, a new pack's save and its
      // rename over the damaged one.
      {"first rename fails", 0, 1, Status::Code::kIOError},
      {"third rename fails", 0, 3, Status::Code::kIOError},
      {"last rename fails", 0, 5, Status::Code::kIOError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir client("client");
    const std::string dir = NewClient(&client);
    damage(dir);
    std::map<std::string, std::string> damaged = Snapshot(dir);
    std::vector<TreeFinding> findings;
    ASSERT_TRUE(VerifyClientTree(Env::Default(), dir, manifest_, nullptr, &findings).ok());
    ScratchDir fetched("fetched");
    std::vector<ContentHash> hashes;
    Fetch(findings, &fetched, &hashes);

    FaultInjectionEnv full(Env::Default());
    if (c.space != 0) full.FailWritesAfter(c.space);
    NthRenameFails env(&full, c.failing_rename);
    Status s = RepairClientTree(&env, dir, manifest_, findings, fetched.dir(), nullptr);
    EXPECT_EQ(s.code(), c.code) << s.ToString();
    // Every file as it was or as repaired, never between.
    for (const auto& [path, data] : Snapshot(dir)) {
      const auto was = whole.find(path);
      EXPECT_TRUE(data == damaged[path] || (was != whole.end() && data == was->second)) << path;
    }
    EXPECT_EQ(Temporaries(dir).size(), 1u);

    // A killed run's new pack, complete but of other entries, is no start
    // for the next.
    fs::copy_file(Native(pristine, kItems), Native(dir, std::string(kVoices) + ".new.dztmp"),
                  fs::copy_options::overwrite_existing);
    ASSERT_TRUE(VerifyClientTree(Env::Default(), dir, manifest_, nullptr, &findings).ok());
    s = RepairClientTree(Env::Default(), dir, manifest_, findings, fetched.dir(), nullptr);
    ASSERT_TRUE(s.ok()) << s.ToString();
    ExpectRestored(dir, {});
  }
}

TEST_F(TreeRepairTest, WhatStandsInTheWayIsRefusedNotRemoved) {
  using K = FindingKind;
  ScratchDir outside("outside");
  Write(outside.dir(), "keep.txt", "not the client's");
  struct Case {
    const char* label;
    std::function<void(const std::string&)> block;
    std::vector<Seen> findings;
    std::string left;  // what the repair must leave in place
  };
  const std::string maps = "data\\maps";
  const Case cases[] = {
      {"a directory where a file belongs",
       [](const std::string& d) {
         fs::remove(Native(d, "readme.txt"));
         Write(d, "readme.txt\\inner.txt", "mine");
       },
       {{K::kDamagedFile, "readme.txt", 0}, {K::kExtraFile, "readme.txt\\inner.txt", 0}},
       "readme.txt\\inner.txt"},
      {"a file where a directory belongs",
       [&](const std::string& d) {
         fs::remove_all(Native(d, maps));
         Write(d, maps, "mine");
       },
       {{K::kExtraFile, maps, 0},
        {K::kMissingFile, maps + "\\empty.bin", 0},
        {K::kMissingFile, maps + "\\level1.map", 0}},
       maps},
      {"a link to a directory outside where a directory belongs",
       [&](const std::string& d) {
         fs::remove_all(Native(d, maps));
         fs::create_directory_symlink(outside.path(), Native(d, maps));
       },
       {{K::kMissingFile, maps + "\\empty.bin", 0}, {K::kMissingFile, maps + "\\level1.map", 0}},
       maps + "\\keep.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir client("client");
    const std::string dir = NewClient(&client);
    c.block(dir);
    std::vector<TreeFinding> findings;
    ASSERT_TRUE(VerifyClientTree(Env::Default(), dir, manifest_, nullptr, &findings).ok());
    EXPECT_EQ(Kinds(findings), c.findings);
    ScratchDir fetched("fetched");
    std::vector<ContentHash> hashes;
    Fetch(findings, &fetched, &hashes);
    const std::map<std::string, std::string> before = Snapshot(outside.dir());
    const Status s =
        RepairClientTree(Env::Default(), dir, manifest_, findings, fetched.dir(), nullptr);
    EXPECT_EQ(s.code(), Status::Code::kInvalidArgument) << s.ToString();
    EXPECT_FALSE(ReadOrEmpty(Native(dir, c.left)).empty());
    EXPECT_EQ(Snapshot(outside.dir()), before) << "nothing written through the link";
  }
}

}  // namespace
}  // namespace dizedir
