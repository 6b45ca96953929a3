// Compaction: what it keeps (memories, access counters, index, result cache, every
// retained snapshot), what space() predicts, the lock, crash safety at every write, sync
// and directory call, injected failures, a stop by the progress callback, read-only
// refusal and automatic compaction.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "core/byte_order.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

using testing::CrashMode;
using testing::ForwardingEnv;
using testing::ForwardingFile;
using testing::kDbPath;
using testing::MemEnv;
using testing::must_open;
using testing::sample_memory;

const std::string kTempPath = std::string(kDbPath) + ".compacting";

Status remember_range(Ormel& db, uint32_t from, uint32_t to) {
  for (uint32_t i = from; i < to; ++i) ORMEL_TRY(db.remember(sample_memory(i)));
  return {};
}

std::vector<uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

// A database with garbage and history: pruned snapshots, a deleted memory, an index,
// access counters moved by recall, replaced (tombstoned) and semantic cache entries.
std::vector<uint8_t> history_file() {
  MemEnv env;
  auto db = must_open(env);
  auto step = [&](Status st) { EXPECT_TRUE(st) << st.error().message(); };
  db->set_max_snapshots(4);
  step(remember_range(*db, 0, 40));
  step(db->flush());
  step(db->build_index());
  step(db->flush());
  step(db->delete_memory(sample_memory(3).id));
  step(remember_range(*db, 40, 48));
  step(db->flush());
  step(db->cache_put("ns", "k1", bytes_of("first"), "text", std::nullopt));
  step(db->cache_put("ns", "k1", bytes_of("second"), "text", std::nullopt));
  step(db->cache_put("other", "k2", bytes_of("two"), "bytes", 3600));
  step(db->cache_put_semantic("sem", "q", {1, 0, 0, 0}, bytes_of("near"), "m", "text", std::nullopt));
  RecallRequest req;
  req.query = sample_memory(7).vector;
  req.top_k = 5;
  step(testing::status_of(db->recall(req)));
  step(db->flush());
  step(db->delete_memory(sample_memory(41).id));
  step(remember_range(*db, 48, 50));
  step(db->flush());
  db.reset();
  return env.read_file(kDbPath);
}

const std::vector<uint8_t>& history_base() {
  static const std::vector<uint8_t> base = history_file();
  return base;
}

// Everything a caller can see that compaction must keep, positions aside (the result
// cache through the live rows' stored entries: a lookup would stage hit bookkeeping).
using Info = std::tuple<uint64_t, int64_t, uint64_t>;  // txn_id, created_at, memory_count

struct Visible {
  testing::ObservedState state;  // logical: page numbers cleared
  std::vector<Info> snapshots;
  std::vector<std::vector<MemoryId>> recalls;
  bool operator==(const Visible&) const = default;
};

Visible visible(Ormel& db) {
  Visible v;
  auto seen = testing::observe(db);
  EXPECT_TRUE(seen) << seen.error().message();
  if (seen) v.state = testing::logical(*seen);
  // A deleted row's record is out of reach: compaction empties its run.
  for (CatalogEntry& row : v.state.catalog) {
    if (row.deleted) std::tie(row.page_count, row.len) = std::tuple(0, 0);
  }
  std::erase_if(v.state.cache, [](const testing::CacheRowView& row) { return row.deleted; });
  for (const SnapshotInfo& info : db.snapshots()) v.snapshots.emplace_back(info.txn_id, info.created_at, info.memory_count);
  for (uint32_t q : {0u, 7u, 45u}) {
    RecallRequest req;
    req.query = sample_memory(q).vector;
    req.top_k = 5;
    req.track_access = false;
    auto hits = db.recall(req);
    EXPECT_TRUE(hits) << hits.error().message();
    std::vector<MemoryId> ids;
    for (const RecallResult& r : hits.value_or(std::vector<RecallResult>{})) ids.push_back(r.memory.id);
    v.recalls.push_back(ids);
  }
  return v;
}

// Both kinds of cache lookup answer on `db` as they did before compacting.
void expect_cache_answers(Ormel& db) {
  auto exact = db.cache_get("ns", "k1");
  ASSERT_TRUE(exact && *exact);
  EXPECT_EQ((*exact)->value, bytes_of("second"));
  auto near = db.cache_get_semantic("sem", std::vector<float>{1, 0, 0, 0}, "m", kDefaultSemanticThreshold);
  ASSERT_TRUE(near && *near);
  EXPECT_EQ((*near)->value, bytes_of("near"));
}

// The memories each snapshot restores to, restored on a private copy of `file`.
std::vector<std::vector<Memory>> restored_snapshots(const std::vector<uint8_t>& file) {
  std::vector<std::vector<Memory>> out;
  MemEnv env;
  env.write_file(kDbPath, file);
  std::vector<SnapshotInfo> infos;
  if (auto db = must_open(env)) infos = db->snapshots();
  for (const SnapshotInfo& info : infos) {
    env.write_file(kDbPath, file);
    auto db = must_open(env);
    if (!db) break;
    auto restored = db->restore_to(info.txn_id);
    EXPECT_TRUE(restored) << "restore " << info.txn_id << ": " << restored.error().message();
    auto all = db->memories();
    EXPECT_TRUE(all) << all.error().message();
    out.push_back(all.value_or(std::vector<Memory>{}));
  }
  return out;
}

// The largest nonce counter of the sealed pages from `first_page` on.
uint64_t max_page_counter(const std::vector<uint8_t>& file, uint64_t first_page) {
  uint64_t top = 0;
  for (uint64_t p = first_page; (p + 1) * PAGE_SIZE <= file.size(); ++p) {
    top = std::max(top, load_le<uint64_t>(file.data() + p * PAGE_SIZE + 4));
  }
  return top;
}

TEST(Compact, KeepsWhatACallerCanSeeAndGivesBackWhatSpacePredicted) {
  struct Case {
    bool keep_history;
  };
  for (Case c : {Case{true}, Case{false}}) {
    SCOPED_TRACE(c.keep_history ? "keep_history" : "current state only");
    MemEnv env;
    env.write_file(kDbPath, history_base());
    auto db = must_open(env);
    ASSERT_TRUE(db);
    const Visible before = visible(*db);
    const uint64_t deleted_rows = std::ranges::count_if(db->state().catalog, &CatalogEntry::deleted);
    ASSERT_GT(deleted_rows, 0u);
    auto space = db->space();
    ASSERT_TRUE(space) << space.error().message();
    EXPECT_EQ(space->file_bytes, history_base().size());
    EXPECT_EQ(space->file_bytes, space->current_bytes + space->history_bytes + space->reclaimable_bytes);
    EXPECT_GT(space->history_bytes, 0u);
    EXPECT_GT(space->reclaimable_bytes, 0u);

    auto reclaimed = db->compact(c.keep_history);
    ASSERT_TRUE(reclaimed) << reclaimed.error().message();
    const uint64_t expected = c.keep_history ? space->reclaimable_bytes
                                             : space->reclaimable_bytes + space->history_bytes;
    EXPECT_EQ(*reclaimed, expected);
    EXPECT_EQ(env.read_file(kDbPath).size(), space->file_bytes - expected);
    EXPECT_EQ(env.paths(), std::vector<std::string>{kDbPath});

    Visible after = visible(*db);
    Visible want = before;
    if (!c.keep_history) {
      // Without history, deleted rows go and the current state is the one snapshot.
      std::erase_if(want.state.catalog, [](const CatalogEntry& row) { return row.deleted; });
      want.state.snapshots = {want.state.snapshots.back()};
      want.snapshots = {want.snapshots.back()};
    }
    EXPECT_EQ(after, want);
    expect_cache_answers(*db);

    // The handle goes on with the new file; a reopen sees the same.
    ASSERT_TRUE(db->remember(sample_memory(60)));
    ASSERT_TRUE(db->flush());
    db.reset();
    db = must_open(env);
    ASSERT_TRUE(db);
    auto got = db->get(sample_memory(60).id);
    ASSERT_TRUE(got) << got.error().message();
    EXPECT_EQ(got->content, sample_memory(60).content);
    Visible reopened = visible(*db);
    reopened.state.snapshots.pop_back();
    reopened.snapshots.pop_back();
    EXPECT_EQ(reopened.snapshots, want.snapshots);
    expect_cache_answers(*db);
    auto verified = db->verify();
    ASSERT_TRUE(verified) << verified.error().message();
  }
}

TEST(Compact, EverySnapshotRestoresAsBefore) {
  MemEnv env;
  env.write_file(kDbPath, history_base());
  {
    auto db = must_open(env);
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->compact());
  }
  const auto before = restored_snapshots(history_base());
  ASSERT_EQ(before.size(), 4u);
  EXPECT_EQ(restored_snapshots(env.read_file(kDbPath)), before);
}

// 200 memories, 150 of them then deleted: their records come back as space once no kept
// snapshot holds them live (one snapshot kept), and stay, each snapshot restoring exactly
// as before, while one does.
TEST(Compact, DeletedMemoriesGiveTheirSpaceBackOnceNoKeptSnapshotHoldsThem) {
  struct Case {
    uint64_t max_snapshots;
    bool given_back;
  };
  for (const Case c : {Case{1, true}, Case{0, false}}) {
    SCOPED_TRACE("max_snapshots " + std::to_string(c.max_snapshots));
    MemEnv env;
    auto db = must_open(env);
    ASSERT_TRUE(db);
    db->set_max_snapshots(c.max_snapshots);
    ASSERT_TRUE(remember_range(*db, 0, 200));
    ASSERT_TRUE(db->flush());
    for (uint32_t i = 0; i < 150; ++i) ASSERT_TRUE(db->delete_memory(sample_memory(i).id));
    ASSERT_TRUE(db->flush());
    uint64_t deleted_pages = 0, deleted_bytes = 0;  // what the deleted records take in the file
    for (const CatalogEntry& row : db->state().catalog) {
      deleted_pages += row.deleted ? row.page_count : 0;
      deleted_bytes += row.deleted ? record_file_bytes(db->state().header.format_version, row) : 0;
    }
    ASSERT_GE(deleted_pages, 150u);
    const auto before = restored_snapshots(env.read_file(kDbPath));
    auto space = db->space();
    auto reclaimed = db->compact();
    ASSERT_TRUE(space && reclaimed) << reclaimed.error().message();
    EXPECT_EQ(*reclaimed, space->reclaimable_bytes);
    if (c.given_back) {
      EXPECT_GE(*reclaimed, deleted_bytes);
    } else {
      EXPECT_LT(*reclaimed, deleted_bytes);
    }
    EXPECT_EQ(db->stats()->deleted, 150u);
    db.reset();
    EXPECT_EQ(restored_snapshots(env.read_file(kDbPath)), before);
  }
}

// Memories 0..11 over three snapshots (the third deletes memory 5), memory 3's record then
// damaged on disk; with `delete_damaged` (the repair) it is deleted in a fourth, the only
// snapshot that does not reach the damaged record.
struct Damaged {
  std::vector<uint8_t> file;
  uint64_t page = 0;  // the damaged page
};

Damaged damaged_history(bool delete_damaged) {
  MemEnv env;
  Damaged out;
  {
    auto db = must_open(env);
    if (!db) return out;
    EXPECT_TRUE(remember_range(*db, 0, 10));
    // Memory 3's record spans three pages; the middle one holds nothing else, even where
    // records share pages.
    MemoryChanges longer;
    longer.content = std::string(2 * PAGE_PAYLOAD, 'x');
    EXPECT_TRUE(db->update(sample_memory(3).id, std::move(longer)) && db->flush());
    EXPECT_TRUE(remember_range(*db, 10, 12) && db->flush());
    EXPECT_TRUE(db->delete_memory(sample_memory(5).id) && db->flush());
    const auto row = db->state().id_index.find(sample_memory(3).id);
    const RecordPlace place = record_place(db->state().header.format_version, db->state().catalog[row->second]);
    EXPECT_EQ(place.pages, 3u);
    out.page = place.page + 1;
    if (delete_damaged) EXPECT_TRUE(db->delete_memory(sample_memory(3).id) && db->flush());
  }
  out.file = env.read_file(kDbPath);
  out.file[out.page * PAGE_SIZE + PAGE_SIZE / 2] ^= 0x40;
  return out;
}

// A damaged record that only older snapshots reach does not stop compaction: those
// snapshots cannot be restored as they were and go, every other one stays exactly
// restorable. A damaged record the current state reaches still stops it, naming the page.
TEST(Compact, ADamagedRecordOnlyOlderSnapshotsReachDropsThoseSnapshots) {
  for (bool deleted : {true, false}) {
    SCOPED_TRACE(deleted ? "damaged memory deleted" : "damaged memory live");
    const Damaged damaged = damaged_history(deleted);
    MemEnv env;
    env.write_file(kDbPath, damaged.file);
    auto db = must_open(env);
    ASSERT_TRUE(db);
    const std::vector<SnapshotInfo> snapshots = db->snapshots();
    ASSERT_EQ(snapshots.size(), deleted ? 4u : 3u);
    auto live = db->memories();  // the damaged record fails it while live
    ASSERT_EQ(live.has_value(), deleted);
    auto done = db->compact();
    if (!deleted) {
      ASSERT_FALSE(done);
      EXPECT_EQ(done.error(), OrmelError::page_auth_failed(damaged.page));
      EXPECT_EQ(db->snapshots().size(), snapshots.size());
      EXPECT_EQ(env.paths(), std::vector<std::string>{kDbPath});
      continue;
    }
    ASSERT_TRUE(done) << done.error().message();
    ASSERT_EQ(db->snapshots().size(), 1u);  // the deletion of memory 3
    EXPECT_EQ(db->snapshots()[0].txn_id, snapshots.back().txn_id);
    EXPECT_TRUE(db->verify());
    auto again = db->compact();
    ASSERT_TRUE(again) << again.error().message();
    EXPECT_EQ(*again, 0u);
    db.reset();
    EXPECT_EQ(restored_snapshots(env.read_file(kDbPath)), std::vector<std::vector<Memory>>{*live});
  }
}

TEST(Compact, SpaceOfAFreshDatabaseAndCompactingTwice) {
  MemEnv env;
  auto db = must_open(env);
  ASSERT_TRUE(db);
  auto space = db->space();
  ASSERT_TRUE(space) << space.error().message();
  EXPECT_EQ(space->reclaimable_bytes, 0u);
  EXPECT_EQ(space->history_bytes, 0u);
  auto first = db->compact();
  ASSERT_TRUE(first) << first.error().message();
  EXPECT_TRUE(db->snapshots().empty());
  ASSERT_TRUE(remember_range(*db, 0, 5));
  ASSERT_TRUE(db->compact());
  auto again = db->compact();
  ASSERT_TRUE(again) << again.error().message();
  EXPECT_EQ(*again, 0u);  // nothing left to give back
  EXPECT_EQ(db->snapshots().size(), 1u);
  auto all = db->memories();
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 5u);
}

TEST(Compact, ReadOnlyHandleIsRefusedAndNothingChanges) {
  MemEnv env;
  env.write_file(kDbPath, history_base());
  auto db = must_open(env, true);
  ASSERT_TRUE(db);
  auto space = db->space();
  EXPECT_TRUE(space) << space.error().message();
  auto refused = db->compact();
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(), "operation requires a read-write handle (this one is read-only)");
  EXPECT_EQ(env.read_file(kDbPath), history_base());
  EXPECT_EQ(env.paths(), std::vector<std::string>{kDbPath});
}

// Forwards to a base environment and, before every mutating call, tries to open the
// database path from elsewhere, counting the opens that succeeded.
class ProbeEnv : public ForwardingEnv {
 public:
  explicit ProbeEnv(MemEnv* base) : ForwardingEnv(base), base_(base) {}
  Status rename(const std::string& from, const std::string& to) override {
    return probe(ForwardingEnv::rename(from, to));
  }
  Status remove(const std::string& path) override { return probe(ForwardingEnv::remove(path)); }
  Status sync_dir(const std::string& path) override { return probe(ForwardingEnv::sync_dir(path)); }

  // Probes, then passes `result` on (the call has been made by then; the probe looks at
  // the state right after each mutating call).
  Status probe(Status result) {
    ++probes;
    for (bool write : {true, false}) {
      if (base_->open_locked(kDbPath, {.write = write, .create = false})) ++intruders;
    }
    return result;
  }

  uint64_t probes = 0;
  uint64_t intruders = 0;

 protected:
  std::unique_ptr<File> wrap(std::unique_ptr<File> file) override;

 private:
  MemEnv* base_;
};

class ProbeFile final : public ForwardingFile {
 public:
  ProbeFile(std::unique_ptr<File> base, ProbeEnv& env) : ForwardingFile(std::move(base)), env_(env) {}
  Status write_at(uint64_t offset, std::span<const uint8_t> data) override {
    return env_.probe(ForwardingFile::write_at(offset, data));
  }
  Status sync() override { return env_.probe(ForwardingFile::sync()); }

 private:
  ProbeEnv& env_;
};

std::unique_ptr<File> ProbeEnv::wrap(std::unique_ptr<File> file) {
  return std::make_unique<ProbeFile>(std::move(file), *this);
}

TEST(Compact, NoOtherHandleOpensThePathAtAnyMoment) {
  MemEnv mem;
  mem.write_file(kDbPath, history_base());
  ProbeEnv env(&mem);
  auto db = must_open(env);
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->remember(sample_memory(70)));  // the compaction's flush is probed too
  ASSERT_TRUE(db->compact());
  EXPECT_GT(env.probes, 5u);
  EXPECT_EQ(env.intruders, 0u);
  auto other = testing::try_open(mem);
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().kind(), ErrorKind::Locked);
  db.reset();
  EXPECT_TRUE(must_open(mem));
}

// What the path holds after a crash, opened, and the new file a crash left beside it (the
// open removes it).
struct AfterCrash {
  std::unique_ptr<Ormel> db;
  std::vector<uint8_t> leftover;
};

// Runs `stage` then `commit` on a copy of `base` with the power lost at the nth call of
// `commit` in `mode`, and opens what the path then holds, which must be the one database
// there but for a leftover new file, which the open removes.
AfterCrash open_after_crash(MemEnv& env, const std::vector<uint8_t>& base, const testing::Step& stage,
                            const testing::Step& commit, uint64_t n, CrashMode mode) {
  testing::crash_run(env, base, stage, commit, n, mode);
  auto paths = env.paths();
  std::erase(paths, kTempPath);
  EXPECT_EQ(paths, std::vector<std::string>{kDbPath});
  AfterCrash out{nullptr, env.read_file(kTempPath)};
  out.db = must_open(env);
  EXPECT_EQ(env.paths(), std::vector<std::string>{kDbPath});
  return out;
}

// Each crash point of a compaction (its flush included) leaves the path opening as the
// old or the compacted database, both showing the same state; the old file never hands
// out a nonce counter the abandoned new file used; the next compaction cleans up.
TEST(CompactCrash, EveryWriteSyncAndRenameIsSurvived) {
  const std::vector<uint8_t>& base = history_base();
  testing::Step stage = [](Ormel& db) -> Status { return testing::status_of(db.remember(sample_memory(80))); };
  testing::Step commit = [](Ormel& db) -> Status { return testing::status_of(db.compact()); };

  // The flush inside compact() has committed or not: the state is one of these two.
  Visible unflushed, want;
  {
    MemEnv env;
    env.write_file(kDbPath, base);
    auto db = must_open(env);
    ASSERT_TRUE(db);
    unflushed = visible(*db);
  }
  MemEnv traced;
  traced.write_file(kDbPath, base);
  uint64_t calls = 0;
  uint64_t first_free = 0;
  {
    auto db = must_open(traced);
    ASSERT_TRUE(db);
    ASSERT_TRUE(stage(*db));
    first_free = 1 + db->state().header.wal_pages;
    const uint64_t start = traced.mutating_calls();
    ASSERT_TRUE(commit(*db));
    calls = traced.mutating_calls() - start;
    want = visible(*db);
  }
  ASSERT_GT(calls, 8u);
  auto compare = [&](Ormel& db) {
    Visible got = visible(db);
    // Snapshot times of the flush differ between runs; the rest must match one state.
    if (got.snapshots.size() == want.snapshots.size() && !got.snapshots.empty()) {
      std::get<1>(got.snapshots.back()) = std::get<1>(want.snapshots.back());
    }
    EXPECT_TRUE(got == want || got == unflushed) << testing::summary(got.state);
  };

  for (CrashMode mode : {CrashMode::Keep, CrashMode::Drop, CrashMode::Torn}) {
    for (uint64_t n = 1; n <= calls; ++n) {
      SCOPED_TRACE(std::string(testing::crash_mode_name(mode)) + " crash at compaction call " + std::to_string(n));
      MemEnv env;
      auto [db, temp] = open_after_crash(env, base, stage, commit, n, mode);
      ASSERT_TRUE(db);
      compare(*db);
      if (!temp.empty()) {
        EXPECT_GE(db->state().pager->nonce_counter(), max_page_counter(temp, first_free));
      }
      ASSERT_TRUE(db->compact());
      EXPECT_EQ(env.paths(), std::vector<std::string>{kDbPath});
    }
    SCOPED_TRACE(std::string(testing::crash_mode_name(mode)) + " crash once compact() has returned");
    MemEnv env;
    env.write_file(kDbPath, base);
    {
      auto db = must_open(env);
      ASSERT_TRUE(db);
      ASSERT_TRUE(stage(*db));
      ASSERT_TRUE(commit(*db));
    }
    env.crash(mode);
    auto db = must_open(env);
    ASSERT_TRUE(db);
    compare(*db);
    EXPECT_EQ(env.paths(), std::vector<std::string>{kDbPath});
  }
}

// The compaction that starts again without the damaged snapshots survives a power loss at
// every call as any compaction does.
TEST(CompactCrash, ACompactionAroundDamagedSnapshotsSurvivesEveryCall) {
  const std::vector<uint8_t> base = damaged_history(true).file;
  testing::Step nothing = [](Ormel&) -> Status { return {}; };
  testing::Step commit = [](Ormel& db) -> Status { return testing::status_of(db.compact()); };
  Visible old_file, want;
  uint64_t calls = 0;
  {
    MemEnv traced;
    traced.write_file(kDbPath, base);
    auto db = must_open(traced);
    ASSERT_TRUE(db);
    old_file = visible(*db);
    const uint64_t start = traced.mutating_calls();
    ASSERT_TRUE(commit(*db));
    calls = traced.mutating_calls() - start;
    want = visible(*db);
  }
  for (CrashMode mode : {CrashMode::Keep, CrashMode::Drop, CrashMode::Torn}) {
    for (uint64_t n = 1; n <= calls; ++n) {
      SCOPED_TRACE(std::string(testing::crash_mode_name(mode)) + " crash at call " + std::to_string(n));
      MemEnv env;
      auto db = open_after_crash(env, base, nothing, commit, n, mode).db;
      ASSERT_TRUE(db);
      const Visible got = visible(*db);
      EXPECT_TRUE(got == want || got == old_file) << testing::summary(got.state);
      ASSERT_TRUE(db->compact());
      EXPECT_EQ(visible(*db), want);
    }
  }
}

TEST(CompactFault, AFailedCompactionKeepsTheOldFileAndTheHandle) {
  MemEnv traced;
  traced.write_file(kDbPath, history_base());
  uint64_t calls = 0;
  {
    testing::FaultEnv counting(&traced);
    auto db = must_open(counting);
    ASSERT_TRUE(db);
    visible(*db);  // as below: what it reads is cached, and the compaction reads the rest
    const uint64_t start = counting.calls();
    ASSERT_TRUE(db->compact());
    calls = counting.calls() - start;
  }
  for (uint64_t n = 1; n <= calls; ++n) {
    SCOPED_TRACE("fault at compaction call " + std::to_string(n));
    MemEnv mem;
    mem.write_file(kDbPath, history_base());
    testing::FaultEnv env(&mem);
    auto db = must_open(env);
    ASSERT_TRUE(db);
    const Visible before = visible(*db);
    env.fail_at(env.calls() + n, testing::FailMode::Once);
    auto done = db->compact();
    ASSERT_FALSE(done);
    EXPECT_EQ(visible(*db), before);
    ASSERT_TRUE(db->remember(sample_memory(90)));
    auto retried = db->compact();
    ASSERT_TRUE(retried) << retried.error().message();
    EXPECT_EQ(mem.paths(), std::vector<std::string>{kDbPath});
    db.reset();
    auto reopened = must_open(mem);
    ASSERT_TRUE(reopened);
    EXPECT_TRUE(reopened->get(sample_memory(90).id));
  }
}

// The directory sync after the rename fails: the handle is on the new file, and the next
// commit makes the rename durable before writing, so a power loss after it keeps both.
TEST(CompactFault, AFailedDirectorySyncIsRetriedBeforeTheNextCommit) {
  auto compaction_calls = [](MemEnv& mem) -> uint64_t {
    testing::FaultEnv counting(&mem);
    auto db = must_open(counting);
    if (!db) return 0;
    const uint64_t start = counting.calls();
    EXPECT_TRUE(db->compact());
    return counting.calls() - start;
  };
  MemEnv traced;
  traced.write_file(kDbPath, history_base());
  const uint64_t calls = compaction_calls(traced);
  ASSERT_GT(calls, 0u);

  MemEnv mem;
  mem.write_file(kDbPath, history_base());
  testing::FaultEnv env(&mem);
  auto db = must_open(env);
  ASSERT_TRUE(db);
  env.fail_at(env.calls() + calls, testing::FailMode::Once);  // the last call: sync_dir
  auto done = db->compact();
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().message(), "io error: " + std::string(kDbPath) + ": injected fault");
  ASSERT_TRUE(db->remember(sample_memory(95)));
  ASSERT_TRUE(db->flush());
  db.reset();
  mem.crash(CrashMode::Drop);
  auto reopened = must_open(mem);
  ASSERT_TRUE(reopened);
  EXPECT_TRUE(reopened->get(sample_memory(95).id));
}

const OrmelError kStopped = OrmelError::invalid_argument("stopped by the test");

// A progress callback that reports every page, counts its reports in `reports` and stops the
// compaction at the `stop_at`th (0: never).
Progress stopping_at(uint64_t stop_at, uint64_t& reports) {
  return Progress{[stop_at, &reports](uint64_t, uint64_t) -> Status {
                    return ++reports == stop_at ? Status(fail(kStopped)) : Status{};
                  },
                  Progress::Clock::duration::zero()};
}

// The reports of an uninterrupted compaction of history_base(), the last one included.
uint64_t compaction_reports() {
  MemEnv env;
  env.write_file(kDbPath, history_base());
  auto db = must_open(env);
  uint64_t reports = 0;
  EXPECT_TRUE(db && db->compact(true, stopping_at(0, reports)));
  return reports;
}

// A compaction stopped at any report never happened: the path holds the old file alone,
// byte for byte but for the nonce counter its header reserved for the abandoned file (and
// wholly unchanged when stopped at the first report, before any write), with the same space
// report; the handle keeps its lock and goes on, compactions included.
TEST(CompactStop, AStopAtAnyReportLeavesTheOldFileAndTheHandle) {
  const std::vector<uint8_t>& base = history_base();
  const uint64_t reports = compaction_reports();
  ASSERT_GT(reports, 3u);
  for (uint64_t k = 1; k <= reports; ++k) {
    SCOPED_TRACE("stopped at report " + std::to_string(k));
    MemEnv mem;
    mem.write_file(kDbPath, base);
    auto db = must_open(mem);
    ASSERT_TRUE(db);
    const Visible before = visible(*db);
    const auto space_before = db->space();
    ASSERT_TRUE(space_before);
    uint64_t seen = 0;
    auto done = db->compact(true, stopping_at(k, seen));
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error(), kStopped);
    EXPECT_EQ(mem.paths(), std::vector<std::string>{kDbPath});
    const std::vector<uint8_t> after = mem.read_file(kDbPath);
    ASSERT_EQ(after.size(), base.size());
    EXPECT_TRUE(std::equal(after.begin() + PAGE_SIZE, after.end(), base.begin() + PAGE_SIZE));
    if (k == 1) EXPECT_EQ(after, base);
    EXPECT_EQ(visible(*db), before);
    const auto space_after = db->space();
    ASSERT_TRUE(space_after);
    EXPECT_EQ(std::tuple(space_after->file_bytes, space_after->current_bytes, space_after->history_bytes,
                         space_after->reclaimable_bytes),
              std::tuple(space_before->file_bytes, space_before->current_bytes, space_before->history_bytes,
                         space_before->reclaimable_bytes));
    auto other = testing::try_open(mem);
    ASSERT_FALSE(other);
    EXPECT_EQ(other.error().kind(), ErrorKind::Locked);

    ASSERT_TRUE(db->remember(sample_memory(90)));
    ASSERT_TRUE(db->compact());
    db.reset();
    auto reopened = must_open(mem);
    ASSERT_TRUE(reopened);
    EXPECT_TRUE(reopened->get(sample_memory(90).id));
    EXPECT_EQ(reopened->live_count(), before.state.live + 1);
  }
}

// A compaction stopped at its last report, once the new file is complete and durable, then
// removes that file: a power loss at any of its calls leaves the old database at the path
// (a leftover new file beside it goes at the next read-write open).
TEST(CompactCrash, AStoppedCompactionSurvivesEveryWriteSyncAndRemove) {
  const std::vector<uint8_t>& base = history_base();
  const uint64_t last = compaction_reports();
  testing::Step nothing = [](Ormel&) -> Status { return {}; };
  testing::Step stopped = [last](Ormel& db) -> Status {
    uint64_t seen = 0;
    return testing::status_of(db.compact(true, stopping_at(last, seen)));
  };
  Visible want;
  uint64_t calls = 0;
  {
    MemEnv traced;
    traced.write_file(kDbPath, base);
    auto db = must_open(traced);
    ASSERT_TRUE(db);
    want = visible(*db);
    const uint64_t start = traced.mutating_calls();
    ASSERT_FALSE(stopped(*db));
    calls = traced.mutating_calls() - start;
    EXPECT_EQ(traced.paths(), std::vector<std::string>{kDbPath});
  }
  ASSERT_GT(calls, 3u);
  for (CrashMode mode : {CrashMode::Keep, CrashMode::Drop, CrashMode::Torn}) {
    for (uint64_t n = 1; n <= calls; ++n) {
      SCOPED_TRACE(std::string(testing::crash_mode_name(mode)) + " crash at call " + std::to_string(n));
      MemEnv env;
      auto db = open_after_crash(env, base, nothing, stopped, n, mode).db;
      ASSERT_TRUE(db);
      EXPECT_EQ(visible(*db), want);
      ASSERT_TRUE(db->compact());
      EXPECT_EQ(env.paths(), std::vector<std::string>{kDbPath});
    }
  }
}

// A remember/delete loop with few snapshots kept: the deleted memories' records are
// garbage, so automatic compaction keeps the file near what the live memories need.
TEST(AutoCompact, ARememberDeleteLoopStaysSmall) {
  constexpr uint64_t kFloor = 64 * PAGE_SIZE;
  MemEnv env;
  auto db = must_open(env);
  ASSERT_TRUE(db);
  db->set_max_snapshots(4);
  db->set_auto_compact(AutoCompactPolicy{kFloor, 1.0});
  ASSERT_TRUE(remember_range(*db, 0, 20));
  ASSERT_TRUE(db->flush());
  uint64_t largest = 0;
  for (uint32_t turn = 100; turn < 500; ++turn) {
    ASSERT_TRUE(db->remember(sample_memory(turn)));
    ASSERT_TRUE(db->flush());
    ASSERT_TRUE(db->delete_memory(sample_memory(turn).id));
    ASSERT_TRUE(db->flush());
    largest = std::max<uint64_t>(largest, env.read_file(kDbPath).size());
  }
  auto space = db->space();
  ASSERT_TRUE(space);
  const uint64_t kept = space->current_bytes + space->history_bytes;
  EXPECT_LT(kept, 80 * PAGE_SIZE);  // 20 live records, 4 catalogs, the log region
  EXPECT_LE(largest, 2 * kept + kFloor + 16 * PAGE_SIZE);
  EXPECT_FALSE(space->auto_compact_failure);
}

TEST(AutoCompact, KeepsTheFileBoundedWithHistoryIntact) {
  struct Case {
    std::optional<AutoCompactPolicy> policy;
    bool bounded;
  };
  constexpr uint64_t kFloor = 64 * PAGE_SIZE;
  for (const Case& c : {Case{AutoCompactPolicy{kFloor, 1.0}, true}, Case{std::nullopt, false}}) {
    SCOPED_TRACE(c.policy ? "automatic" : "off");
    MemEnv env;
    auto db = must_open(env);
    ASSERT_TRUE(db);
    db->set_max_snapshots(3);
    db->set_auto_compact(c.policy);
    ASSERT_TRUE(remember_range(*db, 0, 30));
    ASSERT_TRUE(db->flush());
    uint64_t largest = 0, shrinks = 0, previous = 0;
    for (uint32_t turn = 0; turn < 300; ++turn) {
      RecallRequest req;  // moves access counters: a new catalog run per flush
      req.query = sample_memory(turn % 30).vector;
      req.top_k = 3;
      ASSERT_TRUE(db->recall(req));
      ASSERT_TRUE(db->flush());
      const uint64_t size = env.read_file(kDbPath).size();
      largest = std::max(largest, size);
      shrinks += size < previous;
      previous = size;
    }
    auto space = db->space();
    ASSERT_TRUE(space);
    const uint64_t kept = space->current_bytes + space->history_bytes;
    if (c.bounded) {
      EXPECT_GT(shrinks, 0u);
      EXPECT_LE(largest, 2 * kept + kFloor + 16 * PAGE_SIZE);
    } else {
      EXPECT_EQ(shrinks, 0u);
      EXPECT_GT(largest, 2 * kept + kFloor + 16 * PAGE_SIZE);
    }
    EXPECT_EQ(db->snapshots().size(), 3u);
    db.reset();
    const auto restored = restored_snapshots(env.read_file(kDbPath));
    ASSERT_EQ(restored.size(), 3u);
    for (const auto& memories : restored) EXPECT_EQ(memories.size(), 30u);
  }
}

}  // namespace
}  // namespace ormel
