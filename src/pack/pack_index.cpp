#include "pack/pack_index.h"

#include <algorithm>
#include <array>

namespace dizedir {
namespace {

constexpr std::array<uint64_t, 28> kBucketPrimes = {
    53ull,        97ull,        193ull,       389ull,       769ull,
    1543ull,      3079ull,      6151ull,      12289ull,     24593ull,
    49157ull,     98317ull,     196613ull,    393241ull,    786433ull,
    1572869ull,   3145739ull,   6291469ull,   12582917ull,  25165843ull,
    50331653ull,  100663319ull, 201326611ull, 402653189ull, 805306457ull,
    1610612741ull, 3221225473ull, 4294967291ull};

}  // namespace

size_t PackIndex::NextBucketCount(size_t n) {
  const auto it =
      std::lower_bound(kBucketPrimes.begin(), kBucketPrimes.end(), n);
  return static_cast<size_t>(it == kBucketPrimes.end() ? kBucketPrimes.back()
                                                       : *it);
}

PackIndex::PackIndex() : buckets_(kInitialBuckets, nullptr) {}

PackIndex::~PackIndex() {
  for (PackEntry* head : buckets_) {
    while (head != nullptr) {
      PackEntry* next = head->next;
      delete head;
      head = next;
    }
  }
}

PackEntry* PackIndex::Find(uint32_t id) const {
  for (PackEntry* e = buckets_[id % buckets_.size()]; e != nullptr;
       e = e->next) {
    if (e->id == id) return e;
  }
  return nullptr;
}

void PackIndex::Rehash(size_t wanted_count) {
  const size_t old_count = buckets_.size();
  if (wanted_count <= old_count) return;
  const size_t new_count = NextBucketCount(wanted_count);
  if (new_count <= old_count) return;
  std::vector<PackEntry*> fresh(new_count, nullptr);
  // Bucket by bucket, each chain from its head, each entry pushed onto the
  // head of its new chain: this reverses runs of entries that stay together,
  // and the file order depends on exactly that.
  for (size_t b = 0; b < old_count; ++b) {
    PackEntry* e = buckets_[b];
    while (e != nullptr) {
      buckets_[b] = e->next;
      const size_t nb = e->id % new_count;
      e->next = fresh[nb];
      fresh[nb] = e;
      e = buckets_[b];
    }
  }
  buckets_.swap(fresh);
}

void PackIndex::Insert(std::unique_ptr<PackEntry> entry) {
  ForgetCursor();
  PackEntry** link = &buckets_[entry->id % buckets_.size()];
  for (; *link != nullptr; link = &(*link)->next) {
    if ((*link)->id == entry->id) {
      PackEntry* old = *link;
      entry->next = old->next;
      *link = entry.release();
      delete old;
      return;
    }
  }
  // Growing may fail to allocate; the entry is still owned here until then.
  Rehash(count_ + 1);
  PackEntry* fresh = entry.release();
  const size_t b = fresh->id % buckets_.size();
  fresh->next = buckets_[b];
  buckets_[b] = fresh;
  ++count_;
}

bool PackIndex::Remove(uint32_t id) {
  for (PackEntry** link = &buckets_[id % buckets_.size()]; *link != nullptr;
       link = &(*link)->next) {
    if ((*link)->id == id) {
      ForgetCursor();
      PackEntry* old = *link;
      *link = old->next;
      delete old;
      --count_;
      return true;
    }
  }
  return false;
}

PackEntry* PackIndex::At(size_t position) {
  if (position >= count_) return nullptr;
  if (cursor_entry_ == nullptr || position < cursor_position_) {
    cursor_bucket_ = 0;
    while (buckets_[cursor_bucket_] == nullptr) ++cursor_bucket_;
    cursor_entry_ = buckets_[cursor_bucket_];
    cursor_position_ = 0;
  }
  while (cursor_position_ < position) {
    cursor_entry_ = cursor_entry_->next;
    while (cursor_entry_ == nullptr) {
      cursor_entry_ = buckets_[++cursor_bucket_];
    }
    ++cursor_position_;
  }
  return cursor_entry_;
}

}  // namespace dizedir
