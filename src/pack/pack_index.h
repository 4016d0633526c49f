// The in-memory table of a pack archive: its entries and the hash index
// whose iteration order decides where each row and block lands in the file.
//
// The order is part of the file format's contract (two writers given the same
// operations must produce the same bytes), so the index reproduces one
// particular chained hash table exactly: bucket = id modulo the bucket count,
// 193 buckets at the start, growth through a fixed list of primes, relinking
// bucket by bucket to the head of each new chain, new entries at the head of
// their chain.
//
// Thread-safety: none; an index belongs to one archive and one thread.

#ifndef DIZEDIR_PACK_PACK_INDEX_H_
#define DIZEDIR_PACK_PACK_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace dizedir {

inline constexpr uint32_t kPackNoOffset = 0xFFFFFFFFu;
inline constexpr size_t kPackDigestSize = 33;  // 32 hex digits and a NUL

class ReadableFile;

// One table row. An entry whose block lies in a file (the pack it was loaded
// from, or the pack it was copied from) records which and where;
// PackEntryData holds its block itself.
struct PackEntry {
  PackEntry() = default;
  PackEntry(const PackEntry&) = delete;
  PackEntry& operator=(const PackEntry&) = delete;
  virtual ~PackEntry() = default;

  uint32_t id = 0;
  uint32_t offset = kPackNoOffset;  // in the file last loaded or saved
  uint32_t size = 0;                // contents
  uint32_t stored_size = 0;         // block
  uint32_t in_memory = 0;           // 1 for PackEntryData
  uint32_t compressed = 1;
  char digest[kPackDigestSize] = {};
  // Where the block can be read while it is not in memory: its offset in
  // `origin`, a file the archive keeps open (the pack it was opened from,
  // whose old contents a save does not move, or a pack an entry was copied
  // from). Offsets in a pack are 32-bit, so this is too, which keeps the
  // entry small: a table may hold hundreds of thousands.
  uint32_t source_offset = 0;

  PackEntry* next = nullptr;  // chain link, owned by the index
  ReadableFile* origin = nullptr;
};

struct PackEntryData : PackEntry {
  PackEntryData() { in_memory = 1; }
  std::unique_ptr<char[]> data;  // stored_size bytes
};

class PackIndex {
 public:
  static constexpr size_t kInitialBuckets = 193;

  PackIndex();
  PackIndex(const PackIndex&) = delete;
  PackIndex& operator=(const PackIndex&) = delete;
  ~PackIndex();

  size_t size() const { return count_; }
  size_t bucket_count() const { return buckets_.size(); }

  PackEntry* Find(uint32_t id) const;
  // Takes ownership. An entry with the same id is destroyed and the new one
  // takes its place in its chain; otherwise the new one goes to the head of
  // its chain, after the table has grown if it has to.
  void Insert(std::unique_ptr<PackEntry> entry);
  // False when absent.
  bool Remove(uint32_t id);

  // The entry at an enumeration position, or null past the end. Consecutive
  // positions cost O(1): the last position found is remembered until the
  // index changes.
  PackEntry* At(size_t position);

  // Calls fn(PackEntry*) for every entry in enumeration order. fn must not
  // change the index.
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (PackEntry* head : buckets_) {
      for (PackEntry* e = head; e != nullptr; e = e->next) fn(e);
    }
  }

  // The smallest prime of the growth list that is at least n (the largest
  // when none is).
  static size_t NextBucketCount(size_t n);

 private:
  void Rehash(size_t wanted_count);
  void ForgetCursor() { cursor_entry_ = nullptr; }

  std::vector<PackEntry*> buckets_;
  size_t count_ = 0;

  PackEntry* cursor_entry_ = nullptr;
  size_t cursor_position_ = 0;
  size_t cursor_bucket_ = 0;
};

}  // namespace dizedir

#endif  // DIZEDIR_PACK_PACK_INDEX_H_
