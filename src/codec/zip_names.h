// The names of zip items as extraction uses them: the fixed clean-up rules
// that turn a stored name into the item's name, and the tests that decide
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

// What ZipResolveTarget found.
enum class ZipTarget {
  kInside,     // *relative names a place below the base directory
  kOutside,    // absolute elsewhere, a drive, a ".." climb or a NUL
  kNoName,     // a file item with nothing left to call the file, or a
               // name no file can carry exactly (an unpaired surrogate)
  kTemporary,  // carries the suffix of the system's own temporaries
};

// The one confinement step between an item's target and the disk. A target
// that starts with a separator or a drive must begin with `base` (compared
// without case, '\' and '/' alike); a relative one is taken as it is. What
// lies below the base directory, without trailing separators, goes to
// *relative in the narrow form that is finally opened, which must read back
// as the name exactly: a name that does not survive the conversion (an
// unpaired surrogate) is refused, never altered.
// An empty *relative is the base directory itself, allowed for directories.
ZipTarget ZipResolveTarget(std::u16string_view base, std::u16string_view target,
                           bool is_directory, std::string* relative);

}  // namespace dizedir

#endif  // DIZEDIR_CODEC_ZIP_NAMES_H_
