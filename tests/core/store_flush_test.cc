// flush: transaction counting, the no-op and read-only cases, run layout at page
// boundaries, what a flush writes where, and the move of the log region.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "core/store.h"
#include "core/store_state.h"
#include "core/wal.h"
#include "tests/core/support/earlier_release_log.h"
#include "tests/core/support/fault_env.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

using testing::CrashMode;
using testing::kDbPath;
using testing::MemEnv;
using testing::must_open;
using testing::sample_memory;
using testing::status_of;

constexpr const char* kReadOnlyMessage = "operation requires a read-write handle (this one is read-only)";

// A database with three memories in one committed transaction.
std::unique_ptr<Ormel> three_memories(MemEnv& env) {
  auto db = must_open(env);
  if (!db) return nullptr;
  for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(db->remember(sample_memory(i)));
  EXPECT_TRUE(db->flush());
  return db;
}

// Each case makes `commits` flushes with something staged (its own, those a cache write or
// a restore make by themselves, and the final explicit flush when something is left).
TEST(StoreFlush, EachFlushOfStagedChangesIsExactlyOneTransaction) {
  struct Case {
    const char* name;
    uint64_t commits;
    std::function<Status(Ormel&)> change;
  };
  const Case cases[] = {
      {"remember", 1, [](Ormel& db) -> Status { return status_of(db.remember(sample_memory(9))); }},
      {"remember an existing id", 1,
       [](Ormel& db) -> Status {
         Memory m = sample_memory(1);
         m.content = "replaced";
         return status_of(db.remember(m));
       }},
      {"delete", 1, [](Ormel& db) { return db.delete_memory(sample_memory(0).id); }},
      {"recall with access tracking", 1,
       [](Ormel& db) -> Status {
         RecallRequest request;
         request.query = sample_memory(2).vector;
         return status_of(db.recall(request));
       }},
      {"build index", 1, [](Ormel& db) { return db.build_index(); }},
      {"build index, flush, drop index", 2,
       [](Ormel& db) -> Status {
         ORMEL_TRY(db.build_index());
         ORMEL_TRY(db.flush());
         db.drop_index();
         return {};
       }},
      {"cache write alone", 1,
       [](Ormel& db) { return db.cache_put("ns", "key", {1, 2, 3}, "application/octet-stream", std::nullopt); }},
      {"delete, flush, restore", 2,
       [](Ormel& db) -> Status {
         ORMEL_TRY(db.delete_memory(sample_memory(0).id));
         ORMEL_TRY(db.flush());
         return status_of(db.restore_to(1));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    MemEnv env;
    auto db = three_memories(env);
    ASSERT_TRUE(db);
    const uint64_t txn_before = db->state().header.txn_id;
    const std::vector<Snapshot> before = db->state().snapshot_manifest;
    Status changed = c.change(*db);
    ASSERT_TRUE(changed) << changed.error().message();
    ASSERT_TRUE(db->flush());

    const StoreState& s = db->state();
    const Header& h = s.header;
    EXPECT_EQ(h.txn_id, txn_before + c.commits);
    ASSERT_EQ(s.snapshot_manifest.size(), before.size() + c.commits);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), s.snapshot_manifest.begin())) << "older snapshots changed";
    for (size_t i = 0; i < s.snapshot_manifest.size(); ++i) EXPECT_EQ(s.snapshot_manifest[i].txn_id, i + 1);
    const Snapshot& last = s.snapshot_manifest.back();
    EXPECT_EQ(last.memory_count, db->live_count());
    EXPECT_EQ(h.memory_count, db->live_count());
    EXPECT_EQ(std::tie(last.catalog_start, last.catalog_pages, last.catalog_len, last.index_start, last.index_pages,
                       last.index_len),
              std::tie(h.catalog_start, h.catalog_pages, h.catalog_len, h.index_start, h.index_pages, h.index_len));
    EXPECT_FALSE(s.catalog_dirty || s.index_dirty || s.cache_dirty);
    if (name == "cache write alone") {
      const Snapshot& prev = before.back();
      EXPECT_EQ(std::tie(last.catalog_start, last.catalog_pages, last.catalog_len, last.index_start),
                std::tie(prev.catalog_start, prev.catalog_pages, prev.catalog_len, prev.index_start))
          << "a cache write repeats the catalog and index pointers";
    }
    if (name == "build index, flush, drop index") EXPECT_EQ(h.index_start + h.index_pages + h.index_len, 0u);

    const uint64_t committed = h.txn_id;
    db.reset();
    auto again = must_open(env);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->state().header.txn_id, committed);
    EXPECT_EQ(again->state().snapshot_manifest.size(), committed);
  }
}

// Successive flushes reuse the encoded rows of unchanged catalog entries: every catalog run
// committed along the way, read back from the file by a fresh handle, holds exactly the
// catalog it was flushed from.
TEST(StoreFlush, EveryCommittedCatalogRunHoldsTheCatalogItWasFlushedFrom) {
  MemEnv env;
  auto db = three_memories(env);
  ASSERT_TRUE(db);
  auto recall = [](Ormel& d) -> Status {
    RecallRequest request;
    request.query = sample_memory(1).vector;
    return status_of(d.recall(request));
  };
  const std::function<Status(Ormel&)> steps[] = {
      recall,
      [](Ormel& d) { return status_of(d.remember(sample_memory(7))); },
      recall,
      [](Ormel& d) { return d.delete_memory(sample_memory(1).id); },
      [](Ormel& d) -> Status {
        Memory m = sample_memory(2);
        m.content = "replaced by a longer text than the one it had before";
        return status_of(d.remember(m));
      },
      [](Ormel& d) { return status_of(d.restore_to(2)); },
      recall,
  };
  std::vector<std::vector<CatalogEntry>> flushed = {db->state().catalog};
  for (size_t i = 0; i < std::size(steps); ++i) {
    Status step = steps[i](*db);
    ASSERT_TRUE(step) << i << ": " << step.error().message();
    ASSERT_TRUE(db->flush());
    flushed.push_back(db->state().catalog);
  }
  db.reset();
  auto again = must_open(env);
  ASSERT_TRUE(again);
  const std::vector<Snapshot>& manifest = again->state().snapshot_manifest;
  ASSERT_EQ(manifest.size(), flushed.size());
  for (size_t i = 0; i < manifest.size(); ++i) {
    const Snapshot& snap = manifest[i];
    auto rows = again->state().layout->read_catalog(*again->state().pager, catalog_run(snap));
    ASSERT_TRUE(rows) << i;
    EXPECT_EQ(*rows, flushed[i]) << "snapshot " << i;
    if (again->format_version() == 8) {
      EXPECT_EQ(snap.catalog_len, encode_catalog(flushed[i]).size()) << "snapshot " << i;
    }
    const auto live = std::count_if(flushed[i].begin(), flushed[i].end(), [](const auto& r) { return !r.deleted; });
    EXPECT_EQ(snap.memory_count, static_cast<uint64_t>(live)) << "snapshot " << i;
  }
  EXPECT_EQ(again->state().header.memory_count, again->live_count());
}

// A compaction replaces the catalog without a flush; the flushes after it still count the
// live memories right.
TEST(StoreFlush, MemoryCountAfterACompactionIsARecount) {
  MemEnv env;
  auto db = three_memories(env);
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->delete_memory(sample_memory(0).id));
  ASSERT_TRUE(db->compact());
  for (uint32_t i : {0u, 5u}) {  // the deleted memory back, then a new one
    ASSERT_TRUE(db->remember(sample_memory(i)));
    ASSERT_TRUE(db->flush());
    EXPECT_EQ(db->state().header.memory_count, db->live_count()) << i;
    EXPECT_EQ(db->state().snapshot_manifest.back().memory_count, db->live_count()) << i;
  }
  EXPECT_EQ(db->live_count(), 4u);
}

TEST(StoreFlush, NothingStagedLeavesTheFileUntouched) {
  MemEnv env;
  auto check = [&](Ormel& db, const char* when) {
    SCOPED_TRACE(when);
    const std::vector<uint8_t> before = env.read_file(kDbPath);
    const uint64_t calls = env.mutating_calls();
    const size_t snapshots = db.snapshots().size();
    ASSERT_TRUE(db.flush());
    EXPECT_EQ(env.read_file(kDbPath), before);
    EXPECT_EQ(env.mutating_calls(), calls);
    EXPECT_EQ(db.snapshots().size(), snapshots);
  };
  {
    auto db = must_open(env);
    ASSERT_TRUE(db);
    check(*db, "new database");
    ASSERT_TRUE(db->remember(sample_memory(0)));
    ASSERT_TRUE(db->flush());
    check(*db, "after a commit");
    ASSERT_TRUE(db->get(sample_memory(0).id));
    ASSERT_TRUE(db->search(sample_memory(0).vector, 1));
    check(*db, "after reads");
  }
  auto db = must_open(env);
  ASSERT_TRUE(db);
  check(*db, "reopened");
}

TEST(StoreFlush, ReadOnlyHandleRefusesEvenWithNothingStaged) {
  MemEnv env;
  three_memories(env).reset();
  const std::vector<uint8_t> before = env.read_file(kDbPath);
  auto db = must_open(env, true);
  ASSERT_TRUE(db);
  auto flushed = db->flush();
  ASSERT_FALSE(flushed);
  EXPECT_EQ(flushed.error().kind(), ErrorKind::ReadOnly);
  EXPECT_EQ(flushed.error().message(), kReadOnlyMessage);
  auto restored = db->restore_to(1);
  ASSERT_FALSE(restored);
  EXPECT_EQ(restored.error().message(), kReadOnlyMessage);
  auto put = db->cache_put("ns", "k", {1}, "text/plain", std::nullopt);
  ASSERT_FALSE(put);
  EXPECT_EQ(put.error().message(), kReadOnlyMessage);
  EXPECT_EQ(env.read_file(kDbPath), before);
}

// Reads page `page` of the file through a fresh handle (nothing of it cached before open).
std::vector<uint8_t> page_payload(MemEnv& env, uint64_t page) {
  auto db = must_open(env, true);
  if (!db) return {};
  auto payload = db->state().pager->read_page(page);
  EXPECT_TRUE(payload) << payload.error().message();
  return payload ? *payload : std::vector<uint8_t>{};
}

TEST(StoreFlush, EmptyDirtyCatalogIsAOneByteRun) {
  if (testing::created_format() == 9) GTEST_SKIP() << "version 9 keeps an empty catalog as no run at all";
  MemEnv env;
  {
    auto db = must_open(env);
    ASSERT_TRUE(db);
    db->state().catalog_dirty = true;
    ASSERT_TRUE(db->flush());
    const Header& h = db->state().header;
    EXPECT_EQ(h.catalog_len, 1u);
    EXPECT_EQ(h.catalog_pages, 1u);
    EXPECT_EQ(db->state().snapshot_manifest.back().catalog_len, 1u);
  }
  auto db = must_open(env, true);
  ASSERT_TRUE(db);
  const uint64_t start = db->state().header.catalog_start;
  EXPECT_TRUE(db->state().catalog.empty());
  db.reset();
  std::vector<uint8_t> payload = page_payload(env, start);
  ASSERT_EQ(payload.size(), PAGE_PAYLOAD);
  EXPECT_EQ(payload[0], 0x90);
  EXPECT_TRUE(std::all_of(payload.begin() + 1, payload.end(), [](uint8_t b) { return b == 0; }));
}

// A memory whose record, its vector in `form`, encodes to exactly `size` bytes.
Memory memory_of_encoded_size(size_t size, VectorForm form) {
  Memory m = sample_memory(42);
  m.content.clear();
  const size_t bare = encode_memory(m, form).value().size();
  m.content.assign(size - bare - 2, 'x');  // a str 16 header adds 2 bytes over the empty fixstr
  EXPECT_EQ(encode_memory(m, form).value().size(), size);
  return m;
}

TEST(StoreFlush, RecordRunsSplitAtThePagePayload) {
  struct Case {
    size_t encoded;
    uint32_t pages;
  };
  for (const Case c : {Case{PAGE_PAYLOAD - 1, 1}, Case{PAGE_PAYLOAD, 1}, Case{PAGE_PAYLOAD + 1, 2}}) {
    SCOPED_TRACE(c.encoded);
    MemEnv env;
    const uint16_t version = testing::created_format().value_or(FORMAT_VERSION);
    const Memory m = memory_of_encoded_size(c.encoded, record_vector_form(version));
    const std::vector<uint8_t> bytes = encode_memory(m, record_vector_form(version)).value();
    {
      auto db = must_open(env);
      ASSERT_TRUE(db);
      ASSERT_TRUE(db->remember(m));
      ASSERT_TRUE(db->flush());
    }
    CatalogEntry row;
    {
      auto db = must_open(env, true);
      ASSERT_TRUE(db);
      ASSERT_EQ(db->state().catalog.size(), 1u);
      row = db->state().catalog[0];
      auto got = db->get(m.id);
      ASSERT_TRUE(got) << got.error().message();
      EXPECT_EQ(*got, m);
    }
    EXPECT_EQ(row.page_count, c.pages);
    EXPECT_EQ(row.len, c.encoded);
    std::vector<uint8_t> last = page_payload(env, record_place(version, row).page + c.pages - 1);
    ASSERT_EQ(last.size(), PAGE_PAYLOAD);
    const size_t used = c.encoded - (c.pages - 1) * PAGE_PAYLOAD;
    EXPECT_TRUE(std::equal(last.begin(), last.begin() + static_cast<ptrdiff_t>(used), bytes.end() - static_cast<ptrdiff_t>(used)));
    EXPECT_TRUE(std::all_of(last.begin() + static_cast<ptrdiff_t>(used), last.end(), [](uint8_t b) { return b == 0; }));
  }
}

// A flush's checkpoint is not synced, yet a power loss at any moment after the flush
// returns keeps the transaction: the log holds it until the next flush has synced page 0.
// Dropping the handle syncs the checkpoint, so a read-only open then needs no recovery.
TEST(StoreFlush, APowerLossAfterAFlushReturnsKeepsIt) {
  for (CrashMode mode : {CrashMode::Keep, CrashMode::Drop, CrashMode::Torn}) {
    SCOPED_TRACE(testing::crash_mode_name(mode));
    MemEnv env;
    testing::ObservedState flushed;
    {
      auto db = must_open(env);
      ASSERT_TRUE(db);
      ASSERT_TRUE(db->remember(sample_memory(0)));
      ASSERT_TRUE(db->flush());
      ASSERT_TRUE(db->remember(sample_memory(1)));
      ASSERT_TRUE(db->delete_memory(sample_memory(0).id));
      ASSERT_TRUE(db->flush());
      flushed = *testing::observe(*db);
      env.crash(mode);  // the handle dies with the power, before it can sync anything
    }
    auto db = must_open(env);
    ASSERT_TRUE(db);
    auto seen = testing::observe(*db);
    ASSERT_TRUE(seen) << seen.error().message();
    EXPECT_EQ(*seen, flushed) << testing::summary(*seen);
  }
  MemEnv env;
  {
    auto db = must_open(env);
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->remember(sample_memory(0)));
    ASSERT_TRUE(db->flush());
  }
  env.crash(CrashMode::Drop);
  auto db = must_open(env, true);
  ASSERT_TRUE(db) << "the dropped handle left its checkpoint unsynced";
  EXPECT_EQ(db->memories()->size(), 1u);
}

// A log region too small for the header frame is first moved to the end of the file, and
// the header written at that moment already names the new region.
TEST(StoreFlush, ALogRegionTooSmallForTheHeaderMovesFirst) {
  MemEnv env;
  testing::RecordingEnv rec(&env);
  auto db = must_open(rec);
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->remember(sample_memory(0)));
  ASSERT_TRUE(db->flush());
  ASSERT_TRUE(testing::move_log_region(*db, 1));
  const Header committed = db->state().header;
  testing::fill_catalog(*db, 1, 6 * PAGE_PAYLOAD);
  const uint64_t end_of_staging = db->state().header.page_count;
  rec.clear();
  ASSERT_TRUE(db->flush());

  const std::vector<testing::FileCall>& calls = rec.calls();
  ASSERT_GE(calls.size(), 2u);
  ASSERT_FALSE(calls[0].sync);
  ASSERT_EQ(calls[0].offset, 0u) << "something was written before the moved region was recorded";
  ASSERT_EQ(calls[0].data.size(), PAGE_SIZE);
  EXPECT_TRUE(calls[1].sync);
  Page page{};
  std::copy(calls[0].data.begin(), calls[0].data.end(), page.begin());
  auto moved = from_page(page);
  ASSERT_TRUE(moved) << moved.error().message();
  EXPECT_EQ(moved->wal_start, end_of_staging);
  EXPECT_EQ(moved->page_count, moved->wal_start + moved->wal_pages);
  EXPECT_EQ(moved->txn_id, committed.txn_id) << "the move commits nothing";
  EXPECT_EQ(moved->catalog_start, committed.catalog_start);
  EXPECT_EQ(moved->manifest_start, committed.manifest_start);
  EXPECT_TRUE(validate_seal(*moved, db->state().pager->dek()));

  const Header& now = db->state().header;
  EXPECT_EQ(now.wal_start, moved->wal_start);
  EXPECT_EQ(now.wal_pages, moved->wal_pages);
  EXPECT_TRUE(testing::find_commit(calls, now.wal_start)) << "the commit did not go to the new region";
  EXPECT_LE(wal::FRAME_RECORD + wal::COMMIT_RECORD, now.wal_pages * PAGE_SIZE);
}

// Every page of a transaction is written once, at home, and made durable by one sync before
// the log commit, which holds only the header; a flush that fits in the counters the last
// commit reserved writes no header before its pages, and leaves its checkpoint unsynced
// (the log holds it), so it syncs twice in all.
TEST(StoreFlush, PagesAreWrittenOnceAndOnlyTheHeaderIsLogged) {
  MemEnv env;
  testing::RecordingEnv rec(&env);
  auto db = must_open(rec);
  ASSERT_TRUE(db);
  testing::fill_catalog(*db, 0, 3 * PAGE_PAYLOAD);
  ASSERT_TRUE(db->flush());
  for (uint32_t round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "a flush after the one that reserved" : "and the next");
    const uint64_t first_new_page = db->state().header.page_count;
    ASSERT_TRUE(db->remember(sample_memory(900 + round)));
    ASSERT_TRUE(db->delete_memory(sample_memory(round).id));
    rec.clear();
    ASSERT_TRUE(db->flush());
    const Header& h = db->state().header;
    const std::vector<testing::FileCall>& calls = rec.calls();

    std::map<uint64_t, int> home_writes;  // page -> times written outside page 0 and the log
    std::vector<size_t> syncs;
    size_t log_writes = 0, header_writes = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
      const testing::FileCall& c = calls[i];
      if (c.sync) {
        syncs.push_back(i);
      } else if (c.offset == 0) {
        ++header_writes;
        EXPECT_FALSE(syncs.size() < 2) << "a header was written in place before the log commit";
      } else if (c.offset >= h.wal_start * PAGE_SIZE && c.offset < (h.wal_start + h.wal_pages) * PAGE_SIZE) {
        ++log_writes;
        EXPECT_EQ(c.data.size(), wal::FRAME_RECORD + wal::COMMIT_RECORD) << "the log holds more than the header";
        EXPECT_EQ(syncs.size(), 1u) << "the log commit came before the pages were durable";
      } else {
        EXPECT_TRUE(syncs.empty()) << "a page written after the first sync";
        EXPECT_EQ(c.offset % PAGE_SIZE, 0u);
        for (uint64_t p = c.offset / PAGE_SIZE; p < (c.offset + c.data.size()) / PAGE_SIZE; ++p) {
          EXPECT_GE(p, first_new_page) << "a committed page was overwritten";
          ++home_writes[p];
        }
      }
    }
    EXPECT_EQ(syncs.size(), 2u);
    EXPECT_EQ(log_writes, 1u);
    EXPECT_EQ(header_writes, 1u) << "the checkpoint only";
    EXPECT_FALSE(calls.back().sync) << "the checkpoint was synced";
    for (uint64_t p = first_new_page; p < h.page_count; ++p) EXPECT_EQ(home_writes[p], 1) << "page " << p;
    EXPECT_EQ(home_writes.size(), h.page_count - first_new_page);
  }
}

}  // namespace
}  // namespace ormel
