// dizedir.state: what a client that checks signatures remembers between
// runs, kept beside curver.bin. It holds the release line it last accepted,
// the highest manifest sequence number accepted on that line (so a server
// cannot roll the client back to an older, validly signed release) and the
// public keys it learned through key rotation, trusted from then on next to
// the one in dizedir.pub.
//
// The text, lines ending in "\n":
//
//   dizedir release state 1
//   line {GUID}
//   sequence <decimal>
//   key <minisign public key, the base64 line>   (up to kMaxLearnedKeys)
//
// The file is replaced whole (WriteFileAtomically). A damaged or missing
// file reads as an empty state: the client then trusts only dizedir.pub and
// accepts any sequence, which the next accepted manifest raises again.
//
// Thread-safety: pure functions over their arguments.

#ifndef DIZEDIR_LISTS_RELEASE_STATE_H_
#define DIZEDIR_LISTS_RELEASE_STATE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"
#include "platform/status.h"

namespace dizedir {

inline constexpr char kReleaseStateName[] = "dizedir.state";
// Rotations a client remembers; the oldest learned key goes first.
inline constexpr size_t kMaxLearnedKeys = 8;
inline constexpr uint64_t kMaxReleaseStateBytes = 4096;

struct ReleaseState {
  std::string line;
  int64_t sequence = 0;
  std::vector<std::string> learned_keys;  // base64 lines, oldest first

  // Adds a key unless known, dropping the oldest beyond kMaxLearnedKeys.
  void Learn(const std::string& key);
};

Status ParseReleaseState(std::string_view text, ReleaseState* state);
std::string FormatReleaseState(const ReleaseState& state);

// Missing or damaged: an empty state, and OK.
ReleaseState LoadReleaseState(Env* env, const std::string& path);
Status SaveReleaseState(Env* env, const std::string& path, const ReleaseState& state);

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_RELEASE_STATE_H_
