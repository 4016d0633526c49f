#include "platform/posix/path_mapping.h"

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "platform/case_fold.h"

namespace dizedir {

namespace {

// lstat, not stat: a dangling symbolic link is still an entry with that
// name, and the caller may mean the link itself.
bool EntryExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The directory a listing key names: the key is a prefix of a mapped path,
// empty for the working directory.
const char* DirectoryName(const std::string& key) {
  return key.empty() ? "." : key.c_str();
}

// Splits a native path into the key of its directory's listing (what Map
// has in hand when it looks the last component up) and the last component.
void SplitLast(const std::string& native, std::string* key,
               std::string* name) {
  std::string_view path(native);
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) {
    key->clear();
    name->assign(path);
  } else {
    key->assign(path.substr(0, slash + 1));
    name->assign(path.substr(slash + 1));
  }
}

// What one kept name costs: its two strings and the hash node around them.
size_t NameBytes(const std::string& folded, const std::string& original) {
  return folded.size() + original.size() + 96;
}

// Whether b is at least `nanos` later than a.
bool LaterBy(const struct timespec& a, const struct timespec& b,
             int64_t nanos) {
  const int64_t seconds = static_cast<int64_t>(b.tv_sec) - a.tv_sec;
  if (seconds > 3) return true;
  if (seconds < -3) return false;
  return seconds * 1000000000 + (b.tv_nsec - a.tv_nsec) >= nanos;
}

// The granularity of a filesystem's timestamps, guessed from one of them:
// whole seconds come from filesystems that count in two (FAT), and trailing
// decimal zeros of the nanoseconds hint at coarser units. A wrong guess on
// the large side only costs one more listing.
int64_t TimestampGranularity(const struct timespec& t) {
  if (t.tv_nsec == 0) return 2000000000;
  int64_t unit = 1;
  while (t.tv_nsec % (unit * 10) == 0) unit *= 10;
  return unit;
}

}  // namespace

PathMapper::Stamp PathMapper::StampOf(const struct stat& st) {
  Stamp stamp;
  stamp.device = static_cast<uint64_t>(st.st_dev);
  stamp.inode = static_cast<uint64_t>(st.st_ino);
  stamp.mtime_sec = st.st_mtim.tv_sec;
  stamp.mtime_nsec = st.st_mtim.tv_nsec;
  stamp.ctime_sec = st.st_ctim.tv_sec;
  stamp.ctime_nsec = st.st_ctim.tv_nsec;
  return stamp;
}

PathMapper::PathMapper(size_t max_directories, size_t max_bytes)
    : max_directories_(max_directories), max_bytes_(max_bytes) {}

uint64_t PathMapper::listings_made() const {
  std::lock_guard<std::mutex> lock(mu_);
  return listings_made_;
}

std::string PathMapper::Map(const std::string& path) {
  std::string mapped = path;
  std::replace(mapped.begin(), mapped.end(), '\\', '/');
  if (mapped.empty() || EntryExists(mapped)) return mapped;

  // Most misses are in the last component or two (a file a patch names in
  // other case, a pack a delete list names that is not there), so look for
  // the longest existing directory from the end before listing anything.
  // stat, not lstat: the listing follows a link, and its stat checks the
  // kept listing of that directory without another call.
  size_t known = 0;
  struct stat known_stat;
  bool have_known_stat = false;
  for (size_t slash = mapped.find_last_of('/'); slash != std::string::npos;
       slash = slash == 0 ? std::string::npos
                          : mapped.find_last_of('/', slash - 1)) {
    if (slash == 0) break;  // the root always exists
    if (mapped[slash - 1] == '/') continue;
    if (::stat(mapped.substr(0, slash).c_str(), &known_stat) == 0) {
      known = slash;
      have_known_stat = true;
      break;
    }
  }

  std::string out = mapped.substr(0, known);
  const struct stat* dir_stat = have_known_stat ? &known_stat : nullptr;
  bool substituted = false;
  size_t pos = known;
  while (pos < mapped.size()) {
    if (mapped[pos] == '/') {
      out.push_back('/');
      ++pos;
      continue;
    }
    size_t next = mapped.find('/', pos);
    if (next == std::string::npos) next = mapped.size();
    const std::string_view component(mapped.data() + pos, next - pos);
    // Until something was substituted, `out` is a prefix of `mapped`, whose
    // whole was found missing above.
    const bool known_missing = next == mapped.size() && !substituted;
    if (component == "." || component == ".." ||
        (!known_missing && EntryExists(out + std::string(component)))) {
      out.append(component);
    } else {
      std::string match;
      if (!FindIgnoringCase(out, dir_stat, component, &match)) {
        // Nothing below a missing entry can exist either.
        out.append(mapped, pos, std::string::npos);
        return out;
      }
      substituted = substituted || match != component;
      out += match;
    }
    dir_stat = nullptr;
    pos = next;
  }
  return out;
}

bool PathMapper::FindIgnoringCase(const std::string& key,
                                  const struct stat* dir_stat,
                                  std::string_view name, std::string* found) {
  struct stat own_stat;
  if (dir_stat == nullptr) {
    if (::stat(DirectoryName(key), &own_stat) != 0) return false;
    dir_stat = &own_stat;
  }
  if (!S_ISDIR(dir_stat->st_mode)) return false;
  const Stamp now = StampOf(*dir_stat);
  const std::string folded = CaseFoldKeyUtf8(name);

  bool previous_is_own = false;
  Stamp previous;
  uint64_t changes_before = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    changes_before = changes_ended_;
    const auto it = listings_.find(key);
    if (it != listings_.end()) {
      Listing& kept = it->second;
      if (kept.trusted && kept.stamp == now) {
        recency_.splice(recency_.begin(), recency_, kept.recency);
        bool any = false;
        const auto [first, last] = kept.names.equal_range(folded);
        for (auto match = first; match != last; ++match) {
          const std::string& entry =
              match->second.empty() ? match->first : match->second;
          if (!any || entry < *found) *found = entry;
          any = true;
        }
        return any;
      }
      previous_is_own = kept.stamp_is_own;
      previous = kept.stamp;
    }
  }

  Listing listing;
  bool any = false;
  bool complete = false;
  const bool listed = List(key, folded, &listing, found, &any, &complete);
  std::lock_guard<std::mutex> lock(mu_);
  ++listings_made_;
  if (!listed || !complete) {
    Forget(key);
    return any;
  }
  if (changes_ended_ != changes_before) {
    // A change of the Env's own ended while the directory was read: it was
    // applied to the listing kept then, which this one replaces, and the
    // read may have passed its name already. Within one clock tick the
    // stamp cannot tell, so this listing answers nothing until it is made
    // again.
    listing.trusted = false;
  } else if (previous_is_own && previous == listing.stamp) {
    // Unchanged since the Env's own last change: whatever a same-tick
    // change could hide is a change in the tick of that write, which the
    // kept listing would not have seen either.
    listing.trusted = true;
  }
  Keep(key, std::move(listing));
  return any;
}

bool PathMapper::List(const std::string& key, const std::string& folded,
                      Listing* listing, std::string* found, bool* any,
                      bool* complete) {
  // A change after this moment is stamped at this tick or later; the
  // coarse clock is the one filesystems stamp with.
  struct timespec start;
  ::clock_gettime(CLOCK_REALTIME_COARSE, &start);
  DIR* stream = ::opendir(DirectoryName(key));
  if (stream == nullptr) return false;
  // The stamp of what is actually being read, even if the path was just
  // pointed elsewhere.
  struct stat st;
  if (::fstat(::dirfd(stream), &st) != 0) {
    ::closedir(stream);
    return false;
  }
  listing->stamp = StampOf(st);
  listing->trusted = LaterBy(st.st_ctim, start,
                             TimestampGranularity(st.st_ctim));
  *complete = true;
  while (const struct dirent* entry = ::readdir(stream)) {
    const std::string_view child(entry->d_name);
    if (child == "." || child == "..") continue;
    std::string child_folded = CaseFoldKeyUtf8(child);
    if (child_folded == folded && (!*any || child < *found)) {
      found->assign(child);
      *any = true;
    }
    if (!*complete) continue;
    AddName(listing, std::move(child_folded), child);
    if (listing->bytes > max_bytes_) {
      // Too large to keep: finish the scan for this one name only.
      *complete = false;
      listing->names.clear();
      listing->bytes = 0;
    }
  }
  ::closedir(stream);
  return true;
}

void PathMapper::AddName(Listing* listing, std::string folded,
                         std::string_view name) {
  std::string original = name == folded ? std::string() : std::string(name);
  listing->bytes += NameBytes(folded, original);
  listing->names.emplace(std::move(folded), std::move(original));
}

void PathMapper::RemoveName(
    Listing* listing,
    std::unordered_multimap<std::string, std::string>::iterator it) {
  listing->bytes -= NameBytes(it->first, it->second);
  listing->names.erase(it);
}

void PathMapper::Keep(const std::string& key, Listing listing) {
  Forget(key);
  listing.id = next_id_++;
  bytes_kept_ += listing.bytes;
  recency_.push_front(key);
  listing.recency = recency_.begin();
  listings_.emplace(key, std::move(listing));
  Trim();
}

void PathMapper::Trim() {
  while (listings_.size() > max_directories_ || bytes_kept_ > max_bytes_) {
    Forget(recency_.back());
  }
}

void PathMapper::Forget(const std::string& key) {
  const auto it = listings_.find(key);
  if (it == listings_.end()) return;
  bytes_kept_ -= it->second.bytes;
  recency_.erase(it->second.recency);
  listings_.erase(it);
}

uint64_t PathMapper::BeginChange(const std::string& key) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (listings_.find(key) == listings_.end()) return 0;
  }
  // Applying the change to a listing that already missed someone else's
  // change would make the miss permanent, so the listing must still be
  // current now.
  struct stat st;
  const bool exists = ::stat(DirectoryName(key), &st) == 0;
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = listings_.find(key);
  if (it == listings_.end()) return 0;
  Listing& kept = it->second;
  if (!exists || !(kept.stamp == StampOf(st))) {
    Forget(key);
    return 0;
  }
  return kept.id;
}

void PathMapper::EndChange(const std::string& key, const std::string& name,
                           uint64_t listing_id) {
  std::lock_guard<std::mutex> lock(mu_);
  ++changes_ended_;
  const auto it = listings_.find(key);
  if (it == listings_.end()) return;
  Listing& kept = it->second;
  // Whatever listing is kept now gets the change, even one made after
  // BeginChange found none: it may have been read before the change, and
  // another change's EndChange may already have stamped it as current. The
  // entry's state, not the change's outcome, decides, so a failed change or
  // another thread's change to the same name comes out right as well; the
  // lock makes the last of two such updates the one that looked last.
  const bool present = EntryExists(key + name);
  std::string folded = CaseFoldKeyUtf8(name);
  const auto [first, last] = kept.names.equal_range(folded);
  auto same = first;
  for (; same != last; ++same) {
    if ((same->second.empty() ? same->first : same->second) == name) break;
  }
  const size_t bytes_before = kept.bytes;
  if (present && same == last) {
    AddName(&kept, std::move(folded), name);
  } else if (!present && same != last) {
    RemoveName(&kept, same);
  }
  bytes_kept_ = bytes_kept_ - bytes_before + kept.bytes;
  // Only the listing found current before the change may be stamped
  // current after it; any other keeps its own stamp and is checked by it.
  if (kept.id == listing_id) {
    struct stat st;
    if (::stat(DirectoryName(key), &st) != 0) {
      Forget(key);
      return;
    }
    kept.stamp = StampOf(st);
    kept.stamp_is_own = true;
  }
  Trim();
}

PathMapper::Change::Change(PathMapper* mapper, const std::string& native)
    : mapper_(mapper) {
  SplitLast(native, &directory_, &name_);
  if (name_.empty() || name_ == "." || name_ == ".." || name_ == "/") {
    name_.clear();
    return;
  }
  listing_id_ = mapper_->BeginChange(directory_);
}

PathMapper::Change::~Change() {
  if (!name_.empty()) mapper_->EndChange(directory_, name_, listing_id_);
}

}  // namespace dizedir
