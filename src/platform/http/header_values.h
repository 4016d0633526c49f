// Reading the few response header values the downloaders act on, whatever
// library handed them over. Every value comes from the server and is
// treated as hostile: numbers are bounded, anything not exactly of the
// expected form is refused rather than guessed at.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_PLATFORM_HTTP_HEADER_VALUES_H_
#define DIZEDIR_PLATFORM_HTTP_HEADER_VALUES_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace dizedir::http {

// ASCII case-insensitive, as header names and units compare.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// A Content-Length value: decimal digits, blanks and a line end around
// them allowed; nullopt for anything else or more than 19 digits.
std::optional<uint64_t> ParseContentLength(std::string_view value);

struct ContentRange {
  std::optional<uint64_t> start;  // absent for "bytes */1000"
  std::optional<uint64_t> end;    // inclusive; absent with start
  std::optional<uint64_t> total;  // absent for "bytes 0-9/*"
  // The whole value parsed and is consistent: start <= end, and end < total
  // when the total is known; "bytes */N" counts as well formed.
  bool well_formed = false;
};

// A Content-Range value: "bytes 100-199/1000" or "bytes */1000". Both
// parts absent when the unit is not bytes or there is no "/".
ContentRange ParseContentRange(std::string_view value);

// The content codings a downloader knows how to undo.
enum class ContentCoding { kIdentity, kGzip, kDeflate, kUnsupported };

// A Content-Encoding value. Empty and "identity" are kIdentity; "gzip",
// "x-gzip" and "deflate" (any case) their own; a list of several codings or
// anything else kUnsupported.
ContentCoding ParseContentCoding(std::string_view value);

// The code of an HTTP status line ("HTTP/1.1 206 Partial Content");
// nullopt when the line is not one.
std::optional<int> ParseStatusLine(std::string_view line);

}  // namespace dizedir::http

#endif  // DIZEDIR_PLATFORM_HTTP_HEADER_VALUES_H_
