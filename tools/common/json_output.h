// How the tools print JSON. Every --json document is built as a value and
// printed here, so that all of them follow one rule for text that is not
// UTF-8: names and texts come from servers and files the tools cannot
// trust, and a bad byte sequence must cost that sequence, never the output.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_TOOLS_COMMON_JSON_OUTPUT_H_
#define DIZEDIR_TOOLS_COMMON_JSON_OUTPUT_H_

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace dizedir {

// Keys stay in the order they were set: launchers and scripts have seen
// them in that order since the first release.
using JsonDocument = nlohmann::ordered_json;

// The document on one line, without a line end. Characters beyond ASCII
// are written as they are; each sequence that is not valid UTF-8 becomes
// U+FFFD.
std::string JsonLine(const JsonDocument& document);

// The same, with every character outside printable ASCII escaped, for JSON
// strings set inside lines meant for a terminal.
std::string AsciiJsonLine(const JsonDocument& document);

// An array, one element per line: "[", each element as JsonLine followed by
// a comma but the last, "]", each line ended. Readers can take it whole or
// line by line. Anything that is not an array is one JsonLine, ended.
std::string JsonArrayLines(const JsonDocument& array);

// For fields that are bytes of no stated encoding (list fields, digests
// read from a damaged file): each byte becomes the character of the same
// number, so any bytes give text and the bytes can be read back from it.
std::string BytesAsText(std::string_view bytes);

}  // namespace dizedir

#endif  // DIZEDIR_TOOLS_COMMON_JSON_OUTPUT_H_
