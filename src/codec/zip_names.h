// The names of zip items as extraction uses them: the fixed clean-up rules
// that turn a stored name into the item's name, and the test that decides
// whether a name may be written under the base directory at all.
//
// The clean-up rules only strip drive prefixes, leading separators and
// everything up to a separator-".."-separator run; they do not resolve "..".
// A name that survives them with a ".." component would climb out of the
// base directory, so extraction checks every name with ZipNameIsContained
// before it touches the disk.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_CODEC_ZIP_NAMES_H_
#define DIZEDIR_CODEC_ZIP_NAMES_H_

#include <string>
#include <string_view>

namespace dizedir {

// Applies the rules, each time on what is left, until none applies: a second
// character ':' drops two characters; a leading '\' or '/' drops one; the
// first "\..\", then "\../", "/../", "/..\" drops everything up to and
// including it.
std::u16string ZipCleanName(std::u16string_view stored);

// True when the relative name, split at '\' and '/', has no ".." component,
// does not begin with a separator or a drive ("C:") and holds no NUL, so
// that it names a place inside whatever directory it is appended to.
bool ZipNameIsContained(std::u16string_view name);

}  // namespace dizedir

#endif  // DIZEDIR_CODEC_ZIP_NAMES_H_
