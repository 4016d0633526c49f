#include "codec/content_hash.h"

#include <gtest/gtest.h>

#include <string>

#include "support/scratch_dir.h"

namespace dizedir {
namespace {

// Answers of coreutils' `b2sum -l 256`, which operators check files with.
TEST(ContentHashTest, KnownAnswersInOnePieceInPiecesAndFromAFile) {
  struct Case {
    const char* label;
    std::string data;
    const char* hex;
  };
  const Case cases[] = {
      {"empty", "", "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8"},
      {"abc", "abc", "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319"},
      // Longer than the file reader's chunk, so chunks are joined too.
      {"3000000 x", std::string(3000000, 'x'),
       "3d02827e33a608ad0044d9f0959ca465d89b0db35ff20fe763d0554e73d848b0"},
  };
  ScratchDir dir("content_hash");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ContentHashHex(HashBytes(c.data)), c.hex);

    ContentHasher hasher;
    for (size_t at = 0; at < c.data.size(); at += 4099) {
      hasher.Update(std::string_view(c.data).substr(at, 4099));
    }
    EXPECT_EQ(ContentHashHex(hasher.Final()), c.hex);
    // Final starts afresh.
    hasher.Update(c.data);
    EXPECT_EQ(ContentHashHex(hasher.Final()), c.hex);

    ASSERT_TRUE(dir.Write("f", c.data));
    ContentHash hash{};
    uint64_t size = 1;
    ASSERT_TRUE(HashFileContent(Env::Default(), dir.Path("f"), &hash, &size).ok());
    EXPECT_EQ(ContentHashHex(hash), c.hex);
    EXPECT_EQ(size, c.data.size());
  }
  ContentHash hash{};
  EXPECT_FALSE(HashFileContent(Env::Default(), dir.Path("none"), &hash).ok());
}

TEST(ContentHashTest, HexIsExactlySixtyFourLowercaseDigits) {
  const std::string good = "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8";
  ContentHash hash{};
  ASSERT_TRUE(ParseContentHashHex(good, &hash));
  EXPECT_EQ(hash[0], 0x0e);
  EXPECT_EQ(hash[31], 0xa8);
  EXPECT_EQ(ContentHashHex(hash), good);
  std::string upper = good;
  upper[1] = 'E';
  const std::string refused[] = {"", good.substr(1), good + "0", upper,
                                 good.substr(0, 63) + "g", " " + good.substr(1)};
  for (const std::string& text : refused) {
    SCOPED_TRACE(text);
    ContentHash untouched{};
    EXPECT_FALSE(ParseContentHashHex(text, &untouched));
    EXPECT_EQ(untouched, ContentHash{});
  }
}

}  // namespace
}  // namespace dizedir
