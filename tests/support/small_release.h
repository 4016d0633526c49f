// The small release line the attack suites run against: the tree of a
// client at version 1, and patches 2 and 3 (the last with a blob large
// enough to be split into parts).
//
// Thread-safety: constants.

#ifndef DIZEDIR_TESTS_SUPPORT_SMALL_RELEASE_H_
#define DIZEDIR_TESTS_SUPPORT_SMALL_RELEASE_H_

#include <map>
#include <string>

#include "support/test_bytes.h"

namespace dizedir::small_release {

using Files = std::map<std::string, std::string>;

inline const Files kVersion1 = {{"game.cfg", "v1"}, {"sub/keep.txt", "kept"}};
inline const Files kPatch2 = {{"game.cfg", "v2"}, {"sub/new.txt", "added in 2"}};
inline const Files kPatch3 = {{"sub/new.txt", "changed in 3"},
                              {"data/blob.bin", RandomBytes(30000, 3)}};

// The tree of a client at version 3.
inline Files Published() {
  Files tree = kVersion1;
  for (const auto& [k, v] : kPatch2) tree[k] = v;
  for (const auto& [k, v] : kPatch3) tree[k] = v;
  return tree;
}

}  // namespace dizedir::small_release

#endif  // DIZEDIR_TESTS_SUPPORT_SMALL_RELEASE_H_
