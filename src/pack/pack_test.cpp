#include "pack/pack.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "codec/md5.h"
#include "platform/env.h"
#include "support/fault_injection_env.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string Row(uint32_t id, uint32_t offset, uint32_t size, uint32_t stored,
                uint32_t compressed, const std::string& block) {
  return U32(id) + U32(offset) + U32(size) + U32(stored) + U32(compressed) +
         Md5Hex(block) + std::string(1, '\0');
}

std::string Zlib(const std::string& data) {
  uLongf n = compressBound(data.size());
  std::string out(n, '\0');
  compress(reinterpret_cast<Bytef*>(out.data()), &n,
           reinterpret_cast<const Bytef*>(data.data()), data.size());
  out.resize(n);
  return out;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

class PackTest : public testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = fs::temp_directory_path() /
           ("dizedir-pack-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(dir_);
    path_ = (dir_ / "a.pac").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  std::string Read(PackArchive* a, uint32_t id) {
    uint32_t size = 0;
    if (!PackRead(nullptr, &size, id, a)) return "<absent>";
    std::string out(size, '\0');
    if (!PackRead(out.data(), &size, id, a)) return "<failed>";
    return out;
  }

  Env* env_ = Env::Default();
  fs::path dir_;
  std::string path_;
};

TEST_F(PackTest, FileBytesAreExact) {
  const std::string hello = "hello";
  const std::string z = Zlib("abcabcabcabc");
  struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, std::pair<std::string, int>>> adds;
    std::string expected;
  };
  const Case cases[] = {
      {"empty archive", {}, U32(0) + U32(0)},
      {"one raw entry: 66 bytes",
       {{7, {hello, 0}}},
       U32(0) + U32(1) + Row(7, 61, 5, 5, 0, hello) + hello},
      {"compressed entry: digest of the zlib stream",
       {{9, {"abcabcabcabc", 1}}},
       U32(0) + U32(1) +
           Row(9, 61, 12, static_cast<uint32_t>(z.size()), 1, z) + z},
      {"rows and blocks in enumeration order, not insertion order",
       {{386, {"c", 0}}, {5, {"dd", 0}}, {193, {"b", 0}}},
       U32(0) + U32(3) + Row(193, 167, 1, 1, 0, "b") +
           Row(386, 168, 1, 1, 0, "c") + Row(5, 169, 2, 2, 0, "dd") + "bcdd"},
      {"compress flag is stored as given", {{1, {"x", 0}}, {2, {"y", 0}}},
       U32(0) + U32(2) + Row(1, 114, 1, 1, 0, "x") + Row(2, 115, 1, 1, 0, "y") +
           "xy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(path_);
    PackArchive* a = PackOpenForUpdate(env_, path_);
    ASSERT_NE(a, nullptr);
    for (const auto& [id, data] : c.adds) {
      char digest[33];
      ASSERT_EQ(PackAdd(id, data.first.data(),
                        static_cast<uint32_t>(data.first.size()), a,
                        data.second, digest),
                1);
      EXPECT_EQ(digest[32], '\0');
    }
    EXPECT_EQ(PackClose(a), 1);
    EXPECT_EQ(ReadAll(path_), c.expected);
    EXPECT_FALSE(fs::exists(path_ + std::string(kTempSuffix)));
  }
}

TEST_F(PackTest, EntriesReadBackAsAdded) {
  const std::string text(5000, 'q');
  const std::string noise = RandomBytes(4096, 1);
  PackArchive* a = PackOpenForUpdate(env_, path_);
  char digest[33];
  ASSERT_EQ(PackAdd(1, text.data(), 5000, a, 1, digest), 1);
  EXPECT_EQ(std::string(digest), Md5Hex(Zlib(text)));
  ASSERT_EQ(PackAdd(2, noise.data(), 4096, a, 1, digest), 1);
  ASSERT_EQ(PackAdd(3, noise.data(), 4096, a, 0, digest), 1);
  EXPECT_EQ(std::string(digest), Md5Hex(noise));
  ASSERT_EQ(PackAdd(4, "", 0, a, 1, nullptr), 1);
  ASSERT_EQ(PackClose(a), 1);

  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass == 0 ? "read-only" : "update");
    a = pass == 0 ? PackOpenReadOnly(env_, path_)
                  : PackOpenForUpdate(env_, path_);
    ASSERT_NE(a, nullptr);
    uint32_t size = 0;
    ASSERT_EQ(PackRead(nullptr, &size, 1, a), 1);
    EXPECT_EQ(size, 5000u) << "size query gives the contents size";
    EXPECT_EQ(Read(a, 1), text);
    EXPECT_EQ(Read(a, 2), noise) << "incompressible data still a zlib stream";
    EXPECT_EQ(Read(a, 3), noise);
    EXPECT_EQ(Read(a, 4), "");
    EXPECT_EQ(Read(a, 5), "<absent>");
    PackEntryInfo info;
    ASSERT_EQ(PackGetEntryInfo(2, a, &info), 1);
    EXPECT_GT(info.stored_size, 4096u);
    EXPECT_EQ(info.compressed, 1u);
    int flag = -1;
    ASSERT_EQ(PackIsCompressed(3, a, &flag), 1);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(PackIsCompressed(5, a, &flag), 0);
    // A raw read copies no more than the caller asks for.
    std::string part(10, '-');
    size = 4;
    ASSERT_EQ(PackRead(part.data(), &size, 3, a), 1);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(part, noise.substr(0, 4) + "------");
    PackClose(a);
  }
}

TEST_F(PackTest, OperationsAndTheirResults) {
  PackArchive* a = PackOpenForUpdate(env_, path_);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(PackAdd(1, "old", 3, a, 0, nullptr), 1);
  EXPECT_EQ(PackAdd(1, "new", 3, a, 0, nullptr), 0) << "existing id";
  EXPECT_EQ(Read(a, 1), "old");
  EXPECT_EQ(PackAdd(2, nullptr, 3, a, 0, nullptr), 0) << "null data";
  EXPECT_EQ(PackGetCount(a), 1u);
  EXPECT_EQ(PackRemove(1, a), 1);
  EXPECT_EQ(PackRemove(1, a), 0);
  EXPECT_EQ(PackAdd(1, "new", 3, a, 0, nullptr), 1);
  EXPECT_EQ(Read(a, 1), "new");
  EXPECT_EQ(PackGetIdAt(0, a), 1u);
  EXPECT_EQ(PackGetIdAt(1, a), 0u) << "past the end";
  PackClose(a);

  a = PackOpenReadOnly(env_, path_);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(PackAdd(5, "x", 1, a, 0, nullptr), 0);
  EXPECT_EQ(PackRemove(1, a), 0);
  EXPECT_EQ(PackSave(a), 0);
  EXPECT_EQ(PackGetCount(a), 1u);
  PackClose(a);

  uint32_t size = 0;
  int flag = 0;
  EXPECT_EQ(PackClose(nullptr), 0);
  EXPECT_EQ(PackSave(nullptr), 0);
  EXPECT_EQ(PackGetCount(nullptr), 0u);
  EXPECT_EQ(PackRead(nullptr, &size, 1, nullptr), 0);
  EXPECT_EQ(PackIsCompressed(1, nullptr, &flag), 0);
  EXPECT_EQ(PackAdd(1, "x", 1, nullptr, 0, nullptr), 0);
  EXPECT_EQ(PackRemove(1, nullptr), 0);

  const std::string missing = (dir_ / "missing.pac").string();
  EXPECT_EQ(PackOpenReadOnly(env_, missing), nullptr);
  a = PackOpenForUpdate(env_, missing);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(PackRemove(3, a), 0);
  PackClose(a);
  EXPECT_EQ(ReadAll(missing), U32(0) + U32(0));
}

TEST_F(PackTest, DuplicateRowsLoadAsTheLaterOne) {
  // Two rows for id 4: the later one wins and the next save writes one row.
  const std::string file = U32(0) + U32(2) + Row(4, 114, 1, 1, 0, "a") +
                           Row(4, 115, 1, 1, 0, "b") + "ab";
  WriteAll(path_, file);
  PackArchive* a = PackOpenForUpdate(env_, path_);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(PackGetCount(a), 1u);
  EXPECT_EQ(Read(a, 4), "b");
  PackClose(a);
  EXPECT_EQ(ReadAll(path_), U32(0) + U32(1) + Row(4, 61, 1, 1, 0, "b") + "b");
}

TEST_F(PackTest, DamagedFilesAreRefusedAndKept) {
  const std::string ok = U32(0) + U32(1) + Row(7, 61, 5, 5, 0, "hello") + "hello";
  const std::string z = Zlib(std::string(100, 'a'));
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty file", ""},
      {"short header", U32(0)},
      {"count larger than the file holds", U32(0) + U32(2) + ok.substr(8)},
      {"table cut short", ok.substr(0, 40)},
      {"block cut short", ok.substr(0, 65)},
      {"offset past the end",
       U32(0) + U32(1) + Row(7, 62, 5, 5, 0, "hello") + "hello"},
      {"stored size past the end",
       U32(0) + U32(1) + Row(7, 61, 5, 6, 0, "hello") + "hello"},
      {"offset wraps 32 bits",
       U32(0) + U32(1) + Row(7, 0xFFFFFFFF, 5, 5, 0, "hello") + "hello"},
      {"raw entry whose size is not its block's",
       U32(0) + U32(1) + Row(7, 61, 9, 5, 0, "hello") + "hello"},
      {"compressed size beyond any inflation",
       U32(0) + U32(1) +
           Row(7, 61, 0x7FFFFFFF, static_cast<uint32_t>(z.size()), 1, z) + z},
      {"huge count", U32(0) + U32(0xFFFFFFFF)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(path_, c.bytes);
    EXPECT_EQ(PackOpenReadOnly(env_, path_), nullptr);
    PackArchive* a = PackOpenForUpdate(env_, path_);
    EXPECT_EQ(a, nullptr);
    PackClose(a);
    EXPECT_EQ(ReadAll(path_), c.bytes) << "nothing may overwrite it";
  }
  WriteAll(path_, ok);
  PackArchive* a = PackOpenReadOnly(env_, path_);
  ASSERT_NE(a, nullptr) << "the undamaged file opens";
  PackClose(a);
}

TEST_F(PackTest, ReadFailsWhenTheBlockDoesNotInflateToTheSize) {
  const std::string z = Zlib("contents");
  const std::string garbage = "not a zlib stream";
  struct Case {
    const char* name;
    uint32_t size;
    std::string block;
  };
  const Case cases[] = {
      {"corrupt stream", 8, garbage},
      {"inflates to less than the size", 9, z},
      {"inflates to more than the size", 7, z},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto stored = static_cast<uint32_t>(c.block.size());
    WriteAll(path_, U32(0) + U32(1) + Row(3, 61, c.size, stored, 1, c.block) +
                        c.block);
    for (PackArchive* a :
         {PackOpenReadOnly(env_, path_), PackOpenForUpdate(env_, path_)}) {
      ASSERT_NE(a, nullptr);
      std::string out(c.size, '\0');
      uint32_t size = c.size;
      EXPECT_EQ(PackRead(out.data(), &size, 3, a), 0);
      if (PackSave(a)) {
        EXPECT_EQ(PackRead(out.data(), &size, 3, a), 0);
      }
      PackClose(a);
    }
  }
}

std::string ZlibLevel(const std::string& data, int level) {
  uLongf n = compressBound(data.size());
  std::string out(n, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &n,
            reinterpret_cast<const Bytef*>(data.data()), data.size(), level);
  out.resize(n);
  return out;
}

TEST_F(PackTest, ChecksFindEveryKindOfDamagedBlock) {
  const std::string text = "contents contents contents";
  const std::string z = Zlib(text);
  const std::string zeros = Zlib(std::string(1 << 20, '\0'));
  const std::string noise = RandomBytes(64, 3);
  struct Case {
    const char* name;
    uint32_t size;
    uint32_t compressed;
    std::string block;
    std::string digest_of;  // what the row's digest covers
    const char* error;      // what the text says, or null when whole
  };
  const Case cases[] = {
      {"whole raw block", 64, 0, noise, noise, nullptr},
      {"whole zlib block", static_cast<uint32_t>(text.size()), 1, z, z,
       nullptr},
      {"empty raw block", 0, 0, "", "", nullptr},
      {"raw block unlike its digest", 64, 0, noise, "other", "digest"},
      {"zlib block unlike its digest", static_cast<uint32_t>(text.size()), 1,
       z, z + "x", "digest"},
      {"not a zlib stream", 10, 1, noise, noise, "not a valid zlib stream"},
      {"inflates short of its size", static_cast<uint32_t>(text.size()) + 1,
       1, z, z, "short of its size"},
      {"inflates past its size", 1000, 1, zeros, zeros, "past its size"},
      {"stream cut short", static_cast<uint32_t>(text.size()), 1,
       z.substr(0, z.size() - 3), z.substr(0, z.size() - 3), "cut short"},
      {"bytes after the stream", static_cast<uint32_t>(text.size()), 1,
       z + "junk", z + "junk", "bytes after"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto stored = static_cast<uint32_t>(c.block.size());
    const std::string row =
        Row(3, 8 + 2 * 53, c.size, stored, c.compressed, c.digest_of);
    // A whole entry beside it, so the check has to look past the first.
    const std::string good = Row(1, 8 + 2 * 53 + stored, 2, 2, 0, "ok");
    WriteAll(path_, U32(0) + U32(2) + good + row + c.block + "ok");

    Status whole = PackCheck(env_, path_, "qmz\\a.pac");
    PackArchive* a = PackOpenReadOnly(env_, path_);
    ASSERT_NE(a, nullptr);
    Status one = PackCheckEntry(3, a);
    PackArchive* target = PackOpenForUpdate(env_, (dir_ / "t.pac").string());
    Status copied = PackCopyEntry(3, a, target);
    if (c.error == nullptr) {
      EXPECT_TRUE(whole.ok()) << whole.ToString();
      EXPECT_TRUE(one.ok()) << one.ToString();
      EXPECT_TRUE(copied.ok()) << copied.ToString();
      EXPECT_EQ(PackGetCount(target), 1u);
    } else {
      EXPECT_TRUE(whole.IsCorruption()) << whole.ToString();
      EXPECT_EQ(whole.message().rfind("damaged pack qmz\\a.pac: entry 3 ", 0), 0u)
          << whole.message();
      EXPECT_NE(whole.message().find(c.error), std::string::npos)
          << whole.message();
      EXPECT_TRUE(one.IsCorruption()) << one.ToString();
      EXPECT_TRUE(copied.IsCorruption()) << copied.ToString();
      EXPECT_EQ(PackGetCount(target), 0u) << "a damaged block is not taken";
    }
    PackDiscard(target);
    PackClose(a);
  }

  EXPECT_TRUE(PackCheck(env_, (dir_ / "none.pac").string(), "none.pac").IsNotFound());
  WriteAll(path_, U32(0) + U32(3) + Row(1, 61, 1, 1, 0, "x"));
  const Status table = PackCheck(env_, path_, "a.pac");
  EXPECT_TRUE(table.IsCorruption());
  EXPECT_EQ(table.message(), "damaged pack a.pac: its table of 3 entries does not fit the file");
}

TEST_F(PackTest, CopyTakesTheStoredBlockAsItIs) {
  // A block the compressor here would not make: a copy must keep it byte
  // for byte (its digest is the file's), not inflate and compress it anew.
  const std::string text(3000, 'w');
  const std::string stored = ZlibLevel(text, 1);
  ASSERT_NE(stored, Zlib(text));
  const std::string source_path = (dir_ / "source.pac").string();
  WriteAll(source_path, U32(0) + U32(2) +
                            Row(5, 114, 3000, static_cast<uint32_t>(stored.size()), 1, stored) +
                            Row(6, 114 + static_cast<uint32_t>(stored.size()), 3, 3, 0, "raw") +
                            stored + "raw");
  PackArchive* target = PackOpenForUpdate(env_, path_);
  ASSERT_EQ(PackAdd(5, "old", 3, target, 0, nullptr), 1);
  ASSERT_EQ(PackAdd(7, "kept", 4, target, 1, nullptr), 1);
  ASSERT_EQ(PackClose(target), 1);

  PackArchive* source = PackOpenReadOnly(env_, source_path);
  target = PackOpenForUpdate(env_, path_);
  ASSERT_TRUE(PackCopyEntry(5, source, target).ok());
  ASSERT_TRUE(PackCopyEntry(6, source, target).ok());
  ASSERT_EQ(PackAdd(8, "added", 5, target, 0, nullptr), 1);
  EXPECT_TRUE(PackCopyEntry(9, source, target).IsNotFound());
  EXPECT_EQ(PackCopyEntry(5, target, source).code(), Status::Code::kInvalidArgument)
      << "a read-only target";
  EXPECT_TRUE(PackCopyEntry(7, target, target).ok());
  // The source may go before the save: the target keeps its file.
  PackClose(source);
  fs::remove(source_path);
  ASSERT_EQ(PackSave(target), 1);
  ASSERT_EQ(PackClose(target), 1);

  // The same operations spelled out (a replacement is a remove and an add),
  // which decide the order of the rows.
  const std::string expected_path = (dir_ / "expected.pac").string();
  PackArchive* expected = PackOpenForUpdate(env_, expected_path);
  PackAdd(5, "old", 3, expected, 0, nullptr);
  PackAdd(7, "kept", 4, expected, 1, nullptr);
  PackRemove(5, expected);
  PackAdd(5, text.data(), 3000, expected, 1, nullptr);
  PackAdd(6, "raw", 3, expected, 0, nullptr);
  PackAdd(8, "added", 5, expected, 0, nullptr);
  ASSERT_EQ(PackClose(expected), 1);
  PackArchive* got = PackOpenReadOnly(env_, path_);
  ASSERT_NE(got, nullptr);
  std::string block;
  ASSERT_EQ(PackReadStored(5, got, &block), 1);
  EXPECT_TRUE(block == stored);
  EXPECT_EQ(Read(got, 5), text);
  EXPECT_EQ(Read(got, 6), "raw");
  EXPECT_EQ(Read(got, 7), "kept");
  EXPECT_EQ(Read(got, 8), "added");
  std::vector<uint32_t> order, want_order;
  for (uint32_t k = 0; k < PackGetCount(got); ++k) order.push_back(PackGetIdAt(k, got));
  PackClose(got);
  got = PackOpenReadOnly(env_, expected_path);
  for (uint32_t k = 0; k < PackGetCount(got); ++k) want_order.push_back(PackGetIdAt(k, got));
  PackClose(got);
  EXPECT_EQ(order, want_order) << "rows in the order of remove and add";
  EXPECT_TRUE(PackCheck(env_, path_, "a.pac").ok());
}

TEST_F(PackTest, StoredBlocksFromAFileJoinThePackAsTheyAre) {
  // Blocks side by side in one file, as a repair lays them out: a zlib
  // stream this compressor would not make, a raw block, and a replacement.
  const std::string text(5000, 'q');
  const std::string stored = ZlibLevel(text, 1);
  ASSERT_NE(stored, Zlib(text));
  const std::string blocks_path = (dir_ / "blocks").string();
  const std::string blocks = "junk" + stored + "raw bytes";
  WriteAll(blocks_path, blocks);
  const uint32_t stored_size = static_cast<uint32_t>(stored.size());
  PackArchive* a = PackOpenForUpdate(env_, path_);
  ASSERT_EQ(PackAdd(7, "old", 3, a, 0, nullptr), 1);
  ASSERT_EQ(PackAdd(8, "kept", 4, a, 1, nullptr), 1);
  ASSERT_EQ(PackClose(a), 1);

  a = PackOpenForUpdate(env_, path_);
  ASSERT_TRUE(PackAddStoredBlock(5, 5000, true, env_, blocks_path, 4, stored_size, a).ok());
  ASSERT_TRUE(
      PackAddStoredBlock(7, 9, false, env_, blocks_path, 4 + stored_size, 9, a).ok());
  ASSERT_EQ(PackSave(a), 1);
  PackDiscard(a);
  // Only now may the file go: the pack holds its own copy of the blocks.
  fs::remove(blocks_path);

  PackArchive* got = PackOpenReadOnly(env_, path_);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(PackGetCount(got), 3u);
  EXPECT_EQ(Read(got, 5), text);
  EXPECT_EQ(Read(got, 7), "raw bytes");
  EXPECT_EQ(Read(got, 8), "kept");
  std::string block;
  ASSERT_EQ(PackReadStored(5, got, &block), 1);
  EXPECT_TRUE(block == stored) << "the block as given, not compressed anew";
  PackEntryInfo info;
  ASSERT_EQ(PackGetEntryInfo(5, got, &info), 1);
  EXPECT_EQ(info.digest, Md5Hex(stored));
  EXPECT_EQ(info.compressed, 1u);
  EXPECT_EQ(info.stored_size, stored_size);
  ASSERT_EQ(PackGetEntryInfo(7, got, &info), 1);
  EXPECT_EQ(info.digest, Md5Hex("raw bytes"));
  PackClose(got);
  EXPECT_TRUE(PackCheck(env_, path_, "a.pac").ok());

  // Refusals leave the archive as it was: the save writes the same bytes.
  const std::string before = ReadAll(path_);
  const std::string short_stream = Zlib(text.substr(1));
  const std::string refused_blocks = short_stream + "12345" + stored;
  WriteAll(blocks_path, refused_blocks);
  const uint32_t short_size = static_cast<uint32_t>(short_stream.size());
  struct Case {
    const char* name;
    uint32_t id, size;
    bool compressed;
    std::string path;
    uint64_t offset;
    uint32_t stored_size;
    Status::Code code;
  };
  const Case cases[] = {
      {"inflates short of its size", 8, 5000, true, blocks_path, 0, short_size,
       Status::Code::kCorruption},
      {"inflates past its size", 8, 4000, true, blocks_path, short_size + 5, stored_size,
       Status::Code::kCorruption},
      {"not a zlib stream", 8, 5, true, blocks_path, short_size, 5, Status::Code::kCorruption},
      {"a zlib stream and more", 8, 4999, true, blocks_path, 0, short_size + 1,
       Status::Code::kCorruption},
      {"raw of another length", 9, 6, false, blocks_path, short_size, 5,
       Status::Code::kCorruption},
      {"the file ends first", 9, 5, false, blocks_path, refused_blocks.size() - 2, 5,
       Status::Code::kCorruption},
      {"no file", 9, 5, false, (dir_ / "none").string(), 0, 5, Status::Code::kNotFound},
      {"past 4 GiB", 9, 5, false, blocks_path, uint64_t{1} << 32, 5,
       Status::Code::kInvalidArgument},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    a = PackOpenForUpdate(env_, path_);
    ASSERT_NE(a, nullptr);
    const Status s =
        PackAddStoredBlock(c.id, c.size, c.compressed, env_, c.path, c.offset, c.stored_size, a);
    EXPECT_EQ(s.code(), c.code) << s.ToString();
    ASSERT_EQ(PackSave(a), 1);
    PackDiscard(a);
    EXPECT_TRUE(ReadAll(path_) == before);
  }
  PackArchive* read_only = PackOpenReadOnly(env_, path_);
  EXPECT_EQ(PackAddStoredBlock(9, 5, false, env_, blocks_path, short_size, 5, read_only).code(),
            Status::Code::kInvalidArgument);
  PackClose(read_only);
}

TEST_F(PackTest, StreamedStoredBlockIsTheStoredBytesInBoundedPieces) {
  // A raw block of several pieces and a compressed one: the pieces join to
  // exactly what PackReadStored gives (the zlib stream, not its contents).
  const std::string raw = RandomBytes(200000, 3);
  const std::string text(300000, 'a');
  PackArchive* a = PackOpenForUpdate(env_, path_);
  ASSERT_EQ(PackAdd(1, raw.data(), static_cast<uint32_t>(raw.size()), a, 0, nullptr), 1);
  ASSERT_EQ(PackAdd(2, text.data(), static_cast<uint32_t>(text.size()), a, 1, nullptr), 1);
  ASSERT_EQ(PackClose(a), 1);

  PackArchive* got = PackOpenReadOnly(env_, path_);
  ASSERT_NE(got, nullptr);
  for (uint32_t id : {1u, 2u}) {
    SCOPED_TRACE(id);
    std::string joined;
    size_t pieces = 0, largest = 0;
    ASSERT_TRUE(PackStreamStored(id, got, [&](std::string_view piece) {
                  joined.append(piece);
                  ++pieces;
                  largest = std::max(largest, piece.size());
                  return true;
                }).ok());
    std::string block;
    ASSERT_EQ(PackReadStored(id, got, &block), 1);
    EXPECT_TRUE(joined == block);
    EXPECT_LE(largest, size_t{64} << 10);
    if (id == 1) {
      EXPECT_EQ(pieces, (raw.size() + (64 << 10) - 1) / (64 << 10));
    }
  }
  size_t calls = 0;
  EXPECT_TRUE(PackStreamStored(1, got, [&](std::string_view) { return ++calls < 2; })
                  .IsAborted());
  EXPECT_EQ(calls, 2u) << "no piece after the one refused";
  EXPECT_TRUE(PackStreamStored(3, got, [](std::string_view) { return true; }).IsNotFound());
  PackClose(got);
}

TEST_F(PackTest, APackHoldsAtMostTheCeilingOfEntries) {
  // Rows of empty raw entries with distinct ids: a table of exactly the
  // ceiling opens, one row more does not, and the full archive takes no new
  // id (its file could not be opened again) but still takes replacements.
  auto table = [](uint32_t count) {
    std::string bytes = U32(0) + U32(count);
    bytes.reserve(8 + size_t{53} * count);
    const std::string empty_digest = Md5Hex("") + std::string(1, '\0');
    for (uint32_t id = 0; id < count; ++id) {
      bytes += U32(id) + U32(8 + 53 * count) + U32(0) + U32(0) + U32(0) + empty_digest;
    }
    return bytes;
  };
  WriteAll(path_, table(kPackMaxEntries + 1));
  EXPECT_EQ(PackOpenReadOnly(env_, path_), nullptr);
  EXPECT_TRUE(PackCheck(env_, path_, "a.pac").IsCorruption());

  WriteAll(path_, table(kPackMaxEntries));
  const std::string other = (dir_ / "other.pac").string();
  WriteAll(other, U32(0) + U32(2) + Row(1, 114, 1, 1, 0, "x") +
                      Row(kPackMaxEntries, 115, 1, 1, 0, "y") + "xy");
  PackArchive* full = PackOpenForUpdate(env_, path_);
  ASSERT_NE(full, nullptr);
  PackArchive* source = PackOpenReadOnly(env_, other);
  EXPECT_EQ(PackAdd(kPackMaxEntries, "y", 1, full, 0, nullptr), 0);
  EXPECT_EQ(PackCopyEntry(kPackMaxEntries, source, full).code(),
            Status::Code::kInvalidArgument);
  EXPECT_TRUE(PackCopyEntry(1, source, full).ok());
  EXPECT_EQ(PackGetCount(full), kPackMaxEntries);
  PackClose(source);
  ASSERT_EQ(PackClose(full), 1);
  full = PackOpenReadOnly(env_, path_);
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(Read(full, 1), "x");
  PackClose(full);
}

TEST_F(PackTest, UpdateKeepsUnchangedBlocksAcrossSaves) {
  PackArchive* a = PackOpenForUpdate(env_, path_);
  PackAdd(1, "a", 1, a, 0, nullptr);
  PackAdd(2, "bb", 2, a, 0, nullptr);
  PackAdd(6, "zzzz", 4, a, 1, nullptr);
  ASSERT_EQ(PackClose(a), 1);

  a = PackOpenForUpdate(env_, path_);
  ASSERT_NE(a, nullptr);
  PackRemove(1, a);
  PackAdd(3, "ccc", 3, a, 0, nullptr);
  ASSERT_EQ(PackSave(a), 1);
  // The blocks of entries 2 and 6 now live at new offsets in a new file;
  // the archive must still find them, save again and read them.
  PackAdd(4, "d", 1, a, 0, nullptr);
  ASSERT_EQ(PackSave(a), 1);
  EXPECT_EQ(Read(a, 2), "bb");
  EXPECT_EQ(Read(a, 6), "zzzz");
  PackEntryInfo info;
  ASSERT_EQ(PackGetEntryInfo(2, a, &info), 1);
  EXPECT_EQ(info.offset, 8u + 4 * 53);
  ASSERT_EQ(PackClose(a), 1);

  const std::string z = Zlib("zzzz");
  const uint32_t data = 8 + 4 * 53;
  EXPECT_EQ(ReadAll(path_),
            U32(0) + U32(4) + Row(2, data, 2, 2, 0, "bb") +
                Row(3, data + 2, 3, 3, 0, "ccc") +
                Row(4, data + 5, 1, 1, 0, "d") +
                Row(6, data + 6, 4, static_cast<uint32_t>(z.size()), 1, z) +
                "bbcccd" + z);
}

TEST_F(PackTest, FailedSaveKeepsTheOldFile) {
  PackArchive* a = PackOpenForUpdate(env_, path_);
  PackAdd(1, "old", 3, a, 0, nullptr);
  ASSERT_EQ(PackClose(a), 1);
  const std::string before = ReadAll(path_);
  const std::string big = RandomBytes(3 << 20, 2);

  enum class Fault { kFullDisk, kRename };
  for (Fault fault : {Fault::kFullDisk, Fault::kRename}) {
    FaultInjectionEnv faulty(env_);
    if (fault == Fault::kFullDisk) faulty.FailWritesAfter(1000);
    if (fault == Fault::kRename) faulty.FailNextRenames(2);  // the save and the one in close
    a = PackOpenForUpdate(&faulty, path_);
    ASSERT_NE(a, nullptr);
    PackAdd(2, big.data(), static_cast<uint32_t>(big.size()), a, 0, nullptr);
    // The reason reaches a caller that asks: a full disk is told as one.
    EXPECT_EQ(PackSaveWithStatus(a).code(),
              fault == Fault::kFullDisk ? Status::Code::kNoSpace : Status::Code::kIOError);
    EXPECT_EQ(PackClose(a), 0);
    EXPECT_TRUE(ReadAll(path_) == before) << "the old pack must survive";
    EXPECT_FALSE(fs::exists(path_ + std::string(kTempSuffix)));
  }
  // A file that cannot be created at all.
  PackArchive* lost = PackOpenForUpdate(env_, (dir_ / "no" / "b.pac").string());
  ASSERT_NE(lost, nullptr);
  EXPECT_EQ(PackSave(lost), 0);
  PackClose(lost);
}

TEST_F(PackTest, FullDiskDuringTheCopyOfUnchangedBlocksKeepsTheOldFile) {
  // Unchanged blocks are copied file to file at save, not through Append;
  // a disk that fills in the middle of that copy must fail the save too.
  std::vector<std::string> blocks;
  PackArchive* a = PackOpenForUpdate(env_, path_);
  for (uint32_t id = 0; id < 6; ++id) {
    blocks.push_back(RandomBytes(300000 + id, id + 10));
    PackAdd(id, blocks.back().data(), static_cast<uint32_t>(blocks.back().size()),
            a, 0, nullptr);
  }
  ASSERT_EQ(PackClose(a), 1);
  const std::string before = ReadAll(path_);

  // The expected result, written from memory by a fresh archive.
  const std::string fresh_path = (dir_ / "fresh.pac").string();
  PackArchive* fresh = PackOpenForUpdate(env_, fresh_path);
  for (uint32_t id = 0; id < 6; ++id) {
    if (id == 2) continue;
    PackAdd(id, blocks[id].data(), static_cast<uint32_t>(blocks[id].size()),
            fresh, 0, nullptr);
  }
  PackAdd(9, "new", 3, fresh, 0, nullptr);
  ASSERT_EQ(PackClose(fresh), 1);
  const std::string after = ReadAll(fresh_path);

  const uint64_t rows = 8 + 6 * 53;
  struct Case {
    const char* name;
    uint64_t space;
    bool saved;
  };
  const std::vector<Case> cases = {
      {"in the table", 100, false},
      {"a byte into the first copied run", rows + 1, false},
      {"in the second copied run", rows + 600001 + 10, false},
      {"one byte short", after.size() - 1, false},
      {"exactly enough", after.size(), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(path_, before);
    FaultInjectionEnv faulty(env_);
    a = PackOpenForUpdate(&faulty, path_);
    ASSERT_NE(a, nullptr);
    PackRemove(2, a);  // splits the unchanged blocks into two runs
    PackAdd(9, "new", 3, a, 0, nullptr);
    faulty.FailWritesAfter(c.space);
    EXPECT_EQ(PackSave(a), c.saved ? 1 : 0);
    PackDiscard(a);
    EXPECT_TRUE(ReadAll(path_) == (c.saved ? after : before))
        << "the pack must be the old one or the complete new one";
    EXPECT_FALSE(fs::exists(path_ + std::string(kTempSuffix)));
  }
}

// The id sequence and contents of tests/data/pack/make_samples.py.
std::vector<uint32_t> SampleIds() {
  std::vector<uint32_t> out;
  uint64_t x = 12345;
  for (uint64_t k = 0; k < 900; ++k) {
    if (k % 7 == 0) {
      out.push_back(static_cast<uint32_t>((k / 7) * 193 * 389));
    } else {
      x = (x * 1103515245 + 12345) % (uint64_t{1} << 31);
      out.push_back(static_cast<uint32_t>(x));
    }
  }
  return out;
}

std::string SampleContents(size_t i) {
  std::string s;
  for (size_t k = 0; k < i % 50 + 1; ++k) s += "entry " + std::to_string(i) + " ";
  return s;
}

TEST_F(PackTest, MatchesAnotherWriterByteForByte) {
  const char* root = std::getenv("DIZEDIR_SOURCE_DIR");
  const std::string data = std::string(root ? root : ".") + "/tests/data/pack/";
  const std::vector<uint32_t> ids = SampleIds();

  PackArchive* a = PackOpenReadOnly(env_, data + "sample.pac");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(PackGetCount(a), ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    ASSERT_EQ(Read(a, ids[i]), SampleContents(i)) << "entry " << i;
  }
  PackClose(a);
  EXPECT_EQ(PackOpenReadOnly(env_, data + "truncated.pac"), nullptr);

  // The same additions, in the same order, through this writer: the sample
  // went through three growths of the table, so any deviation in the
  // relinking shows up as a different row order.
  a = PackOpenForUpdate(env_, path_);
  for (size_t i = 0; i < ids.size(); ++i) {
    const std::string c = SampleContents(i);
    ASSERT_EQ(PackAdd(ids[i], c.data(), static_cast<uint32_t>(c.size()), a,
                      i % 3 == 0 ? 1 : 0, nullptr),
              1);
  }
  ASSERT_EQ(PackClose(a), 1);
  EXPECT_TRUE(ReadAll(path_) == ReadAll(data + "sample.pac"));
}

}  // namespace
}  // namespace dizedir
