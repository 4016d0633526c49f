#include "lists/content_store.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fault_injection_env.h"
#include "support/scratch_dir.h"
#include "support/test_bytes.h"

namespace dizedir {
namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

constexpr uint64_t kMiB = uint64_t{1} << 20;

// Text that compresses, unlike RandomBytes: words drawn from a small list.
std::string Words(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"sword ", "shield ", "potion ", "dragon ", "gold ",
                                       "quest\n", "armor ", "scroll "};
  const std::string random = RandomBytes(n, seed);
  std::string out;
  out.reserve(n + 8);
  for (size_t i = 0; out.size() < n; ++i) out += kWords[static_cast<uint8_t>(random[i]) % 8];
  out.resize(n);
  return out;
}

std::string Zlib(const std::string& data, int level = Z_DEFAULT_COMPRESSION) {
  uLongf n = compressBound(static_cast<uLong>(data.size()));
  std::string out(n, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &n,
                reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                level) != Z_OK) {
    std::abort();
  }
  out.resize(n);
  return out;
}

std::string Unzlib(const std::string& stream, size_t size) {
  std::string out(size, '\0');
  uLongf n = static_cast<uLongf>(size);
  if (uncompress(reinterpret_cast<Bytef*>(out.data()), &n,
                 reinterpret_cast<const Bytef*>(stream.data()),
                 static_cast<uLong>(stream.size())) != Z_OK) {
    return "<not zlib>";
  }
  out.resize(n);
  return out;
}

std::string DeflateSome(z_stream* z, const std::string& data, int flush) {
  z->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z->avail_in = static_cast<uInt>(data.size());
  std::string out;
  char buffer[1 << 16];
  do {
    z->next_out = reinterpret_cast<Bytef*>(buffer);
    z->avail_out = sizeof buffer;
    deflate(z, flush);
    out.append(buffer, sizeof buffer - z->avail_out);
  } while (z->avail_out == 0);
  return out;
}

// A valid zlib stream of `mibs` MiB of zeros (about 1 KiB a MiB), made of
// one compressed MiB repeated: each starts afresh after a full flush, so
// the copies decode one after the other. Compressing a GiB for real would
// take seconds.
std::string ZerosBomb(uint64_t mibs) {
  const std::string mib(kMiB, '\0');
  z_stream z{};
  if (deflateInit(&z, Z_BEST_COMPRESSION) != Z_OK) std::abort();
  const std::string first = DeflateSome(&z, mib, Z_FULL_FLUSH);  // with the header
  const std::string block = DeflateSome(&z, mib, Z_FULL_FLUSH);
  if (DeflateSome(&z, mib, Z_FULL_FLUSH) != block) std::abort();
  std::string end = DeflateSome(&z, "", Z_FINISH);
  deflateEnd(&z);
  std::string out = first;
  out.reserve(first.size() + (mibs - 1) * block.size() + end.size());
  for (uint64_t i = 1; i < mibs; ++i) out += block;
  // The Adler-32 of n zeros: its low sum stays 1, its high sum is n.
  const uint32_t adler = static_cast<uint32_t>((mibs * kMiB) % 65521) << 16 | 1;
  end.resize(end.size() - 4);
  for (int shift = 24; shift >= 0; shift -= 8) end += static_cast<char>(adler >> shift);
  return out + end;
}

TEST(ContentStoreTest, ObjectsLieUnderTheirHash) {
  ContentHash hash;
  ASSERT_TRUE(ParseContentHashHex(
      "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8", &hash));
  EXPECT_EQ(StoreObjectName(hash),
            "store\\0e\\0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8");
  EXPECT_EQ(StoreObjectUrlPath(hash),
            "store/0e/0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8");
}

TEST(ContentStoreTest, EncodesZlibWhenShorterAndRawOtherwise) {
  struct Case {
    const char* label;
    std::string content;
    char form;
  };
  const Case cases[] = {
      {"compressible", Words(100000, 1), 'z'},
      {"incompressible", RandomBytes(100000, 2), 'r'},
      {"empty", "", 'r'},
      {"one byte", "x", 'r'},
      {"short text zlib cannot shorten", "hello", 'r'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string object = EncodeStoreObject(c.content);
    ASSERT_FALSE(object.empty());
    EXPECT_EQ(object[0], c.form);
    if (c.form == 'z') {
      EXPECT_LT(object.size(), c.content.size());
      // A plain RFC 1950 stream any zlib reads.
      EXPECT_TRUE(Unzlib(object.substr(1), c.content.size()) == c.content);
    } else {
      EXPECT_TRUE(object == "r" + c.content);
    }
    std::string content = "junk";
    const Status s = DecodeStoreObject(object, HashBytes(c.content), c.content.size(), &content);
    ASSERT_TRUE(s.ok()) << s.ToString();
    EXPECT_TRUE(content == c.content);
  }
}

TEST(ContentStoreTest, DecodeRefusesEveryOtherObject) {
  const std::string text = Words(20000, 3);
  const std::string zlib = EncodeStoreObject(text);
  ASSERT_EQ(zlib[0], 'z');
  std::string bad_check = zlib;
  bad_check.back() = static_cast<char>(bad_check.back() ^ 1);  // the Adler-32
  std::string bad_middle = zlib;
  bad_middle[zlib.size() / 2] = static_cast<char>(bad_middle[zlib.size() / 2] ^ 0x55);
  const std::string same_size_other = Words(20000, 4);
  struct Case {
    const char* label;
    std::string object;
    ContentHash hash;
    uint64_t size;
    const char* why;
  };
  const ContentHash text_hash = HashBytes(text);
  const Case cases[] = {
      {"empty object", "", HashBytes(""), 0, "empty"},
      {"unknown first byte", "x" + text, text_hash, text.size(), "neither"},
      {"upper-case form", "R" + text, text_hash, text.size(), "neither"},
      {"raw of another hash", "rhellO", HashBytes("hello"), 5, "hash"},
      {"raw longer than its size", "rhello", HashBytes("hello"), 4, "more than its size"},
      {"raw shorter than its size", "rhello", HashBytes("hello"), 6, "holds 5 bytes, not 6"},
      {"zlib of another content", zlib, HashBytes(same_size_other), text.size(), "hash"},
      {"zlib past its size", zlib, text_hash, text.size() - 1, "past its size"},
      {"zlib short of its size", zlib, text_hash, text.size() + 1, "holds 20000 bytes"},
      {"zlib cut short", zlib.substr(0, zlib.size() - 3), text_hash, text.size(), "cut short"},
      {"zlib cut in the middle", zlib.substr(0, zlib.size() / 2), text_hash, text.size(),
       "cut short"},
      {"bytes after the stream", zlib + "r", text_hash, text.size(), "after"},
      {"damaged check", bad_check, text_hash, text.size(), "not a valid zlib"},
      {"damaged middle", bad_middle, text_hash, text.size(), "store object"},
      {"raw deflate, no zlib wrapper", "z" + RawDeflate(text), text_hash, text.size(),
       "not a valid zlib"},
      {"gzip wrapper", "z" + DeflateStream(text, 15 + 16), text_hash, text.size(),
       "not a valid zlib"},
      {"zlib no shorter than its content", "z" + Zlib("hello"), HashBytes("hello"), 5,
       "no shorter"},
      {"zlib object with nothing after z", "z", HashBytes(""), 0, "no shorter"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string content = "junk";
    const Status s = DecodeStoreObject(c.object, c.hash, c.size, &content);
    ASSERT_TRUE(s.IsCorruption()) << s.ToString();
    EXPECT_NE(s.message().find(c.why), std::string::npos) << s.message();
    EXPECT_TRUE(content.empty());
  }
}

TEST(ContentStoreTest, TheBombBuilderMakesAValidStream) {
  // What the bomb tests below rely on, at a size that decodes quickly.
  const std::string bomb = ZerosBomb(5);
  ASSERT_LT(bomb.size() + 1, 5 * kMiB);
  std::string content;
  const Status s =
      DecodeStoreObject("z" + bomb, HashBytes(std::string(5 * kMiB, '\0')), 5 * kMiB, &content);
  ASSERT_TRUE(s.ok()) << s.ToString();
  EXPECT_EQ(content.size(), 5 * kMiB);
}

TEST(ContentStoreTest, AZlibBombCostsWhatItsDeclaredSizeDoes) {
  const std::string object = "z" + ZerosBomb(1024);  // 1 GiB of zeros
  ASSERT_LT(object.size(), 2 * kMiB);
  const ContentHash hash = HashBytes("");
  struct Case {
    const char* label;
    uint64_t size;
    const char* why;
  };
  const Case cases[] = {
      // Longer than the content it claims: refused before inflating.
      {"declared 1 KiB", 1024, "no shorter"},
      // Short enough to pass that: inflation stops one byte past 2 MiB.
      // Inflating the whole GiB would take seconds and a GiB of memory.
      {"declared 2 MiB", 2 * kMiB, "past its size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string content;
    const auto start = steady_clock::now();
    const Status s = DecodeStoreObject(object, hash, c.size, &content);
    EXPECT_LT(steady_clock::now() - start, std::chrono::milliseconds(500));
    ASSERT_TRUE(s.IsCorruption()) << s.ToString();
    EXPECT_NE(s.message().find(c.why), std::string::npos) << s.message();
  }

  // Into a file: a disk that holds 8 MiB never fills, so nothing past the
  // size was written, and neither target nor temporary remains.
  ScratchDir dir("store");
  ASSERT_TRUE(dir.Write("bomb", object));
  FaultInjectionEnv env(Env::Default());
  env.FailWritesAfter(8 * kMiB);
  Status s = DecodeStoreObjectToFile(&env, dir.Path("bomb"), hash, 2 * kMiB, dir.Path("out"));
  EXPECT_TRUE(s.IsCorruption()) << s.ToString();
  EXPECT_NE(s.message().find(dir.Path("bomb")), std::string::npos) << s.message();
  EXPECT_FALSE(dir.Exists("out"));
  EXPECT_FALSE(dir.Exists("out.dztmp"));
  s = CheckStoreObject(&env, dir.Path("bomb"), hash, 2 * kMiB);
  EXPECT_TRUE(s.IsCorruption()) << s.ToString();
}

// Files on disk through the real Env, or one that breaks.
class StoreFilesTest : public testing::Test {
 protected:
  std::string ObjectPath(const std::string& content) {
    return dir_.dir() + StoreObjectName(HashBytes(content));
  }
  // Every temporary left anywhere below the directory.
  std::vector<std::string> Temporaries() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      if (IsTemporaryName(entry.path().filename().string())) found.push_back(entry.path());
    }
    return found;
  }
  std::string ReadPath(const std::string& path) {
    std::string data;
    EXPECT_TRUE(ReadFileToString(Env::Default(), path, &data).ok());
    return data;
  }

  ScratchDir dir_{"store"};
  FaultInjectionEnv env_{Env::Default()};
};

TEST_F(StoreFilesTest, AFileGoesInAndComesOutAsStreams) {
  struct Case {
    const char* label;
    std::string content;
    char form;
  };
  const Case cases[] = {
      {"6 MiB of text", Words(6 * kMiB + 123, 5), 'z'},
      {"3 MiB of noise", RandomBytes(3 * kMiB, 6), 'r'},
      {"empty", "", 'r'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(dir_.Write("source", c.content));
    const ContentHash hash = HashBytes(c.content);
    const std::string object_path = ObjectPath(c.content);
    Status s = WriteStoreObject(&env_, dir_.Path("source"), object_path, hash, c.content.size());
    ASSERT_TRUE(s.ok()) << s.ToString();
    const std::string object = ReadPath(object_path);
    ASSERT_FALSE(object.empty());
    EXPECT_EQ(object[0], c.form);
    if (c.form == 'r') {
      EXPECT_TRUE(object == "r" + c.content) << "the raw form is the content itself";
    } else {
      EXPECT_LT(object.size(), c.content.size());
    }
    // The streaming writer's object is one the in-memory reader takes.
    std::string content;
    s = DecodeStoreObject(object, hash, c.content.size(), &content);
    ASSERT_TRUE(s.ok()) << s.ToString();
    EXPECT_TRUE(content == c.content);

    EXPECT_TRUE(CheckStoreObject(&env_, object_path, hash, c.content.size()).ok());
    std::string joined;
    size_t largest = 0;
    s = DecodeStoreObjectToSink(&env_, object_path, hash, c.content.size(),
                                [&](std::string_view piece) {
                                  joined.append(piece);
                                  largest = std::max(largest, piece.size());
                                  return Status::OK();
                                });
    ASSERT_TRUE(s.ok()) << s.ToString();
    EXPECT_TRUE(joined == c.content);
    EXPECT_LE(largest, size_t{64} << 10);
    ASSERT_TRUE(dir_.Write("target", "the old file"));
    s = DecodeStoreObjectToFile(&env_, object_path, hash, c.content.size(), dir_.Path("target"));
    ASSERT_TRUE(s.ok()) << s.ToString();
    EXPECT_TRUE(dir_.Read("target") == c.content);
    EXPECT_TRUE(Temporaries().empty());
  }
}

TEST_F(StoreFilesTest, AWriterTakesTheContentInAnyPieces) {
  const std::string text = Words(300000, 7);
  const std::string object_path = ObjectPath(text);
  {
    StoreObjectWriter writer(&env_, object_path);
    for (size_t at = 0; at < text.size(); at += 7777) {
      ASSERT_TRUE(writer.Append(std::string_view(text).substr(at, 7777)).ok());
    }
    ASSERT_TRUE(writer.Finish(HashBytes(text), text.size()).ok());
  }
  EXPECT_TRUE(CheckStoreObject(&env_, object_path, HashBytes(text), text.size()).ok());

  // Abandoned half way: nothing at the path, no temporary.
  const std::string other = Words(300000, 8);
  {
    StoreObjectWriter writer(&env_, ObjectPath(other));
    ASSERT_TRUE(writer.Append(std::string_view(other).substr(0, 100000)).ok());
  }
  EXPECT_FALSE(fs::exists(ObjectPath(other)));
  EXPECT_TRUE(Temporaries().empty());
}

TEST_F(StoreFilesTest, ASourceThatIsNotWhatItIsNamedForLeavesNoObject) {
  const std::string text = Words(500000, 9);
  const std::string noise = RandomBytes(500000, 10);
  struct Case {
    const char* label;
    std::string content;
    ContentHash hash;
    uint64_t size;
  };
  const Case cases[] = {
      {"another hash", text, HashBytes(noise), text.size()},
      {"noise of another hash (the raw form)", noise, HashBytes(text), noise.size()},
      {"grew since it was hashed", text + "more", HashBytes(text), text.size()},
      {"shrank since it was hashed", text.substr(1), HashBytes(text), text.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(dir_.Write("source", c.content));
    const std::string object_path = dir_.dir() + StoreObjectName(c.hash);
    const Status s = WriteStoreObject(&env_, dir_.Path("source"), object_path, c.hash, c.size);
    EXPECT_TRUE(s.IsCorruption()) << s.ToString();
    EXPECT_FALSE(fs::exists(object_path));
    EXPECT_TRUE(Temporaries().empty());
  }
}

TEST_F(StoreFilesTest, AFailedWriteLeavesNoObjectAndTheOldTargetWhole) {
  const std::string text = Words(6 * kMiB, 11);
  const std::string noise = RandomBytes(3 * kMiB, 12);
  for (const std::string* content : {&text, &noise}) {
    SCOPED_TRACE(content == &text ? "zlib" : "raw");
    ASSERT_TRUE(dir_.Write("source", *content));
    const ContentHash hash = HashBytes(*content);
    const std::string object_path = ObjectPath(*content);

    // The disk fills while the object is written (for noise: while its raw
    // form is, after the zlib form took its room).
    env_.FailWritesAfter(content == &text ? 100000 : noise.size() + noise.size() / 2);
    Status s = WriteStoreObject(&env_, dir_.Path("source"), object_path, hash, content->size());
    EXPECT_TRUE(s.IsNoSpace()) << s.ToString();
    EXPECT_FALSE(fs::exists(object_path));
    EXPECT_TRUE(Temporaries().empty());
    env_.StopFailingWrites();
    env_.FailNextRenames(1);
    s = WriteStoreObject(&env_, dir_.Path("source"), object_path, hash, content->size());
    EXPECT_FALSE(s.ok());
    EXPECT_FALSE(fs::exists(object_path));
    EXPECT_TRUE(Temporaries().empty());
    ASSERT_TRUE(WriteStoreObject(&env_, dir_.Path("source"), object_path, hash, content->size())
                    .ok());

    // Decoding into a target: a full disk leaves no target where there was
    // none; it, a failed rename and a damaged object each leave an old
    // target as it was.
    fs::remove(dir_.path() / "target");
    env_.FailWritesAfter(1 * kMiB);
    s = DecodeStoreObjectToFile(&env_, object_path, hash, content->size(), dir_.Path("target"));
    EXPECT_TRUE(s.IsNoSpace()) << s.ToString();
    EXPECT_FALSE(dir_.Exists("target"));
    EXPECT_TRUE(Temporaries().empty());
    ASSERT_TRUE(dir_.Write("target", "the old file"));
    env_.FailWritesAfter(1 * kMiB);
    s = DecodeStoreObjectToFile(&env_, object_path, hash, content->size(), dir_.Path("target"));
    EXPECT_TRUE(s.IsNoSpace()) << s.ToString();
    env_.StopFailingWrites();
    env_.FailNextRenames(1);
    s = DecodeStoreObjectToFile(&env_, object_path, hash, content->size(), dir_.Path("target"));
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(dir_.Read("target"), "the old file");
    EXPECT_TRUE(Temporaries().empty());
  }
}

TEST_F(StoreFilesTest, ADamagedObjectIsRefusedNamingIt) {
  const std::string text = Words(2 * kMiB, 13);
  ASSERT_TRUE(dir_.Write("source", text));
  const ContentHash hash = HashBytes(text);
  const std::string object_path = ObjectPath(text);
  ASSERT_TRUE(WriteStoreObject(&env_, dir_.Path("source"), object_path, hash, text.size()).ok());
  std::string object = ReadPath(object_path);
  object[object.size() / 2] = static_cast<char>(object[object.size() / 2] ^ 0x20);
  ASSERT_TRUE(WriteFileAtomically(Env::Default(), object_path, object).ok());

  Status s = CheckStoreObject(&env_, object_path, hash, text.size());
  EXPECT_TRUE(s.IsCorruption()) << s.ToString();
  EXPECT_NE(s.message().find(object_path), std::string::npos) << s.message();
  ASSERT_TRUE(dir_.Write("target", "the old file"));
  s = DecodeStoreObjectToFile(&env_, object_path, hash, text.size(), dir_.Path("target"));
  EXPECT_TRUE(s.IsCorruption()) << s.ToString();
  EXPECT_EQ(dir_.Read("target"), "the old file");
  EXPECT_TRUE(Temporaries().empty());

  const auto keep = [](std::string_view) { return Status::OK(); };
  s = DecodeStoreObjectToSink(&env_, object_path, hash, text.size(), keep);
  EXPECT_TRUE(s.IsCorruption()) << s.ToString();
  EXPECT_NE(s.message().find(object_path), std::string::npos) << s.message();
  ASSERT_TRUE(WriteStoreObject(&env_, dir_.Path("source"), object_path, hash, text.size()).ok());
  s = DecodeStoreObjectToSink(&env_, object_path, hash, text.size(),
                              [](std::string_view) { return Status::NoSpace("sink full"); });
  EXPECT_TRUE(s.IsNoSpace()) << "a sink's failure comes back as it is: " << s.ToString();

  s = CheckStoreObject(&env_, dir_.Path("missing"), hash, text.size());
  EXPECT_TRUE(s.IsNotFound()) << s.ToString();
  s = DecodeStoreObjectToFile(&env_, dir_.Path("missing"), hash, text.size(), dir_.Path("target"));
  EXPECT_TRUE(s.IsNotFound()) << s.ToString();
  EXPECT_EQ(dir_.Read("target"), "the old file");
}

}  // namespace
}  // namespace dizedir
