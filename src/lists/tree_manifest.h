// tree.manifest: what one published version of a client consists of, so a
// client can check its files against it, repair what differs and install
// from nothing. Every plain file is named by its size and content hash; a
// pack (.pac) is named entry by entry, by the entry's row and the hash of
// its stored block (the bytes its MD5 covers, zlib stream and all), so a
// repair puts back the very block the publisher had and the row stays true
// without compressing anything again. Each content lies once in the
// release's content store (lists/content_store.h), and the manifest gives
// the size of its object there too, so a client fetches objects with
// their sizes known and bounded. A release directory carries one tree
// manifest per version beside its other files ("tree<version>.manifest"),
// and the release manifest (lists/release_manifest.h) vouches for it by
// size and hash.
//
// The text, lines ending in "\n", in this order:
//
//   dizedir tree manifest 1
//   line {GUID, the rule of release.manifest's}
//   version <decimal, 1 .. 2^31-1>
//   then, in path order, any number of
//     file <size> <object size>
//          <64 lowercase hex: BLAKE2b-256 of the content> <path>
//     pack <path>
//   each pack line followed by its entries (none or more), in id order:
//     entry <id> <size> <stored size> <0|1: compressed> <object size>
//           <32 lowercase hex: MD5 of the stored block>
//           <64 lowercase hex: BLAKE2b-256 of the stored block>
//   (one line each; wrapped here only to fit)
//
// A path is relative to the client directory, spelled as the client's
// stored formats spell it (components joined with backslashes,
// "qmz\fodder\items.pac"), passes the relative-path rule of
// platform/confined_path.h unchanged (no climb, root, drive, device,
// control character, empty or "." component, or trailing separator), is
// at most 259 bytes and names none of the files the update machinery keeps
// in a client (IsClientStateName): a repair would put the server's bytes
// in their place. Paths are in strictly ascending byte order as written,
// file and pack lines together; they compare case-insensitively
// (platform/case_fold.h, component by component) as Windows does, so no two
// may fold to one, and no path may be a directory of another ("a" and
// "a\b"): the client could not hold both. Entry ids are in strictly
// ascending order within their pack, at most kPackMaxEntries of them; a
// raw entry's size is its stored size. An object holds its content or
// less and a byte of form, so its size runs from 1 to the content's size
// (the file's, or the entry's stored size) plus one. Numbers are written as
// std::to_string writes them (no sign, no leading zero): file sizes up to
// 2^63-1, entry ids and sizes up to 2^32-1, as the pack format holds them.
//
// The text comes from a hostile server until its hash has been checked
// against a signed release manifest, and is parsed as untrusted even then:
// bounded in bytes and paths, in time close to linear in its length,
// and refused, with a Status naming the line ("tree.manifest: line N:
// why"), when it is not exactly this layout. What parses formats back to
// the same bytes.
//
// Thread-safety: the functions are pure, apart from the Env calls of the
// scans; a TreePathIndex may be shared by threads that only read.

#ifndef DIZEDIR_LISTS_TREE_MANIFEST_H_
#define DIZEDIR_LISTS_TREE_MANIFEST_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "codec/content_hash.h"
#include "platform/env.h"
#include "platform/status.h"

namespace dizedir {

// The format's name in texts; a release directory names the file of each
// version by TreeManifestFileName.
inline constexpr char kTreeManifestName[] = "tree.manifest";
// Far above a real client (tens of thousands of files, packs of up to a few
// hundred thousand entries), so only garbage meets them. Together they
// bound the lines too: an entry line takes at least 112 bytes, so a text
// holds fewer than 1.7 million lines, and what parsing one costs stays near
// 200 MiB at worst.
inline constexpr uint64_t kMaxTreeManifestBytes = uint64_t{64} << 20;
inline constexpr size_t kMaxTreePaths = size_t{1} << 20;  // file and pack lines
// The longest path Windows opens without its long-path prefix, less the
// terminating NUL.
inline constexpr size_t kMaxTreePathBytes = 259;

struct TreeFile {
  std::string path;
  uint64_t size = 0;
  ContentHash hash{};
  uint64_t object_size = 0;  // in the store; 0 in a scan, which cannot know it
};

struct TreePackEntry {
  uint32_t id = 0;
  uint32_t size = 0;         // contents
  uint32_t stored_size = 0;  // the block
  bool compressed = false;
  std::string md5_hex;       // of the block, as the row stores it
  ContentHash hash{};        // of the block
  uint64_t object_size = 0;  // in the store; 0 in a scan
};

struct TreePack {
  std::string path;
  std::vector<TreePackEntry> entries;  // ascending ids

  // The entry of that id, by binary search; null when none.
  const TreePackEntry* FindEntry(uint32_t id) const;
};

struct TreeManifest {
  std::string line;  // the release line's GUID
  int32_t version = 0;
  std::vector<TreeFile> files;  // ascending paths
  std::vector<TreePack> packs;  // ascending paths
};

// "tree<version>.manifest": the file of one version in a release directory.
std::string TreeManifestFileName(int32_t version);

// Whether a path relative to a client directory (either separator, any
// case) names a file the update machinery keeps there: the lists it
// fetches and writes, the fetched server list, the signed-release state,
// the lock, a fetched tree manifest and whatever lies in the directory
// repairs fetch into. None of them is ever part of a published tree, and a
// client's copy is no finding of a verify.
bool IsClientStateName(std::string_view relative_path);
// Whether a path names one of the plug-in's modules (on either platform)
// or the operator's key beside them, at the top of a client directory. A
// release may hold them, and is then verified and repaired in them like in
// any file; one that does not is not told of them as extra files.
bool IsClientModuleName(std::string_view relative_path);
// The directory, relative to a client's, that repairs fetch objects into.
inline constexpr char kRepairDirName[] = "dizedir.repair";

Status ParseTreeManifest(std::string_view text, TreeManifest* manifest);
// Writes files and packs merged in path order and entries in id order,
// whatever order the vectors hold them in; a manifest that breaks another
// rule above formats to a text Parse refuses.
std::string FormatTreeManifest(const TreeManifest& manifest);

// Case-insensitive lookups of a manifest's paths, each in constant time.
// Points into the manifest, which must outlive it unchanged.
class TreePathIndex {
 public:
  explicit TreePathIndex(const TreeManifest& manifest);

  // Null when the manifest lists no file (pack) of that path.
  const TreeFile* FindFile(std::string_view path) const;
  const TreePack* FindPack(std::string_view path) const;

 private:
  std::unordered_map<std::string, const TreeFile*> files_;
  std::unordered_map<std::string, const TreePack*> packs_;
};

// Whether a name is a pack's: it ends in ".pac", in any case.
bool IsPackName(std::string_view name);

// The tree of the pack at `path`, its entries in id order, named `shown_path`
// (also the tree's path). Streams every block once; memory is the pack's
// table and fixed buffers. Corruption naming the pack when its table is
// damaged or a row's digest is not 32 lowercase hexadecimal digits (the
// pack format's writer never stores another), IOError when it cannot be
// read.
Status ScanPack(Env* env, const std::string& path, const std::string& shown_path,
                TreePack* pack);

// The tree of the client directory `dir` as it is on disk, version and line
// left empty for the caller. Every file for which `include` is true (given
// its path in the manifest's spelling; asked for files only, never for
// directories) is hashed as a stream, or scanned by ScanPack when its name is
// a pack's. Temporaries (platform/env.h) are never part of a tree, and
// directories count only through the files below them. InvalidArgument
// naming the path for a file or directory a manifest cannot list (a name the
// path rule refuses, a path too long, two names Windows takes for one, a
// link to a directory, which could loop), or for a tree larger than the
// bounds above; ScanPack's errors; the Env's when a file cannot be read.
Status ScanClientTree(Env* env, const std::string& dir,
                      const std::function<bool(std::string_view relative_path)>& include,
                      TreeManifest* manifest);

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_TREE_MANIFEST_H_
