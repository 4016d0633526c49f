#include "codec/zip_writer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
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
void CheckRoundTrip(const std::vector<Item>& items, size_t window, int level,
                    unsigned threads = 0) {
  ScratchDir dir("zip_writer");
  Env* env = Env::Default();
  const std::string zip_path = dir.dir() + "out.zip";
  ZipWriterOptions options;
  options.patch_window = window;
  options.level = level;
  options.threads = threads;
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
  ASSERT_TRUE(env->CreateDirectories(out).ok());
  ASSERT_EQ(ZipSetBaseDir(zip, NarrowToUtf16(out)), ZipResult::kOk);
  ZipItem count;
  ASSERT_EQ(ZipGetItem(zip, -1, &count), ZipResult::kOk);
  ASSERT_EQ(count.index, static_cast<int>(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    SCOPED_TRACE(items[i].stored);
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

// Text-like data that deflate shrinks, with repeats that reach back across
// the 1 MiB pieces an item is deflated in.
std::string Compressible(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::string> words;
  for (int i = 0; i < 300; ++i) {
    std::string w;
    for (int j = 0, len = 3 + static_cast<int>(random() % 8); j < len; ++j) {
      w += static_cast<char>('a' + random() % 26);
    }
    words.push_back(w + ' ');
  }
  std::string out;
  while (out.size() < n) out += words[random() % words.size()];
  out.resize(n);
  return out;
}

uint32_t Le(const std::string& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    v = (v << 8) | static_cast<unsigned char>(b.at(at + i));
  }
  return v;
}

struct CentralEntry {
  std::string name;
  int method = -1;
  uint32_t crc = 0;
  uint32_t compressed = 0;
  uint32_t size = 0;
};

// The central directory as an unzip reads it, straight from the bytes.
std::vector<CentralEntry> ReadCentralDirectory(const std::string& zip) {
  std::vector<CentralEntry> entries;
  const size_t end = zip.rfind(std::string("PK\x05\x06", 4));
  if (end == std::string::npos) return entries;
  const uint32_t count = Le(zip, end + 10, 2);
  size_t at = Le(zip, end + 16, 4);
  for (uint32_t i = 0; i < count; ++i) {
    if (zip.substr(at, 4) != std::string("PK\x01\x02", 4)) break;
    CentralEntry e;
    e.method = static_cast<int>(Le(zip, at + 10, 2));
    e.crc = Le(zip, at + 16, 4);
    e.compressed = Le(zip, at + 20, 4);
    e.size = Le(zip, at + 24, 4);
    const uint32_t name = Le(zip, at + 28, 2);
    e.name = zip.substr(at + 46, name);
    entries.push_back(e);
    at += 46 + name + Le(zip, at + 30, 2) + Le(zip, at + 32, 2);
  }
  return entries;
}

uint32_t Crc(const std::string& data) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()),
                                     static_cast<uInt>(data.size())));
}

TEST(ZipWriterTest, ParallelItemsKeepOrderMethodsAndChecksums) {
  struct Case {
    std::string name;
    std::string data;
    int method;  // what the central directory must say
  };
  const std::vector<Case> cases = {
      {"text.txt", Compressible(5000, 1), Z_DEFLATED},
      {"random.bin", RandomBytes(300000, 2), 0},
      {"empty.txt", "", 0},
      {"big/text.log", Compressible((5 << 20) + 12345, 3), Z_DEFLATED},
      {"big/random.bin", RandomBytes((3 << 20) + 7, 4), 0},
      // The first bytes decide for the whole item.
      {"random_then_text.bin", RandomBytes(64 << 10, 5) + Compressible(2 << 20, 6), 0},
      {"text_then_random.bin", Compressible(64 << 10, 7) + RandomBytes(2 << 20, 8),
       Z_DEFLATED},
      {"exact_pieces.txt", Compressible(2 << 20, 9), Z_DEFLATED},
      {"tiny", "ab", 0},
      {"\xC3\xA9t\xC3\xA9.txt", Compressible(70000, 10), Z_DEFLATED},
  };
  std::vector<Item> items;
  for (const Case& c : cases) items.push_back({c.name, c.name, c.data});

  std::string first_archive;
  for (unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    CheckRoundTrip(items, size_t{1} << 20, 1, threads);

    ScratchDir dir("zip_writer_parallel");
    ZipWriterOptions options;
    options.level = 1;
    options.threads = threads;
    options.time = {2024, 5, 0, 17, 12, 30, 0, 0};
    std::unique_ptr<ZipWriter> writer;
    ASSERT_TRUE(ZipWriter::Create(Env::Default(), dir.dir() + "p.zip", options,
                                  &writer).ok());
    for (const Case& c : cases) ASSERT_TRUE(writer->AddBytes(c.name, c.data).ok());
    ASSERT_TRUE(writer->Finish().ok());
    const std::string archive = ReadAll(dir.path() / "p.zip");
    const std::vector<CentralEntry> entries = ReadCentralDirectory(archive);
    ASSERT_EQ(entries.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
      SCOPED_TRACE(cases[i].name);
      EXPECT_EQ(entries[i].name, cases[i].name);
      EXPECT_EQ(entries[i].method, cases[i].method);
      EXPECT_EQ(entries[i].size, cases[i].data.size());
      EXPECT_EQ(entries[i].crc, Crc(cases[i].data));
      if (cases[i].method == 0) {
        EXPECT_EQ(entries[i].compressed, cases[i].data.size());
      } else {
        EXPECT_LT(entries[i].compressed, cases[i].data.size());
      }
    }
    // Threads change how fast, never what.
    if (first_archive.empty()) first_archive = archive;
    EXPECT_TRUE(archive == first_archive) << "archive differs with threads";
  }
}

TEST(ZipWriterTest, FailureLeavesNothingAtThePath) {
  struct Case {
    const char* label;
    uint64_t space;  // bytes the disk takes before it is full
    bool finish;
    unsigned threads;  // 0: one per processor
    bool threads_start;
    int level;
    int items;  // 1: one random item; more: random and compressible by turns
  };
  const Case cases[] = {
      {"disk full in the data", 10000, true, 0, true, -1, 1},
      {"disk full in the copy pass", 3u << 20, true, 0, true, -1, 1},
      {"abandoned", ~uint64_t{0}, false, 0, true, -1, 1},
      {"parallel, full in the first item", 100000, true, 4, true, 1, 8},
      {"parallel, full several items in", 3u << 20, true, 4, true, 1, 8},
      {"parallel, full, and no thread would start", 3u << 20, true, 4, false, 1, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir("zip_writer_fail");
    FaultInjectionEnv env(Env::Default());
    env.FailThreadCreation(!c.threads_start);
    env.FailWritesAfter(c.space);
    const std::string path = dir.dir() + "f.zip";
    {
      ZipWriterOptions options;
      options.threads = c.threads;
      options.level = c.level;
      options.patch_window = 4096;
      std::unique_ptr<ZipWriter> writer;
      ASSERT_TRUE(ZipWriter::Create(&env, path, options, &writer).ok());
      Status s;
      if (c.items == 1) s = writer->AddBytes("a.bin", RandomBytes(2 << 20, 3));
      for (int i = 0; c.items > 1 && s.ok() && i < c.items; ++i) {
        s = writer->AddBytes("item" + std::to_string(i),
                             i % 2 ? RandomBytes(1 << 20, i)
                                   : Compressible(3 << 20, static_cast<uint32_t>(i)));
      }
      if (s.ok() && c.finish) s = writer->Finish();
      if (c.finish) {
        EXPECT_FALSE(s.ok());
        // Once failed, the archive takes nothing more.
        EXPECT_FALSE(writer->AddBytes("late", "x").ok());
      }
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  }
}

}  // namespace
}  // namespace dizedir
