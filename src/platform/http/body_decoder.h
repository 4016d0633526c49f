// BodyDecoder: undoes a gzip or deflate Content-Encoding as the body
// arrives, piece by piece, so a downloader can store what the server meant
// rather than what it sent.
//
// The decoded size is the one that matters on disk, and a few kilobytes of
// compressed input can stand for gigabytes of output; so the caller states
// with every piece how much more output it will take, and decoding stops,
// reporting kTooLong, as soon as more would come out. Memory use is one
// fixed buffer, whatever the ratio.
//
// Thread-safety: one thread uses an object.

#ifndef DIZEDIR_PLATFORM_HTTP_BODY_DECODER_H_
#define DIZEDIR_PLATFORM_HTTP_BODY_DECODER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/http/header_values.h"
#include "platform/status.h"

namespace dizedir::http {

class BodyDecoder {
 public:
  enum class Result {
    kOk,        // all input taken; more may follow
    kTooLong,   // the output would pass `room`; nothing past it was given
    kCorrupt,   // not a valid stream, or bytes after its end
    kSinkFailed,  // `out` refused a piece; its status says why
  };

  // A decoder for kGzip or kDeflate (either wrapped in zlib's header or
  // raw, as servers differ); null for any other coding.
  static std::unique_ptr<BodyDecoder> Create(ContentCoding coding);

  BodyDecoder(const BodyDecoder&) = delete;
  BodyDecoder& operator=(const BodyDecoder&) = delete;
  ~BodyDecoder();

  // Decodes `input`, passing the output to `out` in pieces; at most `room`
  // bytes in all reach `out` during this call.
  Result Decode(std::string_view input, uint64_t room,
                const std::function<Status(std::string_view)>& out);

  // Whether the stream's end has been seen: a body that ends before it is
  // cut short.
  bool finished() const { return finished_; }

 private:
  struct Stream;
  explicit BodyDecoder(ContentCoding coding);

  const ContentCoding coding_;
  std::unique_ptr<Stream> stream_;
  bool started_ = false;
  bool finished_ = false;
};

}  // namespace dizedir::http

#endif  // DIZEDIR_PLATFORM_HTTP_BODY_DECODER_H_
