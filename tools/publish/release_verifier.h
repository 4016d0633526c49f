// Verification of a release directory before (or while) it is served: what
// a client would trip over, checked the way a client reads it. Every list
// line must parse, the published list and the patch list must agree on the
// release line and its versions, every part of every live patch must be
// there, non-empty, lower case and of its published digest, and every patch
// must join and unpack (into a temporary directory, through the client's own
// zip extraction), with its packs readable. Every tree manifest
// (tree_publisher.h) must be of a version a client can be at, parse, name
// the release line and its version, and every object it names must be in
// the store with the object size it gives, decoding to its content; each
// distinct object is read once, and memory grows with their number, not
// their sizes. A release.manifest, when there
// is one, must parse and list exactly the files clients fetch, with their
// sizes and content hashes; given the operator's public key, the manifest
// must also be there, signed by that key and not expired.
//
// Thread-safety: runs on the caller's thread; no state of its own.

#ifndef DIZEDIR_TOOLS_PUBLISH_RELEASE_VERIFIER_H_
#define DIZEDIR_TOOLS_PUBLISH_RELEASE_VERIFIER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "codec/minisign.h"
#include "platform/env.h"
#include "platform/status.h"

namespace dizedir::publish {

struct VerifyReport {
  std::vector<std::string> problems;  // empty: the release is sound
  uint64_t parts_checked = 0;
  uint64_t patches_unpacked = 0;
  uint64_t items_unpacked = 0;
  uint64_t tree_manifests = 0;
  uint64_t objects_checked = 0;  // distinct store objects
  // The manifest as read, when it parsed.
  bool manifest_read = false;
  bool signature_good = false;
  int64_t manifest_sequence = 0;
  int64_t manifest_expires = 0;
  uint64_t manifest_files = 0;
  bool ok() const { return problems.empty(); }
};

struct VerifyOptions {
  const minisign::PublicKey* public_key = nullptr;  // the key clients trust
  int64_t now = 0;  // Unix seconds, for the expiry
};

// Fills *report; the Status fails only when the check itself could not run
// (no temporary directory).
Status VerifyRelease(Env* env, const std::string& release_dir,
                     const VerifyOptions& options, VerifyReport* report);
// Without a key: a manifest is checked only when there is one.
Status VerifyRelease(Env* env, const std::string& release_dir,
                     VerifyReport* report);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_RELEASE_VERIFIER_H_
