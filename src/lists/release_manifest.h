// release.manifest: what an operator vouches for in one release directory.
// It names the release line (the GUID every list record carries), a
// sequence number that only grows from one signing to the next, the time
// after which clients refuse it, optionally the public key the operator
// will sign with next, and for every file a client fetches from the
// directory its size and content hash (codec/content_hash.h). The manifest
// is signed as a whole, in the minisign format, by release.manifest.minisig;
// this module only reads and writes its text. The publisher writes the
// manifest after every file it names and the signature after the manifest
// (tools/publish/release_signing.h says why), so a client fetches the
// manifest first and checks each later file against it.
//
// The text, lines ending in "\n", in this order:
//
//   dizedir release manifest 1
//   line {GUID as the lists spell it}
//   sequence <decimal, 1 .. 2^63-1>
//   expires <YYYY-MM-DDTHH:MM:SSZ, UTC>
//   next-key <minisign public key, the base64 line>      (optional)
//   file <size, decimal> <64 lowercase hex digits> <name>  (any number)
//
// The GUID is the token the list records carry, compared byte for byte:
// 1 .. 259 printable ASCII characters without spaces. Numbers are written
// as std::to_string writes them (no sign, no leading zero); sizes run from
// 0 to 2^63-1. A name is a bare file name of the release directory (no
// separator, at most 512 bytes, passing the name rule of
// platform/confined_path.h unchanged), as the directory spells it; names
// compare case-insensitively (platform/case_fold.h), no name appears twice,
// and neither the manifest nor its signature is listed. A manifest comes
// from a hostile server until its signature has been checked, and even then
// its text is parsed as untrusted: Parse refuses anything that is not
// exactly this layout, with a Status naming the line ("release.manifest:
// line N: why"). What parses formats back to the same bytes.
//
// Thread-safety: pure functions.

#ifndef DIZEDIR_LISTS_RELEASE_MANIFEST_H_
#define DIZEDIR_LISTS_RELEASE_MANIFEST_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/content_hash.h"
#include "platform/status.h"

namespace dizedir {

inline constexpr char kReleaseManifestName[] = "release.manifest";
inline constexpr char kReleaseManifestSignatureName[] = "release.manifest.minisig";
// Room for tens of thousands of parts; a client reads no more.
inline constexpr uint64_t kMaxReleaseManifestBytes = uint64_t{4} << 20;

struct ManifestFile {
  std::string name;
  uint64_t size = 0;
  ContentHash hash{};
};

struct ReleaseManifest {
  std::string line;        // the release line's GUID
  int64_t sequence = 0;
  int64_t expires = 0;     // Unix seconds, UTC
  std::string next_key;    // empty, or a minisign public key's base64 line
  std::vector<ManifestFile> files;

  // The entry for `name`, compared case-insensitively; null when none.
  const ManifestFile* Find(std::string_view name) const;
};

Status ParseReleaseManifest(std::string_view text, ReleaseManifest* manifest);
std::string FormatReleaseManifest(const ReleaseManifest& manifest);

// The rule for the release line's GUID above; the other stored formats of a
// release directory that name their line use it too.
bool IsReleaseLineName(std::string_view name);

// "YYYY-MM-DDTHH:MM:SSZ" and back; Parse refuses any other spelling and
// dates outside 1970 .. 9999.
std::string FormatUtcTime(int64_t unix_seconds);
bool ParseUtcTime(std::string_view text, int64_t* unix_seconds);

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_RELEASE_MANIFEST_H_
