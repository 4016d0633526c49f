#include "codec/zip.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/env.h"
#include "platform/text.h"
#include "support/fault_injection_env.h"

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
  ZipArchive* a = Open("corrupt.zip");
  ASSERT_NE(a, nullptr);
  const struct {
    const char* name;
    ZipResult result;
  } cases[] = {{"good.txt", ZipResult::kOk},
               {"bad_data.txt", ZipResult::kCorrupt},
               {"bad_crc.txt", ZipResult::kCorrupt},
               {"bomb.txt", ZipResult::kCorrupt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // A previous good copy must survive a damaged replacement.
    std::ofstream(base_ / c.name) << "previous";
    const int index = Find(a, c.name);
    ASSERT_GE(index, 0);
    EXPECT_EQ(ZipUnzipItem(a, index, U16(c.name)), c.result);
    EXPECT_EQ(ReadAll(base_ / c.name) == "previous",
              c.result != ZipResult::kOk);
    EXPECT_FALSE(fs::exists(base_ / (c.name + std::string(kTempSuffix))));
  }
  ZipClose(a);
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
  EXPECT_EQ(ZipUnzipItem(a, 14, u"big.bin"), ZipResult::kWrite);
  faulty.StopFailingWrites();
  faulty.FailNextRenames(1);
  EXPECT_EQ(ZipUnzipItem(a, 14, u"big.bin"), ZipResult::kWrite);
  ZipClose(a);
  EXPECT_EQ(ReadAll(base_ / "big.bin"), "previous");
  EXPECT_FALSE(fs::exists(base_ / ("big.bin" + std::string(kTempSuffix))));
}

}  // namespace
}  // namespace dizedir
