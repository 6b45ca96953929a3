// Version 9's promise: what a commit writes follows what it changed, not how much the
// database holds; and snapshots share what they do not change.
#include <gtest/gtest.h>

#include "core/store.h"
#include "core/store_state.h"
#include "tests/core/support/fault_env.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

using testing::kDbPath;
using testing::kDims;
using testing::kPassphrase;
using testing::MemEnv;
using testing::sample_memory;

std::unique_ptr<Ormel> create(MemEnv& env, uint16_t version) {
  auto db = Ormel::open(kDbPath, kPassphrase, kDims, false, &env, version);
  EXPECT_TRUE(db) << db.error().message();
  return db ? std::move(*db) : nullptr;
}

// The pages one agent turn adds to a database of `memories`: a recall of 5 (which stamps
// their access counters), two memories remembered, a flush.
uint64_t pages_of_a_turn(uint16_t version, uint32_t memories) {
  MemEnv env;
  auto db = create(env, version);
  if (!db) return 0;
  std::vector<Memory> batch;
  for (uint32_t i = 0; i < memories; ++i) batch.push_back(sample_memory(i));
  EXPECT_TRUE(db->remember_many(std::move(batch)));
  EXPECT_TRUE(db->flush());
  const uint64_t before = db->state().header.page_count;
  RecallRequest req;
  req.query = sample_memory(memories / 2).vector;
  req.top_k = 5;
  EXPECT_TRUE(db->recall(req));
  EXPECT_TRUE(db->remember(sample_memory(memories)));
  EXPECT_TRUE(db->remember(sample_memory(memories + 1)));
  EXPECT_TRUE(db->flush());
  return db->state().header.page_count - before;
}

TEST(PagedFormat, ATurnWritesTheSameWhateverTheDatabaseHolds) {
  const uint64_t small = pages_of_a_turn(9, 300), large = pages_of_a_turn(9, 3000);
  // Two records, the catalog's head and the snapshot list's head.
  EXPECT_LE(large, 4u);
  EXPECT_EQ(small, large);
  // Version 8 rewrites its whole catalog: the same turn grows with the database.
  EXPECT_GT(pages_of_a_turn(8, 3000), pages_of_a_turn(8, 300));
}

TEST(PagedFormat, SnapshotsShareTheRowsTheyDoNotChange) {
  MemEnv env;
  auto db = create(env, 9);
  ASSERT_TRUE(db);
  std::vector<Memory> batch;
  for (uint32_t i = 0; i < 3000; ++i) batch.push_back(sample_memory(i));
  ASSERT_TRUE(db->remember_many(std::move(batch)));
  ASSERT_TRUE(db->flush());
  const uint64_t before = db->state().header.page_count;
  for (uint32_t turn = 0; turn < 50; ++turn) {
    ASSERT_TRUE(db->delete_memory(sample_memory(turn).id));
    ASSERT_TRUE(db->flush());
  }
  // Fifty snapshots, each a head page over the catalog they share.
  EXPECT_LE(db->state().header.page_count - before, 50u * 2 + 4);
  const auto first = db->snapshots().front().txn_id;
  ASSERT_TRUE(db->restore_to(first + 2));
  EXPECT_FALSE(db->get(sample_memory(1).id)) << "the snapshot after the second deletion";
  EXPECT_TRUE(db->get(sample_memory(2).id));
}

}  // namespace
}  // namespace ormel
