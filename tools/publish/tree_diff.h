// Tree diff: compares two client trees (the version players have and the
// next one) and writes the one patch archive that turns the first into the
// second when a client unpacks it: changed and added plain files; for each
// pack under qmz/fodder/ a pack of only its new and changed entries; a
// del.txt for entries and files that disappeared; a Move.txt for entries
// that left one pack and arrive unchanged in another.
//
// Item order inside the archive is what makes the patch correct, since the
// client acts on each item right after extracting it: directories for new
// packs first (a pack cannot be written into a missing directory), then
// Move.txt (while the source packs still exist), then del.txt (so a file
// that turns into a directory is gone before its contents arrive), then the
// plain files, then the packs to merge.
//
// A pack item is extracted to the client directory under its name relative
// to qmz/fodder/ before it is merged and deleted, and every item whose name
// ends in "pac" is taken for a pack. Trees where that would misfire (a
// plain file ending in "pac", a pack whose unpacked copy would land on a
// real file, a root del.txt or Move.txt, a directory turning into a file)
// are refused with a message rather than published wrong.
//
// Packs in subdirectories of qmz/fodder/ never appear in the two lists,
// whose pack names carry no directory: when entries leave such a pack, the
// patch deletes it and ships it whole.
//
// Thread-safety: no state of its own. A diff reads the packs and builds
// their patch items on a thread of its own (made through the Env; on the
// caller's thread when none can start) while the caller's thread compares
// the plain files, and the archive deflates on the zip writer's threads;
// all of them end before DiffTrees returns.

#ifndef DIZEDIR_TOOLS_PUBLISH_TREE_DIFF_H_
#define DIZEDIR_TOOLS_PUBLISH_TREE_DIFF_H_

#include <cstdint>
#include <string>
#include <vector>

#include "codec/zip_writer.h"
#include "platform/env.h"
#include "platform/status.h"

namespace dizedir::publish {

// The file a patch directory holds its archive in, and its summary.
inline constexpr char kPatchArchiveName[] = "patch.zip";
inline constexpr char kPatchSummaryName[] = "patch.txt";

struct PackDelta {
  std::string path;               // relative to the tree, with '/'
  std::vector<uint32_t> shipped;  // new and changed entries in the patch pack
  std::vector<uint32_t> removed;  // entries del.txt removes
  bool created = false;           // not in the old tree
  bool rebuilt = false;           // deleted and shipped whole
};

struct PackMove {
  uint32_t id = 0;
  std::string from;  // pack names as the lists write them
  std::string to;
};

struct TreeDiffResult {
  // Relative paths with '/', sorted.
  std::vector<std::string> added;
  std::vector<std::string> changed;
  std::vector<std::string> removed;  // plain files and whole packs
  std::vector<PackDelta> packs;      // packs the patch touches
  std::vector<PackMove> moves;
  std::string delete_list;  // del.txt as shipped; empty when none
  std::string move_list;    // Move.txt as shipped; empty when none
  uint64_t items = 0;       // items of the archive
  uint64_t archive_bytes = 0;
};

struct TreeDiffOptions {
  // Level 1 by default: on game data it costs a few percent of size and
  // saves most of the time, and a diff must keep pace with reading the trees.
  ZipWriterOptions zip = [] {
    ZipWriterOptions o;
    o.level = 1;
    return o;
  }();
};

// Writes patch_dir/patch.zip and patch_dir/patch.txt (patch_dir is created).
// Fails when the trees are equal: an archive without items fails every
// client that downloads it.
Status DiffTrees(Env* env, const std::string& old_tree,
                 const std::string& new_tree, const std::string& patch_dir,
                 const TreeDiffOptions& options, TreeDiffResult* result);

// The summary written to patch.txt, one change per line.
std::string FormatDiffSummary(const TreeDiffResult& result);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_TREE_DIFF_H_
