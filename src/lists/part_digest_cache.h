// PartDigestCache: the digests of the part files an update has already read,
// so each part is hashed once per run however often the client's version
// list is rewritten or the parts are verified. A digest is used only while
// the file's size and modification time are those it was taken with; the
// update also forgets a part it deletes or fetches again, so a new file
// that happens to match both is never taken for the old one.
//
// Memory: one entry per part file the run looks at, which the version lists
// bound.
//
// Thread-safety: safe from any thread; one mutex guards the entries.

#ifndef DIZEDIR_LISTS_PART_DIGEST_CACHE_H_
#define DIZEDIR_LISTS_PART_DIGEST_CACHE_H_

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/env.h"

namespace dizedir {

class PartDigestCache {
 public:
  struct Digests {
    std::string md5_hex;
    // The release manifest's hash of the same bytes, when it was taken.
    std::optional<std::array<uint8_t, 32>> content_hash;
  };

  PartDigestCache() = default;
  PartDigestCache(const PartDigestCache&) = delete;
  PartDigestCache& operator=(const PartDigestCache&) = delete;

  // The file's state now, in *now, and whether digests taken of it in that
  // state are kept (then in *found). False with a zero *now when the file
  // cannot be asked about.
  bool Find(Env* env, const std::string& path, FileInfo* now, Digests* found) const;
  // Keeps `digests` for the file as it was in `state` (taken before it was
  // read, so a change during the read shows on the next Find). A content
  // hash kept earlier for the same state survives a Remember without one.
  void Remember(const std::string& path, const FileInfo& state, Digests digests);
  void Forget(const std::string& path);
  void Clear();

 private:
  struct Entry {
    FileInfo state;
    Digests digests;
  };
  mutable std::mutex mu_;
  std::map<std::string, Entry> entries_;  // guarded by mu_
};

}  // namespace dizedir

#endif  // DIZEDIR_LISTS_PART_DIGEST_CACHE_H_
