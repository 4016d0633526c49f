// The one rule that turns a name from outside (a patch-list record, a zip
// item, a word of a control list, a pack name) into a path below a base
// directory. Whatever a server sends, the path it gives names a place inside
// the base directory on every platform this client runs on, and the same
// place on each of them.
//
// A name is refused when any component
//   - is "..", or is made only of dots and spaces (Windows trims trailing
//     dots and spaces, so "... " or ". ." could end up as ".."),
//   - ends in a dot or a space (Windows would silently name another file),
//   - holds a control character, or one of  : * ? " < > |  (a drive, an
//     alternate data stream, a wildcard),
//   - is a device name (CON, NUL, COM1 ... with or without an extension),
//   - carries the system's temporary suffix (the stale-temporary sweep would
//     delete what it names),
// when the name is empty, starts with a separator (a root), is not valid
// UTF-8, or, for a bare name, holds a separator at all. "." components and
// doubled separators are dropped, so "./items" and "items" are one name.
//
// Check the exact text that is opened: the confined path is joined here with
// backslashes, the form every stored file uses, and the platform layer maps
// it without changing what was checked.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_PLATFORM_CONFINED_PATH_H_
#define DIZEDIR_PLATFORM_CONFINED_PATH_H_

#include <string>
#include <string_view>

#include "platform/status.h"

namespace dizedir {

enum class NameKind {
  kBareName,      // a file name without any directory ("upd_0.zxp")
  kRelativePath,  // a path below the base ("data\\maps\\a.txt")
};

// The name in its confined form: components joined with '\', "." and empty
// components dropped. InvalidArgument, whose message says why in a few words
// (the caller names the item), when the rule above refuses it.
Status ConfineName(std::string_view name, NameKind kind, std::string* confined);

// base_dir + the confined name. An empty base directory is refused too: it
// would make the name relative to wherever the process happens to be, or,
// joined to a separator, to the root.
Status ConfinePath(std::string_view base_dir, std::string_view name,
                   NameKind kind, std::string* path);

// The same rule for a UTF-16 name (zip item names are UTF-16), checked on
// the UTF-16 text itself so no conversion can change what was checked.
bool IsConfinedName(std::u16string_view name, NameKind kind);

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_CONFINED_PATH_H_
