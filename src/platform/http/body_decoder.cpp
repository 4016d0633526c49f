#include "platform/http/body_decoder.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

namespace dizedir::http {

namespace {

constexpr size_t kOutputBytes = 64 * 1024;
// zlib's window bits: 15 for its own header, +16 for gzip's, negative for
// a raw deflate stream.
constexpr int kZlibWindow = 15;
constexpr int kGzipWindow = 15 + 16;
constexpr int kRawWindow = -15;

// Whether two bytes open a zlib stream (RFC 1950): deflate method and a
// header checksum that divides by 31. Servers that say "deflate" send
// either that or a raw stream.
bool LooksLikeZlibHeader(unsigned char cmf, unsigned char flg) {
  return (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 &&
         ((static_cast<unsigned>(cmf) << 8) | flg) % 31 == 0;
}

}  // namespace

struct BodyDecoder::Stream {
  z_stream z{};
  bool open = false;
  std::vector<unsigned char> output = std::vector<unsigned char>(kOutputBytes);
  // The first byte of a deflate body, held until the second shows which
  // kind of stream it is.
  std::vector<unsigned char> pending;

  ~Stream() {
    if (open) inflateEnd(&z);
  }
};

std::unique_ptr<BodyDecoder> BodyDecoder::Create(ContentCoding coding) {
  if (coding != ContentCoding::kGzip && coding != ContentCoding::kDeflate) {
    return nullptr;
  }
  return std::unique_ptr<BodyDecoder>(new BodyDecoder(coding));
}

BodyDecoder::BodyDecoder(ContentCoding coding)
    : coding_(coding), stream_(std::make_unique<Stream>()) {}

BodyDecoder::~BodyDecoder() = default;

BodyDecoder::Result BodyDecoder::Decode(
    std::string_view input, uint64_t room,
    const std::function<Status(std::string_view)>& out) {
  Stream& s = *stream_;
  if (input.empty()) return Result::kOk;
  if (finished_) return Result::kCorrupt;  // bytes after the end
  std::vector<unsigned char> joined;
  if (!started_) {
    int window = kGzipWindow;
    if (coding_ == ContentCoding::kDeflate) {
      if (s.pending.empty() && input.size() < 2) {
        s.pending.push_back(static_cast<unsigned char>(input[0]));
        return Result::kOk;
      }
      joined = s.pending;
      joined.insert(joined.end(), input.begin(), input.end());
      s.pending.clear();
      input = std::string_view(reinterpret_cast<const char*>(joined.data()),
                               joined.size());
      window = LooksLikeZlibHeader(static_cast<unsigned char>(input[0]),
                                   static_cast<unsigned char>(input[1]))
                   ? kZlibWindow
                   : kRawWindow;
    }
    if (inflateInit2(&s.z, window) != Z_OK) return Result::kCorrupt;
    s.open = true;
    started_ = true;
  }

  uint64_t given = 0;
  // zlib's counts are 32 bits wide: feed it in slices.
  while (!input.empty()) {
    const size_t slice = std::min<size_t>(input.size(), 1u << 30);
    s.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    s.z.avail_in = static_cast<uInt>(slice);
    // Output zlib could not hand over for want of room stays inside it
    // until asked again, so the loop also runs while the buffer came back
    // full.
    do {
      s.z.next_out = s.output.data();
      s.z.avail_out = static_cast<uInt>(s.output.size());
      const int rc = inflate(&s.z, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
        return Result::kCorrupt;
      }
      const size_t produced = s.output.size() - s.z.avail_out;
      if (produced > room - given) {
        // Pass on what still fits, so the stored file ends exactly at the
        // limit rather than somewhere before it.
        const size_t fits = static_cast<size_t>(room - given);
        if (fits > 0 &&
            !out(std::string_view(reinterpret_cast<char*>(s.output.data()),
                                  fits))
                 .ok()) {
          return Result::kSinkFailed;
        }
        return Result::kTooLong;
      }
      if (produced > 0) {
        given += produced;
        if (!out(std::string_view(reinterpret_cast<char*>(s.output.data()),
                                  produced))
                 .ok()) {
          return Result::kSinkFailed;
        }
      }
      if (rc == Z_STREAM_END) {
        finished_ = true;
        // Anything after the stream's end is not part of the file, and a
        // server that keeps sending it must not keep the transfer alive.
        if (s.z.avail_in > 0 || slice < input.size()) return Result::kCorrupt;
        return Result::kOk;
      }
      if (rc == Z_BUF_ERROR && produced == 0) break;  // wants more input
    } while (s.z.avail_in > 0 || s.z.avail_out == 0);
    input.remove_prefix(slice);
  }
  return Result::kOk;
}

}  // namespace dizedir::http
