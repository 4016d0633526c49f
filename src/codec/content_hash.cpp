#include "codec/content_hash.h"

#include <sodium.h>

#include <cstdlib>
#include <vector>

namespace dizedir {

struct ContentHasher::State {
  crypto_generichash_state state;
};

ContentHasher::ContentHasher() : state_(new State) {
  // sodium_init is idempotent and thread-safe; the generic hash needs it
  // only for its choice of implementation.
  if (sodium_init() < 0) std::abort();
  crypto_generichash_init(&state_->state, nullptr, 0, 32);
}

ContentHasher::~ContentHasher() = default;

void ContentHasher::Update(const void* data, size_t size) {
  crypto_generichash_update(&state_->state, static_cast<const unsigned char*>(data), size);
}

ContentHash ContentHasher::Final() {
  ContentHash hash{};
  crypto_generichash_final(&state_->state, hash.data(), hash.size());
  crypto_generichash_init(&state_->state, nullptr, 0, 32);
  return hash;
}

ContentHash HashBytes(std::string_view data) {
  ContentHasher hasher;
  hasher.Update(data);
  return hasher.Final();
}

Status HashFileContent(Env* env, const std::string& path, ContentHash* hash, uint64_t* size) {
  std::unique_ptr<ReadableFile> file;
  Status s = env->NewReadableFile(path, &file);
  if (!s.ok()) return s;
  // Below the allocator's mmap threshold: a freed buffer above it would
  // raise the threshold and keep later large buffers of the process
  // resident in its heap.
  constexpr size_t kChunk = 64 << 10;
  std::vector<char> buffer(kChunk);
  ContentHasher hasher;
  uint64_t offset = 0;
  while (true) {
    size_t got = 0;
    s = file->Read(offset, kChunk, buffer.data(), &got);
    if (!s.ok()) return s;
    if (got == 0) break;
    hasher.Update(buffer.data(), got);
    offset += got;
  }
  *hash = hasher.Final();
  if (size != nullptr) *size = offset;
  return Status::OK();
}

std::string ContentHashHex(const ContentHash& hash) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(hash.size() * 2);
  for (uint8_t b : hash) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

bool ParseContentHashHex(std::string_view text, ContentHash* hash) {
  if (text.size() != hash->size() * 2) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  ContentHash out{};
  for (size_t i = 0; i < out.size(); ++i) {
    const int hi = nibble(text[2 * i]);
    const int lo = nibble(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  *hash = out;
  return true;
}

}  // namespace dizedir
