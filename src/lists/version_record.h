// The records of the three version lists: VersionRecord (one version of a
// release line, a line of newver.bin), PatchRecord (a published patch with
// its part files and their digests, a line of verlist.bin) and
// LocalVersionRecord (an installed or pending patch, a line of curver.bin).
// Parse and Format are the line formats of those files, exactly; Parse
// bounds every token and count by what the line holds, so hostile lines
// fail cleanly.
//
// Thread-safety: records are values; one object belongs to one thread.

#ifndef DIZEDIR_LISTS_VERSION_RECORD_H_
#define DIZEDIR_LISTS_VERSION_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lists/part_digest_cache.h"
#include "platform/env.h"

namespace dizedir {

// Digest text of a part whose file does not open.
inline constexpr std::string_view kWrongDigest = "wrong";

struct PartEntry {
  std::string name = "NULL";
  // MD5 hex of the part file, kWrongDigest, or empty when not yet known.
  std::string digest;
};

class VersionRecord {
 public:
  VersionRecord() = default;
  VersionRecord(const VersionRecord&) = default;
  VersionRecord& operator=(const VersionRecord&) = default;
  VersionRecord(VersionRecord&&) = default;
  VersionRecord& operator=(VersionRecord&&) = default;
  virtual ~VersionRecord() = default;

  // Reads the scrambled base part "date time guid number [state]"; anything
  // after the fifth field is ignored. Fewer than four fields: false and the
  // record is unchanged; four: state 1.
  virtual bool Parse(std::string_view line);
  // The scrambled base part; state 3 is stored as 2. No terminator.
  virtual std::string Format() const;

  std::string stamp;  // "YYYY-MM-DD hh:mm:ss"
  std::string guid;   // identity of the release line
  int32_t number = 1;
  // 0 withdrawn, 1 required/installed, 2 optional/pending, 3 queued in this
  // run (memory only).
  int32_t state = 1;
};

class PatchRecord : public VersionRecord {
 public:
  // Base part, then " count archive digest...". Part names are rebuilt from
  // the archive; the last digest runs to the end of the line.
  bool Parse(std::string_view line) override;
  std::string Format() const override;

  // Adds a part by its list name ("full.zip" or "upd_3"), taking the
  // archive from the first one. False when the name does not belong to the
  // record's archive.
  bool AddPart(std::string_view name);

  size_t PartCount() const { return parts.size(); }
  // Empty text for an index outside the list.
  std::string PartNameAt(size_t index) const;
  std::string PartDigestAt(size_t index) const;

  std::vector<PartEntry> parts;  // in download and join order
  std::string archive;           // ".zip" in it: one file, else split
};

class LocalVersionRecord : public PatchRecord {
 public:
  // Base part; for a state above 1, " partCount goodCount archive". The
  // parts are rebuilt from partCount and archive, digests left empty.
  bool Parse(std::string_view line) override;
  std::string Format() const override;

  int32_t partCount = 0;  // parts the patch was published with
};

// Sets `stamp` from the local clock.
void StampNow(Env* env, VersionRecord* record);
// Sets `guid` to a new GUID; left unchanged when none can be made.
void NewGuid(Env* env, VersionRecord* record);

// Digests the part's file, dir + name (with ".zxp" unless the name holds
// ".zip" or ".zxp"), streaming it, or takes the digest `cache` keeps for
// the file as it is (and keeps the new one there). Missing file or read
// error: digest "wrong", false. On success the name loses any leading
// directory.
bool DigestPart(Env* env, const std::string& dir, PartEntry* entry,
                PartDigestCache* cache = nullptr);
// DigestPart on every part; true when all succeeded. Never stops early.
bool DigestParts(Env* env, const std::string& dir, PatchRecord* record,
                 PartDigestCache* cache = nullptr);

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_VERSION_RECORD_H_
