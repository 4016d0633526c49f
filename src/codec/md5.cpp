#include "codec/md5.h"

#include <cstring>

namespace dizedir {
namespace {

inline uint32_t LoadLittleEndian32(const uint8_t* p) {
  // Byte-wise assembly compiles to a single load on little-endian machines
  // and stays correct on big-endian ones.
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreLittleEndian32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t RotateLeft(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

// The four round functions, written in the forms that need the fewest
// dependent operations (F as a select through xor/and; G below).
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

#define MD5_STEP(f, a, b, c, d, word, constant, shift)        \
  do {                                                        \
    (a) += f((b), (c), (d)) + (word) + (constant);            \
    (a) = RotateLeft((a), (shift)) + (b);                     \
  } while (0)

// G's two halves never overlap, so they can be added separately; the
// half that does not depend on b starts before b is ready.
#define MD5_STEP_G(a, b, c, d, word, constant, shift)         \
  do {                                                        \
    (a) += ((c) & ~(d)) + (word) + (constant);                \
    (a) += (b) & (d);                                         \
    (a) = RotateLeft((a), (shift)) + (b);                     \
  } while (0)

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

Md5::Md5() { Reset(); }

void Md5::Reset() {
  state_[0] = 0x67452301u;
  state_[1] = 0xefcdab89u;
  state_[2] = 0x98badcfeu;
  state_[3] = 0x10325476u;
  length_ = 0;
}

void Md5::Transform(const uint8_t* block) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian32(block + 4 * i);

  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

  MD5_STEP(MD5_F, a, b, c, d, x[0], 0xd76aa478u, 7);
  MD5_STEP(MD5_F, d, a, b, c, x[1], 0xe8c7b756u, 12);
  MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070dbu, 17);
  MD5_STEP(MD5_F, b, c, d, a, x[3], 0xc1bdceeeu, 22);
  MD5_STEP(MD5_F, a, b, c, d, x[4], 0xf57c0fafu, 7);
  MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787c62au, 12);
  MD5_STEP(MD5_F, c, d, a, b, x[6], 0xa8304613u, 17);
  MD5_STEP(MD5_F, b, c, d, a, x[7], 0xfd469501u, 22);
  MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098d8u, 7);
  MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8b44f7afu, 12);
  MD5_STEP(MD5_F, c, d, a, b, x[10], 0xffff5bb1u, 17);
  MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895cd7beu, 22);
  MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6b901122u, 7);
  MD5_STEP(MD5_F, d, a, b, c, x[13], 0xfd987193u, 12);
  MD5_STEP(MD5_F, c, d, a, b, x[14], 0xa679438eu, 17);
  MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49b40821u, 22);

  MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562u, 5);
  MD5_STEP_G(d, a, b, c, x[6], 0xc040b340u, 9);
  MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51u, 14);
  MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aau, 20);
  MD5_STEP_G(a, b, c, d, x[5], 0xd62f105du, 5);
  MD5_STEP_G(d, a, b, c, x[10], 0x02441453u, 9);
  MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681u, 14);
  MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8u, 20);
  MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6u, 5);
  MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6u, 9);
  MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87u, 14);
  MD5_STEP_G(b, c, d, a, x[8], 0x455a14edu, 20);
  MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905u, 5);
  MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8u, 9);
  MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9u, 14);
  MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8au, 20);

  MD5_STEP(MD5_H, a, b, c, d, x[5], 0xfffa3942u, 4);
  MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771f681u, 11);
  MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6d9d6122u, 16);
  MD5_STEP(MD5_H, b, c, d, a, x[14], 0xfde5380cu, 23);
  MD5_STEP(MD5_H, a, b, c, d, x[1], 0xa4beea44u, 4);
  MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4bdecfa9u, 11);
  MD5_STEP(MD5_H, c, d, a, b, x[7], 0xf6bb4b60u, 16);
  MD5_STEP(MD5_H, b, c, d, a, x[10], 0xbebfbc70u, 23);
  MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289b7ec6u, 4);
  MD5_STEP(MD5_H, d, a, b, c, x[0], 0xeaa127fau, 11);
  MD5_STEP(MD5_H, c, d, a, b, x[3], 0xd4ef3085u, 16);
  MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881d05u, 23);
  MD5_STEP(MD5_H, a, b, c, d, x[9], 0xd9d4d039u, 4);
  MD5_STEP(MD5_H, d, a, b, c, x[12], 0xe6db99e5u, 11);
  MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1fa27cf8u, 16);
  MD5_STEP(MD5_H, b, c, d, a, x[2], 0xc4ac5665u, 23);

  MD5_STEP(MD5_I, a, b, c, d, x[0], 0xf4292244u, 6);
  MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432aff97u, 10);
  MD5_STEP(MD5_I, c, d, a, b, x[14], 0xab9423a7u, 15);
  MD5_STEP(MD5_I, b, c, d, a, x[5], 0xfc93a039u, 21);
  MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655b59c3u, 6);
  MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8f0ccc92u, 10);
  MD5_STEP(MD5_I, c, d, a, b, x[10], 0xffeff47du, 15);
  MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845dd1u, 21);
  MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6fa87e4fu, 6);
  MD5_STEP(MD5_I, d, a, b, c, x[15], 0xfe2ce6e0u, 10);
  MD5_STEP(MD5_I, c, d, a, b, x[6], 0xa3014314u, 15);
  MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4e0811a1u, 21);
  MD5_STEP(MD5_I, a, b, c, d, x[4], 0xf7537e82u, 6);
  MD5_STEP(MD5_I, d, a, b, c, x[11], 0xbd3af235u, 10);
  MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2ad7d2bbu, 15);
  MD5_STEP(MD5_I, b, c, d, a, x[9], 0xeb86d391u, 21);

  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void Md5::Update(const void* data, size_t size) {
  const uint8_t* input = static_cast<const uint8_t*>(data);
  size_t buffered = static_cast<size_t>(length_ % 64);
  length_ += size;

  if (buffered != 0) {
    size_t take = 64 - buffered;
    if (size < take) {
      std::memcpy(buffer_ + buffered, input, size);
      return;
    }
    std::memcpy(buffer_ + buffered, input, take);
    Transform(buffer_);
    input += take;
    size -= take;
  }
  // Whole blocks straight from the caller's memory: no copy on the hot path.
  while (size >= 64) {
    Transform(input);
    input += 64;
    size -= 64;
  }
  if (size != 0) std::memcpy(buffer_, input, size);
}

Md5::Digest Md5::Final() {
  const uint64_t bit_length = length_ * 8;
  size_t buffered = static_cast<size_t>(length_ % 64);
  buffer_[buffered++] = 0x80;
  if (buffered > 56) {
    std::memset(buffer_ + buffered, 0, 64 - buffered);
    Transform(buffer_);
    buffered = 0;
  }
  std::memset(buffer_ + buffered, 0, 56 - buffered);
  for (int i = 0; i < 8; ++i) {
    buffer_[56 + i] = static_cast<uint8_t>(bit_length >> (8 * i));
  }
  Transform(buffer_);

  Digest digest;
  for (int i = 0; i < 4; ++i) StoreLittleEndian32(digest.data() + 4 * i, state_[i]);
  return digest;
}

std::string Md5::HexFinal() { return DigestToHex(Final()); }

std::string DigestToHex(const Md5::Digest& digest) {
  std::string hex(digest.size() * 2, '0');
  for (size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kHexDigits[digest[i] >> 4];
    hex[2 * i + 1] = kHexDigits[digest[i] & 0x0f];
  }
  return hex;
}

std::string Md5Hex(const void* data, size_t size) {
  Md5 md5;
  md5.Update(data, size);
  return md5.HexFinal();
}

}  // namespace dizedir
