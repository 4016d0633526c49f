// The text layer of the version-list files (curver.bin, newver.bin,
// verlist.bin): the byte substitution that disguises the base part of each
// line, the line bounds and CR CR LF terminator every reader and writer
// shares, and the text forms of the two generated fields (time stamp, GUID).
//
// Thread-safety: pure functions over values.

#ifndef DIZEDIR_LISTS_LIST_TEXT_H_
#define DIZEDIR_LISTS_LIST_TEXT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace dizedir {

// Longest stamp half, GUID or archive token, and longest built part name.
inline constexpr size_t kMaxListTokenLength = 259;
// Line buffers of the readers, terminating NUL included: a longer physical
// line is delivered as several lines.
inline constexpr size_t kRemoteVersionLineBound = 1024;
inline constexpr size_t kListLineBound = 10240;
// What every stored line ends with: CR LF written through a text-mode
// stream, whose LF expansion yields CR CR LF.
inline constexpr std::string_view kListLineTerminator = "\r\r\n";

// Hostile input must not make a reader allocate without limit: real lists
// hold a few hundred lines, so anything far beyond is refused outright.
inline constexpr uint64_t kMaxListFileBytes = uint64_t{4} << 20;
inline constexpr size_t kMaxListLines = 65536;

// Byte i becomes (byte + i % 3 + 10) mod 256; i restarts at 0 on every call.
std::string Scramble(std::string_view text);
std::string Unscramble(std::string_view text);

// Cuts file bytes into lines the way a bounded C line read does: each line
// ends after its LF or after bound - 1 bytes, whichever comes first, and
// keeps its terminator. A line is seen only up to its first NUL, as a C
// string would be. No empty line follows a final LF.
std::vector<std::string> SplitListLines(std::string_view data, size_t bound);

// The line up to (not including) its first CR and its first LF.
std::string_view CutAtLineEnd(std::string_view line);

// "YYYY-MM-DD hh:mm:ss".
std::string FormatStamp(const LocalTime& time);

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in upper case, from the 16 bytes
// of a GUID as Windows stores it (little-endian 32- and 16-bit fields).
std::string FormatGuid(const std::array<uint8_t, 16>& guid);

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_LIST_TEXT_H_
