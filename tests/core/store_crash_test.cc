// Crash safety of the writing operations on the power-loss environment: a flush that writes
// record pages, deletes, moves the log region and commits several runs; a flush of
// replaced, updated and batched memories; a restore; a cache write. The power goes out at
// every mutating call in each crash mode; the reopened database must be exactly the
// previous committed state or exactly the new one, a commit whose sync returned is never
// lost, and the database keeps working. Injected I/O errors (once, or from some call on)
// must lose nothing that is staged.
#include <gtest/gtest.h>

#include <array>
#include <map>

#include "core/byte_order.h"
#include "core/pager.h"
#include "core/store.h"
#include "core/store_state.h"
#include "tests/core/support/earlier_release_log.h"
#include "tests/core/support/fault_env.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

using testing::CrashMode;
using testing::kDbPath;
using testing::MemEnv;
using testing::must_open;
using testing::ObservedState;
using testing::sample_memory;
using testing::Step;
using testing::summary;

// Index of the memory remembered after recovery, beyond every workload's range.
constexpr uint32_t kAfterRecovery = 100'000;

// A database shape, the operation whose crash points are tried, and the state before it.
struct Workload {
  std::vector<uint8_t> base;
  uint64_t base_txn = 0;
  Step stage;
  Step commit;
};

// Three committed transactions whose catalog just fits the initial 8-page log region; the
// transaction under test remembers more, replaces a record, deletes one memory and so
// needs a larger region.
Workload flush_workload() {
  MemEnv env;
  uint32_t next = 0;
  {
    auto db = must_open(env);
    if (!db) return {};
    for (; next < 5; ++next) EXPECT_TRUE(db->remember(sample_memory(next)));
    EXPECT_TRUE(db->flush());
    EXPECT_TRUE(db->delete_memory(sample_memory(2).id));
    EXPECT_TRUE(db->remember(sample_memory(next++)));
    EXPECT_TRUE(db->flush());
    next = testing::fill_catalog(*db, next, 5 * PAGE_PAYLOAD - 700);
    EXPECT_TRUE(db->flush());
    EXPECT_EQ(db->state().header.wal_start, 1u) << "the base already moved the log region";
  }
  Workload w;
  w.base = env.read_file(kDbPath);
  w.base_txn = 3;
  w.stage = [next](Ormel& db) -> Status {
    for (uint32_t i = next; i < next + 30; ++i) ORMEL_TRY(db.remember(sample_memory(i)));
    Memory replaced = sample_memory(3);
    replaced.content = "replaced content";
    replaced.metadata = Json{{"replaced", true}};
    ORMEL_TRY(db.remember(replaced));
    return db.delete_memory(sample_memory(0).id);
  };
  w.commit = [](Ormel& db) { return db.flush(); };
  return w;
}

// A small history with an index built at the second transaction; the restore goes back to
// the first transaction, before the index existed.
Workload restore_workload() {
  MemEnv env;
  {
    auto db = must_open(env);
    if (!db) return {};
    for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(db->remember(sample_memory(i)));
    EXPECT_TRUE(db->flush());
    EXPECT_TRUE(db->delete_memory(sample_memory(1).id));
    Memory changed = sample_memory(0);
    changed.importance = 0.99f;
    EXPECT_TRUE(db->remember(changed));
    EXPECT_TRUE(db->remember(sample_memory(3)));
    EXPECT_TRUE(db->build_index());
    EXPECT_TRUE(db->flush());
    EXPECT_TRUE(db->remember(sample_memory(4)));
    EXPECT_TRUE(db->delete_memory(sample_memory(2).id));
    EXPECT_TRUE(db->flush());
  }
  Workload w;
  w.base = env.read_file(kDbPath);
  w.base_txn = 3;
  w.stage = [](Ormel&) -> Status { return {}; };
  w.commit = [](Ormel& db) { return testing::status_of(db.restore_to(1)); };
  return w;
}

// Three memories; the transaction replaces one under its id, updates another and stages a
// batch that replaces the third and adds two more.
Workload replace_workload() {
  MemEnv env;
  {
    auto db = must_open(env);
    if (!db) return {};
    for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(db->remember(sample_memory(i)));
    EXPECT_TRUE(db->flush());
  }
  Workload w;
  w.base = env.read_file(kDbPath);
  w.base_txn = 1;
  w.stage = [](Ormel& db) -> Status {
    Memory replacement = sample_memory(10);
    replacement.id = sample_memory(0).id;
    ORMEL_TRY(db.remember(replacement));
    ORMEL_TRY(db.update(sample_memory(1).id, {.content = "updated", .importance = 0.9f}));
    Memory batch_replacement = sample_memory(11);
    batch_replacement.id = sample_memory(2).id;
    auto ids = db.remember_many({batch_replacement, sample_memory(12), sample_memory(13)});
    if (!ids) return fail(ids.error().error);
    return {};
  };
  w.commit = [](Ormel& db) { return db.flush(); };
  return w;
}

// Two memories and one cache entry; the write adds an entry of two pages.
Workload cache_workload() {
  MemEnv env;
  {
    auto db = must_open(env);
    if (!db) return {};
    for (uint32_t i = 0; i < 2; ++i) EXPECT_TRUE(db->remember(sample_memory(i)));
    EXPECT_TRUE(db->flush());
    EXPECT_TRUE(db->cache_put("answers", "first", {1, 2, 3}, "text/plain", std::nullopt));
  }
  Workload w;
  w.base = env.read_file(kDbPath);
  w.base_txn = 2;
  w.stage = [](Ormel&) -> Status { return {}; };
  w.commit = [](Ormel& db) {
    std::vector<uint8_t> value(PAGE_PAYLOAD + 500);
    for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(i * 7);
    return db.cache_put("answers", "second", std::move(value), "application/octet-stream", 3600);
  };
  return w;
}

// Three committed memories; the transaction remembers small memories, a long one and a
// batch, which in a file that packs records share pages and span them, after a committed
// page they must not be appended to.
Workload packed_workload() {
  MemEnv env;
  {
    auto db = must_open(env);
    if (!db) return {};
    for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(db->remember(sample_memory(i)));
    EXPECT_TRUE(db->flush());
  }
  Workload w;
  w.base = env.read_file(kDbPath);
  w.base_txn = 1;
  w.stage = [](Ormel& db) -> Status {
    for (uint32_t i = 10; i < 16; ++i) ORMEL_TRY(db.remember(sample_memory(i)));
    Memory long_one = sample_memory(16);
    long_one.content.assign(2 * PAGE_PAYLOAD + 100, 'y');
    ORMEL_TRY(db.remember(long_one));
    auto ids = db.remember_many({sample_memory(17), sample_memory(18)});
    if (!ids) return fail(ids.error().error);
    return {};
  };
  w.commit = [](Ormel& db) { return db.flush(); };
  return w;
}

ObservedState observe_base(const Workload& w) {
  MemEnv env;
  env.write_file(kDbPath, w.base);
  auto db = must_open(env);
  if (!db) return {};
  auto seen = testing::observe(*db, w.base_txn);
  EXPECT_TRUE(seen) << seen.error().message();
  return seen ? *seen : ObservedState{};
}

// After recovery the database must accept the next transaction and keep everything.
// Every page of the file that authenticates as its own page was sealed under a counter of
// its own: none was handed out twice, pages of the crashed attempt included.
void expect_distinct_counters(Ormel& db, const std::vector<uint8_t>& file) {
  PageCipher cipher(db.state().pager->dek());
  std::map<uint64_t, uint64_t> page_of_counter;
  std::array<uint8_t, PAGE_PAYLOAD> payload{};
  for (uint64_t p = 1; (p + 1) * PAGE_SIZE <= file.size(); ++p) {
    const std::span<const uint8_t, PAGE_SIZE> image(file.data() + p * PAGE_SIZE, PAGE_SIZE);
    if (!open_page_image(cipher, p, FORMAT_VERSION, image, payload)) continue;
    const uint64_t counter = load_le<uint64_t>(image.data() + 4);
    auto [seen, fresh] = page_of_counter.emplace(counter, p);
    EXPECT_TRUE(fresh) << "pages " << seen->second << " and " << p << " share nonce counter " << counter;
  }
}

void check_next_flush(MemEnv& env, const ObservedState& recovered, uint64_t stamped_through) {
  {
    auto db = must_open(env);
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->remember(sample_memory(kAfterRecovery)));
    auto flushed = db->flush();
    ASSERT_TRUE(flushed) << flushed.error().message();
  }
  auto db = must_open(env);
  ASSERT_TRUE(db);
  auto seen = testing::observe(*db, stamped_through);
  ASSERT_TRUE(seen) << seen.error().message();
  EXPECT_EQ(seen->txn_id, recovered.txn_id + 1);
  EXPECT_EQ(seen->snapshots.size(), std::min<size_t>(recovered.snapshots.size() + 1, 256));
  ASSERT_EQ(seen->memories.size(), recovered.memories.size() + 1);
  EXPECT_TRUE(std::equal(recovered.memories.begin(), recovered.memories.end(), seen->memories.begin()));
  EXPECT_EQ(seen->memories.back(), sample_memory(kAfterRecovery));
  EXPECT_EQ(seen->cache, recovered.cache);
  expect_distinct_counters(*db, env.read_file(kDbPath));
}

// Every crash point of the workload's commit, in every crash mode.
void crash_everywhere(const Workload& w) {
  ASSERT_FALSE(w.base.empty());
  const ObservedState before = observe_base(w);
  const testing::Trace trace = testing::trace_run(w.base, w.stage, w.commit, w.base_txn);
  const ObservedState& after = trace.after;
  ASSERT_EQ(after.txn_id, w.base_txn + 1);
  ASSERT_NE(before, after);
  ASSERT_GT(trace.commit.write, 0u);

  for (uint64_t n = 1; n <= trace.calls.size(); ++n) {
    for (CrashMode mode : {CrashMode::Keep, CrashMode::Drop, CrashMode::Torn}) {
      SCOPED_TRACE("crash at call " + std::to_string(n) + " of " + std::to_string(trace.calls.size()) + ", " +
                   testing::crash_mode_name(mode));
      MemEnv env;
      testing::crash_run(env, w.base, w.stage, w.commit, n, mode);
      ObservedState recovered;
      {
        auto db = must_open(env);
        ASSERT_TRUE(db);
        auto seen = testing::observe(*db, w.base_txn);
        ASSERT_TRUE(seen) << seen.error().message();
        recovered = *seen;
        EXPECT_TRUE(recovered == before || recovered == after)
            << "a mix: " << summary(recovered) << "; before " << summary(before) << "; after " << summary(after);
        if (n < trace.commit.write) {
          EXPECT_EQ(recovered, before) << "committed before the log commit was written";
        }
        if (n > trace.commit.sync) {
          EXPECT_EQ(recovered, after) << "lost a commit whose sync had returned";
        }
        // No page number already in the file is handed out again.
        EXPECT_GE(db->state().header.page_count * PAGE_SIZE, env.read_file(kDbPath).size());
      }
      check_next_flush(env, recovered, w.base_txn);
    }
  }
}

// A file whose log region cannot hold even the header frame: the flush moves it first.
TEST(StoreCrash, FlushThatMovesTheLogRegion) {
  Workload w = flush_workload();
  {
    MemEnv env;
    env.write_file(kDbPath, w.base);
    auto db = must_open(env);
    ASSERT_TRUE(db);
    ASSERT_TRUE(testing::move_log_region(*db, 1));
    db.reset();
    w.base = env.read_file(kDbPath);
  }
  const testing::Trace trace = testing::trace_run(w.base, w.stage, w.commit, w.base_txn);
  ASSERT_GT(trace.header.wal_start, 1u) << "the transaction under test did not move the log region";
  if (trace.header.format_version == 8) ASSERT_GE(trace.header.catalog_pages, 2u);
  crash_everywhere(w);
}

TEST(StoreCrash, Restore) {
  const Workload w = restore_workload();
  crash_everywhere(w);
}

TEST(StoreCrash, ReplaceUpdateAndBatch) {
  const Workload w = replace_workload();
  crash_everywhere(w);
}

TEST(StoreCrash, PackedRecordsSharingAndSpanningPages) {
  const Workload w = packed_workload();
  {
    MemEnv env;
    env.write_file(kDbPath, w.base);
    auto db = must_open(env);
    ASSERT_TRUE(db);
    ASSERT_TRUE(w.stage(*db));
    const StoreState& s = db->state();
    if (packs_records(s.header.format_version)) {
      std::map<uint64_t, int> rows_per_page;
      bool spans_from_inside_a_page = false;
      for (const CatalogEntry& row : s.catalog) {
        const RecordPlace at = record_place(s.header.format_version, row);
        ++rows_per_page[at.page];
        spans_from_inside_a_page |= at.offset > 0 && at.pages > 1;
      }
      EXPECT_TRUE(std::ranges::any_of(rows_per_page, [](const auto& page) { return page.second > 2; }));
      EXPECT_TRUE(spans_from_inside_a_page);
    }
  }
  crash_everywhere(w);
}

TEST(StoreCrash, CacheWrite) {
  const Workload w = cache_workload();
  crash_everywhere(w);
}

// An I/O error at any call of the flush: the flush reports it, the handle keeps every
// staged change, and a retry commits the same database as a run without the fault.
TEST(StoreFault, FlushFailingOnceKeepsEverythingForTheRetry) {
  const Workload w = flush_workload();
  const testing::Trace trace = testing::trace_run(w.base, w.stage, w.commit, w.base_txn);
  const ObservedState expected = testing::logical(trace.after);

  uint64_t flush_calls = 0;
  {
    MemEnv env;
    env.write_file(kDbPath, w.base);
    auto db = must_open(env);
    ASSERT_TRUE(db);
    ASSERT_TRUE(w.stage(*db));
    const uint64_t from = env.calls();
    ASSERT_TRUE(db->flush());
    flush_calls = env.calls() - from;
  }
  // Without faults the flush makes only the recorded write and sync calls.
  ASSERT_EQ(flush_calls, trace.calls.size());

  for (uint64_t k = 1; k <= flush_calls; ++k) {
    SCOPED_TRACE("fault at call " + std::to_string(k) + " of " + std::to_string(flush_calls));
    MemEnv env;
    env.write_file(kDbPath, w.base);
    {
      auto db = must_open(env);
      ASSERT_TRUE(db);
      ASSERT_TRUE(w.stage(*db));
      auto staged = testing::observe(*db, w.base_txn);
      ASSERT_TRUE(staged) << staged.error().message();
      env.fail_at(env.calls() + k, testing::FailMode::Once);
      auto failed = db->flush();
      ASSERT_FALSE(failed);
      EXPECT_EQ(failed.error().message(), "io error: injected fault");
      auto kept = testing::observe(*db, w.base_txn);
      ASSERT_TRUE(kept) << kept.error().message();
      EXPECT_EQ(*kept, *staged) << "the failed flush changed the handle's state";
      EXPECT_TRUE(db->state().catalog_dirty);

      auto retried = db->flush();
      ASSERT_TRUE(retried) << retried.error().message();
      EXPECT_FALSE(db->state().catalog_dirty);
    }
    auto db = must_open(env);
    ASSERT_TRUE(db);
    auto seen = testing::observe(*db, w.base_txn);
    ASSERT_TRUE(seen) << seen.error().message();
    EXPECT_EQ(testing::logical(*seen), expected) << summary(*seen) << " vs " << summary(trace.after);
    EXPECT_GT(seen->txn_id, w.base_txn);
    ASSERT_FALSE(seen->snapshots.empty());
    EXPECT_EQ(seen->snapshots.back().txn_id, seen->txn_id);
  }
}

// Every call from the kth on fails: the handle is given up, and a fresh handle finds the
// previous or the new state (the new one once the log commit was durable) and works on.
TEST(StoreFault, FlushFailingForeverRecoversThroughAFreshHandle) {
  const Workload w = flush_workload();
  const ObservedState before = observe_base(w);
  const testing::Trace trace = testing::trace_run(w.base, w.stage, w.commit, w.base_txn);

  for (uint64_t k = 1; k <= trace.calls.size(); ++k) {
    SCOPED_TRACE("faults from call " + std::to_string(k) + " of " + std::to_string(trace.calls.size()));
    MemEnv env;
    env.write_file(kDbPath, w.base);
    {
      auto db = must_open(env);
      ASSERT_TRUE(db);
      ASSERT_TRUE(w.stage(*db));
      const uint64_t from = env.calls();
      env.fail_at(from + k, testing::FailMode::Forever);
      ASSERT_FALSE(db->flush());
      ASSERT_EQ(env.calls() - from, k) << "the flush went on after an error";
      ASSERT_FALSE(db->flush()) << "a retry succeeded while every call fails";
    }
    env.fail_at(0, testing::FailMode::Once);  // the fault is gone
    ObservedState recovered;
    {
      auto db = must_open(env);
      ASSERT_TRUE(db);
      auto seen = testing::observe(*db, w.base_txn);
      ASSERT_TRUE(seen) << seen.error().message();
      recovered = *seen;
      EXPECT_TRUE(recovered == before || recovered == trace.after) << "a mix: " << summary(recovered);
      if (k > trace.commit.sync) {
        EXPECT_EQ(recovered, trace.after);
      }
      if (k <= trace.commit.write) {
        EXPECT_EQ(recovered, before);
      }
    }
    check_next_flush(env, recovered, w.base_txn);
  }
}

}  // namespace
}  // namespace ormel
