// MD5 (RFC 1321) as the lists and packs store it: 32 lowercase hexadecimal
// digits. Md5 is the streaming form for files and pack entries that are
// digested piece by piece; Md5Hex the one-shot form.
//
// Thread-safety: an Md5 object belongs to one thread; Md5Hex is pure.

#ifndef DIZEDIR_CODEC_MD5_H_
#define DIZEDIR_CODEC_MD5_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dizedir {

class Md5 {
 public:
  using Digest = std::array<uint8_t, 16>;

  Md5();
  void Update(const void* data, size_t size);
  void Update(std::string_view data) { Update(data.data(), data.size()); }
  // Ends the computation; the object must be Reset before reuse.
  Digest Final();
  // Final() as 32 lowercase hexadecimal digits.
  std::string HexFinal();
  void Reset();

 private:
  void Transform(const uint8_t* block);

  uint32_t state_[4];
  uint64_t length_ = 0;  // bytes so far
  uint8_t buffer_[64];
};

// The 32 lowercase hexadecimal digits of the MD5 of a byte range.
std::string Md5Hex(const void* data, size_t size);
inline std::string Md5Hex(std::string_view data) {
  return Md5Hex(data.data(), data.size());
}

// Lowercase hexadecimal of a digest.
std::string DigestToHex(const Md5::Digest& digest);

}  // namespace dizedir

#endif  // DIZEDIR_CODEC_MD5_H_
