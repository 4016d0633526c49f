#include "engine/item_handlers.h"

#include <gtest/gtest.h>
#include <zlib.h>

#if defined(__linux__)
#include <sys/resource.h>
#endif

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codec/md5.h"
#include "pack/pack.h"
#include "support/fault_injection_env.h"
#include "support/scratch_dir.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

struct Stored {
  std::string contents;
  int compressed = 0;
  bool operator==(const Stored&) const = default;
};
using PackContents = std::map<uint32_t, Stored>;
// Pack name as the lists give it (under qmz\fodder\, no ".pac") -> entries;
// nullopt for a pack that must not exist.
using PackSet = std::map<std::string, std::optional<PackContents>>;

std::string FodderPack(const std::string& name) {
  return std::string(kPackDirectory) + name + ".pac";
}

std::string Describe(const std::optional<PackContents>& pack) {
  if (!pack) return "(no pack)";
  std::ostringstream out;
  for (const auto& [id, e] : *pack) {
    out << id << "=" << e.contents << (e.compressed ? "(z) " : " ");
  }
  return out.str();
}

// A client directory inside a scratch directory, so that names climbing out
// of the client still land somewhere the test owns and can inspect.
class Client {
 public:
  Client() : scratch_("handlers"), dir_(scratch_.dir() + "client/") {
    fs::create_directories(dir_ + "qmz/fodder");
  }

  Env* env() const { return Env::Default(); }
  const std::string& dir() const { return dir_; }
  // The directory that holds the client directory.
  std::string outside() const { return scratch_.dir(); }

  void WritePack(const std::string& rel, const PackContents& entries) {
    PackArchive* pack = PackOpenForUpdate(env(), dir_ + rel);
    ASSERT_NE(pack, nullptr) << rel;
    for (const auto& [id, e] : entries) {
      ASSERT_EQ(PackAdd(id, e.contents.data(), e.contents.size(), pack,
                        e.compressed, nullptr), 1);
    }
    ASSERT_TRUE(env()->CreateDirectories(Parent(dir_ + rel)).ok());
    ASSERT_EQ(PackClose(pack), 1) << rel;
  }

  std::optional<PackContents> ReadPack(const std::string& rel) {
    PackArchive* pack = PackOpenReadOnly(env(), dir_ + rel);
    if (pack == nullptr) return std::nullopt;
    PackContents entries;
    for (uint32_t k = 0; k < PackGetCount(pack); ++k) {
      const uint32_t id = PackGetIdAt(k, pack);
      uint32_t size = 0;
      EXPECT_EQ(PackRead(nullptr, &size, id, pack), 1);
      std::string contents(size, '\0');
      EXPECT_EQ(PackRead(contents.data(), &size, id, pack), 1);
      int compressed = 0;
      EXPECT_EQ(PackIsCompressed(id, pack, &compressed), 1);
      entries[id] = {contents, compressed};
    }
    PackClose(pack);
    return entries;
  }

  void WritePacks(const std::map<std::string, PackContents>& packs) {
    for (const auto& [name, entries] : packs) WritePack(FodderPack(name), entries);
  }

  void ExpectPacks(const PackSet& expected) {
    for (const auto& [name, entries] : expected) {
      EXPECT_EQ(Describe(ReadPack(FodderPack(name))), Describe(entries))
          << "pack " << name;
    }
  }

  void WriteText(const std::string& rel, const std::string& text) {
    const std::string path = env()->NativePath(dir_ + rel);
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }

  bool Exists(const std::string& rel) { return env()->FileExists(dir_ + rel); }

  // Every file under the client directory with its bytes: what a repeated
  // handler call must leave exactly as the first one did.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(dir_)) {
      if (!item.is_regular_file()) continue;
      std::ifstream in(item.path(), std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      files[fs::relative(item.path(), dir_).string()] = bytes.str();
    }
    return files;
  }

 private:
  static std::string Parent(const std::string& path) {
    return path.substr(0, path.find_last_of("\\/") + 1);
  }

  ScratchDir scratch_;
  std::string dir_;
};

TEST(MergePackTest, ReplacesByIdKeepsTheRestAndDeletesTheItem) {
  struct Case {
    const char* label;
    std::string item;
    std::optional<PackContents> target;  // before the merge
    PackContents source;
    PackContents expected;
  };
  const Case cases[] = {
      {"replaces ids and keeps others", "a.pac",
       PackContents{{1, {"old one", 0}}, {2, {"kept", 1}}},
       {{1, {"new one", 1}}, {3, {"three", 0}}},
       {{1, {"new one", 1}}, {2, {"kept", 1}}, {3, {"three", 0}}}},
      {"a missing target starts empty", "b.pac", std::nullopt,
       {{0, {"", 0}}, {5, {"five five five", 1}}},
       {{0, {"", 0}}, {5, {"five five five", 1}}}},
      {"an item in a subdirectory merges at the same relative path",
       "sub\\c.pac", std::nullopt, {{7, {"seven", 1}}}, {{7, {"seven", 1}}}},
      {"an empty item changes nothing", "d.pac", PackContents{{1, {"x", 0}}},
       {}, {{1, {"x", 0}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Client client;
    const std::string target = std::string(kPackDirectory) + c.item;
    if (c.target) client.WritePack(target, *c.target);
    client.WritePack(c.item, c.source);

    ASSERT_TRUE(
        MergePack(client.env(), client.dir(), c.item, target, nullptr).ok());
    EXPECT_EQ(Describe(client.ReadPack(target)), Describe(c.expected));
    EXPECT_FALSE(client.Exists(c.item));

    // A rerun extracts the item again and merges it again.
    const auto once = client.Snapshot();
    client.WritePack(c.item, c.source);
    ASSERT_TRUE(
        MergePack(client.env(), client.dir(), c.item, target, nullptr).ok());
    EXPECT_EQ(client.Snapshot(), once);
  }
}

// Sanitizers reserve terabytes of address space, so a limit on it cannot
// stand for a 32-bit launcher's there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DIZEDIR_ADDRESS_LIMIT_USABLE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define DIZEDIR_ADDRESS_LIMIT_USABLE 0
#endif
#endif
#if !defined(DIZEDIR_ADDRESS_LIMIT_USABLE) && defined(__linux__)
#define DIZEDIR_ADDRESS_LIMIT_USABLE 1
#elif !defined(DIZEDIR_ADDRESS_LIMIT_USABLE)
#define DIZEDIR_ADDRESS_LIMIT_USABLE 0
#endif

TEST(MergePackTest, AnEntryClaimingGigabytesFailsInBoundedMemory) {
  // One entry whose row claims 4 GiB - 1 of contents, backed by a 4 MiB zlib
  // block (enough for the claim to pass as a possible inflation) with its
  // true digest; the block inflates to 4 MiB only.
  std::string contents(size_t{4} << 20, '\0');
  std::mt19937 rng(7);
  for (char& c : contents) c = static_cast<char>(rng());
  uLongf stored = compressBound(contents.size());
  std::string block(stored, '\0');
  ASSERT_EQ(compress(reinterpret_cast<Bytef*>(block.data()), &stored,
                     reinterpret_cast<const Bytef*>(contents.data()),
                     contents.size()),
            Z_OK);
  block.resize(stored);
  auto u32 = [](uint32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(v >> (8 * i));
    return out;
  };
  const std::string pack = u32(0) + u32(1) + u32(1) + u32(61) +
                           u32(0xFFFFFFFFu) + u32(static_cast<uint32_t>(stored)) +
                           u32(1) + Md5Hex(block) + std::string(1, '\0') + block;

  Client client;
  client.WritePack(FodderPack("huge"), {{2, {"kept", 1}}});
  client.WriteText("huge.pac", pack);
  const auto before = client.Snapshot();
  auto merge_fails_cleanly = [&] {
    const Status s = MergePack(client.env(), client.dir(), "huge.pac",
                               FodderPack("huge"), nullptr);
    return s.IsCorruption() &&
           s.message() == "damaged pack huge.pac: entry 1 inflates short of its size";
  };
#if DIZEDIR_ADDRESS_LIMIT_USABLE
  // In a child whose address space is a 32-bit launcher's: allocating the
  // claim there throws, and an exception escaping ends the child.
  auto limited_run = [&] {
    rlimit address_space;
    address_space.rlim_cur = address_space.rlim_max = rlim_t{3} << 30;
    if (setrlimit(RLIMIT_AS, &address_space) != 0) std::_Exit(2);
    std::_Exit(merge_fails_cleanly() ? 0 : 1);
  };
  EXPECT_EXIT(limited_run(), testing::ExitedWithCode(0), "");
#else
  EXPECT_TRUE(merge_fails_cleanly());
#endif
  EXPECT_EQ(client.Snapshot(), before) << "nothing changes, the item stays";
}

TEST(RunDeleteListTest, RemovesListedEntriesThenFiles) {
  struct Case {
    const char* label;
    std::map<std::string, PackContents> packs;
    std::vector<std::string> files;
    std::vector<std::string> dirs;
    std::string list;
    PackSet expected;
    std::vector<std::string> deleted;
    std::vector<std::string> kept;
  };
  const PackContents abc = {{1, {"a", 0}}, {2, {"b", 1}}, {3, {"c", 0}}};
  const Case cases[] = {
      {"groups and files",
       {{"a", abc}, {"b", {{4, {"d", 1}}}}},
       {"f1.txt", "sub\\f2.txt", "keep.txt"}, {},
       "Packet:a 1 3 Packet:b 9 end f1.txt sub\\f2.txt missing.txt",
       {{"a", PackContents{{2, {"b", 1}}}}, {"b", PackContents{{4, {"d", 1}}}}},
       {"f1.txt", "sub\\f2.txt"}, {"keep.txt"}},
      {"two groups for one pack",
       {{"a", abc}}, {}, {},
       "Packet:a 1 Packet:b 1 Packet:a 2\r\nx",
       {{"a", PackContents{{3, {"c", 0}}}}, {"b", PackContents{}}}, {}, {}},
      {"a marker without numbers leaves its pack alone",
       {{"a", abc}}, {}, {}, "Packet:a Packet:c 1 x",
       {{"a", abc}, {"c", PackContents{}}}, {}, {}},
      {"no marker: the first word is not deleted",
       {}, {"g1", "g2"}, {}, "g1 g2", {}, {"g2"}, {"g1"}},
      {"directories are not deleted",
       {{"a", abc}}, {}, {"dir"}, "x dir qmz qmz\\fodder", {{"a", abc}}, {},
       {"dir", "qmz\\fodder"}},
      {"a listed pack file is deleted as a file",
       {{"a", abc}}, {}, {}, "x qmz\\fodder\\a.pac", {{"a", std::nullopt}},
       {"qmz\\fodder\\a.pac"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Client client;
    client.WritePacks(c.packs);
    for (const auto& f : c.files) client.WriteText(f, "file");
    for (const auto& d : c.dirs) {
      ASSERT_TRUE(client.env()->CreateDirectories(client.dir() + d).ok());
    }
    client.WriteText("del.txt", c.list);

    ASSERT_TRUE(RunDeleteList(client.env(), client.dir(), nullptr).ok());
    client.ExpectPacks(c.expected);
    for (const auto& f : c.deleted) EXPECT_FALSE(client.Exists(f)) << f;
    for (const auto& f : c.kept) EXPECT_TRUE(client.Exists(f)) << f;
    EXPECT_FALSE(client.Exists("del.txt"));

    const auto once = client.Snapshot();
    client.WriteText("del.txt", c.list);
    ASSERT_TRUE(RunDeleteList(client.env(), client.dir(), nullptr).ok());
    EXPECT_EQ(client.Snapshot(), once);
  }
}

TEST(RunMoveListTest, MovesWholeEntriesAndRecognisesFinishedMoves) {
  struct Case {
    const char* label;
    std::map<std::string, PackContents> packs;
    std::string list;
    PackSet expected;
  };
  const Stored x = {"the entry x", 1};
  const Case cases[] = {
      {"moves an entry with its flag",
       {{"a", {{1, x}, {2, {"y", 0}}}}, {"b", {{3, {"z", 0}}}}},
       "1 From:a To:b",
       {{"a", PackContents{{2, {"y", 0}}}},
        {"b", PackContents{{1, x}, {3, {"z", 0}}}}}},
      {"a missing target is created",
       {{"a", {{1, x}}}}, "1 From:a To:sub\\n",
       {{"a", PackContents{}}, {"sub\\n", PackContents{{1, x}}}}},
      {"a target with the same entry completes the move",
       {{"a", {{1, x}, {2, {"y", 0}}}}, {"b", {{1, x}}}}, "1 From:a To:b",
       {{"a", PackContents{{2, {"y", 0}}}}, {"b", PackContents{{1, x}}}}},
      {"a target with a different entry keeps both",
       {{"a", {{1, x}}}, {"b", {{1, {"the entry x", 0}}}}}, "1 From:a To:b",
       {{"a", PackContents{{1, x}}},
        {"b", PackContents{{1, {"the entry x", 0}}}}}},
      {"a source without the id changes nothing",
       {{"a", {{2, x}}}}, "1 From:a To:b 1 From:missing To:c",
       {{"a", PackContents{{2, x}}}, {"b", std::nullopt},
        {"c", std::nullopt}, {"missing", std::nullopt}}},
      {"a move onto its own pack under other spellings",
       {{"a", {{1, x}, {2, x}, {3, x}}}},
       "1 From:a To:A 2 From:a To:./a 3 From:.\\a To:a//",
       {{"a", PackContents{{1, x}, {2, x}, {3, x}}}}},
      {"several moves between the same packs",
       {{"a", {{1, x}, {2, {"y", 0}}}}, {"b", {{3, {"z", 1}}}}},
       "3 From:b To:a 1 From:a To:b 2 From:a To:c",
       {{"a", PackContents{{3, {"z", 1}}}},
        {"b", PackContents{{1, x}}},
        {"c", PackContents{{2, {"y", 0}}}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Client client;
    client.WritePacks(c.packs);
    client.WriteText("Move.txt", c.list);

    ASSERT_TRUE(RunMoveList(client.env(), client.dir(), nullptr).ok());
    client.ExpectPacks(c.expected);
    EXPECT_FALSE(client.Exists("Move.txt"));

    const auto once = client.Snapshot();
    client.WriteText("Move.txt", c.list);
    ASSERT_TRUE(RunMoveList(client.env(), client.dir(), nullptr).ok());
    EXPECT_EQ(client.Snapshot(), once);
  }
}

// A list naming anything the name rule refuses fails whole, naming the
// word, before it changes anything: not the refused name, and not the
// harmless names beside it either.
TEST(ItemHandlersTest, AListWithARefusedNameChangesNothing) {
  struct Case {
    const char* label;
    const char* list_name;
    std::string list;
    std::string shown;
  } cases[] = {
      {"a pack that climbs", "del.txt", "Packet:..\\..\\..\\victim 1 end keep.txt",
       "..\\..\\..\\victim"},
      {"a file that climbs", "del.txt", "Packet:a 2 end keep.txt ..\\victim.txt",
       "..\\victim.txt"},
      {"an absolute file", "del.txt", "end keep.txt /etc/passwd", "/etc/passwd"},
      {"a drive", "del.txt", "end keep.txt C:\\drive.txt", "C:\\drive.txt"},
      {"a device", "del.txt", "end keep.txt nul", "nul"},
      {"a climbing move source", "Move.txt", "2 From:a To:b 1 From:..\\victim To:a",
       "..\\victim"},
      {"a climbing move target", "Move.txt", "2 From:a To:..\\victim", "..\\victim"},
      {"a name Windows would trim", "Move.txt", "2 From:a. To:b", "a."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Client client;
    const std::string victim_pack = client.outside() + "victim.pac";
    client.WritePack(FodderPack("a"), {{2, {"a", 0}}});
    client.WriteText("keep.txt", "keep");
    client.WriteText(c.list_name, c.list);
    const auto before = client.Snapshot();
    const Status s = std::string(c.list_name) == "del.txt"
                         ? RunDeleteList(client.env(), client.dir(), nullptr)
                         : RunMoveList(client.env(), client.dir(), nullptr);
    EXPECT_EQ(s.code(), Status::Code::kInvalidArgument) << s.ToString();
    EXPECT_NE(s.message().find(c.shown), std::string::npos) << s.message();
    EXPECT_NE(s.message().find(c.list_name), std::string::npos) << s.message();
    EXPECT_EQ(client.Snapshot(), before);
    EXPECT_FALSE(fs::exists(victim_pack));
  }
}

// Each handler with a world to work on and the world it must leave.
struct HandlerSetup {
  const char* label;
  std::function<void(Client&)> prepare;
  std::function<Status(Env*, const std::string&, const std::atomic<bool>*)> run;
  std::string input;  // the item or list the handler must keep on failure
  PackSet done;       // the packs after a successful run
  std::string client_pack;   // a client pack the handler opens
  std::string block_source;  // a pack whose block it takes, if any
};

std::vector<HandlerSetup> HandlerSetups() {
  return {
      {"merge",
       [](Client& c) {
         c.WritePack(FodderPack("a"), {{1, {"old", 0}}, {2, {"kept", 1}}});
         c.WritePack("a.pac", {{1, {"new", 1}}});
       },
       [](Env* env, const std::string& dir, const std::atomic<bool>* stop) {
         return MergePack(env, dir, "a.pac", FodderPack("a"), stop);
       },
       "a.pac",
       {{"a", PackContents{{1, {"new", 1}}, {2, {"kept", 1}}}}},
       FodderPack("a"), "a.pac"},
      {"delete",
       [](Client& c) {
         c.WritePack(FodderPack("a"), {{1, {"one", 0}}, {2, {"two", 0}}});
         c.WriteText("f.txt", "file");
         c.WriteText("del.txt", "Packet:a 1 end f.txt");
       },
       &RunDeleteList, "del.txt", {{"a", PackContents{{2, {"two", 0}}}}},
       FodderPack("a"), ""},
      {"move",
       [](Client& c) {
         c.WritePack(FodderPack("a"), {{1, {"one", 1}}});
         c.WritePack(FodderPack("b"), {{2, {"two", 0}}});
         c.WriteText("Move.txt", "1 From:a To:b");
       },
       &RunMoveList, "Move.txt",
       {{"a", PackContents{}},
        {"b", PackContents{{1, {"one", 1}}, {2, {"two", 0}}}}},
       FodderPack("b"), FodderPack("a")},
  };
}

TEST(ItemHandlersTest, AFailedWriteLeavesEverythingForTheRerun) {
  enum class Fault { kRename, kFullDisk };
  for (Fault fault : {Fault::kRename, Fault::kFullDisk}) {
    for (const HandlerSetup& h : HandlerSetups()) {
      SCOPED_TRACE(std::string(h.label) +
                   (fault == Fault::kRename ? " rename" : " full disk"));
      Client client;
      h.prepare(client);
      const auto before = client.Snapshot();
      FaultInjectionEnv env(client.env());
      if (fault == Fault::kRename) {
        env.FailNextRenames(1);
      } else {
        env.FailWritesAfter(0);
      }
      EXPECT_FALSE(h.run(&env, client.dir(), nullptr).ok());
      EXPECT_EQ(client.Snapshot(), before);

      env.FailNextRenames(0);
      env.StopFailingWrites();
      ASSERT_TRUE(h.run(&env, client.dir(), nullptr).ok());
      client.ExpectPacks(h.done);
      EXPECT_FALSE(client.Exists(h.input));
    }
  }
}

TEST(ItemHandlersTest, AStopOrADamagedPackChangesNothing) {
  // 8-byte header promising five rows that are not there.
  const std::string damaged("\0\0\0\0\5\0\0\0", 8);
  struct Break {
    const char* label;
    bool stop;
    Status::Code code;
    // Breaks the client for a handler; the text it must fail with, or
    // nullopt when this break does not apply to it.
    std::function<std::optional<std::string>(Client&, const HandlerSetup&)> apply;
  };
  const Break breaks[] = {
      {"stopped", true, Status::Code::kAborted,
       [](Client&, const HandlerSetup&) { return "stopped"; }},
      {"damaged table", false, Status::Code::kCorruption,
       [&](Client& c, const HandlerSetup& h) {
         c.WriteText(h.client_pack, damaged);
         return "damaged pack " + h.client_pack;
       }},
      {"damaged block", false, Status::Code::kCorruption,
       [](Client& c, const HandlerSetup& h) -> std::optional<std::string> {
         if (h.block_source.empty()) return std::nullopt;
         // The last byte of the file is the last byte of a block.
         std::string bytes = c.Snapshot().at(
             fs::path(c.env()->NativePath(h.block_source)).string());
         bytes.back() ^= 0x55;
         c.WriteText(h.block_source, bytes);
         // A compressed block: its stream breaks before its digest is
         // compared.
         return "damaged pack " + h.block_source +
                ": entry 1 is not a valid zlib stream";
       }},
  };
  for (const Break& b : breaks) {
    for (const HandlerSetup& h : HandlerSetups()) {
      SCOPED_TRACE(std::string(h.label) + " " + b.label);
      Client client;
      h.prepare(client);
      const std::optional<std::string> text = b.apply(client, h);
      if (!text) continue;
      const auto before = client.Snapshot();
      std::atomic<bool> stop{b.stop};
      const Status s = h.run(client.env(), client.dir(), &stop);
      EXPECT_EQ(s.code(), b.code);
      EXPECT_EQ(s.message(), *text);
      EXPECT_EQ(client.Snapshot(), before);
    }
  }
  {
    SCOPED_TRACE("damaged item");
    Client client;
    client.WritePack(FodderPack("a"), {{1, {"old", 0}}});
    client.WriteText("a.pac", damaged);
    const auto before = client.Snapshot();
    const Status s =
        MergePack(client.env(), client.dir(), "a.pac", FodderPack("a"), nullptr);
    EXPECT_TRUE(s.IsCorruption());
    EXPECT_EQ(s.message(), "damaged pack a.pac");
    EXPECT_EQ(client.Snapshot(), before);
  }
}

TEST(ItemHandlersTest, MissingInputIsNothingToDo) {
  Client client;
  const auto before = client.Snapshot();
  EXPECT_TRUE(RunDeleteList(client.env(), client.dir(), nullptr).ok());
  EXPECT_TRUE(RunMoveList(client.env(), client.dir(), nullptr).ok());
  EXPECT_TRUE(
      MergePack(client.env(), client.dir(), "a.pac", FodderPack("a"), nullptr)
          .ok());
  EXPECT_EQ(client.Snapshot(), before);
  EXPECT_FALSE(client.Exists(FodderPack("a")));
}

}  // namespace
}  // namespace dizedir
