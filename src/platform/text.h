// Conversions between the system's narrow text and UTF-16.
//
// Narrow text is what the game's files, lists, paths and status texts hold:
// UTF-8 on every platform. On Windows the ANSI code page cannot name every
// file a player's disk holds, and its best-fit conversion would turn
// characters such as U+FF0F into separators after a name was checked, so
// paths go from UTF-8 straight to UTF-16. UTF-16 is what crosses the host
// interface, always as char16_t (wchar_t is 32 bits on Linux).
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_PLATFORM_TEXT_H_
#define DIZEDIR_PLATFORM_TEXT_H_

#include <string>
#include <string_view>

namespace dizedir {

// Malformed input never fails: each invalid byte or unpaired surrogate
// becomes U+FFFD (or its narrow encoding).
std::u16string NarrowToUtf16(std::string_view narrow);
std::string Utf16ToNarrow(std::u16string_view wide);

// The same conversions under the names of what they carry.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view wide);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// values past U+10FFFF).
bool IsUtf8(std::string_view text);

// Text of a kind that Windows tools of the past wrote in the system's ANSI
// code page (a patch's del.txt and Move.txt): kept as it is when it is
// UTF-8; otherwise, on Windows, decoded from the ANSI code page, and kept as
// it is when it is not valid there either (a name in it is then refused
// where it is used). Other systems have no such code page to assume.
std::string LegacyTextToUtf8(std::string_view text);

// The length of a UTF-8 path as Windows counts it against its path limit:
// UTF-16 units. A non-ASCII name takes more bytes than units, so a byte
// count would refuse paths the system opens.
size_t PathUnits(std::string_view utf8);

// At most `max_bytes` of UTF-8 text, cut before a character that would not
// fit whole, so a shortened text never ends in half a character.
std::string CutUtf8(std::string_view text, size_t max_bytes);

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_TEXT_H_
