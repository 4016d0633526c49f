// Maps a path in the form stored in the game's files (backslashes, any case)
// to the name of the entry that exists on this filesystem.
//
// A name missing from a directory costs a listing of that directory, and a
// delete list can name thousands of missing packs in one directory of
// thousands; so the mapper keeps the listings it made, keyed by each name's
// case-folded form, and later misses there cost a stat and a hash lookup.
//
// A kept listing is used only while the directory's device, inode, mtime and
// ctime are those recorded with it: a change made by anyone else (the
// player, another program) changes them, and the directory is listed again.
// A listing made in the same clock tick as the directory's last change could
// miss a change later in that tick without the times showing it, so it is
// listed again until the tick has passed. The changes the Env makes itself
// are applied to the listing instead (PathMapper::Change), so the run's own
// writes never cost a listing. What this cannot see: another program
// changing a directory within the same clock tick as one of the Env's own
// changes to it.
//
// Memory stays bounded: at most kMaxDirectories listings and about
// kMaxBytes over all of them, the least recently used dropped first. A
// directory whose names take more than that is listed for every miss, as
// without the cache.
//
// Thread-safety: safe from any thread; one mutex guards the listings and is
// never held across a listing.

#ifndef DIZEDIR_PLATFORM_POSIX_PATH_MAPPING_H_
#define DIZEDIR_PLATFORM_POSIX_PATH_MAPPING_H_

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace dizedir {

class PathMapper {
 public:
  static constexpr size_t kMaxDirectories = 256;
  static constexpr size_t kMaxBytes = size_t{16} << 20;

  explicit PathMapper(size_t max_directories = kMaxDirectories,
                      size_t max_bytes = kMaxBytes);
  PathMapper(const PathMapper&) = delete;
  PathMapper& operator=(const PathMapper&) = delete;

  // Backslashes become slashes. A component that does not exist with its
  // exact name but matches entries of its directory case-insensitively is
  // replaced by the smallest such name (so the answer does not depend on
  // directory order); a component that matches nothing stays as given, and
  // so does everything after it.
  std::string Map(const std::string& path);

  // Brackets one change the Env makes to the entry at `native` (a result of
  // Map): created, removed, or renamed to or from there. Construct it before
  // the change and destroy it after, whether the change succeeded or not; a
  // rename needs one for each end. The kept listing of the entry's
  // directory, if any, then reflects the change without a new listing.
  class Change {
   public:
    Change(PathMapper* mapper, const std::string& native);
    ~Change();
    Change(const Change&) = delete;
    Change& operator=(const Change&) = delete;

   private:
    PathMapper* const mapper_;
    std::string directory_;  // the key of the directory's listing
    std::string name_;
    uint64_t listing_id_ = 0;  // the listing found current; 0: none
  };

  // The number of listings made so far; tests use it to tell a kept
  // listing from a new one.
  uint64_t listings_made() const;

 private:
  // When a directory was listed or last changed by the Env, as stat gives
  // it: the directory is the same and unchanged while these are.
  struct Stamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t mtime_sec = 0, mtime_nsec = 0;
    int64_t ctime_sec = 0, ctime_nsec = 0;
    bool operator==(const Stamp&) const = default;
  };

  struct Listing {
    uint64_t id = 0;
    Stamp stamp;
    // False for a listing made in the tick of the directory's last change:
    // used once more only after listing again.
    bool trusted = false;
    // The stamp was recorded right after a change of the Env's own.
    bool stamp_is_own = false;
    // Case-folded name -> entry name, empty when equal to the folded name
    // (most names are lower case already).
    std::unordered_multimap<std::string, std::string> names;
    size_t bytes = 0;  // what `names` takes, roughly
    std::list<std::string>::iterator recency;
  };

  // The entry of the directory `key` (a prefix of a mapped path: empty or
  // ending in a slash) matching `name` case-insensitively. `dir_stat`, when
  // not null, is the directory's stat taken just before.
  bool FindIgnoringCase(const std::string& key, const struct stat* dir_stat,
                        std::string_view name, std::string* found);
  // Lists `key` into `listing`, noting the match for `folded` on the way;
  // false when the directory cannot be read. *complete is false when the
  // directory's names take more than may be kept.
  bool List(const std::string& key, const std::string& folded,
            Listing* listing, std::string* found, bool* any, bool* complete);
  static Stamp StampOf(const struct stat& st);
  // Adds or removes one name of a listing, keeping the byte counts.
  void AddName(Listing* listing, std::string folded, std::string_view name);
  void RemoveName(Listing* listing,
                  std::unordered_multimap<std::string, std::string>::iterator it);
  void Keep(const std::string& key, Listing listing);  // mu_ held
  void Forget(const std::string& key);                 // mu_ held
  void Trim();  // drops the least recently used over the limits; mu_ held
  uint64_t BeginChange(const std::string& key);
  void EndChange(const std::string& key, const std::string& name,
                 uint64_t listing_id);

  const size_t max_directories_;
  const size_t max_bytes_;
  mutable std::mutex mu_;
  std::unordered_map<std::string, Listing> listings_;  // guarded by mu_
  std::list<std::string> recency_;  // most recently used first; mu_
  size_t bytes_kept_ = 0;           // guarded by mu_
  uint64_t next_id_ = 1;            // guarded by mu_
  uint64_t listings_made_ = 0;      // guarded by mu_
  // Changes the Env ended, in any directory: a listing read while one ended
  // may have missed it.
  uint64_t changes_ended_ = 0;  // guarded by mu_
};

}  // namespace dizedir

#endif  // DIZEDIR_PLATFORM_POSIX_PATH_MAPPING_H_
