#include "codec/zip_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "codec/zip.h"
#include "platform/text.h"
#include "support/fault_injection_env.h"
#include "support/scratch_dir.h"

namespace dizedir {
namespace {

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::string data;
  EXPECT_TRUE(ReadFileToString(Env::Default(), path.string(), &data).ok()) << path;
  return data;
}

struct Item {
  std::string name;    // as given to the writer
  std::string stored;  // as extraction names it
  std::string data;
};

// Builds an archive of `items` (files from disk and in-memory bytes mixed),
// then checks it item for item through the extraction layer.
void CheckRoundTrip(const std::vector<Item>& items, size_t window, int level) {
  ScratchDir dir("zip_writer");
  Env* env = Env::Default();
  const std::string zip_path = dir.dir() + "out.zip";
  ZipWriterOptions options;
  options.patch_window = window;
  options.level = level;
  std::unique_ptr<ZipWriter> writer;
  ASSERT_TRUE(ZipWriter::Create(env, zip_path, options, &writer).ok());
  for (size_t i = 0; i < items.size(); ++i) {
    if (i % 2 == 0) {
      const std::string source = dir.dir() + "src" + std::to_string(i);
      ASSERT_TRUE(WriteFileAtomically(env, source, items[i].data).ok());
      ASSERT_TRUE(writer->AddFile(items[i].name, source).ok()) << items[i].name;
    } else {
      ASSERT_TRUE(writer->AddBytes(items[i].name, items[i].data).ok());
    }
  }
  ASSERT_TRUE(writer->Finish().ok());
  EXPECT_EQ(writer->item_count(), items.size());
  EXPECT_FALSE(env->FileExists(zip_path + std::string(kTempSuffix)));

  ZipArchive* zip = ZipOpenFile(env, NarrowToUtf16(zip_path), nullptr);
  ASSERT_NE(zip, nullptr);
  const std::string out = dir.dir() + "x/";
  ASSERT_EQ(ZipSetBaseDir(zip, NarrowToUtf16(out)), ZipResult::kOk);
  ZipItem count;
  ASSERT_EQ(ZipGetItem(zip, -1, &count), ZipResult::kOk);
  ASSERT_EQ(count.index, static_cast<int>(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    ZipItem item;
    ASSERT_EQ(ZipGetItem(zip, static_cast<int>(i), &item), ZipResult::kOk);
    EXPECT_EQ(Utf16ToUtf8(item.name), items[i].stored);
    EXPECT_EQ(item.uncompressed_size, items[i].data.size());
    ASSERT_EQ(ZipUnzipItem(zip, static_cast<int>(i), item.name), ZipResult::kOk);
    EXPECT_EQ(ReadAll(std::filesystem::u8path(out + items[i].stored)),
              items[i].data)
        << items[i].stored;
  }
  ZipClose(zip);

  if (std::system("command -v unzip >/dev/null 2>&1") == 0) {
    const std::string test = "unzip -tqq '" + zip_path + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(test.c_str()), 0) << "unzip -t rejects the archive";
  }
}

TEST(ZipWriterTest, ItemsComeBackThroughExtraction) {
  const std::string big = RandomBytes(3 << 20, 7);  // beyond a small window
  const std::vector<Item> items = {
      {"qmz\\fodder\\a.txt", "qmz/fodder/a.txt", "hello hello hello hello"},
      {"del.txt", "del.txt", "Packet:a 1 2 Files: x"},
      {"data/\xE4\xB8\xAD\xE6\x96\x87/\xC3\xA9t\xC3\xA9.bin",
       "data/\xE4\xB8\xAD\xE6\x96\x87/\xC3\xA9t\xC3\xA9.bin",
       RandomBytes(1000, 1)},
      {"empty", "empty", ""},
      {"big\\random.bin", "big/random.bin", big},
      {"text.log", "text.log", std::string(200000, 'z')},
  };
  struct Case {
    const char* label;
    size_t window;
    int level;
  };
  for (const Case& c : {Case{"headers patched in memory", size_t{64} << 20, -1},
                        Case{"headers patched by the copy pass", 4096, -1},
                        Case{"stored", 4096, 0},
                        Case{"fastest", size_t{1} << 20, 1}}) {
    SCOPED_TRACE(c.label);
    CheckRoundTrip(items, c.window, c.level);
  }
}

TEST(ZipWriterTest, Utf8FlagOnlyForNonAsciiNames) {
  struct Case {
    std::string name;
    bool utf8;
  };
  for (const Case& c : {Case{"plain/name.txt", false},
                        Case{"\xD0\xB8\xD0\xBC\xD1\x8F.txt", true}}) {
    SCOPED_TRACE(c.name);
    ScratchDir dir("zip_writer_flag");
    std::unique_ptr<ZipWriter> writer;
    ASSERT_TRUE(ZipWriter::Create(Env::Default(), dir.dir() + "f.zip", {},
                                  &writer).ok());
    ASSERT_TRUE(writer->AddBytes(c.name, "x").ok());
    ASSERT_TRUE(writer->Finish().ok());
    const std::string bytes = ReadAll(dir.path() / "f.zip");
    ASSERT_GT(bytes.size(), 30u);
    ASSERT_EQ(bytes.substr(0, 4), std::string("PK\x03\x04", 4));
    const int flags = static_cast<unsigned char>(bytes[6]) |
                      (static_cast<unsigned char>(bytes[7]) << 8);
    EXPECT_EQ((flags & 0x800) != 0, c.utf8);
    EXPECT_EQ(bytes.substr(30, c.name.size()), c.name);
  }
}

TEST(ZipWriterTest, RefusesNamesExtractionWouldChange) {
  const std::vector<std::string> bad = {
      "", "/abs.txt", "\\abs.txt", "C:\\x.txt", "a\\..\\b.txt", "../x",
      "dir/", "a//b", "./a", std::string("bad\xFF.txt"), std::string("n\0ul", 4),
  };
  ScratchDir dir("zip_writer_names");
  const std::string path = dir.dir() + "n.zip";
  std::unique_ptr<ZipWriter> writer;
  ASSERT_TRUE(ZipWriter::Create(Env::Default(), path, {}, &writer).ok());
  for (const std::string& name : bad) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ZipWriter::StoredName(name), "");
    EXPECT_EQ(writer->AddBytes(name, "x").code(),
              Status::Code::kInvalidArgument);
  }
  // A refused name costs nothing but that item.
  ASSERT_TRUE(writer->AddBytes("ok.txt", "fine").ok());
  ASSERT_TRUE(writer->Finish().ok());
  ZipArchive* zip = ZipOpenFile(Env::Default(), NarrowToUtf16(path), nullptr);
  ASSERT_NE(zip, nullptr);
  ZipItem count;
  ZipGetItem(zip, -1, &count);
  EXPECT_EQ(count.index, 1);
  ZipClose(zip);
}

TEST(ZipWriterTest, FailureLeavesNothingAtThePath) {
  struct Case {
    const char* label;
    uint64_t space;  // bytes the disk takes before it is full
    bool finish;
  };
  for (const Case& c : {Case{"disk full in the data", 10000, true},
                        Case{"disk full in the copy pass", 3u << 20, true},
                        Case{"abandoned", ~uint64_t{0}, false}}) {
    SCOPED_TRACE(c.label);
    ScratchDir dir("zip_writer_fail");
    FaultInjectionEnv env(Env::Default());
    env.FailWritesAfter(c.space);
    const std::string path = dir.dir() + "f.zip";
    {
      ZipWriterOptions options;
      options.patch_window = 4096;
      std::unique_ptr<ZipWriter> writer;
      ASSERT_TRUE(ZipWriter::Create(&env, path, options, &writer).ok());
      Status s = writer->AddBytes("a.bin", RandomBytes(2 << 20, 3));
      if (s.ok() && c.finish) s = writer->Finish();
      if (c.finish) {
        EXPECT_FALSE(s.ok());
      }
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  }
}

}  // namespace
}  // namespace dizedir
