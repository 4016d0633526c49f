// Conversions between the system's narrow text and UTF-16.
//
// Narrow text is what the game's files, lists and status texts hold: the ANSI
// code page on Windows, UTF-8 on Linux. UTF-16 is what crosses the host
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

// UTF-8 regardless of the platform (zip item names carry UTF-8).
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view wide);

// At most `max_bytes` of UTF-8 text, cut before a character that would not
// fit whole, so a shortened text never ends in half a character.
std::string CutUtf8(std::string_view text, size_t max_bytes);

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_TEXT_H_
