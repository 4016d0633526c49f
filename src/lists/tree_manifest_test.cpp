#include "lists/tree_manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "codec/md5.h"
#include "pack/pack.h"
#include "support/scratch_dir.h"
#include "support/test_bytes.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

const std::string kHashA = "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8";
const std::string kHashB = "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319";
const std::string kMd5A = "0123456789abcdef0123456789abcdef";

std::string Text(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

std::string File(const std::string& path, const std::string& size = "1",
                 const std::string& object = "2") {
  return "file " + size + " " + object + " " + kHashA + " " + path;
}

std::string Entry(const std::string& id, const std::string& size = "5",
                  const std::string& stored = "5", const std::string& flag = "0",
                  const std::string& md5 = kMd5A, const std::string& hash = kHashB,
                  const std::string& object = "6") {
  return "entry " + id + " " + size + " " + stored + " " + flag + " " + object + " " + md5 +
         " " + hash;
}

struct Layout {
  std::string header = "dizedir tree manifest 1";
  std::string line = "line 6F9619FF-8B86-D011-B42D-00C04FC964FF";
  std::string version = "version 12";
  std::vector<std::string> rest;
  std::string Render() const {
    std::vector<std::string> out = {header, line, version};
    out.insert(out.end(), rest.begin(), rest.end());
    return Text(out);
  }
};

Layout With(std::vector<std::string> rest) {
  Layout layout;
  layout.rest = std::move(rest);
  return layout;
}

TEST(TreeManifestTest, AcceptsTheLayoutAndFormatsItBackByteForByte) {
  struct Case {
    const char* label;
    std::string text;
  };
  const Layout full = With({
      "file 120 40 " + kHashA + " Data\\readme.txt",
      "pack Data\\x.pac",  // no entries
      "file 7 8 " + kHashB + " data\\a b.bin",
      "pack qmz\\fodder\\items.pac",
      Entry("3"),
      Entry("7", "5000", "41", "1", kMd5A, kHashB, "42"),
      File("qmz\\fodder\\items.pac2"),
      "file 1 1 " + kHashB + " \xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.dat",
  });
  const Layout bare;  // an empty client
  Layout edges = With({
      File("big", "9223372036854775807", "9223372036854775808"),
      File("empty", "0", "1"),
      "pack p.pac",
      Entry("0", "0", "0", "0", kMd5A, kHashB, "1"),
      Entry("4294967295", "4294967295", "4294967295", "1", kMd5A, kHashB, "4294967296"),
  });
  edges.version = "version 2147483647";
  const Case cases[] = {
      {"full", full.Render()}, {"bare", bare.Render()}, {"edges", edges.Render()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TreeManifest m;
    const Status s = ParseTreeManifest(c.text, &m);
    ASSERT_TRUE(s.ok()) << s.ToString();
    EXPECT_EQ(FormatTreeManifest(m), c.text);
  }

  TreeManifest m;
  ASSERT_TRUE(ParseTreeManifest(full.Render(), &m).ok());
  EXPECT_EQ(m.line, "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_EQ(m.version, 12);
  ASSERT_EQ(m.files.size(), 4u);
  EXPECT_EQ(m.files[1].path, "data\\a b.bin");
  EXPECT_EQ(m.files[1].size, 7u);
  EXPECT_EQ(m.files[1].object_size, 8u);
  EXPECT_EQ(ContentHashHex(m.files[1].hash), kHashB);
  ASSERT_EQ(m.packs.size(), 2u);
  EXPECT_EQ(m.packs[0].path, "Data\\x.pac");
  EXPECT_TRUE(m.packs[0].entries.empty());
  const TreePack& items = m.packs[1];
  ASSERT_EQ(items.entries.size(), 2u);
  const TreePackEntry* seven = items.FindEntry(7);
  ASSERT_NE(seven, nullptr);
  EXPECT_EQ(seven->size, 5000u);
  EXPECT_EQ(seven->stored_size, 41u);
  EXPECT_EQ(seven->object_size, 42u);
  EXPECT_TRUE(seven->compressed);
  EXPECT_EQ(seven->md5_hex, kMd5A);
  EXPECT_EQ(ContentHashHex(seven->hash), kHashB);
  EXPECT_FALSE(items.FindEntry(3)->compressed);
  EXPECT_EQ(items.FindEntry(5), nullptr);
  EXPECT_EQ(items.FindEntry(8), nullptr);

  ASSERT_TRUE(ParseTreeManifest(edges.Render(), &m).ok());
  EXPECT_EQ(m.version, 2147483647);
  EXPECT_EQ(m.files[0].size, 9223372036854775807u);
  EXPECT_EQ(m.packs[0].entries[1].id, 4294967295u);
  EXPECT_EQ(m.packs[0].entries[1].stored_size, 4294967295u);
  EXPECT_EQ(m.packs[0].entries[1].object_size, 4294967296u);
  EXPECT_EQ(m.files[0].object_size, 9223372036854775808u);
}

TEST(TreeManifestTest, RefusesAnyOtherTextNamingTheLine) {
  struct Case {
    const char* label;
    std::string text;
    int line;
    const char* why;  // a part of the message
  };
  const std::string k260(260, 'a');
  std::string nul_path = With({File("a")}).Render();
  nul_path.insert(nul_path.size() - 2, 1, '\0');
  std::string no_final_feed = With({File("a")}).Render();
  no_final_feed.pop_back();
  Layout bad_header;
  bad_header.header = "dizedir tree manifest 2";
  Layout bad_line;
  bad_line.line = "line my line";
  Layout no_line;
  no_line.line = "version 12";
  const auto version = [](const std::string& v) {
    Layout layout;
    layout.version = "version " + v;
    return layout.Render();
  };
  const std::string crlf = "dizedir tree manifest 1\r\nline L\r\nversion 1\r\n";
  const Case cases[] = {
      {"empty text", "", 1, "missing"},
      {"other header", bad_header.Render(), 1, "expected"},
      {"CR LF line ends", crlf, 1, "expected"},
      {"line with a space", bad_line.Render(), 2, "release line"},
      {"no line", no_line.Render(), 2, "expected"},
      {"version 0", version("0"), 3, "version"},
      {"version past 2^31-1", version("2147483648"), 3, "version"},
      {"version with a leading zero", version("012"), 3, "version"},
      {"version with a sign", version("+12"), 3, "version"},
      {"no final line feed", no_final_feed, 4, "line feed"},
      {"an empty last line", With({File("a"), ""}).Render(), 5, "expected"},
      {"unknown line", With({"directory a"}).Render(), 4, "expected"},
      {"size with a leading zero", With({File("a", "01")}).Render(), 4, "size"},
      {"size past 2^63-1", With({File("a", "9223372036854775808")}).Render(), 4, "size"},
      {"negative size", With({File("a", "-1")}).Render(), 4, "size"},
      {"upper-case hash", With({"file 1 2 " + std::string(64, 'A') + " a"}).Render(), 4, "hash"},
      {"short hash", With({"file 1 2 " + kHashA.substr(1) + " a"}).Render(), 4, "hash"},
      {"two spaces", With({"file 1 2  " + kHashA + " a"}).Render(), 4, "hash"},
      {"no path", With({"file 1 2 " + kHashA}).Render(), 4, "hash"},
      {"no object size", With({"file 1 " + kHashA + " a"}).Render(), 4, "object size"},
      {"object size 0", With({File("a", "1", "0")}).Render(), 4, "object size"},
      {"object past its content", With({File("a", "1", "3")}).Render(), 4, "object size"},
      {"object of an empty file past 1", With({File("a", "0", "2")}).Render(), 4, "object size"},
      {"object size past 2^63",
       With({File("a", "9223372036854775807", "9223372036854775809")}).Render(), 4, "object size"},
      {"entry object 0", With({"pack a.pac", Entry("1", "5", "5", "0", kMd5A, kHashB, "0")}).Render(),
       5, "object size"},
      {"entry object past its block",
       With({"pack a.pac", Entry("1", "50", "5", "1", kMd5A, kHashB, "7")}).Render(), 5,
       "object size"},
      {"climbing path", With({File("..\\a")}).Render(), 4, "climbs"},
      {"climbing inside", With({File("a\\..\\..\\b")}).Render(), 4, "climbs"},
      {"rooted path", With({File("\\a")}).Render(), 4, "root"},
      {"drive", With({File("C:\\a")}).Render(), 4, "path"},
      {"empty component", With({File("a\\\\b")}).Render(), 4, "spelled"},
      {"trailing separator", With({File("a\\")}).Render(), 4, "spelled"},
      {"dot component", With({File(".\\a")}).Render(), 4, "spelled"},
      {"forward slash", With({File("a/b")}).Render(), 4, "spelled"},
      {"device", With({File("x\\con.txt")}).Render(), 4, "device"},
      {"NUL in a path", nul_path, 4, "path"},
      {"not UTF-8", With({File("\xFF")}).Render(), 4, "UTF-8"},
      {"260-byte path", With({File(k260)}).Render(), 4, "259"},
      {"pack path climbing", With({"pack ..\\a.pac"}).Render(), 4, "climbs"},
      {"the installed list", With({File("curver.bin")}).Render(), 4, "keeps"},
      {"the lock by case", With({File("DizEdir.Lock")}).Render(), 4, "keeps"},
      {"in the repair directory", With({File("dizedir.repair\\x")}).Render(), 4, "keeps"},
      {"a fetched tree manifest as a pack", With({"pack tree7.manifest"}).Render(), 4,
       "keeps"},
      {"unsorted", With({File("b"), File("a")}).Render(), 5, "order"},
      {"unsorted across kinds", With({"pack b.pac", File("a")}).Render(), 5, "order"},
      {"file and pack of one path", With({File("a"), "pack a"}).Render(), 5, "twice"},
      {"one path by case", With({File("A.txt"), File("a.txt")}).Render(), 5, "one path"},
      {"one path by case, apart",
       With({File("A.txt"), File("B"), "pack C.pac", File("a.txt")}).Render(), 7, "one path"},
      {"one path by Cyrillic case",
       With({File("\xD0\xA4"), File("\xD1\x84")}).Render(), 5, "one path"},
      {"one directory by case", With({File("A\\x"), File("a\\x")}).Render(), 5, "one path"},
      {"file and directory", With({File("a"), File("a\\b")}).Render(), 5, "directory"},
      {"file and directory, apart",
       With({File("a"), File("a-b"), File("a\\b")}).Render(), 6, "directory"},
      {"file and directory by case", With({File("A"), File("a\\b")}).Render(), 5, "directory"},
      {"pack and directory", With({"pack x.pac", File("x.pac\\y")}).Render(), 5, "directory"},
      {"entry before any pack", With({Entry("1")}).Render(), 4, "outside a pack"},
      {"entry after a file", With({"pack a.pac", Entry("1"), File("b"), Entry("2")}).Render(), 7,
       "outside a pack"},
      {"entries unsorted", With({"pack a.pac", Entry("2"), Entry("1")}).Render(), 6, "order"},
      {"entry twice", With({"pack a.pac", Entry("2"), Entry("2")}).Render(), 6, "twice"},
      {"id past 2^32-1", With({"pack a.pac", Entry("4294967296")}).Render(), 5, "id"},
      {"id with a leading zero", With({"pack a.pac", Entry("01")}).Render(), 5, "id"},
      {"entry size past 2^32-1",
       With({"pack a.pac", Entry("1", "4294967296", "1", "1")}).Render(), 5, "size"},
      {"stored size with a leading zero", With({"pack a.pac", Entry("1", "5", "05")}).Render(), 5,
       "stored size"},
      {"flag 2", With({"pack a.pac", Entry("1", "5", "5", "2")}).Render(), 5, "flag"},
      {"raw entry of two sizes", With({"pack a.pac", Entry("1", "6", "5", "0")}).Render(), 5,
       "raw"},
      {"upper-case MD5", With({"pack a.pac", Entry("1", "5", "5", "0", std::string(32, 'A'))})
                             .Render(), 5, "MD5"},
      {"short MD5", With({"pack a.pac", Entry("1", "5", "5", "0", kMd5A.substr(1))}).Render(), 5,
       "MD5"},
      {"hash with a space after",
       With({"pack a.pac", Entry("1", "5", "5", "0", kMd5A, kHashB + " ")}).Render(), 5, "hash"},
      {"entry without its hash", With({"pack a.pac", "entry 1 5 5 0 6 " + kMd5A}).Render(), 5,
       "MD5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TreeManifest m;
    m.version = 99;
    const Status s = ParseTreeManifest(c.text, &m);
    ASSERT_TRUE(s.IsCorruption()) << s.ToString();
    const std::string prefix = "tree.manifest: line " + std::to_string(c.line) + ": ";
    EXPECT_EQ(s.message().substr(0, prefix.size()), prefix) << s.message();
    EXPECT_NE(s.message().find(c.why), std::string::npos) << s.message();
    EXPECT_EQ(m.version, 0) << "a refused text leaves an empty manifest";
  }
}

TEST(TreeManifestTest, RefusesTextsPastItsBounds) {
  TreeManifest m;
  std::string huge = With({}).Render();
  huge.resize(kMaxTreeManifestBytes + 1, 'x');
  Status s = ParseTreeManifest(huge, &m);
  EXPECT_TRUE(s.IsCorruption());
  EXPECT_NE(s.message().find("larger than"), std::string::npos) << s.message();

  // One pack line past the most paths a manifest holds.
  std::string many = With({}).Render();
  char path[32];
  for (size_t i = 0; i <= kMaxTreePaths; ++i) {
    snprintf(path, sizeof path, "pack %07zu\n", i);
    many += path;
  }
  ASSERT_LE(many.size(), kMaxTreeManifestBytes);
  s = ParseTreeManifest(many, &m);
  EXPECT_TRUE(s.IsCorruption());
  EXPECT_NE(s.message().find("line " + std::to_string(kMaxTreePaths + 4) + ": more than"),
            std::string::npos)
      << s.message();
}

TEST(TreeManifestTest, ParsesALargeClient) {
  // 100 000 entries in one pack and 50 000 files in nested directories:
  // anything that compares every pair takes minutes here and runs into the
  // test's timeout; the parse's speed itself is the bench's to measure.
  std::vector<std::string> lines;
  char path[64];
  for (int i = 0; i < 50000; ++i) {
    snprintf(path, sizeof path, "data\\d%03d\\f%05d.bin", i / 100, i);
    lines.push_back(File(path));
  }
  lines.push_back("pack zz.pac");
  for (int id = 0; id < 100000; ++id) lines.push_back(Entry(std::to_string(id)));
  const std::string text = With(lines).Render();

  TreeManifest m;
  const Status s = ParseTreeManifest(text, &m);
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_EQ(m.packs[0].entries.size(), 100000u);
  EXPECT_EQ(FormatTreeManifest(m), text);
}

TEST(TreeManifestTest, FormatWritesAnyOrderInTheOrderParseWants) {
  TreeManifest m;
  m.line = "L";
  m.version = 3;
  m.files = {{"b", 1, {}, 2}, {"A", 2, {}, 1}};
  m.packs.push_back({"a.pac", {}});
  m.packs.push_back({"c.pac", {}});
  m.packs[1].entries.resize(2);
  m.packs[1].entries[0].id = 9;
  m.packs[1].entries[1].id = 4;
  for (TreePackEntry& e : m.packs[1].entries) {
    e.md5_hex = kMd5A;
    e.object_size = 1;
  }
  TreeManifest parsed;
  const Status s = ParseTreeManifest(FormatTreeManifest(m), &parsed);
  ASSERT_TRUE(s.ok()) << s.ToString();
  ASSERT_EQ(parsed.files.size(), 2u);
  EXPECT_EQ(parsed.files[0].path, "A");
  EXPECT_EQ(parsed.packs[1].entries[0].id, 4u);
}

TEST(TreeManifestTest, PathIndexFindsPathsAsWindowsWould) {
  TreeManifest m;
  ASSERT_TRUE(ParseTreeManifest(With({File("Data\\Items.bin", "5"), "pack data\\x.pac",
                                      File("\xD0\xA4\\a")})
                                    .Render(),
                                &m)
                  .ok());
  const TreePathIndex index(m);
  ASSERT_NE(index.FindFile("DATA\\items.BIN"), nullptr);
  EXPECT_EQ(index.FindFile("DATA\\items.BIN")->size, 5u);
  EXPECT_NE(index.FindFile("data/items.bin"), nullptr);
  EXPECT_NE(index.FindFile("\xD1\x84\\A"), nullptr) << "Cyrillic folds too";
  EXPECT_EQ(index.FindFile("data\\x.pac"), nullptr) << "a pack is not a file";
  ASSERT_NE(index.FindPack("Data\\X.PAC"), nullptr);
  EXPECT_EQ(index.FindPack("Data\\X.PAC")->path, "data\\x.pac");
  EXPECT_EQ(index.FindFile("data\\items"), nullptr);
  EXPECT_EQ(index.FindFile("data"), nullptr);
}

TEST(TreeManifestTest, ClientStateIsToldFromTheGame) {
  struct Case {
    const char* path;
    bool state;
  };
  const Case cases[] = {
      {"curver.bin", true},
      {"CURVER.BIN", true},
      {"verlist.bin", true},
      {"newver.bin", true},
      {"patchone.ini", true},
      {"patchone_temp.ini.minisig", true},
      {"release.manifest", true},
      {"dizedir.state", true},
      {"dizedir.lock", true},
      {"qmz_GT\\downloadaddr.txt", true},
      {"QMZ_gt/DownloadAddr.txt", true},
      {"tree12.manifest", true},
      {"Tree7.MANIFEST", true},
      {"dizedir.repair", true},
      {"dizedir.repair\\ab\\cd", true},
      // What a game ships beside them, or merely looks like them.
      {"dizedir.pub", false},
      {"ng.ini", false},
      {"IPconfig.dat", false},
      {"data\\curver.bin", false},
      {"curver.bin.bak", false},
      {"tree.manifest", false},
      {"treex.manifest", false},
      {"maps\\tree3.manifest", false},
      {"dizedir.repairs", false},
      {"dizedir.repairs\\x", false},
      {"qmz_GT\\other.txt", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsClientStateName(c.path), c.state) << c.path;
  }
  // The plug-in's own modules are the release's when it holds them.
  for (const char* module : {"dizedir.dll", "HTTP.DLL", "dizedir.so", "ResChn.dll"}) {
    EXPECT_FALSE(IsClientStateName(module)) << module;
    EXPECT_TRUE(IsClientModuleName(module)) << module;
  }
  for (const char* other : {"bin\\dizedir.dll", "game.exe", "dizedir.sox"}) {
    EXPECT_FALSE(IsClientModuleName(other)) << other;
  }
  EXPECT_EQ(TreeManifestFileName(42), "tree42.manifest");
}

// A client directory on disk, written through the real Env.
class ScanClientTreeTest : public testing::Test {
 protected:
  void Write(const std::string& relative, const std::string& data) {
    const fs::path path = scratch_.path() / relative;
    fs::create_directories(path.parent_path());
    ASSERT_TRUE(scratch_.Write(relative, data));
  }

  // Adds (id, contents, compressed) entries to a new pack.
  void WritePack(const std::string& relative,
                 const std::vector<std::tuple<uint32_t, std::string, int>>& entries) {
    const fs::path path = scratch_.path() / relative;
    fs::create_directories(path.parent_path());
    PackArchive* pack = PackOpenForUpdate(env_, path.string());
    ASSERT_NE(pack, nullptr);
    for (const auto& [id, data, compress] : entries) {
      ASSERT_EQ(PackAdd(id, data.data(), static_cast<uint32_t>(data.size()), pack, compress,
                        nullptr),
                1);
    }
    ASSERT_EQ(PackClose(pack), 1);
  }

  Status Scan(TreeManifest* m, const std::function<bool(std::string_view)>& include =
                                   [](std::string_view) { return true; }) {
    return ScanClientTree(env_, scratch_.dir(), include, m);
  }

  Env* env_ = Env::Default();
  ScratchDir scratch_{"tree"};
};

TEST_F(ScanClientTreeTest, ListsFilesAndPackEntriesByTheirBytes) {
  const std::string items = RandomBytes(200000, 1);
  const std::string text(30000, 'x');
  const std::string raw = RandomBytes(70000, 2);
  Write("readme.txt", "hello");
  Write("data/items.bin", items);
  Write("data/maps/m1.map", "");
  Write("dizedir.log", "skipped");
  Write("data/leftover.dztmp", "a killed run's");
  fs::create_directories(scratch_.path() / "empty");
  WritePack("qmz/fodder/items.pac", {{7, text, 1}, {100000, "", 0}, {3, raw, 0}});
  WritePack("Data2/EXTRA.PAC", {});

  std::vector<std::string> asked;
  TreeManifest m;
  const Status s = Scan(&m, [&asked](std::string_view path) {
    asked.emplace_back(path);
    return path != "dizedir.log";
  });
  ASSERT_TRUE(s.ok()) << s.ToString();

  std::sort(asked.begin(), asked.end());
  const std::vector<std::string> files_asked = {
      "Data2\\EXTRA.PAC", "data\\items.bin", "data\\maps\\m1.map", "dizedir.log",
      "qmz\\fodder\\items.pac", "readme.txt"};
  EXPECT_EQ(asked, files_asked) << "files only, in the manifest's spelling";

  ASSERT_EQ(m.files.size(), 3u);
  EXPECT_EQ(m.files[0].path, "data\\items.bin");
  EXPECT_EQ(m.files[0].size, items.size());
  EXPECT_EQ(m.files[0].hash, HashBytes(items));
  EXPECT_EQ(m.files[1].path, "data\\maps\\m1.map");
  EXPECT_EQ(m.files[1].size, 0u);
  EXPECT_EQ(m.files[1].hash, HashBytes(""));
  EXPECT_EQ(m.files[2].path, "readme.txt");
  EXPECT_EQ(m.files[2].hash, HashBytes("hello"));

  ASSERT_EQ(m.packs.size(), 2u);
  EXPECT_EQ(m.packs[0].path, "Data2\\EXTRA.PAC");
  EXPECT_TRUE(m.packs[0].entries.empty());
  const TreePack& pack = m.packs[1];
  EXPECT_EQ(pack.path, "qmz\\fodder\\items.pac");
  ASSERT_EQ(pack.entries.size(), 3u);
  EXPECT_EQ(pack.entries[0].id, 3u);
  EXPECT_EQ(pack.entries[1].id, 7u);
  EXPECT_EQ(pack.entries[2].id, 100000u);

  PackArchive* archive = PackOpenReadOnly(env_, scratch_.Path("qmz/fodder/items.pac"));
  ASSERT_NE(archive, nullptr);
  for (const TreePackEntry& e : pack.entries) {
    SCOPED_TRACE(e.id);
    std::string block;
    ASSERT_EQ(PackReadStored(e.id, archive, &block), 1);
    EXPECT_EQ(e.stored_size, block.size());
    EXPECT_EQ(e.md5_hex, Md5Hex(block));
    EXPECT_EQ(e.hash, HashBytes(block));
  }
  PackDiscard(archive);
  const TreePackEntry& seven = pack.entries[1];
  EXPECT_TRUE(seven.compressed);
  EXPECT_EQ(seven.size, text.size());
  EXPECT_LT(seven.stored_size, text.size());
  EXPECT_NE(seven.hash, HashBytes(text)) << "the stored block's hash, not the contents'";
  EXPECT_FALSE(pack.entries[0].compressed);
  EXPECT_EQ(pack.entries[0].size, raw.size());

  m.line = "L";
  m.version = 1;
  // What a scan cannot know, the publisher adds from the store.
  for (TreeFile& f : m.files) f.object_size = f.size + 1;
  for (TreePack& p : m.packs) {
    for (TreePackEntry& e : p.entries) e.object_size = e.stored_size + 1;
  }
  TreeManifest again;
  const std::string formatted = FormatTreeManifest(m);
  ASSERT_TRUE(ParseTreeManifest(formatted, &again).ok());
  EXPECT_EQ(FormatTreeManifest(again), formatted);
}

TEST_F(ScanClientTreeTest, RefusesWhatAManifestCannotList) {
  struct Case {
    const char* label;
    std::vector<std::string> files;
    Status::Code code;
    const char* why;
  };
  const Case cases[] = {
      {"two names Windows takes for one", {"Data/a.txt", "data/A.TXT"},
       Status::Code::kInvalidArgument, "one path"},
      {"a file and a directory by case", {"x", "X/y"}, Status::Code::kInvalidArgument, "directory"},
      {"a device name", {"sub/aux.txt"}, Status::Code::kInvalidArgument, "device"},
      {"a backslash inside a name", {"a\\b"}, Status::Code::kInvalidArgument, "a\\b"},
      {"a damaged pack", {"sub/bad.pac"}, Status::Code::kCorruption, "sub\\bad.pac"},
      {"a path past 259 bytes", {std::string(200, 'd') + "/" + std::string(60, 'f')},
       Status::Code::kInvalidArgument, "259"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir client("tree");
    for (const std::string& file : c.files) {
      fs::create_directories((client.path() / file).parent_path());
      // Written with the file system's own separators: "a\\b" is one name.
      std::ofstream(client.path() / file) << "bytes";
    }
    TreeManifest m;
    m.version = 5;
    const Status s =
        ScanClientTree(env_, client.dir(), [](std::string_view) { return true; }, &m);
    EXPECT_EQ(s.code(), c.code) << s.ToString();
    EXPECT_NE(s.message().find(c.why), std::string::npos) << s.message();
    EXPECT_EQ(m.version, 0);
    EXPECT_TRUE(m.files.empty());
  }
}

TEST_F(ScanClientTreeTest, ExcludedFilesAreNeverOpened) {
  // A damaged pack and a device name the caller leaves out cost nothing.
  Write("sub/bad.pac", "not a pack");
  Write("aux.txt", "x");
  Write("kept.bin", "k");
  TreeManifest m;
  const Status s = Scan(&m, [](std::string_view path) { return path == "kept.bin"; });
  ASSERT_TRUE(s.ok()) << s.ToString();
  ASSERT_EQ(m.files.size(), 1u);
  EXPECT_EQ(m.files[0].path, "kept.bin");
  EXPECT_TRUE(m.packs.empty());
}

TEST_F(ScanClientTreeTest, RefusesALinkToADirectory) {
  Write("real/a.txt", "a");
  fs::create_directory_symlink(scratch_.path() / "real", scratch_.path() / "loop");
  TreeManifest m;
  const Status s = Scan(&m);
  EXPECT_EQ(s.code(), Status::Code::kInvalidArgument) << s.ToString();
  EXPECT_NE(s.message().find("\"loop\""), std::string::npos) << s.message();
}

}  // namespace
}  // namespace dizedir
