// The whole client of a version, published beside its patch so clients can
// verify, repair and install from nothing: the version's tree manifest
// (lists/tree_manifest.h) as release_dir/tree<N>.manifest, and every content
// it names in the release's content store (lists/content_store.h).
//
// The store is shared by every version of the line: a content already there
// is never written again, so a file that several versions keep unchanged
// costs its object once. Objects are never deleted (a withdrawn version's
// objects may be another version's too); a tree manifest goes with its
// version.
//
// Write order. Objects first, then the tree manifest, then (the release
// command's) release.manifest, which vouches for the tree manifest, which
// vouches for the objects by hash. A client trusts nothing the release
// manifest does not name, so it never fetches a tree manifest whose objects
// are not there yet; and an object nothing names yet is harmless, so the
// objects are stored before the lists change, and a tree that cannot be
// published stops the change before it starts.
//
// Thread-safety: functions over directories; one writer per release
// directory.

#ifndef DIZEDIR_TOOLS_PUBLISH_TREE_PUBLISHER_H_
#define DIZEDIR_TOOLS_PUBLISH_TREE_PUBLISHER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lists/tree_manifest.h"
#include "lists/version_record.h"
#include "platform/env.h"
#include "platform/status.h"

namespace dizedir::publish {

// The tree of the client directory `tree_dir` as a release describes it:
// ScanClientTree without the files the update machinery keeps in a client
// (IsClientStateName; --init writes the base tree's curver.bin itself).
// Object sizes are 0, line and version empty.
Status ScanReleaseTree(Env* env, const std::string& tree_dir, TreeManifest* manifest);

struct StoredObjects {
  uint64_t new_objects = 0;
  uint64_t new_bytes = 0;  // of those objects, as stored
};

// Puts every content of `manifest` (a scan of `tree_dir`) that the store of
// `release_dir` lacks into it, streaming each file and each pack entry's
// stored block, and fills in every object size from the store. An object
// whose size its content could not have is not one a writer made, and is
// written again. Corruption naming the path when a file or entry no longer
// has the hash the scan found (the tree changed since); the Env's errors.
Status StoreTreeObjects(Env* env, const std::string& release_dir, const std::string& tree_dir,
                        TreeManifest* manifest, StoredObjects* stored);

// Writes release_dir/TreeManifestFileName(manifest.version) atomically,
// refusing (InvalidArgument) a manifest a client would refuse to read.
Status WriteTreeManifest(Env* env, const std::string& release_dir,
                         const TreeManifest& manifest);

// The version a release directory's file is the tree manifest of, when
// `name` is exactly TreeManifestFileName of one.
bool ParseTreeManifestFileName(std::string_view name, int32_t* version);

// The versions a client of the line can be at, whose tree manifests are
// fetched when present: the line's base (one below its first patch, or the
// published head when there is none) and every version of a live patch,
// in ascending order. From the lists clients fetch: curver.bin's records
// and verlist.bin's.
std::vector<int32_t> TreeManifestVersions(const std::vector<VersionRecord>& published,
                                          const std::vector<PatchRecord>& patches);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_TREE_PUBLISHER_H_
