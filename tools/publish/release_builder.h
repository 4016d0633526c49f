// Release lines: the directory an update server publishes, kept in the exact
// formats clients read. A release directory holds downloadaddr.txt, the
// published version list curver.bin (newver lines), the patch list
// verlist.bin and every patch archive, either one "patchN.zip" or the parts
// "patchN_i.zxp". Names are lower case because clients ask for part files
// in lower case.
//
// The published list holds only the newest required version and the
// optional ones after it. A client keeps only its newest installed record,
// and every published required version it lacks would send it into an
// update on every launch. The whole history (with withdrawn versions) lives
// in versions.bin, in the same line format, which clients never fetch.
//
// A line starts with InitRelease (version 1, a new GUID that every later
// record keeps, and the client-side curver.bin of the base tree), grows by
// AddPatch (version N+1 from a diff of tree N against tree N+1) and can take
// back its newest patch with WithdrawPatch. The lists are the only state:
// the builder reads them back before every change, and writes parts first,
// then verlist.bin, then curver.bin, so a client that fetches during a
// change never sees a version whose patch is not there yet. The release
// command then rewrites release.manifest, last (release_signing.h).
//
// Thread-safety: functions over a directory; one writer per directory.

#ifndef DIZEDIR_TOOLS_PUBLISH_RELEASE_BUILDER_H_
#define DIZEDIR_TOOLS_PUBLISH_RELEASE_BUILDER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "lists/version_record.h"
#include "platform/env.h"
#include "platform/status.h"

namespace dizedir::publish {

inline constexpr char kDownloadAddressName[] = "downloadaddr.txt";
inline constexpr char kPublishedListName[] = "curver.bin";
inline constexpr char kPatchListName[] = "verlist.bin";
inline constexpr char kHistoryName[] = "versions.bin";

// Archives up to this size ship as one zip unless told otherwise.
inline constexpr uint64_t kDefaultPartBytes = uint64_t{8} << 20;

struct ReleaseLists {
  std::vector<VersionRecord> versions;  // versions.bin: all, base first
  std::vector<PatchRecord> patches;     // verlist.bin
};

// What curver.bin publishes: the last required version, then the optional
// ones after it.
std::vector<VersionRecord> PublishedVersions(const ReleaseLists& lists);

Status LoadRelease(Env* env, const std::string& release_dir,
                   ReleaseLists* lists);

struct InitOptions {
  // Kept in downloadaddr.txt, which clients fetch but never read.
  std::string download_address;
  // Base URLs of mirrors, also kept there: clients fetch parts from them.
  std::vector<std::string> mirrors;
  int32_t base_number = 1;
};

// Whether the directory holds a release line (its history or published
// list), which InitRelease refuses to start over.
bool HoldsReleaseLine(Env* env, const std::string& release_dir);

// Starts a line in an empty (or new) directory; fails when it already holds
// a published list. *client_list gets the curver.bin bytes of a client at
// the base version.
Status InitRelease(Env* env, const std::string& release_dir,
                   const InitOptions& options, std::string* client_list);

// Rewrites downloadaddr.txt with its text replaced when `text` is given and
// its mirrors replaced when `mirrors` is given, keeping the rest; a mirror
// that is no http or https base URL is refused before anything is written.
Status UpdateDownloadAddress(Env* env, const std::string& release_dir,
                             const std::string* text,
                             const std::vector<std::string>* mirrors);

struct AddOptions {
  bool optional = false;  // published in state 2: fetched on consent only
  // Parts to cut the archive into: 0 decides by part_bytes, 1 never splits.
  int parts = 0;
  uint64_t part_bytes = kDefaultPartBytes;
  std::string download_address;  // replaces downloadaddr.txt when not empty
};

struct AddResult {
  PatchRecord patch;
  std::vector<int32_t> promoted;  // optional patches this one made required
};

// Publishes the zip at archive_path as the next version. A patch is built
// against the newest tree, so an optional patch before it becomes required:
// clients must apply it first.
Status AddPatch(Env* env, const std::string& release_dir,
                const std::string& archive_path, const AddOptions& options,
                AddResult* result);

// Marks patch `number` withdrawn (state 0 in verlist.bin and versions.bin,
// gone from curver.bin). Only the newest live patch can go: every later patch was
// built on top of it. The next patch must be diffed against the tree before
// it.
Status WithdrawPatch(Env* env, const std::string& release_dir, int32_t number);

// curver.bin bytes for a client installed at required version `number`.
Status ClientListAt(const ReleaseLists& lists, int32_t number,
                    std::string* client_list);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_RELEASE_BUILDER_H_
