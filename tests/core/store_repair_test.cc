// Verification and repair of a database with damaged pages, and the refusal of non-finite
// vectors at the store's entry points.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/store.h"
#include "core/store_state.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

using testing::kDbPath;
using testing::kDims;
using testing::StoreTest;

class RepairTest : public StoreTest {
 protected:
  // Remembers `n` memories of agent "a" (Semantic, even positions Shared) and flushes. Where
  // records are packed, each is flushed on its own, so that each lies on a page of its own
  // and damage to one page damages one memory.
  std::vector<MemoryId> seed(uint32_t n) {
    std::vector<MemoryId> ids;
    for (uint32_t i = 0; i < n; ++i) {
      Memory m = Memory::make("memory " + std::to_string(i), MemoryType::Semantic, {1, float(i), 0, 0});
      m.agent_id = "a";
      if (i % 2 == 0) m.scope = Scope::Shared;
      auto id = db->remember(std::move(m));
      EXPECT_TRUE(id) << id.error().message();
      ids.push_back(*id);
      if (packs_records(testing::created_format().value_or(FORMAT_VERSION))) EXPECT_TRUE(db->flush());
    }
    EXPECT_TRUE(db->flush());
    return ids;
  }

  // The first page of the memory's record.
  uint64_t start_page(MemoryId id) {
    const auto& s = db->state();
    return record_place(s.header.format_version, s.catalog[s.id_index.at(id)]).page;
  }

  // Flips one byte inside `page` on disk and reopens, so nothing of it is cached.
  void damage_pages(std::initializer_list<uint64_t> pages) {
    db.reset();
    std::vector<uint8_t> bytes = env.read_file(kDbPath);
    for (uint64_t page : pages) bytes[page * PAGE_SIZE + 100] ^= 0x55;
    env.write_file(kDbPath, std::move(bytes));
    reopen();
  }
};

TEST_F(RepairTest, VerifyAllListsEveryDamagedMemoryAndDeletingThemRepairs) {
  const auto ids = seed(4);
  damage_pages({start_page(ids[1]), start_page(ids[3])});

  ASSERT_FALSE(db->verify());  // the default stops at the first
  const VerifyReport report = db->verify_all().value();
  EXPECT_EQ(report.checked, 4u);
  ASSERT_EQ(report.memories.size(), 2u);
  EXPECT_EQ(report.memories[0].id, ids[1]);
  EXPECT_EQ(report.memories[0].error, OrmelError::page_auth_failed(start_page(ids[1])));
  EXPECT_EQ(report.memories[1].id, ids[3]);
  EXPECT_TRUE(report.structures.empty());
  ASSERT_FALSE(db->stats());

  for (const auto& damaged : report.memories) ASSERT_TRUE(db->delete_memory(damaged.id));
  ASSERT_TRUE(db->flush());
  reopen();
  auto checked = db->verify();
  ASSERT_TRUE(checked) << checked.error().message();
  EXPECT_EQ(*checked, 2u);
  EXPECT_TRUE(db->stats());
  RecallRequest req;
  req.query = {1, 0, 0, 0};
  auto hits = db->recall(req);
  ASSERT_TRUE(hits) << hits.error().message();
  EXPECT_EQ(hits->size(), 2u);
}

TEST_F(RepairTest, VerifyAllReportsDamagedCacheEntries) {
  seed(1);
  ASSERT_TRUE(db->cache_put("ns", "key", {1, 2, 3}, "text", std::nullopt));
  const uint64_t page = db->state().cache_directory.at(0).start_page;
  damage_pages({page});
  const VerifyReport report = db->verify_all().value();
  EXPECT_TRUE(report.memories.empty());
  ASSERT_EQ(report.structures.size(), 1u);
  EXPECT_TRUE(report.structures[0].what.starts_with("cache entry in namespace 'ns' (key hash "))
      << report.structures[0].what;
  EXPECT_EQ(report.structures[0].error, OrmelError::page_auth_failed(page));
}

TEST_F(RepairTest, VerifyAllReportsOlderSnapshotsThatCanNoLongerBeRestored) {
  seed(1);
  seed(1);
  const Snapshot older = db->state().snapshot_manifest.at(0);
  damage_pages({older.catalog_start});
  const VerifyReport report = db->verify_all().value();
  EXPECT_TRUE(report.memories.empty());
  ASSERT_EQ(report.structures.size(), 1u);
  EXPECT_EQ(report.structures[0].what, "snapshot of transaction " + std::to_string(older.txn_id) + " (catalog)");
  EXPECT_EQ(report.structures[0].error, OrmelError::page_auth_failed(older.catalog_start));
  EXPECT_FALSE(db->restore_to(older.txn_id));
}

TEST_F(RepairTest, ListingNamesDamagedMemoriesOnlyWithoutFilters) {
  const auto ids = seed(3);
  damage_pages({start_page(ids[2])});

  const auto all = db->list_memories(std::nullopt, std::nullopt);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].id, ids[0]);
  ASSERT_TRUE(all[0].kind);
  EXPECT_EQ(all[0].kind->agent_id, "a");
  EXPECT_EQ(all[0].kind->memory_type, MemoryType::Semantic);
  EXPECT_EQ(all[0].kind->scope, Scope::Shared);
  EXPECT_EQ(all[1].kind->scope, Scope::Private);
  EXPECT_EQ(all[2].id, ids[2]);
  EXPECT_FALSE(all[2].kind);

  struct Case {
    std::optional<std::string> agent;
    std::optional<MemoryType> type;
    size_t expected;
  };
  for (const Case& c : {Case{"a", std::nullopt, 2}, Case{"b", std::nullopt, 0},
                        Case{std::nullopt, MemoryType::Semantic, 2}, Case{"a", MemoryType::Working, 0}}) {
    EXPECT_EQ(db->list_memories(c.agent, c.type).size(), c.expected);
  }
  ASSERT_TRUE(db->delete_memory(ids[0]));
  EXPECT_EQ(db->list_memories(std::nullopt, std::nullopt).size(), 2u);
}

// A record whose row names more pages than its length needs: the extra page is read (and
// so authenticated) too. The next page is the middle of a longer record staged after it,
// then deleted (a page no other record shares, whether records are packed or not).
TEST_F(RepairTest, VerifyAuthenticatesPagesBeyondARunsLength) {
  const MemoryId first = db->remember(Memory::make("first", MemoryType::Semantic, {1, 0, 0, 0})).value();
  const MemoryId longer =
      db->remember(Memory::make(std::string(3 * PAGE_PAYLOAD, 'x'), MemoryType::Semantic, {0, 1, 0, 0})).value();
  ASSERT_TRUE(db->flush());
  const uint64_t beyond = start_page(first) + 1;
  ASSERT_GE(beyond, start_page(longer));
  ASSERT_TRUE(db->delete_memory(longer));
  ASSERT_TRUE(db->flush());
  damage_pages({beyond});
  db->state().catalog[db->state().id_index.at(first)].page_count = 2;
  auto checked = db->verify();
  ASSERT_FALSE(checked);
  EXPECT_EQ(checked.error(), OrmelError::page_auth_failed(beyond));
}

// Verification checks the file, not the pages the handle cached: a page overwritten or the
// file cut short under an open handle is reported, while staged pages, which the file does
// not hold yet, are checked as staged. The handle's cache is left as it was.
TEST_F(RepairTest, VerifyReadsTheFileUnderAnOpenHandle) {
  const auto ids = seed(3);
  ASSERT_TRUE(db->remember(Memory::make("staged", MemoryType::Semantic, {1, 0, 0, 0})));
  ASSERT_TRUE(db->stats());  // every record page cached
  const std::vector<uint8_t> intact = env.read_file(kDbPath);
  const uint64_t last = start_page(ids[2]);
  std::vector<uint8_t> overwritten = intact;
  overwritten[last * PAGE_SIZE + 100] ^= 0x55;
  std::vector<uint8_t> truncated = intact;
  truncated.resize(last * PAGE_SIZE + 100);
  struct Case {
    const char* what;
    const std::vector<uint8_t>& bytes;
    OrmelError error;
  };
  const PageCache& cache = db->state().pager->cache();
  for (const Case& c : {Case{"overwritten", overwritten, OrmelError::page_auth_failed(last)},
                        Case{"truncated", truncated, OrmelError::io("failed to fill whole buffer")}}) {
    SCOPED_TRACE(c.what);
    const uint64_t cached = cache.size();
    env.write_file(kDbPath, c.bytes);
    auto checked = db->verify();
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error(), c.error);
    const VerifyReport report = db->verify_all().value();
    ASSERT_EQ(report.memories.size(), 1u);
    EXPECT_EQ(report.memories[0].id, ids[2]);
    EXPECT_EQ(report.memories[0].error, c.error);
    EXPECT_EQ(cache.size(), cached);
    EXPECT_TRUE(db->get(ids[2]));  // the handle still serves the page it cached

    env.write_file(kDbPath, intact);
    checked = db->verify();
    ASSERT_TRUE(checked) << checked.error().message();
    EXPECT_EQ(*checked, 4u);
  }
}

TEST_F(RepairTest, DefaultManifestReadsTheDimensionsThroughTheStatistics) {
  const auto ids = seed(1);
  damage_pages({start_page(ids[0])});
  auto manifest = db->insert_default_manifest();
  ASSERT_FALSE(manifest);
  EXPECT_EQ(manifest.error(), OrmelError::page_auth_failed(start_page(ids[0])));
  EXPECT_EQ(db->live_count(), 1u);  // nothing staged
}

TEST_F(StoreTest, NonFiniteVectorsAreRefusedAtEveryEntryPoint) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  for (float bad : {nan, inf, -inf}) {
    const std::vector<float> v = {1, bad, 0, 0};
    const std::string at = " has a non-finite component at index 1";
    auto remembered = db->remember(Memory::make("x", MemoryType::Semantic, v));
    ASSERT_FALSE(remembered);
    EXPECT_EQ(remembered.error(), OrmelError::invalid_argument("vector" + at));
    RecallRequest req;
    req.query = v;
    req.track_access = false;
    auto recalled = db->recall(req);
    ASSERT_FALSE(recalled);
    EXPECT_EQ(recalled.error(), OrmelError::invalid_argument("query" + at));
    auto searched = db->search(v, 5);
    ASSERT_FALSE(searched);
    EXPECT_EQ(searched.error(), OrmelError::invalid_argument("query" + at));
    auto put = db->cache_put_semantic("ns", "k", v, {1}, "m", "text", std::nullopt);
    ASSERT_FALSE(put);
    EXPECT_EQ(put.error(), OrmelError::invalid_argument("vector" + at));
    auto got = db->cache_get_semantic("ns", v, "m", 0.5f);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error(), OrmelError::invalid_argument("query" + at));
  }
  auto got = db->cache_get_semantic("ns", std::vector<float>(kDims, 1.0f), "m", nan);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), OrmelError::invalid_argument("semantic threshold is NaN"));
  EXPECT_EQ(db->live_count(), 0u);
  EXPECT_EQ(db->cache_stats(std::nullopt).entries, 0u);
}

}  // namespace
}  // namespace ormel
