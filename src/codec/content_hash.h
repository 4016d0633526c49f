// The hash a release manifest names each file by: BLAKE2b with a 32-byte
// output (libsodium's crypto_generichash). It is faster than SHA-256 in
// software, where clients on old 32-bit machines have no SHA instructions,
// so hashing a part in the same pass as its MD5 costs little; it is the
// family minisign already prehashes with; and operators can check a file by
// hand with coreutils' `b2sum -l 256`.
//
// Thread-safety: a ContentHasher belongs to one thread; the functions are
// pure.

#ifndef DIZEDIR_CODEC_CONTENT_HASH_H_
#define DIZEDIR_CODEC_CONTENT_HASH_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/env.h"
#include "platform/status.h"

namespace dizedir {

using ContentHash = std::array<uint8_t, 32>;

class ContentHasher {
 public:
  ContentHasher();
  ~ContentHasher();
  ContentHasher(const ContentHasher&) = delete;
  ContentHasher& operator=(const ContentHasher&) = delete;

  void Update(const void* data, size_t size);
  void Update(std::string_view data) { Update(data.data(), data.size()); }
  // Ends the computation and starts a new one.
  ContentHash Final();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

ContentHash HashBytes(std::string_view data);
// Streams the file; also gives its size when `size` is not null.
Status HashFileContent(Env* env, const std::string& path, ContentHash* hash,
                       uint64_t* size = nullptr);

// 64 lowercase hexadecimal digits, and back (false for anything else).
std::string ContentHashHex(const ContentHash& hash);
bool ParseContentHashHex(std::string_view text, ContentHash* hash);

}  // namespace dizedir

#endif  // DIZEDIR_CODEC_CONTENT_HASH_H_
