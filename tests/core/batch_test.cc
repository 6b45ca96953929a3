// Batches: memory and cache writes grouped into one transaction. What a batch commits (once,
// at the end of its outermost level), what abandoning it gives back (the committed state,
// with the index, keyword index, semantic groups and page numbers in step), what it refuses,
// a commit that fails, and power loss at every call of its commit.
#include <gtest/gtest.h>

#include "core/store.h"
#include "core/store_state.h"
#include "tests/core/support/fault_env.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

using testing::CrashMode;
using testing::kDbPath;
using testing::kDims;
using testing::MemEnv;
using testing::must_open;
using testing::ObservedState;
using testing::sample_memory;

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::vector<float> axis(size_t i) {
  std::vector<float> v(kDims, 0.0f);
  v[i] = 1.0f;
  return v;
}

Status put(Ormel& db, const std::string& key, std::string_view value) {
  return db.cache_put("ns", key, bytes(value), "text", std::nullopt);
}

// Three transactions: memories 0 to 2 with the cache entry "kept", then "gone", then a
// semantic entry on axis 0.
constexpr uint64_t kSeedTxn = 3;
void seed(Ormel& db) {
  for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(db.remember(sample_memory(i)));
  ASSERT_TRUE(put(db, "kept", "old value"));
  ASSERT_TRUE(put(db, "gone", "x"));
  ASSERT_TRUE(db.cache_put_semantic("sem", "far", axis(0), bytes("axis 0"), "m", "text", std::nullopt));
}

// A block of every kind of write: memories added, replaced and deleted; cache entries
// replaced, added and deleted; a semantic entry on axis 1.
Memory replacement() {
  Memory m = sample_memory(20);
  m.id = sample_memory(0).id;
  m.content = "zebra crossing";
  return m;
}
Status mixed_writes(Ormel& db) {
  for (uint32_t i = 10; i < 14; ++i) ORMEL_TRY(db.remember(sample_memory(i)));
  ORMEL_TRY(db.remember(replacement()));
  ORMEL_TRY(db.delete_memory(sample_memory(1).id));
  ORMEL_TRY(put(db, "kept", "new value"));
  ORMEL_TRY(put(db, "fresh", "fresh value"));
  ORMEL_TRY(db.cache_delete("ns", "gone"));
  return db.cache_put_semantic("sem", "near", axis(1), bytes("axis 1"), "m", "text", std::nullopt);
}

class BatchTest : public testing::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    seed(*db);
  }
  ObservedState seen() {
    auto s = testing::observe(*db);
    EXPECT_TRUE(s) << s.error().message();
    return s ? *s : ObservedState{};
  }
  std::optional<std::string> cached(const std::string& key) {
    auto hit = db->cache_get("ns", key);
    EXPECT_TRUE(hit) << hit.error().message();
    if (!hit || !*hit) return std::nullopt;
    return std::string((*hit)->value.begin(), (*hit)->value.end());
  }
  std::optional<std::string> semantic(size_t i) {
    auto hit = db->cache_get_semantic("sem", axis(i), "m", 0.9f);
    EXPECT_TRUE(hit) << hit.error().message();
    if (!hit || !*hit) return std::nullopt;
    return std::string((*hit)->value.begin(), (*hit)->value.end());
  }
  std::vector<MemoryId> keyword(const std::string& text) {
    auto hits = db->search_text(KeywordQuery{.text = text, .top_k = 100});
    EXPECT_TRUE(hits) << hits.error().message();
    std::vector<MemoryId> ids;
    if (hits) {
      for (const KeywordHit& h : *hits) ids.push_back(h.memory.id);
    }
    return ids;
  }
  uint64_t txn() const { return db->state().header.txn_id; }
};

TEST_F(BatchTest, CommitsEveryWriteOnceWhenTheOutermostLevelEnds) {
  const uint64_t before = txn();
  const size_t snapshots = db->snapshots().size();
  ASSERT_TRUE(db->begin_batch());
  ASSERT_TRUE(mixed_writes(*db));
  ASSERT_TRUE(db->begin_batch());  // joins
  ASSERT_TRUE(put(*db, "inner", "v"));
  ASSERT_TRUE(db->flush());
  ASSERT_TRUE(db->end_batch());
  EXPECT_EQ(txn(), before) << "committed before the outermost level ended";
  EXPECT_TRUE(db->in_batch());

  // Reads see the block's own writes.
  EXPECT_EQ(db->get(sample_memory(0).id)->content, "zebra crossing");
  EXPECT_EQ(db->get(sample_memory(1).id).error().kind(), ErrorKind::NotFound);
  EXPECT_EQ(keyword("zebra"), std::vector<MemoryId>{sample_memory(0).id});
  EXPECT_EQ(cached("kept"), "new value");
  EXPECT_EQ(cached("gone"), std::nullopt);
  EXPECT_EQ(cached("inner"), "v");
  EXPECT_EQ(semantic(1), "axis 1");

  ASSERT_TRUE(db->end_batch());
  EXPECT_FALSE(db->in_batch());
  EXPECT_EQ(txn(), before + 1);
  EXPECT_EQ(db->snapshots().size(), snapshots + 1);
  const ObservedState committed = seen();
  reopen();
  EXPECT_EQ(seen(), committed);
  EXPECT_EQ(cached("fresh"), "fresh value");
  EXPECT_EQ(semantic(1), "axis 1");
}

// Everything derived from the catalog and the cache directory was built before the block
// and changed by it; abandoning must bring each back in step with the committed state.
TEST_F(BatchTest, AbandoningGivesBackTheCommittedStateAndItsDerivedStructures) {
  ASSERT_TRUE(db->build_index());
  ASSERT_TRUE(db->flush());
  ASSERT_EQ(keyword("memory").size(), 3u);
  ASSERT_EQ(semantic(0), "axis 0");
  ASSERT_TRUE(db->flush());  // the hit's access counters
  const ObservedState before = seen();
  const uint64_t committed_txn = txn();

  ASSERT_TRUE(db->begin_batch());
  ASSERT_TRUE(mixed_writes(*db));
  ASSERT_TRUE(db->build_index());
  ASSERT_EQ(keyword("zebra").size(), 1u);
  ASSERT_EQ(semantic(1), "axis 1");
  const uint64_t pages_used = db->state().header.page_count;
  ASSERT_TRUE(db->abandon_batch());

  EXPECT_FALSE(db->in_batch());
  EXPECT_EQ(seen(), before);
  EXPECT_EQ(txn(), committed_txn);
  EXPECT_FALSE(db->state().catalog_dirty || db->state().index_dirty || db->state().cache_dirty);
  EXPECT_EQ(db->state().pager->cache().dirty_count(), 0u);
  EXPECT_EQ(db->state().header.page_count, pages_used) << "page numbers of the block would be handed out again";
  EXPECT_EQ(keyword("zebra"), std::vector<MemoryId>{});
  EXPECT_EQ(keyword("memory").size(), 3u);
  EXPECT_EQ(semantic(1), std::nullopt);
  EXPECT_EQ(cached("kept"), "old value");
  EXPECT_EQ(cached("gone"), "x");
  ASSERT_TRUE(db->stats()->index);
  EXPECT_EQ(db->stats()->index->vectors, 3u);

  // Later writes commit alone, and a search scores their vectors, not the block's.
  ASSERT_TRUE(db->remember(sample_memory(30)));
  ASSERT_TRUE(db->cache_put_semantic("sem", "later", axis(2), bytes("axis 2"), "m", "text", std::nullopt));
  EXPECT_EQ(txn(), committed_txn + 1);
  auto found = db->search(sample_memory(30).vector, 1);
  ASSERT_TRUE(found) << found.error().message();
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ((*found)[0].memory.id, sample_memory(30).id);
  EXPECT_NEAR((*found)[0].similarity, 1.0f, 1e-6f);
  EXPECT_EQ(semantic(2), "axis 2");
  EXPECT_EQ(semantic(1), std::nullopt);
  reopen();
  EXPECT_EQ(db->get(sample_memory(0).id)->content, sample_memory(0).content);
  EXPECT_EQ(db->get(sample_memory(30).id)->content, sample_memory(30).content);
  EXPECT_EQ(semantic(2), "axis 2");
}

TEST_F(BatchTest, AnInnerLevelAbandonedFailsTheWholeBatch) {
  const ObservedState before = seen();
  ASSERT_TRUE(db->begin_batch());
  ASSERT_TRUE(put(*db, "outer", "v"));
  ASSERT_TRUE(db->begin_batch());
  ASSERT_TRUE(put(*db, "inner", "v"));
  ASSERT_TRUE(db->abandon_batch());
  EXPECT_TRUE(db->in_batch());
  ASSERT_TRUE(put(*db, "after the inner level", "v"));
  auto ended = db->end_batch();
  ASSERT_FALSE(ended);
  EXPECT_EQ(ended.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(ended.error().text(), kBatchFailed);
  EXPECT_FALSE(db->in_batch());
  EXPECT_EQ(seen(), before);

  // The next batch starts afresh.
  ASSERT_TRUE(db->begin_batch());
  ASSERT_TRUE(put(*db, "next", "v"));
  ASSERT_TRUE(db->end_batch());
  EXPECT_EQ(cached("next"), "v");
  EXPECT_EQ(cached("outer"), std::nullopt);
}

// The outermost level starts from the committed state: what was staged before is
// committed then, and survives the block's abandoning.
TEST_F(BatchTest, BeginningCommitsWhatWasStagedBefore) {
  ASSERT_TRUE(db->remember(sample_memory(5)));
  const uint64_t before = txn();
  ASSERT_TRUE(db->begin_batch());
  EXPECT_EQ(txn(), before + 1);
  ASSERT_TRUE(db->remember(sample_memory(6)));
  ASSERT_TRUE(db->abandon_batch());
  EXPECT_TRUE(db->get(sample_memory(5).id));
  EXPECT_EQ(db->get(sample_memory(6).id).error().kind(), ErrorKind::NotFound);
  reopen();
  EXPECT_TRUE(db->get(sample_memory(5).id));
}

// What commits a transaction of its own is refused inside a batch, and the batch goes on.
TEST_F(BatchTest, RefusesWhatCommitsOnItsOwn) {
  const uint64_t first = db->snapshots().front().txn_id;
  struct Case {
    const char* name;
    std::function<Status(Ormel&)> call;
  } cases[] = {
      {"restore_to", [&](Ormel& d) { return testing::status_of(d.restore_to(first)); }},
      {"restore_to_time", [](Ormel& d) { return testing::status_of(d.restore_to_time(now_secs() + 60)); }},
      {"compact", [](Ormel& d) { return testing::status_of(d.compact()); }},
      {"change_passphrase", [](Ormel& d) { return d.change_passphrase("another passphrase"); }},
  };
  const uint64_t before = txn();
  ASSERT_TRUE(db->begin_batch());
  ASSERT_TRUE(put(*db, "staged", "v"));
  for (const Case& c : cases) {
    auto refused = c.call(*db);
    ASSERT_FALSE(refused) << c.name;
    EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(refused.error().text(),
              std::string(c.name) + " cannot run inside a batch (it commits a transaction of its own)");
  }
  EXPECT_EQ(txn(), before);
  EXPECT_EQ(cached("staged"), "v");
  ASSERT_TRUE(db->end_batch());
  EXPECT_EQ(txn(), before + 1);

  for (auto leave : {&Ormel::end_batch, &Ormel::abandon_batch}) {
    auto unopened = (db.get()->*leave)();
    ASSERT_FALSE(unopened);
    EXPECT_EQ(unopened.error().text(), kNoBatch);
  }
  reopen(std::nullopt, true);
  auto read_only = db->begin_batch();
  ASSERT_FALSE(read_only);
  EXPECT_EQ(read_only.error().kind(), ErrorKind::ReadOnly);
  EXPECT_FALSE(db->in_batch());
}

// A commit that fails at its end leaves the batch over and every write staged for a retry.
TEST_F(BatchTest, AFailedCommitKeepsEverythingStaged) {
  ASSERT_TRUE(db->begin_batch());
  ASSERT_TRUE(mixed_writes(*db));
  const ObservedState staged = seen();
  env.fail_at(env.calls() + 1, testing::FailMode::Once);
  auto ended = db->end_batch();
  ASSERT_FALSE(ended);
  EXPECT_EQ(ended.error().message(), "io error: injected fault");
  EXPECT_FALSE(db->in_batch());
  EXPECT_EQ(seen(), staged);
  ASSERT_TRUE(db->flush());
  reopen();
  EXPECT_EQ(seen().memories, staged.memories);
  EXPECT_EQ(cached("kept"), "new value");
  EXPECT_EQ(cached("fresh"), "fresh value");
  EXPECT_EQ(cached("gone"), std::nullopt);
}

// The power goes out at every write and sync of a batch's commit, in every crash mode: the
// reopened file holds the state before the block or all of it, and the latter once the
// log commit's sync returned.
TEST(BatchCrash, TheCommitIsAtomic) {
  MemEnv seeded;
  {
    auto db = must_open(seeded);
    ASSERT_TRUE(db);
    seed(*db);
  }
  const std::vector<uint8_t> base = seeded.read_file(kDbPath);
  const testing::Step stage = [](Ormel& db) -> Status {
    ORMEL_TRY(db.begin_batch());
    return mixed_writes(db);
  };
  const testing::Step commit = [](Ormel& db) { return db.end_batch(); };
  const testing::Trace trace = testing::trace_run(base, stage, commit, kSeedTxn);
  ASSERT_EQ(trace.after.txn_id, kSeedTxn + 1);
  ObservedState before;
  {
    auto db = must_open(seeded);
    ASSERT_TRUE(db);
    before = testing::observe(*db, kSeedTxn).value();
  }
  ASSERT_NE(before, trace.after);

  for (uint64_t n = 1; n <= trace.calls.size(); ++n) {
    for (CrashMode mode : {CrashMode::Keep, CrashMode::Drop, CrashMode::Torn}) {
      SCOPED_TRACE("crash at call " + std::to_string(n) + ", " + testing::crash_mode_name(mode));
      MemEnv env;
      testing::crash_run(env, base, stage, commit, n, mode);
      auto db = must_open(env);
      ASSERT_TRUE(db);
      auto recovered = testing::observe(*db, kSeedTxn);
      ASSERT_TRUE(recovered) << recovered.error().message();
      const bool committed = *recovered == trace.after;
      EXPECT_TRUE(committed || *recovered == before) << "a mix: " << testing::summary(*recovered);
      if (n < trace.commit.write) EXPECT_FALSE(committed) << "committed before the log commit was written";
      if (n > trace.commit.sync) EXPECT_TRUE(committed) << "lost a commit whose sync had returned";
    }
  }
}

}  // namespace
}  // namespace ormel
