// Verify and repair of a client directory against the tree manifest of its
// version (lists/tree_manifest.h): what is missing, damaged or extra, file
// by file and pack entry by pack entry, and the repair that puts back what
// the release owns from objects of its content store
// (lists/content_store.h) already fetched into a local directory. Fetching
// is the caller's: it asks ObjectsToFetch what to get, and the bounds come
// from the manifest.
//
// A verify reads every byte the manifest describes once: plain files by
// their BLAKE2b-256, pack entries by the MD5 the pack already carries for
// each block (compared with the manifest's, together with the row's sizes
// and flag), so a verify costs about what md5sum over the same files does.
// A pack whose table cannot be read is one finding, not one per entry.
// Files the manifest does not list are extra; those the update machinery
// keeps (IsClientStateName) are never findings. Memory is a pack's table
// and fixed buffers, whatever the sizes.
//
// A repair changes only what the findings name, each change whole or not
// at all: a plain file is decoded through a temporary and renamed into
// place; a pack gets its missing and damaged entries as the very blocks the
// publisher stored, and loses entries the release does not hold, in one
// save through a temporary; a pack with a damaged table (or none) is built
// anew from the manifest's entries and renamed over it. Extra plain files
// stay untouched. Killed at any moment, the client holds every file either
// as it was or as repaired, so the next verify finds what is left and the
// next repair finishes it.
//
// Thread-safety: functions over a directory; one caller per client
// directory at a time (the update lock keeps it so).

#ifndef DIZEDIR_ENGINE_TREE_REPAIR_H_
#define DIZEDIR_ENGINE_TREE_REPAIR_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/content_hash.h"
#include "lists/tree_manifest.h"
#include "platform/env.h"
#include "platform/status.h"

namespace dizedir {

// Stored values: a host reads them through the plug-in's finding slot.
enum class FindingKind : int32_t {
  kMissingFile = 1,       // a plain file (or a whole pack) of the release is not there
  kDamagedFile = 2,       // a plain file differs in size or content
  kExtraFile = 3,         // a file the release does not list; only reported
  kDamagedPackTable = 4,  // a pack of the release cannot be read as one
  kMissingEntry = 5,      // an entry of a readable pack is not in it
  kDamagedEntry = 6,      // an entry's row or block differs
  kExtraEntry = 7,        // an entry the release's pack does not hold
};

struct TreeFinding {
  FindingKind kind = FindingKind::kMissingFile;
  // As the manifest spells it; for an extra file, as the walk found it
  // (backslashes between components).
  std::string path;
  uint32_t entry_id = 0;  // for the entry kinds
  // A few words for people: "size 10, expected 12", "content differs".
  std::string detail;

  bool operator==(const TreeFinding&) const = default;
};

// Whether a finding is something a repair puts right (all but the extras
// of plain files, which belong to the player).
bool IsRepairable(const TreeFinding& finding);

// Told the bytes read so far of the `total` the manifest describes, and the
// path being read; returning false stops the verify (Status Aborted).
using VerifyProgress =
    std::function<bool(uint64_t done, uint64_t total, std::string_view path)>;

// Compares the client directory `client_dir` with `expected` and lists every
// difference in *findings, in path order (entries in id order within
// theirs). Fails only when the directory itself cannot be walked or read
// (IOError naming the path) or when stopped; a file that cannot be read is a
// damaged one.
Status VerifyClientTree(Env* env, const std::string& client_dir, const TreeManifest& expected,
                        const VerifyProgress& progress, std::vector<TreeFinding>* findings);

// An object of the content store a repair needs, once for every finding
// whose content it holds.
struct NeededObject {
  ContentHash hash{};
  uint64_t content_size = 0;  // a file's size, or an entry's stored size
  uint64_t object_size = 0;   // as the manifest gives it: what to fetch
};

// The objects that a repair of `findings` needs, each hash once, in the
// order of the findings. A pack with a damaged table (or missing) needs
// every entry's object.
std::vector<NeededObject> ObjectsToFetch(const TreeManifest& expected,
                                         const std::vector<TreeFinding>& findings);

// Where a fetched object lies: below object_dir, in directories of its
// first two hex digits and the next two, under its 64 hex digits
// ("ab\\cd\\abcd..."). A client's file names compare case-insensitively,
// and each new name in a directory makes the next lookup there read the
// whole directory; thousands of objects in one would cost that many times
// thousands of names.
std::string FetchedObjectPath(const std::string& object_dir, const ContentHash& hash);

// Puts right every repairable finding from the objects in `object_dir`
// (fetched by the caller, each checked here against its hash and size as
// it is decoded; a bad one is Corruption naming it, and the file it was
// for is left as it was). `progress` as for a verify, over the contents
// written. Stops at the first failure with its Status (NoSpace for a full
// disk); what was repaired before stays repaired.
Status RepairClientTree(Env* env, const std::string& client_dir, const TreeManifest& expected,
                        const std::vector<TreeFinding>& findings, const std::string& object_dir,
                        const VerifyProgress& progress);

}  // namespace dizedir

#endif  // DIZEDIR_ENGINE_TREE_REPAIR_H_
