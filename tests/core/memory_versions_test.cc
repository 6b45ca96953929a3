// Changing memories: a replacement under an existing id, update of chosen fields, batches
// staged all or nothing, and the versions of one memory across the retained snapshots.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>

#include "core/store.h"
#include "core/store_state.h"
#include "tests/core/support/fault_env.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

using testing::sample_memory;

class MemoryVersionsTest : public testing::StoreTest {
 protected:
  void add(uint32_t i) { ASSERT_TRUE(db->remember(sample_memory(i))); }

  void flush() {
    auto f = db->flush();
    ASSERT_TRUE(f) << f.error().message();
  }

  Memory must_get(MemoryId id) {
    auto m = db->get(id);
    EXPECT_TRUE(m) << m.error().message();
    return m ? *m : Memory{};
  }

  std::vector<MemoryId> catalog_ids() const {
    std::vector<MemoryId> out;
    for (const CatalogEntry& row : db->state().catalog) out.push_back(row.id);
    return out;
  }

  std::vector<MemoryVersion> must_history(MemoryId id) {
    auto h = db->history(id);
    EXPECT_TRUE(h) << h.error().message();
    return h ? *h : std::vector<MemoryVersion>{};
  }
};

TEST_F(MemoryVersionsTest, ReplacementKeepsThePositionAndCountersAndTheOldVersionInTheSnapshot) {
  for (uint32_t i = 0; i < 3; ++i) add(i);
  ASSERT_TRUE(db->build_index());
  flush();
  const uint64_t first_txn = db->state().header.txn_id;
  const MemoryId id = sample_memory(1).id;
  const Memory before = must_get(id);

  Memory replacement = sample_memory(7);
  replacement.id = id;
  replacement.access_count = 99;  // a new record's counters do not override the row's
  ASSERT_TRUE(db->remember(replacement));
  EXPECT_EQ(catalog_ids(), (std::vector<MemoryId>{sample_memory(0).id, id, sample_memory(2).id}));
  flush();
  reopen();

  const Memory now = must_get(id);
  EXPECT_EQ(now.content, replacement.content);
  EXPECT_EQ(now.vector, replacement.vector);
  EXPECT_EQ(now.access_count, before.access_count);
  EXPECT_EQ(now.accessed_at, before.accessed_at);
  EXPECT_EQ(db->live_count(), 3u);
  // The index holds one posting for the id, with the new vector.
  auto hits = db->search(replacement.vector, 10);
  ASSERT_TRUE(hits);
  EXPECT_EQ(std::count_if(hits->begin(), hits->end(), [&](const SearchHit& h) { return h.memory.id == id; }), 1);
  EXPECT_EQ(db->state().index->vector_count(), 3u);

  const auto versions = must_history(id);
  ASSERT_EQ(versions.size(), 2u);
  EXPECT_EQ(versions[0].txn_id, first_txn + 1);
  EXPECT_EQ(versions[0].memory, now);
  EXPECT_EQ(versions[1].txn_id, first_txn);
  EXPECT_EQ(versions[1].memory, before);
  ASSERT_TRUE(db->restore_to(first_txn));
  EXPECT_EQ(must_get(id), before);
}

// Each row changes the fields it names and nothing else.
TEST_F(MemoryVersionsTest, UpdateChangesOnlyTheGivenFields) {
  struct Case {
    const char* name;
    MemoryChanges changes;
    std::function<void(Memory&)> expect;
  };
  const std::vector<Case> cases = {
      {"content", {.content = "new text"}, [](Memory& m) { m.content = "new text"; }},
      {"type and scope",
       {.memory_type = MemoryType::Procedural, .scope = Scope::Shared},
       [](Memory& m) {
         m.memory_type = MemoryType::Procedural;
         m.scope = Scope::Shared;
       }},
      {"vector and importance",
       {.vector = std::vector<float>{9, 8, 7, 6}, .importance = 0.75f},
       [](Memory& m) {
         m.vector = {9, 8, 7, 6};
         m.importance = 0.75f;
       }},
      {"metadata", {.metadata = Json{{"k", "v"}}}, [](Memory& m) { m.metadata = Json{{"k", "v"}}; }},
      {"clear ttl and session",
       {.ttl_secs = std::optional<int64_t>{}, .session_id = std::optional<std::string>{}},
       [](Memory& m) {
         m.ttl_secs.reset();
         m.session_id.reset();
       }},
      {"set ttl and session",
       {.ttl_secs = std::optional<int64_t>{60}, .session_id = std::optional<std::string>{"s"}},
       [](Memory& m) {
         m.ttl_secs = 60;
         m.session_id = "s";
       }},
  };
  uint32_t next = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Memory original = sample_memory(3 + 2 * next);  // odd: session set; every third: ttl set
    ++next;
    ASSERT_TRUE(db->remember(original));
    flush();
    Memory expected = original;
    c.expect(expected);
    auto updated = db->update(original.id, c.changes);
    ASSERT_TRUE(updated) << updated.error().message();
    EXPECT_EQ(must_get(original.id), expected);
    flush();
    reopen();
    EXPECT_EQ(must_get(original.id), expected);
    EXPECT_EQ(catalog_ids().back(), original.id);
  }
}

TEST_F(MemoryVersionsTest, UpdateRefusals) {
  add(0);
  add(1);
  ASSERT_TRUE(db->delete_memory(sample_memory(1).id));
  flush();
  const uint64_t pages = db->state().header.page_count;
  const MemoryId unknown = sample_memory(5).id;
  for (MemoryId id : {unknown, sample_memory(1).id}) {
    auto r = db->update(id, {.content = "x"});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "memory '" + ulid_to_text(id) + "' not found");
  }
  auto short_vector = db->update(sample_memory(0).id, {.vector = std::vector<float>{1}});
  ASSERT_FALSE(short_vector);
  EXPECT_EQ(short_vector.error().message(), "vector dimension mismatch: database expects 4, got 1");
  // Nothing given: nothing to stage.
  EXPECT_TRUE(db->update(sample_memory(0).id, {}));
  EXPECT_FALSE(db->state().catalog_dirty);
  EXPECT_EQ(db->state().header.page_count, pages);

  reopen(std::nullopt, /*read_only=*/true);
  auto refused = db->update(sample_memory(0).id, {.content = "x"});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::ReadOnly);
}

TEST_F(MemoryVersionsTest, BatchRoundTripInOrderWithFreshAndRepeatedIds) {
  add(0);
  flush();
  std::vector<Memory> batch = {sample_memory(1), sample_memory(2), sample_memory(0), sample_memory(1)};
  batch[1].id = 0;  // gets a fresh id
  batch[2].content = "replaced in a batch";
  batch[3].content = "second copy wins";
  auto ids = db->remember_many(batch);
  ASSERT_TRUE(ids) << ids.error().error.message();
  ASSERT_EQ(ids->size(), 4u);
  EXPECT_EQ((*ids)[0], sample_memory(1).id);
  EXPECT_NE((*ids)[1], 0u);
  EXPECT_EQ((*ids)[3], sample_memory(1).id);
  EXPECT_EQ(catalog_ids(), (std::vector<MemoryId>{sample_memory(0).id, sample_memory(1).id, (*ids)[1]}));
  flush();
  reopen();
  EXPECT_EQ(must_get(sample_memory(0).id).content, "replaced in a batch");
  EXPECT_EQ(must_get(sample_memory(1).id).content, "second copy wins");
  Memory fresh = batch[1];
  fresh.id = (*ids)[1];
  EXPECT_EQ(must_get((*ids)[1]), fresh);
  EXPECT_TRUE(db->remember_many({}));
}

// A batch whose records fill several shared blocks, one record longer than a block: every
// staged page holds what a loop of remember() stages, and the memories survive a commit.
// The batch is large enough to be encoded on two threads, with long records in different
// chunks, and its summaries (vectors and their sums of squares) are those of the loop, bit
// for bit, slot for slot.
TEST_F(MemoryVersionsTest, BatchOverSeveralBlocksStagesThePagesOfALoop) {
  std::vector<Memory> batch;
  for (uint32_t i = 0; i < 1100; ++i) {
    batch.push_back(sample_memory(i));
    batch.back().content = std::string(3000, static_cast<char>('a' + i % 26));
    // Agents and shared memories interleaved, so the arena groups them into blocks.
    batch.back().agent_id = "agent-" + std::to_string(i % 5);
    if (i % 7 == 0) batch.back().scope = Scope::Shared;
  }
  batch[250].content = std::string(1'500'000, 'z');  // 184 pages
  batch[800].content = std::string(1'200'000, 'y');
  auto loop = testing::must_open(env, false, "/loop.ormel");
  ASSERT_TRUE(loop);
  for (const Memory& m : batch) ASSERT_TRUE(loop->remember(m));
  auto ids = db->remember_many(batch);
  ASSERT_TRUE(ids) << ids.error().error.message();

  Pager& staged = *db->state().pager;
  Pager& looped = *loop->state().pager;
  ASSERT_EQ(db->state().header.page_count, loop->state().header.page_count);
  ASSERT_EQ(db->state().catalog, loop->state().catalog);
  EXPECT_EQ(staged.cache().dirty_pages(), looped.cache().dirty_pages());
  for (uint64_t page : looped.cache().dirty_pages()) {
    auto a = staged.read_page(page);
    auto b = looped.read_page(page);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(*a, *b) << "page " << page;
  }
  const VectorArena& batched = db->state().summaries.vectors();
  const VectorArena& looped_vectors = loop->state().summaries.vectors();
  ASSERT_EQ(batched.size(), looped_vectors.size());
  ASSERT_EQ(batched.slot_end(), looped_vectors.slot_end());
  std::vector<float> a, b;
  for (uint32_t slot = 0; slot < batched.slot_end(); ++slot) {
    ASSERT_EQ(std::bit_cast<uint32_t>(batched.norm_sq(slot)), std::bit_cast<uint32_t>(looped_vectors.norm_sq(slot)));
    batched.copy_vector(slot, a);
    looped_vectors.copy_vector(slot, b);
    ASSERT_EQ(a, b) << "slot " << slot;
  }
  flush();
  reopen();
  for (size_t i = 0; i < batch.size(); i += 50) EXPECT_EQ(must_get((*ids)[i]), batch[i]);
  EXPECT_EQ(must_get((*ids)[250]), batch[250]);
  EXPECT_EQ(must_get((*ids)[800]), batch[800]);
}

// In a batch encoded on two threads the error is still the first bad item's by position,
// whichever thread found it, and nothing is staged; fresh ids follow the items' order.
TEST_F(MemoryVersionsTest, ALargeBatchNamesItsFirstBadItemAndDrawsIdsInOrder) {
  add(0);
  flush();
  const testing::ObservedState before = *testing::observe(*db);
  const uint64_t pages = db->state().header.page_count;
  struct Case {
    std::vector<size_t> short_vectors, non_finite;
    size_t reported;
  };
  const Case cases[] = {
      {{10}, {}, 10},            // first half
      {{900}, {}, 900},          // second half
      {{900}, {300}, 300},       // both: the first half's
      {{550}, {549}, 549},       // either side of the middle
      {{1024}, {600}, 600},      // in two chunks of the second half
      {{806}, {805}, 805},       // either side of a chunk boundary there
      {{1099}, {}, 1099},        // the last item
      {{0}, {1099}, 0},          // the first item
  };
  for (const Case& c : cases) {
    std::vector<Memory> batch;
    for (uint32_t i = 1; i <= 1100; ++i) batch.push_back(sample_memory(i));
    for (size_t i : c.short_vectors) batch[i].vector.pop_back();
    for (size_t i : c.non_finite) batch[i].vector[1] = std::numeric_limits<float>::infinity();
    auto r = db->remember_many(batch);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().item, c.reported);
    const bool is_short = std::ranges::find(c.short_vectors, c.reported) != c.short_vectors.end();
    EXPECT_EQ(r.error().error.message(), is_short ? "vector dimension mismatch: database expects 4, got 3"
                                                  : "invalid argument: vector has a non-finite component at index 1");
    EXPECT_EQ(*testing::observe(*db), before);
    EXPECT_EQ(db->state().header.page_count, pages);
    EXPECT_EQ(db->state().pager->cache().dirty_count(), 0u);
  }

  std::vector<Memory> fresh;
  for (uint32_t i = 1; i <= 1100; ++i) {
    fresh.push_back(sample_memory(i));
    fresh.back().id = 0;
  }
  auto ids = db->remember_many(fresh);
  ASSERT_TRUE(ids) << ids.error().error.message();
  EXPECT_TRUE(std::ranges::adjacent_find(*ids, std::greater_equal<>{}) == ids->end()) << "ids strictly increase";
}

TEST_F(MemoryVersionsTest, ABadItemStagesNothing) {
  add(0);
  flush();
  const testing::ObservedState before = *testing::observe(*db);
  const uint64_t pages = db->state().header.page_count;
  Memory short_vector = sample_memory(4);
  short_vector.vector.pop_back();
  Memory replacing = sample_memory(0);
  replacing.content = "must not land";

  auto r = db->remember_many({sample_memory(1), replacing, short_vector, sample_memory(5)});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().item, 2u);
  EXPECT_EQ(r.error().error.message(), "vector dimension mismatch: database expects 4, got 3");
  EXPECT_EQ(*testing::observe(*db), before);
  EXPECT_EQ(db->state().header.page_count, pages);
  EXPECT_FALSE(db->state().catalog_dirty);
  EXPECT_EQ(db->state().pager->cache().dirty_count(), 0u);

  reopen(std::nullopt, /*read_only=*/true);
  auto refused = db->remember_many({sample_memory(1)});
  ASSERT_FALSE(refused);
  EXPECT_FALSE(refused.error().item.has_value());
  EXPECT_EQ(refused.error().error.kind(), ErrorKind::ReadOnly);
}

// Versions are listed once per record, with the transaction that committed them; cache-only
// transactions, deletions and retention shape the list as they shape the snapshots.
TEST_F(MemoryVersionsTest, HistoryAcrossSnapshots) {
  const MemoryId id = sample_memory(0).id;
  add(0);
  EXPECT_EQ(must_history(id).size(), 0u) << "staged only: no retained version";
  flush();  // txn 1: version A
  const uint64_t t1 = db->state().header.txn_id;
  add(1);
  flush();  // txn 2: another memory changes; A again
  ASSERT_TRUE(db->cache_put("ns", "k", {1}, "text", std::nullopt));  // txn 3: same catalog run
  ASSERT_TRUE(db->update(id, {.content = "B"}));
  flush();  // txn 4: version B
  ASSERT_TRUE(db->delete_memory(id));
  flush();  // txn 5: deleted
  ASSERT_TRUE(db->restore_to(t1 + 3));  // txn 6: B live again, same record
  reopen();

  const auto versions = must_history(id);
  std::vector<std::pair<uint64_t, std::string>> seen;
  for (const auto& v : versions) seen.emplace_back(v.txn_id, v.memory.content);
  EXPECT_EQ(seen, (std::vector<std::pair<uint64_t, std::string>>{
                      {t1 + 5, "B"}, {t1 + 3, "B"}, {t1, sample_memory(0).content}}));
  for (const auto& v : versions) {
    const auto& snap = *std::find_if(db->state().snapshot_manifest.begin(), db->state().snapshot_manifest.end(),
                                     [&](const Snapshot& s) { return s.txn_id == v.txn_id; });
    EXPECT_EQ(v.created_at, snap.created_at);
  }

  auto unknown = db->history(sample_memory(9).id);
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().kind(), ErrorKind::NotFound);

  // Retention: only the versions of retained snapshots remain.
  db->set_max_snapshots(1);
  ASSERT_TRUE(db->update(id, {.content = "C"}));
  flush();
  seen.clear();
  for (const auto& v : must_history(id)) seen.emplace_back(v.txn_id, v.memory.content);
  EXPECT_EQ(seen, (std::vector<std::pair<uint64_t, std::string>>{{t1 + 6, "C"}}));
}

}  // namespace
}  // namespace ormel
