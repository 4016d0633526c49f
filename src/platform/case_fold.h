// Case-insensitive comparison of names the way Windows compares file,
// section and key names: ASCII letters plus the common alphabets with a
// simple one-to-one upper/lower pairing (Latin-1, Latin Extended-A, Greek,
// Cyrillic). Letters of other scripts compare exactly.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_PLATFORM_CASE_FOLD_H_
#define DIZEDIR_PLATFORM_CASE_FOLD_H_

#include <string>
#include <string_view>

namespace dizedir {

// The lower-case partner of a UTF-16 unit, or the unit itself.
char16_t FoldCase(char16_t unit);

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);
// UTF-8 names; malformed bytes compare as themselves.
bool EqualsIgnoreCaseUtf8(std::string_view a, std::string_view b);

// A key for hashing names case-insensitively: two names have the same key
// exactly when EqualsIgnoreCaseUtf8 says they match.
std::string CaseFoldKeyUtf8(std::string_view name);

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_CASE_FOLD_H_
