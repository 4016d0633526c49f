// Verification of a release directory before (or while) it is served: what
// a client would trip over, checked the way a client reads it. Every list
// line must parse, the published list and the patch list must agree on the
// release line and its versions, every part of every live patch must be
// there, non-empty, lower case and of its published digest, and every patch
// must join and unpack (into a temporary directory, through the client's own
// zip extraction), with its packs readable.
//
// Thread-safety: runs on the caller's thread; no state of its own.

#ifndef DIZEDIR_TOOLS_PUBLISH_RELEASE_VERIFIER_H_
#define DIZEDIR_TOOLS_PUBLISH_RELEASE_VERIFIER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/status.h"

namespace dizedir::publish {

struct VerifyReport {
  std::vector<std::string> problems;  // empty: the release is sound
  uint64_t parts_checked = 0;
  uint64_t patches_unpacked = 0;
  uint64_t items_unpacked = 0;
  bool ok() const { return problems.empty(); }
};

// Fills *report; the Status fails only when the check itself could not run
// (no temporary directory).
Status VerifyRelease(Env* env, const std::string& release_dir,
                     VerifyReport* report);

}  // namespace dizedir::publish

#endif  // DIZEDIR_TOOLS_PUBLISH_RELEASE_VERIFIER_H_
