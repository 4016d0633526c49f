// Bytes for tests: random contents from a seed, and the three zlib stream
// forms that archives and HTTP bodies carry.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_TESTS_SUPPORT_TEST_BYTES_H_
#define DIZEDIR_TESTS_SUPPORT_TEST_BYTES_H_

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>

namespace dizedir {

// The same `n` bytes for the same seed on every run.
inline std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

// zlib's window-bits convention picks the wrapper: -15 raw deflate (as zip
// stores it), 15 a zlib stream, 15 + 16 gzip.
inline std::string DeflateStream(const std::string& bytes, int window_bits) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    std::abort();
  }
  std::string out(deflateBound(&z, static_cast<uLong>(bytes.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline std::string RawDeflate(const std::string& bytes) { return DeflateStream(bytes, -15); }

}  // namespace dizedir

#endif  // DIZEDIR_TESTS_SUPPORT_TEST_BYTES_H_
