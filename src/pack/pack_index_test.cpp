#include "pack/pack_index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace dizedir {
namespace {

std::vector<uint32_t> Ids(const PackIndex& index) {
  std::vector<uint32_t> ids;
  index.ForEach([&](PackEntry* e) { ids.push_back(e->id); });
  return ids;
}

void Add(PackIndex* index, uint32_t id, uint32_t size = 0) {
  auto e = std::make_unique<PackEntry>();
  e->id = id;
  e->size = size;
  index->Insert(std::move(e));
}

std::vector<uint32_t> Range(uint32_t first, uint32_t last) {
  std::vector<uint32_t> v;
  for (uint32_t i = first; i <= last; ++i) v.push_back(i);
  return v;
}

std::vector<uint32_t> Concat(std::vector<uint32_t> a,
                             const std::vector<uint32_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Ids that share bucket 0 in the tables of 193, 389 and 769 buckets.
constexpr uint32_t kP = 193u * 389u * 769u;

TEST(PackIndexTest, EnumerationOrderAcrossGrowth) {
  struct Case {
    const char* name;
    std::vector<uint32_t> inserts;
    size_t buckets;
    std::vector<uint32_t> order;
  };
  const Case cases[] = {
      {"new entries go to the head of their chain", {0, 193, 386}, 193,
       {386, 193, 0}},
      {"id modulo 193, buckets ascending", {200, 5, 192}, 193, {5, 200, 192}},
      {"193 entries do not grow the table", Concat({193}, Range(1, 192)), 193,
       Concat({193}, Range(1, 192))},
      {"the 194th entry grows it to 389",
       Concat(Concat({193}, Range(1, 192)), {194}), 389, Range(1, 194)},
      // Relinking pushes each entry onto the head of its new chain, so
      // entries that stay together swap at every growth.
      {"one growth reverses a chain", Concat({0, kP}, Range(1, 192)), 389,
       Concat({0, kP}, Range(1, 192))},
      {"two growths restore it", Concat({0, kP, 2 * kP}, Range(1, 387)), 769,
       Concat({2 * kP, kP, 0}, Range(1, 387))},
      {"one growth, three together", Concat({0, kP, 2 * kP}, Range(1, 191)),
       389, Concat({0, kP, 2 * kP}, Range(1, 191))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PackIndex index;
    for (uint32_t id : c.inserts) Add(&index, id);
    EXPECT_EQ(index.bucket_count(), c.buckets);
    EXPECT_EQ(Ids(index), c.order);
    std::vector<uint32_t> by_position;
    for (size_t i = 0; index.At(i) != nullptr; ++i) {
      by_position.push_back(index.At(i)->id);
    }
    EXPECT_EQ(by_position, c.order);
    EXPECT_EQ(index.At(c.order.size()), nullptr);
  }
}

TEST(PackIndexTest, GrowthFollowsThePrimeList) {
  const struct {
    size_t entries;
    size_t buckets;
  } cases[] = {{0, 193},   {193, 193},   {194, 389},  {389, 389},
               {390, 769}, {770, 1543}, {3080, 6151}};
  for (const auto& c : cases) {
    PackIndex index;
    for (size_t i = 0; i < c.entries; ++i) Add(&index, static_cast<uint32_t>(i));
    EXPECT_EQ(index.bucket_count(), c.buckets) << c.entries << " entries";
    EXPECT_EQ(index.size(), c.entries);
  }
  EXPECT_EQ(PackIndex::NextBucketCount(98318), 196613u);
  EXPECT_EQ(PackIndex::NextBucketCount(4294967291ull), 4294967291ull);
}

TEST(PackIndexTest, ReplaceAndRemoveKeepTheOrderOfTheRest) {
  PackIndex index;
  for (uint32_t id : {0u, 193u, 386u, 5u}) Add(&index, id, 1);
  ASSERT_EQ(Ids(index), (std::vector<uint32_t>{386, 193, 0, 5}));

  // A second entry under an id takes the old one's place, and the table
  // does not count it twice.
  Add(&index, 193, 2);
  EXPECT_EQ(Ids(index), (std::vector<uint32_t>{386, 193, 0, 5}));
  EXPECT_EQ(index.size(), 4u);
  EXPECT_EQ(index.Find(193)->size, 2u);

  EXPECT_TRUE(index.Remove(193));
  EXPECT_FALSE(index.Remove(193));
  EXPECT_EQ(Ids(index), (std::vector<uint32_t>{386, 0, 5}));
  EXPECT_EQ(index.Find(193), nullptr);
  EXPECT_EQ(index.size(), 3u);
}

TEST(PackIndexTest, CursorFollowsChanges) {
  PackIndex index;
  for (uint32_t id : {1u, 2u, 3u, 4u}) Add(&index, id);
  EXPECT_EQ(index.At(1)->id, 2u);
  EXPECT_EQ(index.At(2)->id, 3u);
  // Backwards and after a change, positions still mean the current order.
  EXPECT_EQ(index.At(0)->id, 1u);
  EXPECT_EQ(index.At(2)->id, 3u);
  index.Remove(2);
  EXPECT_EQ(index.At(2)->id, 4u);
  Add(&index, 0);
  EXPECT_EQ(index.At(2)->id, 3u);
  EXPECT_EQ(index.At(0)->id, 0u);
  EXPECT_EQ(index.At(4), nullptr);
}

}  // namespace
}  // namespace dizedir
