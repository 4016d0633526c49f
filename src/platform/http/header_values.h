// Reading the few response header values the downloaders act on, whatever
// library handed them over.
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
  std::optional<uint64_t> total;  // absent for "bytes 0-9/*"
};

// A Content-Range value: "bytes 100-199/1000" or "bytes */1000". Both
// parts absent when the unit is not bytes or there is no "/".
ContentRange ParseContentRange(std::string_view value);

}  // namespace dizedir::http

#endif  // DIZEDIR_PLATFORM_HTTP_HEADER_VALUES_H_
