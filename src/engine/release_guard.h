// ReleaseGuard: the client's side of signed releases. When the operator
// ships a public key in the client directory (dizedir.pub), every file an
// update fetches must be vouched for by a release manifest that the key (or
// a key it rotated to) signed, that has not expired, that is not older than
// one this client accepted before, and that belongs to the client's release
// line. Without dizedir.pub the guard is off and updates run as they always
// did, so unsigned servers and clients keep working.
//
// The guard reads the key once, when the run starts: a patch that replaces
// dizedir.pub changes the trust of the next run, not of the one installing
// it. What it learns (the sequence number, a rotated key) is written to
// dizedir.state only through Commit, once the whole manifest has been
// checked against the client.
//
// Thread-safety: one thread; the const members may be called from the
// apply thread while no other member runs.

#ifndef DIZEDIR_ENGINE_RELEASE_GUARD_H_
#define DIZEDIR_ENGINE_RELEASE_GUARD_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codec/content_hash.h"
#include "codec/minisign.h"
#include "lists/release_manifest.h"
#include "lists/release_state.h"
#include "platform/env.h"

namespace dizedir {

inline constexpr char kTrustedKeyName[] = "dizedir.pub";

// String IDs of the guard's refusals.
enum GuardStringId : uint32_t {
  kStringSignatureMissing = 325,
  kStringUntrustedKey = 326,
  kStringSignatureMismatch = 327,
  kStringManifestDamaged = 328,
  kStringManifestExpired = 329,
  kStringManifestRolledBack = 330,
  kStringManifestOtherLine = 331,
  kStringFileNotSigned = 332,
  kStringFileAltered = 333,
  kStringTrustedKeyDamaged = 334,
  kStringServerListUnsigned = 335,
  kStringStateNotSaved = 336,
};

// Why the guard refused: a text ID and a detail to append; none when OK.
struct Refusal {
  uint32_t text_id = 0;
  std::string detail;
  bool ok() const { return text_id == 0; }
};

class ReleaseGuard {
 public:
  // Reads dizedir.pub and dizedir.state of `client_dir` (with its trailing
  // separator). A missing key file turns the guard off; a damaged one is
  // refused.
  Refusal Load(Env* env, const std::string& client_dir);
  bool enabled() const { return !trusted_.empty(); }

  // Checks the fetched manifest and its signature: a trusted key's valid
  // signature, a well-formed text, not expired at `now` (Unix seconds), not
  // below the accepted sequence of its line. A missing signature file is
  // `signature_path` not existing.
  Refusal AcceptManifest(const std::string& manifest_path, const std::string& signature_path,
                         int64_t now);
  // The release line the client's own list names; the manifest must match.
  Refusal CheckLine(std::string_view line) const;

  // The size the manifest signs for `name` (a file of the release
  // directory); refused when the manifest does not name it.
  Refusal SignedSize(std::string_view name, uint64_t* size) const;
  // A fetched file against the manifest, read once.
  Refusal CheckFile(std::string_view name, const std::string& path) const;
  // The same for a file whose size and hash the caller computed.
  Refusal CheckHash(std::string_view name, uint64_t size, const ContentHash& hash) const;

  // A file fetched together with its signature (the manifest, the server
  // list): signed by a trusted key, unaltered.
  Refusal CheckSignedFile(const std::string& path, const std::string& signature_path,
                          std::string_view shown_name) const;

  // Keeps the accepted sequence and any rotated key in dizedir.state.
  Status Commit();

 private:
  Env* env_ = nullptr;
  std::string state_path_;
  std::vector<minisign::PublicKey> trusted_;
  ReleaseState state_;
  ReleaseManifest manifest_;
  bool accepted_ = false;
};

}  // namespace dizedir

#endif  // DIZEDIR_ENGINE_RELEASE_GUARD_H_
