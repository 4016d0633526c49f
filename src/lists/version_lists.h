// VersionLists: the three ordered version lists the update works from:
// the published versions (newver.bin), the published patches (verlist.bin)
// and the client's installed and pending patches (curver.bin, the only one
// written). The Decode/Encode functions are the file formats as pure
// functions; the members read and write files through an Env. Nothing
// sorts the lists; lookups take the first match by number.
//
// Thread-safety: a VersionLists belongs to one thread at a time.

#ifndef DIZEDIR_LISTS_VERSION_LISTS_H_
#define DIZEDIR_LISTS_VERSION_LISTS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lists/version_record.h"
#include "platform/env.h"

namespace dizedir {

// Decode list-file bytes into `records` (appended). A line that does not
// parse stops the decode with false; the records before it are kept and
// *failed_line (if given) is its 1-based number. A file of more than
// kMaxListLines lines fails at the first line past the limit.
bool DecodeRemoteVersions(std::string_view data,
                          std::vector<VersionRecord>* records,
                          size_t* failed_line = nullptr);
bool DecodePatches(std::string_view data, std::vector<PatchRecord>* records,
                   size_t* failed_line = nullptr);
bool DecodeLocalVersions(std::string_view data,
                         std::vector<LocalVersionRecord>* records,
                         size_t* failed_line = nullptr);

// The bytes of curver.bin for a list: from its last state-1 record on (or
// the whole list when none has state 1), every record whose state is not 0,
// each line ended by CR CR LF. The records before the installed base are
// history the client no longer needs.
std::string EncodeLocalVersions(
    const std::vector<LocalVersionRecord>& records);

class VersionLists {
 public:
  VersionLists() = default;
  VersionLists(const VersionLists&) = delete;
  VersionLists& operator=(const VersionLists&) = delete;
  virtual ~VersionLists() = default;

  // Each read leaves its list untouched when the file does not open (or is
  // too large to be a list); otherwise it replaces the list with the
  // records read, stopping with false at a line that does not parse.
  bool ReadRemoteVersions(Env* env, const std::string& path);
  bool ReadPatches(Env* env, const std::string& path);
  // Also digests each record's part files, found in part_dir, through
  // `cache` when given.
  bool ReadLocalVersions(Env* env, const std::string& path,
                         const std::string& part_dir,
                         PartDigestCache* cache = nullptr);

  // Replaces the file at `path` atomically (temporary, sync, rename): a
  // crash or a full disk leaves the old or the new list. False on any
  // write error.
  bool WriteLocalVersions(Env* env, const std::string& path) const;

  // Recomputes every part digest of localVersions from the files in
  // part_dir; a file `cache` holds digests for, as it is, is not read.
  void DigestLocalVersions(Env* env, const std::string& part_dir,
                           PartDigestCache* cache = nullptr);

  // Number of the last record of localVersions with state 1; 0 if none.
  int32_t LastInstalledNumber() const;

  std::vector<VersionRecord> remoteVersions;
  std::vector<PatchRecord> patches;
  std::vector<LocalVersionRecord> localVersions;
};

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_VERSION_LISTS_H_
