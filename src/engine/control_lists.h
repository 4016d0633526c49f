// The two instruction lists a patch archive may carry: del.txt (entries to
// remove from packs, then files to delete) and Move.txt (entries to move from
// one pack to another). Both are read as a stream of white-space separated
// words and numbers, the way the patch tools have always written them, so
// line structure means nothing and a list simply ends where its grammar
// breaks.
//
// Everything here is pure: the parsers never fail, they return what they
// could read. Whether a name may be used at all is a separate question
// (NameStaysInside), asked by the code that touches the disk.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_ENGINE_CONTROL_LISTS_H_
#define DIZEDIR_ENGINE_CONTROL_LISTS_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dizedir {

// del.txt: pack name (no directory, no ".pac") -> ids to remove in file order
// (repeats kept), and the file names to delete in file order.
struct DeleteList {
  std::map<std::string, std::vector<uint32_t>> packs;
  std::vector<std::string> files;
};

DeleteList ParseDeleteList(std::string_view text);

// Move.txt: id -> (source pack name, target pack name); a repeated id keeps
// the pair read last.
std::map<uint32_t, std::pair<std::string, std::string>> ParseMoveList(
    std::string_view text);

// True when a relative name taken from a patch stays inside the directory it
// is appended to: no leading '\' or '/', no drive ("C:"), and no ".."
// component with either separator (nor one that Windows trims to "..", such
// as ".. " or "..."). The empty name is the directory itself.
bool NameStaysInside(std::string_view name);

// The one spelling of a pack name (or any relative name) that all its
// spellings share, for deciding whether two names are one pack: both
// separators alike (a backslash in the result), empty and "." components
// dropped, a ".." component (or one that Windows trims to it) taking back
// the component before it, the trailing dots and spaces that Windows drops
// from a component removed, and letters folded to lower case as Windows
// folds them. "./Items", "items." and "sub/../ITEMS" all give "items". It
// errs towards calling names equal, which for a move is the safe side:
// nothing moves. Never opened as a path.
std::string CanonicalPackName(std::string_view name);

}  // namespace dizedir

#endif  // DIZEDIR_ENGINE_CONTROL_LISTS_H_
