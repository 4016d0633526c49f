#include "codec/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace dizedir {
namespace {

// Deterministic, non-repeating filler so a wrong block order shows up.
std::string Pattern(size_t size) {
  std::string data(size, '\0');
  uint32_t x = 0x12345678u;
  for (auto& c : data) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return data;
}

TEST(Md5Test, KnownDigests) {
  struct Case {
    std::string input;
    const char* hex;
  };
  const std::vector<Case> cases = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890"
       "1234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // Lengths around the padding boundary: 55 fits the length in the
      // same block, 56..63 need a second one, 64 is a whole block.
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.size());
    EXPECT_EQ(Md5Hex(c.input), c.hex);
  }
}

TEST(Md5Test, StreamingInRandomChunksEqualsOneShot) {
  const std::vector<size_t> sizes = {0, 1, 55, 56, 63, 64, 65, 127, 128,
                                     129, (1u << 20) + 1};
  std::mt19937 rng(1321);
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    const std::string data = Pattern(size);
    const std::string expected = Md5Hex(data);
    for (int round = 0; round < 4; ++round) {
      Md5 md5;
      size_t pos = 0;
      while (pos < data.size()) {
        // Mix tiny chunks (partial-buffer paths) with multi-block ones.
        size_t limit = (rng() % 2) ? 70 : 5000;
        size_t chunk = std::min<size_t>(rng() % limit + 1, data.size() - pos);
        md5.Update(data.data() + pos, chunk);
        pos += chunk;
      }
      EXPECT_EQ(md5.HexFinal(), expected);
    }
  }
}

TEST(Md5Test, ResetStartsAFreshDigest) {
  Md5 md5;
  md5.Update("garbage that must not leak into the next digest");
  md5.Final();
  md5.Reset();
  md5.Update("abc");
  EXPECT_EQ(md5.HexFinal(), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
}  // namespace dizedir
