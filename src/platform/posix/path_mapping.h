// Maps a path in the form stored in the game's files (backslashes, any case)
// to the name of the entry that exists on this filesystem.
//
// Thread-safety: a pure function of the path and the filesystem; safe from
// any thread (a concurrent rename may of course change the answer).

#ifndef DIZEDIR_PLATFORM_POSIX_PATH_MAPPING_H_
#define DIZEDIR_PLATFORM_POSIX_PATH_MAPPING_H_

#include <string>

namespace dizedir {

// Backslashes become slashes. A component that does not exist with its exact
// name but matches an entry of its directory case-insensitively is replaced
// by that entry's name; a component that matches nothing stays as given, and
// so does everything after it.
std::string MapWindowsPath(const std::string& path);

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_POSIX_PATH_MAPPING_H_
