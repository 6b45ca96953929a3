// History: one snapshot per committed transaction, restore by id or time, retention.
#include <gtest/gtest.h>

#include "core/store.h"
#include "core/store_state.h"
#include "tests/core/support/fault_env.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

class SnapshotTest : public testing::StoreTest {
 protected:
  MemoryId add(const std::string& content) {
    auto id = db->remember(Memory::make(content, MemoryType::Semantic, {1, 0, 0, 0}));
    EXPECT_TRUE(id) << id.error().message();
    return *id;
  }

  void flush() {
    auto f = db->flush();
    ASSERT_TRUE(f) << f.error().message();
  }

  std::vector<uint64_t> txn_ids() const {
    std::vector<uint64_t> out;
    for (const auto& s : db->snapshots()) out.push_back(s.txn_id);
    return out;
  }

  std::vector<std::string> contents() {
    std::vector<std::string> out;
    auto memories = db->memories();
    EXPECT_TRUE(memories) << memories.error().message();
    for (const auto& m : *memories) out.push_back(m.content);
    return out;
  }
};

TEST_F(SnapshotTest, EveryCommittedTransactionLeavesOne) {
  EXPECT_TRUE(db->snapshots().empty());
  const uint64_t before = db->state().header.txn_id;
  add("one");
  flush();
  ASSERT_EQ(txn_ids(), (std::vector<uint64_t>{before + 1}));
  EXPECT_EQ(db->snapshots()[0].memory_count, 1u);
  flush();  // nothing staged: no transaction
  EXPECT_EQ(txn_ids().size(), 1u);
  ASSERT_TRUE(db->cache_put("ns", "k", {1}, "text", std::nullopt));  // the cache alone is a transaction
  EXPECT_EQ(txn_ids(), (std::vector<uint64_t>{before + 1, before + 2}));
  const Snapshot& last = db->state().snapshot_manifest.back();
  const Snapshot& first = db->state().snapshot_manifest.front();
  EXPECT_EQ(last.catalog_start, first.catalog_start);
  reopen();
  EXPECT_EQ(txn_ids(), (std::vector<uint64_t>{before + 1, before + 2}));
}

TEST_F(SnapshotTest, RestoreIsANewTransactionThatCanBeUndone) {
  const MemoryId kept = add("kept");
  flush();
  const uint64_t early = db->state().header.txn_id;
  ASSERT_TRUE(db->cache_put("ns", "key", {7}, "text", std::nullopt));
  const MemoryId later = add("later");
  ASSERT_TRUE(db->build_index());
  flush();
  const uint64_t late = db->state().header.txn_id;

  auto restored = db->restore_to(early);
  ASSERT_TRUE(restored) << restored.error().message();
  EXPECT_EQ(restored->txn_id, early);
  EXPECT_EQ(restored->memory_count, 1u);
  EXPECT_EQ(db->state().header.txn_id, late + 1);
  EXPECT_EQ(contents(), (std::vector<std::string>{"kept"}));
  EXPECT_EQ(db->get(later).error().kind(), ErrorKind::NotFound);
  EXPECT_TRUE(db->get(kept));
  RecallRequest req;
  req.query = {1, 0, 0, 0};
  req.track_access = false;
  EXPECT_EQ(db->recall(req)->size(), 1u);
  EXPECT_EQ((*db->search(req.query, 10)).size(), 1u);
  // Restoring to before the index existed leaves none, and the new snapshot says so.
  EXPECT_FALSE(db->has_index());
  EXPECT_EQ(db->state().snapshot_manifest.back().index_pages, 0u);
  // The result cache is not part of history.
  ASSERT_TRUE(*db->cache_get("ns", "key"));
  // Later snapshots stay listed, so the restore can be undone.
  EXPECT_EQ(txn_ids().back(), late + 1);
  ASSERT_TRUE(db->restore_to(late));
  EXPECT_EQ(contents(), (std::vector<std::string>{"kept", "later"}));
  EXPECT_TRUE(db->has_index());
  reopen();
  EXPECT_EQ(contents(), (std::vector<std::string>{"kept", "later"}));
}

TEST_F(SnapshotTest, RestoreOfTheNewestStillCommits) {
  add("a");
  flush();
  const uint64_t txn = db->state().header.txn_id;
  ASSERT_TRUE(db->restore_to(txn));
  EXPECT_EQ(db->state().header.txn_id, txn + 1);
  EXPECT_EQ(db->snapshots().back().memory_count, 1u);
  EXPECT_EQ(contents(), (std::vector<std::string>{"a"}));
}

TEST_F(SnapshotTest, RestoreToTimePicksTheGreatestTransactionAtOrBefore) {
  for (const char* c : {"t1", "t2", "t3"}) {
    add(c);
    flush();
  }
  // Pretend the wall clock read 100, 300, then went back to 200.
  auto& manifest = db->state().snapshot_manifest;
  manifest[0].created_at = 100;
  manifest[1].created_at = 300;
  manifest[2].created_at = 200;
  const uint64_t t1 = manifest[0].txn_id, t3 = manifest[2].txn_id;

  EXPECT_EQ(db->restore_to_time(99).error().message(), "memory 'no snapshot at or before time 99' not found");
  auto at_200 = db->restore_to_time(200);  // t1 and t3 qualify: the greatest txn wins
  ASSERT_TRUE(at_200);
  EXPECT_EQ(at_200->txn_id, t3);
  auto at_100 = db->restore_to_time(100);  // exactly a snapshot's time
  ASSERT_TRUE(at_100);
  EXPECT_EQ(at_100->txn_id, t1);
  EXPECT_EQ(contents(), (std::vector<std::string>{"t1"}));
  EXPECT_EQ(db->restore_to(12345).error().message(), "memory 'snapshot for transaction 12345' not found");
}

TEST_F(SnapshotTest, RetentionCountsTheNewSnapshot) {
  add("first");
  flush();
  const uint64_t oldest = db->state().header.txn_id;
  for (int i = 0; i < 255; ++i) ASSERT_TRUE(db->cache_put("ns", "k", {uint8_t(i)}, "text", std::nullopt));
  EXPECT_EQ(db->snapshots().size(), 256u);
  EXPECT_EQ(db->snapshots().front().txn_id, oldest);
  ASSERT_TRUE(db->cache_put("ns", "k", {1}, "text", std::nullopt));  // the 257th transaction
  EXPECT_EQ(db->snapshots().size(), 256u);
  EXPECT_EQ(db->restore_to(oldest).error().kind(), ErrorKind::NotFound);

  db->set_max_snapshots(2);
  EXPECT_EQ(db->snapshots().size(), 256u);  // nothing is pruned until the next flush
  ASSERT_TRUE(db->cache_put("ns", "k", {2}, "text", std::nullopt));
  EXPECT_EQ(db->snapshots().size(), 2u);
  db->set_max_snapshots(0);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(db->cache_put("ns", "k", {3}, "text", std::nullopt));
  EXPECT_EQ(db->snapshots().size(), 5u);
  db->set_max_snapshots(1);
  ASSERT_TRUE(db->cache_put("ns", "k", {4}, "text", std::nullopt));
  EXPECT_EQ(txn_ids(), (std::vector<uint64_t>{db->state().header.txn_id}));
}

TEST_F(SnapshotTest, ReadOnlyHandlesListButCannotRestore) {
  add("a");
  flush();
  const uint64_t txn = db->state().header.txn_id;
  reopen(std::nullopt, /*read_only=*/true);
  EXPECT_EQ(txn_ids(), (std::vector<uint64_t>{txn}));
  EXPECT_EQ(db->restore_to(999).error().kind(), ErrorKind::ReadOnly);
  EXPECT_EQ(db->restore_to_time(0).error().kind(), ErrorKind::ReadOnly);
}

}  // namespace
}  // namespace ormel
