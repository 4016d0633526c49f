#include "codec/zip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/text.h"
#include "support/fault_injection_env.h"
#include "support/test_bytes.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

std::u16string U16(const std::string& s) { return Utf8ToUtf16(s); }

std::string Sample(const std::string& name) {
  const char* root = std::getenv("DIZEDIR_SOURCE_DIR");
  return std::string(root ? root : ".") + "/tests/data/zip/" + name;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int64_t MTime(const fs::path& p) {
  const auto sys = std::chrono::file_clock::to_sys(fs::last_write_time(p));
  return std::chrono::duration_cast<std::chrono::seconds>(
             sys.time_since_epoch())
      .count();
}

bool Writable(const fs::path& p) {
  const fs::perms perms = fs::status(p).permissions();
  return (perms & (fs::perms::owner_write | fs::perms::group_write |
                   fs::perms::others_write)) != fs::perms::none;
}

// Writes zip archives byte by byte, so tests can make the layouts that no
// zip tool would: records sharing data, sizes past 4 GiB, broken zip64.
struct FakeItem {
  std::string name{};
  std::string data{};  // the item's contents
  bool deflate = false;
  uint32_t external = 0100644u << 16;
  // Sizes and offset saturated in the central record, their values in a
  // zip64 block.
  bool zip64 = false;
  bool omit_zip64_block = false;
  // A record without data of its own: its local header is said to lie at
  // that item's local header plus local_delta.
  int local_of = -1;
  uint64_t local_delta = 0;
  std::optional<uint64_t> said_compressed{};
  std::optional<uint64_t> said_size{};
  std::optional<uint32_t> said_crc{};
};

struct FakeArchive {
  std::vector<FakeItem> items{};
  bool zip64_end = false;               // zip64 end record and locator
  std::optional<uint64_t> count{};      // the declared count, in every record
  std::optional<uint16_t> count32{};    // the 32-bit end record's own count
  uint64_t directory_size_extra = 0;  // declared past the real size
};

void Put16(std::string* out, uint64_t v) {
  for (int i = 0; i < 2; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}
void Put32(std::string* out, uint64_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}
void Put64(std::string* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}

uint32_t Crc(const std::string& data) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
}


// A stored item's local header and data, as one item may carry another's.
std::string StoredLocal(const std::string& name, const std::string& data) {
  std::string out;
  Put32(&out, 0x04034b50);
  Put16(&out, 20);
  Put16(&out, 0);
  Put16(&out, 0);
  Put32(&out, 0x50210000);  // 2020-01-01 00:00
  Put32(&out, Crc(data));
  Put32(&out, data.size());
  Put32(&out, data.size());
  Put16(&out, name.size());
  Put16(&out, 0);
  return out + name + data;
}

std::string BuildZip(const FakeArchive& archive) {
  std::string out;
  std::vector<uint64_t> locals;
  std::vector<std::string> packed;
  for (const FakeItem& item : archive.items) {
    packed.push_back(item.deflate ? RawDeflate(item.data) : item.data);
    locals.push_back(out.size());
    if (item.local_of >= 0) continue;
    // The local header declares what the central record does, zip64 block
    // included, as every zip tool writes it: only the data may lie.
    const uint64_t compressed = item.said_compressed.value_or(packed.back().size());
    const uint64_t size = item.said_size.value_or(item.data.size());
    std::string extra;
    if (item.zip64) {
      Put16(&extra, 1);
      Put16(&extra, 16);
      Put64(&extra, size);
      Put64(&extra, compressed);
    }
    std::string header = StoredLocal(item.name, "");
    header[8] = item.deflate ? 8 : 0;
    out += header.substr(0, 14);
    Put32(&out, item.said_crc.value_or(Crc(item.data)));
    Put32(&out, item.zip64 ? 0xFFFFFFFF : compressed);
    Put32(&out, item.zip64 ? 0xFFFFFFFF : size);
    Put16(&out, item.name.size());
    Put16(&out, extra.size());
    out += item.name + extra + packed.back();
  }
  const uint64_t directory = out.size();
  for (size_t i = 0; i < archive.items.size(); ++i) {
    const FakeItem& item = archive.items[i];
    const uint64_t local = item.local_of >= 0
                               ? locals[item.local_of] + item.local_delta
                               : locals[i];
    const uint64_t compressed = item.said_compressed.value_or(packed[i].size());
    const uint64_t size = item.said_size.value_or(item.data.size());
    std::string extra;
    if (item.zip64 && !item.omit_zip64_block) {
      Put16(&extra, 1);
      Put16(&extra, 24);
      Put64(&extra, size);
      Put64(&extra, compressed);
      Put64(&extra, local);
    }
    Put32(&out, 0x02014b50);
    Put16(&out, (3 << 8) | 30);
    Put16(&out, item.zip64 ? 45 : 20);
    Put16(&out, 0);
    Put16(&out, item.deflate ? 8 : 0);
    Put32(&out, 0x50210000);
    Put32(&out, item.said_crc.value_or(Crc(item.data)));
    Put32(&out, item.zip64 ? 0xFFFFFFFF : compressed);
    Put32(&out, item.zip64 ? 0xFFFFFFFF : size);
    Put16(&out, item.name.size());
    Put16(&out, extra.size());
    Put16(&out, 0);
    Put16(&out, 0);
    Put16(&out, 0);
    Put32(&out, item.external);
    Put32(&out, item.zip64 ? 0xFFFFFFFF : local);
    out += item.name + extra;
  }
  const uint64_t size = out.size() - directory + archive.directory_size_extra;
  const uint64_t count = archive.count.value_or(archive.items.size());
  if (archive.zip64_end) {
    const uint64_t record = out.size();
    Put32(&out, 0x06064b50);
    Put64(&out, 44);
    Put16(&out, 45);
    Put16(&out, 45);
    Put32(&out, 0);
    Put32(&out, 0);
    Put64(&out, count);
    Put64(&out, count);
    Put64(&out, size);
    Put64(&out, directory);
    Put32(&out, 0x07064b50);
    Put32(&out, 0);
    Put64(&out, record);
    Put32(&out, 1);
  }
  const uint64_t count32 =
      archive.count32.value_or(archive.zip64_end ? 0xFFFF : count);
  Put32(&out, 0x06054b50);
  Put16(&out, 0);
  Put16(&out, 0);
  Put16(&out, count32);
  Put16(&out, count32);
  Put32(&out, archive.zip64_end ? 0xFFFFFFFF : size);
  Put32(&out, archive.zip64_end ? 0xFFFFFFFF : directory);
  Put16(&out, 0);
  return out;
}

class ZipTest : public testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    root_ = fs::temp_directory_path() /
            ("dizedir-zip-" + std::to_string(rd()) + std::to_string(rd()));
    base_ = root_ / "base";
    fs::create_directories(base_);
  }
  void TearDown() override {
    for (const auto& e : fs::recursive_directory_iterator(root_)) {
      if (!e.is_symlink()) {
        fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add);
      }
    }
    fs::remove_all(root_);
  }

  ZipArchive* Open(const std::string& sample, Env* env = nullptr) {
    ZipArchive* a = ZipOpenFile(env ? env : env_, U16(Sample(sample)), nullptr);
    if (a != nullptr) ZipSetBaseDir(a, U16(base_.string()));
    return a;
  }

  // Writes the bytes beside the base directory and opens them.
  ZipArchive* OpenBytes(const std::string& bytes, ZipResult* why = nullptr) {
    const fs::path path = root_ / "made.zip";
    std::ofstream(path, std::ios::binary) << bytes;
    ZipArchive* a = ZipOpenFile(env_, U16(path.string()), nullptr, why);
    if (a != nullptr) ZipSetBaseDir(a, U16(base_.string()));
    return a;
  }

  // Extracts every item under its own name; the results in item order.
  std::vector<ZipResult> UnzipAll(ZipArchive* a) {
    std::vector<ZipResult> results;
    ZipItem item;
    ZipGetItem(a, -1, &item);
    for (int i = 0, n = item.index; i < n; ++i) {
      EXPECT_EQ(ZipGetItem(a, i, &item), ZipResult::kOk);
      results.push_back(ZipUnzipItem(a, i, item.name));
    }
    return results;
  }

  int Find(ZipArchive* a, const std::string& name) {
    ZipItem item;
    ZipGetItem(a, -1, &item);
    for (int i = 0, n = item.index; i < n; ++i) {
      ZipGetItem(a, i, &item);
      if (Utf16ToUtf8(item.name) == name) return i;
    }
    return -1;
  }

  Env* env_ = Env::Default();
  fs::path root_;
  fs::path base_;
};

TEST_F(ZipTest, OpensOnlyZipArchives) {
  EXPECT_EQ(ZipOpenFile(env_, U16(Sample("not_a_zip.zip")), nullptr), nullptr);
  EXPECT_EQ(ZipOpenFile(env_, U16(Sample("missing.zip")), nullptr), nullptr);
  ZipArchive* a = Open("empty.zip");
  ASSERT_NE(a, nullptr);
  ZipItem item;
  item.name = u"junk";
  item.attributes = 7;
  ASSERT_EQ(ZipGetItem(a, -1, &item), ZipResult::kOk);
  EXPECT_EQ(item.index, 0);
  EXPECT_TRUE(item.name.empty());
  EXPECT_EQ(item.attributes, 0u);
  EXPECT_EQ(ZipGetItem(a, 0, &item), ZipResult::kArguments);
  EXPECT_EQ(ZipUnzipItem(a, 0, u"x"), ZipResult::kArguments);
  ZipClose(a);
  EXPECT_TRUE(fs::is_empty(base_));
}

TEST_F(ZipTest, InfoZipArchiveWithTimesAndAttributes) {
  ZipArchive* a = Open("infozip.zip");
  ASSERT_NE(a, nullptr);
  const int64_t dos_time = env_->LocalTimeToUnix({2020, 1, 4, 2, 3, 4, 6, 0});
  struct Case {
    const char* name;
    uint32_t attributes;
    int64_t last_write;
    uint64_t size;
  };
  const Case cases[] = {
      {"dir/", kZipAttrDirectory | kZipAttrArchive, 1577934245, 0},
      {"dir/sub/", kZipAttrDirectory | kZipAttrArchive, 1577934245, 0},
      {"dir/sub/file.txt", kZipAttrArchive, 1577934245, 2400},
      {"top.txt", kZipAttrArchive, 1623053350, 10},
      {"readonly.txt", kZipAttrArchive | kZipAttrReadOnly, 1577934245, 12},
  };
  ZipItem item;
  ASSERT_EQ(ZipGetItem(a, -1, &item), ZipResult::kOk);
  ASSERT_EQ(item.index, 5);
  for (int i = 0; i < 5; ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ZipGetItem(a, i, &item), ZipResult::kOk);
    EXPECT_EQ(item.index, i);
    EXPECT_EQ(Utf16ToUtf8(item.name), c.name);
    EXPECT_EQ(item.attributes, c.attributes);
    // The "UT" block replaces the DOS time where it has a value; it carries
    // no access time in the central directory.
    EXPECT_EQ(item.last_write_time, c.last_write);
    if (c.last_write == 1577934245) {
      EXPECT_EQ(item.last_access_time, dos_time);
      EXPECT_EQ(item.creation_time, dos_time);
    }
    EXPECT_EQ(item.uncompressed_size, c.size);
    EXPECT_EQ(ZipUnzipItem(a, i, item.name), ZipResult::kOk);
  }
  ZipGetItem(a, 2, &item);
  EXPECT_LT(item.compressed_size, item.uncompressed_size);
  ZipClose(a);

  EXPECT_TRUE(fs::is_directory(base_ / "dir" / "sub"));
  std::string nested;
  for (int i = 0; i < 200; ++i) nested += "nested file\n";
  EXPECT_EQ(ReadAll(base_ / "dir/sub/file.txt"), nested);
  EXPECT_EQ(ReadAll(base_ / "top.txt"), "top level\n");
  EXPECT_EQ(MTime(base_ / "top.txt"), 1623053350);
  EXPECT_EQ(ReadAll(base_ / "readonly.txt"), "do not edit\n");
  EXPECT_FALSE(Writable(base_ / "readonly.txt"));
  EXPECT_TRUE(Writable(base_ / "top.txt"));
}

TEST_F(ZipTest, NamesAreCleanedAndNothingLeavesTheBaseDirectory) {
  fs::create_directories(root_ / "outside");
  fs::create_directory_symlink(root_ / "outside", base_ / "link");
  ZipArchive* a = Open("names.zip");
  ASSERT_NE(a, nullptr);
  const int64_t python_time = env_->LocalTimeToUnix({2019, 5, 1, 6, 7, 8, 10, 0});
  struct Case {
    const char* name;    // as ZipGetItem gives it
    ZipResult result;
    const char* file;    // where it lands under the base directory
  };
  const Case cases[] = {
      {"x/y.txt", ZipResult::kOk, "x/y.txt"},
      {"c.txt", ZipResult::kOk, "c.txt"},
      {"srv/share/d.txt", ZipResult::kOk, "srv/share/d.txt"},
      {"e/f.txt", ZipResult::kOk, "e/f.txt"},
      {"../x.txt", ZipResult::kRefused, nullptr},
      {"../x2.txt", ZipResult::kRefused, nullptr},
      {"etc/x3.txt", ZipResult::kOk, "etc/x3.txt"},
      {"x4.txt", ZipResult::kOk, "x4.txt"},
      {"..\\x5.txt", ZipResult::kRefused, nullptr},
      // The player's link is followed.
      {"link/evil.txt", ZipResult::kOk, "link/evil.txt"},
      {"g\\h.txt", ZipResult::kOk, "g/h.txt"},
      {"symlink", ZipResult::kSymlink, nullptr},
      {"dos.txt", ZipResult::kOk, "dos.txt"},
      {"newdir/", ZipResult::kOk, nullptr},
      {"big.bin", ZipResult::kOk, "big.bin"},
  };
  ZipItem item;
  ZipGetItem(a, -1, &item);
  ASSERT_EQ(item.index, 15);
  // Backwards, so that every item is found again from the start.
  for (int i = 14; i >= 0; --i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    ASSERT_EQ(ZipGetItem(a, i, &item), ZipResult::kOk);
    EXPECT_EQ(Utf16ToUtf8(item.name), c.name);
    EXPECT_EQ(item.last_write_time, python_time);
    EXPECT_EQ(ZipUnzipItem(a, i, item.name), c.result);
    if (c.file != nullptr) {
      EXPECT_TRUE(fs::is_regular_file(base_ / c.file));
    }
  }
  ZipGetItem(a, 12, &item);
  EXPECT_EQ(item.attributes, kZipAttrReadOnly | kZipAttrHidden | kZipAttrArchive);
  ZipGetItem(a, 13, &item);
  EXPECT_EQ(item.attributes & kZipAttrDirectory, kZipAttrDirectory);

  // Absolute targets are taken only inside the base directory.
  EXPECT_EQ(ZipUnzipItem(a, 3, U16((root_ / "abs.txt").string())),
            ZipResult::kRefused);
  EXPECT_EQ(ZipUnzipItem(a, 3, U16((base_ / "abs.txt").string())),
            ZipResult::kOk);
  EXPECT_EQ(ZipUnzipItem(a, 3, u"C:\\abs.txt"), ZipResult::kRefused);
  ZipClose(a);

  EXPECT_FALSE(Writable(base_ / "dos.txt"));
  EXPECT_TRUE(fs::is_directory(base_ / "newdir"));
  EXPECT_EQ(ReadAll(base_ / "c.txt"), "contents of a/b/../c.txt\n");
  std::string big;
  for (int k = 0; k < 1024; ++k) {
    for (int b = 0; b < 256; ++b) big += static_cast<char>(b);
  }
  EXPECT_TRUE(ReadAll(base_ / "big.bin") == big);
  EXPECT_FALSE(fs::exists(base_ / "symlink"));
  EXPECT_TRUE(fs::is_regular_file(root_ / "outside" / "evil.txt"));
  for (const auto& e : fs::directory_iterator(root_)) {
    EXPECT_TRUE(e.path() == base_ || e.path() == root_ / "outside") << e.path();
  }
}

TEST_F(ZipTest, DamagedItemsLeaveNoFile) {
  ZipArchive* sample = Open("corrupt.zip");
  ASSERT_NE(sample, nullptr);
  // Stored items whose CRC-32 is wrong, an empty one among them.
  FakeArchive made;
  made.items.push_back({.name = "empty.txt", .said_crc = 1});
  made.items.push_back({.name = "stored.txt", .data = "stored", .said_crc = 1});
  ZipArchive* built = OpenBytes(BuildZip(made));
  ASSERT_NE(built, nullptr);
  const struct {
    ZipArchive* archive;
    const char* name;
    ZipResult result;
  } cases[] = {{sample, "good.txt", ZipResult::kOk},
               {sample, "bad_data.txt", ZipResult::kCorrupt},
               {sample, "bad_crc.txt", ZipResult::kCorrupt},
               {sample, "bomb.txt", ZipResult::kCorrupt},
               {built, "empty.txt", ZipResult::kCorrupt},
               {built, "stored.txt", ZipResult::kCorrupt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // A previous good copy must survive a damaged replacement.
    std::ofstream(base_ / c.name) << "previous";
    const int index = Find(c.archive, c.name);
    ASSERT_GE(index, 0);
    EXPECT_EQ(ZipUnzipItem(c.archive, index, U16(c.name)), c.result);
    EXPECT_EQ(ReadAll(base_ / c.name) == "previous",
              c.result != ZipResult::kOk);
    EXPECT_FALSE(fs::exists(base_ / (c.name + std::string(kTempSuffix))));
  }
  ZipClose(sample);
  ZipClose(built);
}

TEST_F(ZipTest, ExistingFilesAreReplacedEvenReadOnly) {
  ZipArchive* a = Open("infozip.zip");
  ASSERT_NE(a, nullptr);
  for (const char* name : {"top.txt", "readonly.txt"}) {
    std::ofstream(base_ / name) << "old contents that are longer";
    fs::permissions(base_ / name, fs::perms::owner_read);
    const int index = Find(a, name);
    ASSERT_EQ(ZipUnzipItem(a, index, U16(name)), ZipResult::kOk) << name;
  }
  // And again over the read-only file the first extraction made.
  ASSERT_EQ(ZipUnzipItem(a, Find(a, "readonly.txt"), u"readonly.txt"),
            ZipResult::kOk);
  ZipClose(a);
  EXPECT_EQ(ReadAll(base_ / "top.txt"), "top level\n");
  EXPECT_EQ(ReadAll(base_ / "readonly.txt"), "do not edit\n");
}

TEST_F(ZipTest, FullDiskKeepsTheOldFile) {
  FaultInjectionEnv faulty(env_);
  ZipArchive* a = Open("names.zip", &faulty);
  ASSERT_NE(a, nullptr);
  std::ofstream(base_ / "big.bin") << "previous";
  faulty.FailWritesAfter(50000);
  EXPECT_EQ(ZipUnzipItem(a, 14, u"big.bin"), ZipResult::kDiskFull);
  faulty.StopFailingWrites();
  faulty.FailNextRenames(1);
  EXPECT_EQ(ZipUnzipItem(a, 14, u"big.bin"), ZipResult::kWrite);
  ZipClose(a);
  // An item inflating past its declared size stops at that size: a disk
  // with room for no more sees no failed write.
  a = Open("corrupt.zip", &faulty);
  ASSERT_NE(a, nullptr);
  ZipItem bomb;
  ASSERT_EQ(ZipGetItem(a, Find(a, "bomb.txt"), &bomb), ZipResult::kOk);
  faulty.FailWritesAfter(bomb.uncompressed_size);
  EXPECT_EQ(ZipUnzipItem(a, bomb.index, u"bomb.txt"), ZipResult::kCorrupt);
  ZipClose(a);
  EXPECT_EQ(ReadAll(base_ / "big.bin"), "previous");
  EXPECT_FALSE(fs::exists(base_ / ("big.bin" + std::string(kTempSuffix))));
}

TEST_F(ZipTest, OverlappingOrMisplacedItemsRefuseTheWholeArchive) {
  const std::string zeros(100000, '\0');
  FakeItem a{.name = "a.bin", .data = zeros, .deflate = true};
  FakeItem b{.name = "b.txt", .data = "hello"};
  // An item whose stored data holds the local header of another.
  FakeItem nest{.name = "n", .data = StoredLocal("inner", "hello")};
  FakeItem inner{.name = "inner", .data = "hello", .local_of = 0,
                 .local_delta = 30 + 1};
  FakeItem twin = a;
  twin.name = "twin.bin";
  twin.local_of = 0;
  FakeItem long_name{.name = std::string(kZipMaxNameBytes + 1, 'n')};
  struct Case {
    const char* what;
    FakeArchive archive;
    ZipResult why;
  };
  const Case cases[] = {
      {"sound", {{a, b}}, ZipResult::kOk},
      {"two records, one stream", {{a, twin, b}}, ZipResult::kOverlap},
      {"a header inside another item's data", {{nest, inner}},
       ZipResult::kOverlap},
      {"second record at the first's header, other name",
       {{b, FakeItem{.name = "c", .data = "hello", .local_of = 0}}},
       ZipResult::kOverlap},
      {"data runs into the central directory",
       {{b, FakeItem{.name = "c", .data = "x", .said_compressed = 40}}},
       ZipResult::kOverlap},
      {"header past the end of the file",
       {{b, FakeItem{.name = "c", .data = "x", .local_of = 0,
                     .local_delta = 0xFFFFFF00}}},
       ZipResult::kOverlap},
      {"zip64 data reaching past 4 GiB",
       {{b, FakeItem{.name = "c", .data = "x", .zip64 = true,
                     .said_compressed = uint64_t{1} << 40}}, true},
       ZipResult::kOverlap},
      {"central directory running over the end record",
       {{a, b}, false, {}, {}, 1}, ZipResult::kCorrupt},
      {"more records declared than the directory holds",
       {{a, b}, false, 3}, ZipResult::kCorrupt},
      {"more items than the ceiling", {{a, b}, true, kZipMaxItems + 1},
       ZipResult::kLimits},
      {"a name past the ceiling", {{long_name}}, ZipResult::kLimits},
      {"two items of one name", {{b, b}}, ZipResult::kCorrupt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ZipResult why = ZipResult::kArguments;
    ZipArchive* zip = OpenBytes(BuildZip(c.archive), &why);
    EXPECT_EQ(why, c.why);
    ASSERT_EQ(zip != nullptr, c.why == ZipResult::kOk);
    if (zip == nullptr) continue;
    for (ZipResult r : UnzipAll(zip)) EXPECT_EQ(r, ZipResult::kOk);
    ZipClose(zip);
    EXPECT_EQ(ReadAll(base_ / "a.bin"), zeros);
    fs::remove_all(base_);
    fs::create_directory(base_);
  }
  EXPECT_TRUE(fs::is_empty(base_));

  // A second end record inside the first one's comment, for a directory of
  // item a alone: readers that pick different end records would see
  // different archives, so the file is no archive at all.
  std::string two = BuildZip({{a, b}});
  const size_t first = 46 + a.name.size();
  const size_t directory = two.size() - 22 - first - (46 + b.name.size());
  const std::string record = two.substr(directory, first);
  two[two.size() - 2] = static_cast<char>(first + 22);
  const uint64_t second = two.size();
  two += record;
  Put32(&two, 0x06054b50);
  Put32(&two, 0);
  Put16(&two, 1);
  Put16(&two, 1);
  Put32(&two, first);
  Put32(&two, second);
  Put16(&two, 0);
  ZipResult why = ZipResult::kOk;
  EXPECT_EQ(OpenBytes(two, &why), nullptr);
  EXPECT_EQ(why, ZipResult::kCorrupt);
}

TEST_F(ZipTest, Zip64RecordsAreRead) {
  std::string lines;
  for (int i = 1; i <= 300; ++i) lines += "zip64 line " + std::to_string(i) + "\n";
  const std::string text(70000, 't');
  FakeItem deflated{.name = "d/big.txt", .data = text, .deflate = true,
                    .zip64 = true};
  FakeItem stored{.name = "s.txt", .data = "stored", .zip64 = true};
  FakeItem plain{.name = "plain.txt", .data = "plain"};
  FakeItem no_block = stored;
  no_block.omit_zip64_block = true;
  // Sizes past 4 GiB cannot be in a test; their declaration can.
  FakeItem huge = stored;
  huge.said_size = (uint64_t{1} << 32) + 6;
  struct Case {
    const char* what;
    std::string bytes;
    ZipResult why;
    std::vector<std::pair<std::string, std::string>> files;  // name, contents
    ZipResult unzip = ZipResult::kOk;
  };
  const Case cases[] = {
      {"Info-ZIP zip -fz", ReadAll(Sample("zip64.zip")), ZipResult::kOk,
       {{"lines.txt", lines}, {"small.txt", "small\n"}}},
      {"sizes and offsets in zip64 blocks, zip64 end record",
       BuildZip({{deflated, plain, stored}, true}), ZipResult::kOk,
       {{"d/big.txt", text}, {"plain.txt", "plain"}, {"s.txt", "stored"}}},
      {"zip64 blocks without a zip64 end record",
       BuildZip({{plain, stored}}), ZipResult::kOk,
       {{"plain.txt", "plain"}, {"s.txt", "stored"}}},
      {"saturated fields without a zip64 block", BuildZip({{plain, no_block}}),
       ZipResult::kCorrupt, {}},
      {"end records disagree on the count",
       BuildZip({{plain, stored}, true, {}, uint16_t{1}}), ZipResult::kCorrupt,
       {}},
      {"declared size past 4 GiB, six bytes of data", BuildZip({{huge}, true}),
       ZipResult::kOk, {{"s.txt", ""}}, ZipResult::kCorrupt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ZipResult why = ZipResult::kArguments;
    ZipArchive* zip = OpenBytes(c.bytes, &why);
    EXPECT_EQ(why, c.why);
    ASSERT_EQ(zip != nullptr, c.why == ZipResult::kOk);
    if (zip == nullptr) continue;
    ZipItem item;
    ZipGetItem(zip, -1, &item);
    ASSERT_EQ(item.index, static_cast<int>(c.files.size()));
    for (int i = 0; i < item.index; ++i) {
      const auto& [name, contents] = c.files[i];
      ZipItem described;
      ASSERT_EQ(ZipGetItem(zip, i, &described), ZipResult::kOk);
      EXPECT_EQ(Utf16ToUtf8(described.name), name);
      if (c.unzip == ZipResult::kOk) {
        EXPECT_EQ(described.uncompressed_size, contents.size());
      }
      EXPECT_EQ(ZipUnzipItem(zip, i, described.name), c.unzip);
      EXPECT_EQ(fs::exists(base_ / name), c.unzip == ZipResult::kOk);
      if (c.unzip == ZipResult::kOk) {
        EXPECT_TRUE(ReadAll(base_ / name) == contents);
      }
    }
    ZipClose(zip);
    fs::remove_all(base_);
    fs::create_directory(base_);
  }
}

TEST_F(ZipTest, TotalsAddDeclaredSizes) {
  FakeItem one{.name = "one", .data = std::string(1000, 'x'), .deflate = true};
  FakeItem two{.name = "two", .data = "22"};
  FakeItem half{.name = "h1", .data = "x", .zip64 = true,
                .said_size = uint64_t{1} << 63};
  FakeItem other_half = half;
  other_half.name = "h2";
  FakeItem just_below = other_half;
  just_below.said_size = (uint64_t{1} << 63) - 1;
  struct Case {
    const char* what;
    std::string bytes;
    ZipResult result;
    ZipTotals totals;
  };
  const Case cases[] = {
      {"empty", ReadAll(Sample("empty.zip")), ZipResult::kOk, {0, 0, 0}},
      {"two items", BuildZip({{one, two}}), ZipResult::kOk,
       {2, RawDeflate(one.data).size() + 2, 1002}},
      {"sum exactly 2^64 - 1", BuildZip({{half, just_below}, true}),
       ZipResult::kOk, {2, 2, UINT64_MAX}},
      {"sum past 2^64 - 1", BuildZip({{half, other_half}, true}),
       ZipResult::kOverflow, {2, 2, UINT64_MAX}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ZipArchive* zip = OpenBytes(c.bytes);
    ASSERT_NE(zip, nullptr);
    ZipTotals totals;
    EXPECT_EQ(ZipGetTotals(zip, &totals), c.result);
    EXPECT_EQ(totals.items, c.totals.items);
    EXPECT_EQ(totals.compressed_bytes, c.totals.compressed_bytes);
    EXPECT_EQ(totals.uncompressed_bytes, c.totals.uncompressed_bytes);
    ZipClose(zip);
  }
  EXPECT_EQ(ZipGetTotals(nullptr, nullptr), ZipResult::kArguments);
}

TEST_F(ZipTest, PlayersLinksAreFollowedAndEveryRefusalIsNamed) {
  fs::create_directories(root_ / "moved");
  std::error_code error;
  fs::create_directory_symlink(root_ / "moved", base_ / "data", error);
  if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
  FakeArchive archive;
  for (const char* name : {"data/new.txt", "data/sub/", "../up.txt", "C:",
                           "a/.", "x.dztmp", "Y.DZTMP/z.txt", "ok.txt"}) {
    archive.items.push_back({.name = name, .data = name});
  }
  archive.items.push_back({.name = "link", .data = "/etc/passwd",
                           .external = 0120777u << 16});
  ZipArchive* zip = OpenBytes(BuildZip(archive));
  ASSERT_NE(zip, nullptr);
  const std::string moved = (root_ / "moved").string();
  struct Case {
    int index;
    std::string target;  // empty: the item's own name
    ZipResult result;
  };
  const Case cases[] = {
      {0, "", ZipResult::kOk},
      {1, "", ZipResult::kOk},
      {2, "", ZipResult::kRefused},
      {3, "", ZipResult::kRefused},  // a file with no name left
      {4, "", ZipResult::kRefused},
      {5, "", ZipResult::kRefused},
      {6, "", ZipResult::kRefused},
      {7, moved + "/ok.txt", ZipResult::kRefused},  // absolute, elsewhere
      {7, (base_ / "data" / "ok.txt").string(), ZipResult::kOk},
      {8, "", ZipResult::kSymlink},
  };
  for (const Case& c : cases) {
    ZipItem item;
    ASSERT_EQ(ZipGetItem(zip, c.index, &item), ZipResult::kOk);
    SCOPED_TRACE(Utf16ToUtf8(item.name) + " to " + c.target);
    EXPECT_EQ(ZipUnzipItem(zip, c.index,
                           c.target.empty() ? item.name : U16(c.target)),
              c.result);
  }
  ZipClose(zip);
  EXPECT_EQ(ReadAll(root_ / "moved" / "new.txt"), "data/new.txt");
  EXPECT_EQ(ReadAll(root_ / "moved" / "ok.txt"), "ok.txt");
  EXPECT_TRUE(fs::is_directory(root_ / "moved" / "sub"));
  EXPECT_TRUE(fs::is_symlink(base_ / "data"));
  // Nothing else anywhere: no refused item left a file or a directory.
  std::vector<std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(root_)) {
    found.push_back(e.path().lexically_relative(root_).generic_string());
  }
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"base", "base/data", "made.zip",
                                             "moved", "moved/new.txt",
                                             "moved/ok.txt", "moved/sub"}));
}

TEST_F(ZipTest, DirectoryWhereAFileGoes) {
  fs::create_directories(root_ / "elsewhere");
  FakeArchive archive;
  archive.items.push_back({.name = "data/x.txt", .data = "new"});
  archive.items.push_back({.name = "data/y.txt", .data = "new", .said_size = 2});
  ZipArchive* zip = OpenBytes(BuildZip(archive));
  ASSERT_NE(zip, nullptr);
  enum Blocker { kNothing, kEmpty, kFull, kLinkToEmpty };
  struct Case {
    const char* what;
    Blocker blocker;
    int index;
    ZipResult result;
  };
  const Case cases[] = {
      {"nothing there", kNothing, 0, ZipResult::kOk},
      {"an empty directory is replaced", kEmpty, 0, ZipResult::kOk},
      {"a directory with something in it", kFull, 0, ZipResult::kBlocked},
      {"a link the player made", kLinkToEmpty, 0, ZipResult::kBlocked},
      {"a damaged item leaves the empty directory", kEmpty, 1,
       ZipResult::kCorrupt},
  };
  const fs::path target = base_ / "data" / "x.txt";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(base_ / "data");
    fs::create_directories(base_ / "data");
    if (c.blocker == kEmpty || c.blocker == kFull) fs::create_directory(target);
    if (c.blocker == kFull) std::ofstream(target / "keep.txt") << "keep";
    if (c.blocker == kLinkToEmpty) {
      std::error_code error;
      fs::create_directory_symlink(root_ / "elsewhere", target, error);
      if (error) continue;  // no links on this system
    }
    EXPECT_EQ(ZipUnzipItem(zip, c.index, u"data/x.txt"), c.result);
    if (c.result == ZipResult::kOk) {
      EXPECT_EQ(ReadAll(target), "new");
    } else {
      EXPECT_EQ(fs::is_directory(target), c.blocker != kNothing);
    }
    if (c.blocker == kFull) {
      EXPECT_EQ(ReadAll(target / "keep.txt"), "keep");
    }
    if (c.blocker == kLinkToEmpty) {
      EXPECT_TRUE(fs::is_symlink(target));
    }
    EXPECT_TRUE(fs::is_empty(root_ / "elsewhere"));
    EXPECT_FALSE(fs::exists(base_ / "data" / ("x.txt" + std::string(kTempSuffix))));
  }
  ZipClose(zip);
}

// Parts for split archives: files in memory, and files that only claim a
// size no test could write (reads of them find no bytes). Every other path
// goes to the real Env, so extraction lands on the disk.
class PartsEnv : public EnvWrapper {
 public:
  PartsEnv() : EnvWrapper(Env::Default()) {}

  std::map<std::string, std::string> files;
  std::map<std::string, uint64_t> claimed;

  Status NewReadableFile(const std::string& path,
                         std::unique_ptr<ReadableFile>* result) override {
    if (auto it = files.find(path); it != files.end()) {
      *result = std::make_unique<Part>(it->second, it->second.size());
      return Status::OK();
    }
    if (auto it = claimed.find(path); it != claimed.end()) {
      *result = std::make_unique<Part>(std::string(), it->second);
      return Status::OK();
    }
    return target()->NewReadableFile(path, result);
  }

 private:
  class Part : public ReadableFile {
   public:
    Part(std::string data, uint64_t size) : data_(std::move(data)), size_(size) {}
    Status Read(uint64_t offset, size_t n, char* scratch,
                size_t* bytes_read) override {
      *bytes_read = 0;
      if (offset < data_.size()) {
        *bytes_read = static_cast<size_t>(std::min<uint64_t>(n, data_.size() - offset));
        std::memcpy(scratch, data_.data() + offset, *bytes_read);
      }
      return Status::OK();
    }
    Status Size(uint64_t* size) override {
      *size = size_;
      return Status::OK();
    }

   private:
    const std::string data_;
    const uint64_t size_;
  };
};

// The archive cut where each of `cuts` (ascending) begins a new part; a cut
// repeated, at 0 or at the end makes an empty part.
std::vector<std::string> CutAt(const std::string& bytes,
                               const std::vector<size_t>& cuts) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t cut : cuts) {
    parts.push_back(bytes.substr(from, cut - from));
    from = cut;
  }
  parts.push_back(bytes.substr(from));
  return parts;
}

// Every file and directory below `dir`, with the files' contents.
std::map<std::string, std::string> Tree(const fs::path& dir) {
  std::map<std::string, std::string> tree;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string name = fs::relative(e.path(), dir).generic_string();
    tree[name] = e.is_directory() ? "<dir>" : ReadAll(e.path());
  }
  return tree;
}

// Describes and extracts every item below `dir`; the descriptions, one line
// per item.
std::vector<std::string> DescribeAndExtract(ZipArchive* zip, const fs::path& dir) {
  fs::create_directories(dir);
  ZipSetBaseDir(zip, U16(dir.string()));
  std::vector<std::string> lines;
  ZipItem item;
  ZipGetItem(zip, -1, &item);
  for (int i = 0, n = item.index; i < n; ++i) {
    EXPECT_EQ(ZipGetItem(zip, i, &item), ZipResult::kOk);
    std::ostringstream line;
    line << Utf16ToUtf8(item.name) << ' ' << item.attributes << ' '
         << item.last_write_time << ' ' << item.last_access_time << ' '
         << item.compressed_size << ' ' << item.uncompressed_size << ' '
         << static_cast<int>(ZipUnzipItem(zip, i, item.name));
    lines.push_back(line.str());
  }
  return lines;
}

TEST_F(ZipTest, ASplitArchiveReadsAsTheWholeOne) {
  FakeArchive made;
  made.items.push_back({.name = "a.txt", .data = std::string(300, 'a')});
  made.items.push_back({.name = "d/b.txt", .data = RandomBytes(5000, 1), .deflate = true});
  made.items.push_back({.name = "c.txt", .data = "c"});
  const std::string fake = BuildZip(made);
  const std::string zip64 = ReadAll(Sample("zip64.zip"));
  const std::string infozip = ReadAll(Sample("infozip.zip"));
  const size_t local1 = fake.find("PK\3\4");
  const size_t local2 = fake.find("PK\3\4", local1 + 1);
  const size_t central = fake.find("PK\1\2");
  const size_t end = fake.rfind("PK\5\6");
  const size_t end64 = zip64.rfind("PK\6\6");
  const size_t locator = zip64.rfind("PK\6\7");
  ASSERT_NE(end64, std::string::npos);
  ASSERT_NE(locator, std::string::npos);
  auto every = [](const std::string& bytes, size_t step) {
    std::vector<size_t> cuts;
    for (size_t at = step; at < bytes.size(); at += step) cuts.push_back(at);
    return cuts;
  };
  struct Case {
    const char* what;
    const std::string& bytes;
    std::vector<size_t> cuts;
  };
  const Case cases[] = {
      {"one part", fake, {}},
      {"inside the first local header", fake, {local1 + 7}},
      {"inside the second local header and its data", fake,
       {local2 + 3, local2 + 32}},
      {"inside the central directory, twice", fake, {central + 1, central + 49}},
      {"inside the end record", fake, {end + 10}},
      {"the end record's last byte alone", fake, {fake.size() - 1}},
      {"empty parts first, between and last", fake,
       {0, 0, local2, local2, central, fake.size(), fake.size()}},
      {"one-byte parts", fake, every(fake, 1)},
      {"inside the zip64 end record and its locator", zip64,
       {end64 + 20, locator + 5}},
      {"zip64 archive in one-byte parts", zip64, every(zip64, 1)},
      {"Info-ZIP archive every 7 bytes", infozip, every(infozip, 7)},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path whole_dir = root_ / ("whole" + std::to_string(n));
    const fs::path split_dir = root_ / ("split" + std::to_string(n++));
    ZipResult why = ZipResult::kArguments;
    ZipArchive* whole = OpenBytes(c.bytes, &why);
    ASSERT_NE(whole, nullptr);
    const std::vector<std::string> expected = DescribeAndExtract(whole, whole_dir);
    ZipTotals whole_totals;
    ZipGetTotals(whole, &whole_totals);
    ZipClose(whole);

    PartsEnv env;
    std::vector<std::u16string> paths;
    for (const std::string& part : CutAt(c.bytes, c.cuts)) {
      const std::string name = "part" + std::to_string(paths.size());
      env.files[name] = part;
      paths.push_back(U16(name));
    }
    ZipArchive* split = ZipOpenParts(&env, paths, &why);
    ASSERT_NE(split, nullptr) << static_cast<int>(why);
    EXPECT_EQ(DescribeAndExtract(split, split_dir), expected);
    ZipTotals totals;
    ZipGetTotals(split, &totals);
    EXPECT_EQ(totals.compressed_bytes, whole_totals.compressed_bytes);
    EXPECT_EQ(totals.uncompressed_bytes, whole_totals.uncompressed_bytes);
    ZipClose(split);
    EXPECT_EQ(Tree(split_dir), Tree(whole_dir));
    EXPECT_FALSE(Tree(split_dir).empty());
  }
}

TEST_F(ZipTest, HostilePartListsAreRefused) {
  FakeArchive made;
  made.items.push_back({.name = "a.txt", .data = "aaaa"});
  const std::string whole = BuildZip(made);
  PartsEnv env;
  env.files["whole"] = whole;
  env.files["head"] = whole.substr(0, 10);
  env.files["tail"] = whole.substr(10);
  env.files["empty"] = "";
  // 2^62 and 2^62 - 1 bytes claimed: two of the first reach 2^63, four wrap
  // around 2^64 to nothing.
  env.claimed["quarter"] = uint64_t{1} << 62;
  env.claimed["quarter-1"] = (uint64_t{1} << 62) - 1;
  auto empties_then_whole = [](size_t count) {
    std::vector<std::string> names(count - 1, "empty");
    names.push_back("whole");
    return names;
  };
  struct Case {
    const char* what;
    std::vector<std::string> parts;
    ZipResult why;
  };
  const Case cases[] = {
      {"no parts", {}, ZipResult::kArguments},
      {"the parts in order", {"head", "tail"}, ZipResult::kOk},
      {"a part missing", {"head", "missing", "tail"}, ZipResult::kNoFile},
      {"the parts out of order", {"tail", "head"}, ZipResult::kCorrupt},
      {"only empty parts", {"empty", "empty", "empty"}, ZipResult::kCorrupt},
      {"as many parts as allowed", empties_then_whole(kZipMaxParts), ZipResult::kOk},
      {"one part too many", empties_then_whole(kZipMaxParts + 1), ZipResult::kLimits},
      {"sizes adding up to 2^63", {"quarter", "quarter"}, ZipResult::kLimits},
      {"sizes wrapping around 2^64",
       {"quarter", "quarter", "quarter", "quarter", "whole"}, ZipResult::kLimits},
      {"sizes adding up to 2^63 - 1, bytes not there",
       {"quarter", "quarter-1"}, ZipResult::kNoFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::u16string> paths;
    for (const std::string& name : c.parts) paths.push_back(U16(name));
    ZipResult why = ZipResult::kArguments;
    ZipArchive* zip = ZipOpenParts(&env, paths, &why);
    EXPECT_EQ(why, c.why);
    EXPECT_EQ(zip != nullptr, c.why == ZipResult::kOk);
    ZipClose(zip);
  }
}

TEST_F(ZipTest, APartThatChangesSizeFailsTheReadsThatReachIt) {
  FakeArchive made;
  made.items.push_back({.name = "first.txt", .data = std::string(200, '1')});
  made.items.push_back({.name = "second.txt", .data = RandomBytes(3000, 2), .deflate = true});
  const std::string whole = BuildZip(made);
  const size_t local2 = whole.find("PK\3\4", 1);
  const size_t central = whole.find("PK\1\2");
  // Each item alone in its part, the central directory in the last.
  const std::vector<std::string> cut = CutAt(whole, {local2, central});
  struct Case {
    const char* what;
    int part;
    int64_t change;  // bytes added (or, negative, cut off) at its end
    std::vector<ZipResult> results;
  };
  const Case cases[] = {
      {"nothing changed", 0, 0, {ZipResult::kOk, ZipResult::kOk}},
      {"the first part one byte shorter", 0, -1, {ZipResult::kCorrupt, ZipResult::kOk}},
      {"the first part one byte longer", 0, 1, {ZipResult::kCorrupt, ZipResult::kOk}},
      {"the second part one byte shorter", 1, -1, {ZipResult::kOk, ZipResult::kCorrupt}},
      {"the second part one byte longer", 1, 1, {ZipResult::kOk, ZipResult::kCorrupt}},
      {"the directory's part longer", 2, 100, {ZipResult::kOk, ZipResult::kOk}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = root_ / ("parts" + std::to_string(n++));
    fs::create_directories(dir);
    std::vector<std::u16string> paths;
    for (size_t i = 0; i < cut.size(); ++i) {
      const fs::path path = dir / ("p_" + std::to_string(i) + ".zxp");
      std::ofstream(path, std::ios::binary) << cut[i];
      paths.push_back(U16(path.string()));
    }
    ZipArchive* zip = ZipOpenParts(env_, paths);
    ASSERT_NE(zip, nullptr);
    const fs::path changed = dir / ("p_" + std::to_string(c.part) + ".zxp");
    fs::resize_file(changed, cut[c.part].size() + c.change);
    ZipSetBaseDir(zip, U16(dir.string()));
    const char* names[] = {"first.txt", "second.txt"};
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(ZipUnzipItem(zip, i, U16(names[i])), c.results[i]) << names[i];
      EXPECT_EQ(fs::exists(dir / names[i]), c.results[i] == ZipResult::kOk);
    }
    ZipClose(zip);
  }
}

// Parts are released front to back as unpacking passes them, so the disk
// need not hold every part beside what they unpack to. A part is released
// only once no later item (in index order, which need not be the order of
// their data) lies in it; deleting what was released never takes a byte a
// later item needs.
TEST_F(ZipTest, PartsAreReleasedOnceNoLaterItemLiesInThem) {
  FakeArchive made;
  made.items.push_back({.name = "first.txt", .data = std::string(200, '1')});
  made.items.push_back({.name = "second.txt", .data = RandomBytes(3000, 2), .deflate = true});
  made.items.push_back({.name = "third.txt", .data = RandomBytes(500, 3)});
  const std::string in_order = BuildZip(made);
  // The same archive with its central records rotated: the item with the
  // first data is now the last in index order.
  std::string rotated = in_order;
  {
    const size_t c0 = rotated.find("PK\1\2");
    const size_t c1 = rotated.find("PK\1\2", c0 + 1);
    const size_t end = rotated.find("PK\5\6");
    rotated.replace(c0, end - c0, in_order.substr(c1, end - c1) + in_order.substr(c0, c1 - c0));
  }
  struct Case {
    const char* what;
    const std::string& bytes;
    std::vector<size_t> released;  // after each item in index order
  };
  const Case cases[] = {
      {"data in index order", in_order, {1, 2, 4}},
      {"the last item's data first", rotated, {0, 0, 4}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t local1 = c.bytes.find("PK\3\4", 1);
    const size_t local2 = c.bytes.find("PK\3\4", local1 + 1);
    const size_t central = c.bytes.find("PK\1\2");
    const fs::path dir = root_ / ("released" + std::to_string(n++));
    fs::create_directories(dir / "out");
    std::vector<fs::path> paths;
    std::vector<std::u16string> names;
    // Each item alone in its part, the central directory in the last.
    for (const std::string& part : CutAt(c.bytes, {local1, local2, central})) {
      paths.push_back(dir / ("p_" + std::to_string(paths.size()) + ".zxp"));
      std::ofstream(paths.back(), std::ios::binary) << part;
      names.push_back(U16(paths.back().string()));
    }
    ZipArchive* zip = ZipOpenParts(env_, names);
    ASSERT_NE(zip, nullptr);
    ZipSetBaseDir(zip, U16((dir / "out").string()));
    size_t deleted = 0;
    for (int i = 0; i < 3; ++i) {
      ZipItem item;
      ZipGetItem(zip, i, &item);
      EXPECT_EQ(ZipUnzipItem(zip, i, item.name), ZipResult::kOk) << i;
      const size_t released = ZipReleaseParts(zip, i + 1);
      EXPECT_EQ(released, c.released[i]) << i;
      for (; deleted < released && deleted < paths.size(); ++deleted) {
        EXPECT_TRUE(env_->DeleteFile(paths[deleted].string()).ok()) << deleted;
      }
    }
    ZipClose(zip);
    for (const FakeItem& item : made.items) {
      EXPECT_TRUE(ReadAll(dir / "out" / item.name) == item.data) << item.name;
    }
  }
}

}  // namespace
}  // namespace dizedir
