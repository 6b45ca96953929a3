// The page cache: LRU eviction of clean pages, pinned dirty pages, capacity rules.
#include "core/cache.h"

#include <gtest/gtest.h>

namespace ormel {
namespace {

class PageCacheTest : public ::testing::Test {
 protected:
  // A payload that names its page and a version, so replacements show.
  static std::vector<uint8_t> payload(uint64_t page, uint8_t version = 0) {
    return {static_cast<uint8_t>(page), version};
  }
  void put(uint64_t page, bool dirty, uint8_t version = 0) { cache_.insert(page, payload(page, version), dirty); }
  std::optional<std::vector<uint8_t>> stored(uint64_t page) {
    auto bytes = cache_.lookup(page);
    if (!bytes) return std::nullopt;
    return std::vector<uint8_t>(bytes->begin(), bytes->end());
  }
  std::vector<uint64_t> cached(uint64_t up_to) const {
    std::vector<uint64_t> pages;
    for (uint64_t p = 0; p <= up_to; ++p) {
      if (cache_.contains(p)) pages.push_back(p);
    }
    return pages;
  }

  PageCache cache_{2};
};

TEST_F(PageCacheTest, CapacityOneKeepsOnlyTheLastRead) {
  cache_.set_capacity(1);
  for (uint64_t p : {1, 2, 3}) put(p, false);
  EXPECT_EQ(cached(5), (std::vector<uint64_t>{3}));
  EXPECT_EQ(cache_.size(), 1u);
  EXPECT_EQ(cache_.capacity(), 1u);
  EXPECT_EQ(cache_.clean_count(), 1u);
}

TEST_F(PageCacheTest, DirtyPagesStayUntilCommittedThenTheCacheShrinks) {
  for (uint64_t p : {1, 2, 3}) put(p, true);
  EXPECT_EQ(cache_.size(), 3u);
  EXPECT_EQ(cache_.clean_count(), 0u);
  EXPECT_EQ(cache_.dirty_pages(), (std::vector<uint64_t>{1, 2, 3}));
  cache_.mark_all_clean();
  EXPECT_EQ(cache_.size(), 2u);
  EXPECT_EQ(cached(5), (std::vector<uint64_t>{2, 3}));  // the least recently used went
  EXPECT_EQ(cache_.clean_count(), 2u);
  EXPECT_TRUE(cache_.dirty_pages().empty());
}

TEST_F(PageCacheTest, CapacityIsNeverBelowOne) {
  cache_.set_capacity(0);
  EXPECT_EQ(cache_.capacity(), 1u);
  EXPECT_EQ(PageCache(0).capacity(), 1u);
  EXPECT_EQ(PageCache().capacity(), 8192u);
}

TEST_F(PageCacheTest, LookupRefreshesRecencyAndEvictsTheLeastRecentlyUsed) {
  cache_.set_capacity(3);
  for (uint64_t p : {1, 2, 3}) put(p, false);
  ASSERT_TRUE(cache_.lookup(1));
  put(4, false);
  EXPECT_EQ(cached(5), (std::vector<uint64_t>{1, 3, 4}));
  EXPECT_FALSE(cache_.lookup(2));
  EXPECT_EQ(stored(3), payload(3));
}

TEST_F(PageCacheTest, EvictionWalksPastDirtyPagesAtTheColdEnd) {
  cache_.set_capacity(3);
  put(1, true);
  put(2, false);
  put(3, true);
  put(4, false);  // 1 is dirty, so 2 is the victim
  EXPECT_EQ(cached(5), (std::vector<uint64_t>{1, 3, 4}));
  cache_.set_capacity(1);  // only clean 4 can go; dirty 1 and 3 stay over capacity
  EXPECT_EQ(cached(5), (std::vector<uint64_t>{1, 3}));
  EXPECT_EQ(cache_.clean_count(), 0u);
  put(5, false);  // with every other page dirty, a new clean page is itself the victim
  EXPECT_EQ(cached(5), (std::vector<uint64_t>{1, 3}));
}

TEST_F(PageCacheTest, ReinsertReplacesPayloadAndFlagWithoutEvicting) {
  put(1, false);
  put(2, false);
  put(1, true, 7);  // clean -> dirty, and 1 becomes most recent
  EXPECT_EQ(cache_.clean_count(), 1u);
  EXPECT_EQ(stored(1), payload(1, 7));
  put(2, true, 8);
  EXPECT_EQ(cache_.clean_count(), 0u);
  put(2, false, 9);  // dirty -> clean
  EXPECT_EQ(cache_.clean_count(), 1u);
  EXPECT_EQ(cache_.dirty_pages(), (std::vector<uint64_t>{1}));
  put(3, false);  // 2 is the only clean page besides 3, and the older one
  EXPECT_EQ(cached(5), (std::vector<uint64_t>{1, 3}));
}

TEST_F(PageCacheTest, DirtyPagesAreListedInAscendingOrder) {
  cache_.set_capacity(10);
  for (uint64_t p : {9, 3, 7}) put(p, true);
  put(5, false);
  EXPECT_EQ(cache_.dirty_pages(), (std::vector<uint64_t>{3, 7, 9}));
  EXPECT_EQ(cache_.dirty_count(), 3u);
}

TEST_F(PageCacheTest, EvictedSlotsAreReused) {
  for (uint64_t p = 0; p < 1000; ++p) {
    put(p, false);
    if (p % 3 == 0) cache_.lookup(p);
  }
  EXPECT_EQ(cache_.size(), 2u);
  EXPECT_LE(cache_.slot_count(), 3u);  // capacity plus the one a new page takes before trimming
  EXPECT_EQ(cached(1000), (std::vector<uint64_t>{998, 999}));
  // Slots freed at a commit are reused before the array grows.
  cache_.set_capacity(1);
  for (uint64_t p = 2000; p < 2010; ++p) put(p, true);
  EXPECT_EQ(cache_.size(), 10u);
  EXPECT_EQ(cache_.slot_count(), 10u);  // the three old slots were taken first
  cache_.mark_all_clean();
  EXPECT_EQ(cache_.size(), 1u);
  for (uint64_t p = 3000; p < 3010; ++p) put(p, true);
  EXPECT_EQ(cache_.size(), 10u);
  EXPECT_EQ(cache_.slot_count(), 10u);
}

// Stored bytes are the payload's head: copy_payload pads them with zeros to the buffer's
// length, refuses a buffer they do not fit, and touches the page like lookup.
TEST_F(PageCacheTest, CopyPayloadPadsTheStoredBytesWithZeros) {
  cache_.set_capacity(2);
  put(1, false);
  put(2, false);
  std::vector<uint8_t> out(5, 0xEE);
  ASSERT_TRUE(cache_.copy_payload(1, out));
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 0, 0, 0, 0}));
  std::vector<uint8_t> exact(2, 0xEE);
  ASSERT_TRUE(cache_.copy_payload(1, exact));
  EXPECT_EQ(exact, payload(1));
  std::vector<uint8_t> too_short(1, 0xEE);
  EXPECT_FALSE(cache_.copy_payload(1, too_short));
  EXPECT_EQ(too_short, (std::vector<uint8_t>{0xEE}));
  EXPECT_FALSE(cache_.copy_payload(7, out));
  put(3, false);  // 1 was touched last, so 2 goes
  EXPECT_EQ(cached(5), (std::vector<uint64_t>{1, 3}));
}

// Pages stored from one shared block keep it alive until the last of them leaves, whether
// it is evicted or replaced by bytes of its own.
TEST_F(PageCacheTest, ASharedBlockLivesWhileAnyOfItsPagesIsCached) {
  auto block = std::make_shared<uint8_t[]>(4);
  for (uint8_t i = 0; i < 4; ++i) block[i] = static_cast<uint8_t>(10 + i);
  std::weak_ptr<const uint8_t[]> watch = block;
  cache_.set_capacity(2);
  cache_.reserve(3);
  for (uint64_t p = 0; p < 3; ++p) cache_.insert_shared(p, block, std::span<const uint8_t>(block.get() + p, 2), true);
  block.reset();
  EXPECT_EQ(stored(1), (std::vector<uint8_t>{11, 12}));
  EXPECT_EQ(cache_.dirty_pages(), (std::vector<uint64_t>{0, 1, 2}));
  cache_.mark_all_clean();  // 0 goes: 1 was touched by the lookup
  EXPECT_EQ(cached(5), (std::vector<uint64_t>{1, 2}));
  EXPECT_FALSE(watch.expired());
  put(2, true, 5);
  EXPECT_FALSE(watch.expired());
  put(3, false);  // evicts 1, the last page on the block
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(stored(2), payload(2, 5));
}

}  // namespace
}  // namespace ormel
