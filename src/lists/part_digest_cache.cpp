#include "lists/part_digest_cache.h"

#include <utility>

namespace dizedir {

bool PartDigestCache::Find(Env* env, const std::string& path, FileInfo* now,
                           Digests* found) const {
  if (!env->GetFileInfo(path, now).ok()) {
    *now = FileInfo();
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = entries_.find(path);
  if (it == entries_.end() || !(it->second.state == *now)) return false;
  *found = it->second.digests;
  return true;
}

void PartDigestCache::Remember(const std::string& path, const FileInfo& state,
                               Digests digests) {
  std::lock_guard<std::mutex> lock(mu_);
  Entry& entry = entries_[path];
  if (!digests.content_hash && entry.state == state &&
      entry.digests.md5_hex == digests.md5_hex) {
    digests.content_hash = entry.digests.content_hash;
  }
  entry.state = state;
  entry.digests = std::move(digests);
}

void PartDigestCache::Forget(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.erase(path);
}

void PartDigestCache::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.clear();
}

}  // namespace dizedir
