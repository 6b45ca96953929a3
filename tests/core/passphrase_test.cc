// Changing the passphrase: afterwards only the new passphrase opens the file (and any copy
// of it), no copy of the key wrapped under the old one is left in the file's bytes, and the
// data and every snapshot are as before, with one more snapshot for the change itself. A crash at any write or sync leaves a file that
// opens with exactly one of the two passphrases, with all data intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "core/store.h"
#include "core/store_state.h"
#include "tests/core/support/earlier_release_log.h"
#include "tests/core/support/fault_env.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

using testing::CrashMode;
using testing::kDbPath;
using testing::kPassphrase;
using testing::MemEnv;
using testing::must_open;
using testing::ObservedState;
using testing::sample_memory;
using testing::summary;

// Index of the memory remembered after recovery, beyond every fixture's range.
constexpr uint32_t kAfterRecovery = 100'000;

constexpr std::string_view kNewPassphrase = "battery staple";

Result<std::unique_ptr<Ormel>> open_with(MemEnv& env, std::string_view passphrase) {
  return Ormel::open(kDbPath, passphrase, std::nullopt, false, &env);
}

Status change_to_new(Ormel& db) { return db.change_passphrase(kNewPassphrase); }

// The key material at page 0 of a file image.
struct KeyMaterial {
  std::array<uint8_t, 16> salt;
  std::array<uint8_t, 12> nonce;
  std::array<uint8_t, 48> wrapped;
};

KeyMaterial key_material_of(const std::vector<uint8_t>& file) {
  auto h = from_page(std::span<const uint8_t, PAGE_SIZE>(file.data(), PAGE_SIZE));
  EXPECT_TRUE(h) << h.error().message();
  return h ? KeyMaterial{h->kdf_salt, h->dek_nonce, h->wrapped_dek} : KeyMaterial{};
}

size_t occurrences(const std::vector<uint8_t>& hay, std::span<const uint8_t> needle) {
  size_t n = 0;
  for (auto at = hay.begin();; ++at) {
    at = std::search(at, hay.end(), needle.begin(), needle.end());
    if (at == hay.end()) return n;
    ++n;
  }
}

// Fails the test for every field of `key` found anywhere in `file`.
void expect_absent(const std::vector<uint8_t>& file, const KeyMaterial& key) {
  EXPECT_EQ(occurrences(file, key.salt), 0u) << "the old salt is still in the file";
  EXPECT_EQ(occurrences(file, key.nonce), 0u) << "the old wrap nonce is still in the file";
  EXPECT_EQ(occurrences(file, key.wrapped), 0u) << "the old wrapped key is still in the file";
}

// File images holding the key material in the places a header is ever copied to.
std::vector<uint8_t> never_flushed() {
  MemEnv env;
  { auto db = must_open(env); }
  return env.read_file(kDbPath);
}

// A short transaction (a cache write) after a longer one logged as earlier releases did:
// the longer one's header frame stays in the log region beyond the short one's commit.
std::vector<uint8_t> stale_frames_in_the_region() {
  MemEnv env;
  {
    auto db = must_open(env);
    if (!db) return {};
    testing::fill_catalog(*db, 0, 3 * PAGE_PAYLOAD);
    EXPECT_TRUE(db->flush());
    EXPECT_TRUE(testing::log_runs_like_earlier_release(*db));
    EXPECT_TRUE(db->cache_put("answers", "first", {1, 2, 3}, "text/plain", std::nullopt));
  }
  return env.read_file(kDbPath);
}

// Two transactions in the first log region, a third that moves the log to the end of
// the file (all logged as earlier releases did), and a short cache write after it: header
// copies in the abandoned region, in the current region's last transaction, and stale
// beyond it.
std::vector<uint8_t> moved_log_with_stale_frames() {
  MemEnv env;
  {
    auto db = must_open(env);
    if (!db) return {};
    uint32_t next = testing::fill_catalog(*db, 0, PAGE_PAYLOAD / 2);
    EXPECT_TRUE(db->flush());
    EXPECT_TRUE(testing::log_runs_like_earlier_release(*db));
    EXPECT_TRUE(db->delete_memory(sample_memory(1).id));
    next = testing::fill_catalog(*db, next, 5 * PAGE_PAYLOAD - 700);
    EXPECT_TRUE(db->flush());
    EXPECT_TRUE(testing::log_runs_like_earlier_release(*db));
    testing::fill_catalog(*db, next, 5 * PAGE_PAYLOAD + 200);
    EXPECT_TRUE(db->flush());
    EXPECT_TRUE(testing::log_runs_like_earlier_release(*db));
    // Version 9 commits stay small: its log region is moved by hand.
    if (db->state().header.wal_start == 1) EXPECT_TRUE(testing::move_log_region(*db, 1));
    EXPECT_GT(db->state().header.wal_start, 1u) << "the log region did not move";
    EXPECT_TRUE(db->cache_put("answers", "first", {1, 2, 3}, "text/plain", std::nullopt));
  }
  return env.read_file(kDbPath);
}

// Snapshots newer than `stamped_through` are observed with created_at 0.
ObservedState observe_ok(Ormel& db, uint64_t stamped_through = std::numeric_limits<uint64_t>::max()) {
  auto seen = testing::observe(db, stamped_through);
  EXPECT_TRUE(seen) << seen.error().message();
  return seen ? *seen : ObservedState{};
}

// What a handle opened on a copy of `file` with the first passphrase observes.
ObservedState observe_file(const std::vector<uint8_t>& file) {
  MemEnv env;
  env.write_file(kDbPath, file);
  auto db = must_open(env);
  return db ? observe_ok(*db) : ObservedState{};
}

// What a change must leave of a state: the same data, one more transaction, and its
// snapshot of that same state (stamped with time 0, as observe_ok(db, s.txn_id) shows it).
ObservedState changed_from(ObservedState s) {
  s.txn_id += 1;
  Snapshot added{.txn_id = s.txn_id, .memory_count = s.header_memory_count};
  if (!s.snapshots.empty()) {
    const Snapshot& newest = s.snapshots.back();
    added = Snapshot{s.txn_id,           0,
                     newest.catalog_start, newest.catalog_pages, newest.catalog_len,
                     newest.index_start,   newest.index_pages,   newest.index_len,
                     s.header_memory_count};
  }
  s.snapshots.push_back(added);
  return s;
}

// Every snapshot restored in turn on a handle (each restore adds one; the originals stay
// listed): the memories of each, in the order of the original list.
std::vector<std::vector<Memory>> restore_each(Ormel& db) {
  std::vector<std::vector<Memory>> out;
  const std::vector<SnapshotInfo> originals = db.snapshots();
  for (const SnapshotInfo& snap : originals) {
    auto restored = db.restore_to(snap.txn_id);
    EXPECT_TRUE(restored) << restored.error().message();
    auto memories = db.memories();
    EXPECT_TRUE(memories) << memories.error().message();
    out.push_back(memories ? *memories : std::vector<Memory>{});
  }
  return out;
}

struct FileShape {
  const char* name;
  std::vector<uint8_t> (*make)();
  size_t old_wrapped_copies;  // copies of the wrapped key the shape holds, at least
};

void PrintTo(const FileShape& shape, std::ostream* os) { *os << shape.name; }

class PassphraseChange : public ::testing::TestWithParam<FileShape> {};

TEST_P(PassphraseChange, OnlyTheNewPassphraseOpensAndNoOldKeyIsLeft) {
  const std::vector<uint8_t> base = GetParam().make();
  ASSERT_FALSE(base.empty());
  const KeyMaterial old_key = key_material_of(base);
  // A version 9 file's small commits leave one header copy fewer in the log regions.
  const size_t copies = GetParam().old_wrapped_copies - (testing::created_format() == 9 ? 1 : 0);
  ASSERT_GE(occurrences(base, old_key.wrapped), copies)
      << "the shape does not hold the copies it is meant to";

  MemEnv env;
  env.write_file(kDbPath, base);
  ObservedState before;
  std::vector<std::vector<Memory>> restored_before;
  {
    MemEnv scratch;
    scratch.write_file(kDbPath, base);
    auto db = must_open(scratch);
    ASSERT_TRUE(db);
    restored_before = restore_each(*db);
  }
  {
    auto db = must_open(env);
    ASSERT_TRUE(db);
    before = observe_ok(*db);
    auto changed = db->change_passphrase(kNewPassphrase);
    ASSERT_TRUE(changed) << changed.error().message();
    EXPECT_EQ(observe_ok(*db, before.txn_id), changed_from(before));
  }
  const std::vector<uint8_t> after = env.read_file(kDbPath);
  expect_absent(after, old_key);

  // The file and a byte-for-byte copy of it refuse the old passphrase.
  MemEnv copy;
  copy.write_file(kDbPath, after);
  for (MemEnv* e : {&env, &copy}) {
    auto old_open = open_with(*e, kPassphrase);
    ASSERT_FALSE(old_open);
    EXPECT_EQ(old_open.error().kind(), ErrorKind::WrongPassphrase);
  }
  auto db = open_with(env, kNewPassphrase);
  ASSERT_TRUE(db) << db.error().message();
  const ObservedState reopened = observe_ok(**db, before.txn_id);
  EXPECT_EQ(reopened, changed_from(before)) << summary(reopened) << " vs " << summary(before);
  // The change's own snapshot restores the state it was taken of.
  restored_before.push_back(before.memories);
  EXPECT_EQ(restore_each(**db), restored_before);
}

INSTANTIATE_TEST_SUITE_P(Shapes, PassphraseChange,
                         ::testing::Values(FileShape{"NeverFlushed", never_flushed, 1},
                                           FileShape{"StaleFramesInTheRegion", stale_frames_in_the_region, 3},
                                           FileShape{"MovedLogWithStaleFrames", moved_log_with_stale_frames, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

// Staged changes are committed first; the handle then works on under the new key, and a
// second change removes the first new key as well.
TEST(PassphraseChangeHandle, FlushesFirstAndKeepsWorkingUnderTheNewKey) {
  MemEnv env;
  env.write_file(kDbPath, moved_log_with_stale_frames());
  const KeyMaterial old_key = key_material_of(env.read_file(kDbPath));
  KeyMaterial new_key;
  {
    auto db = must_open(env);
    ASSERT_TRUE(db);
    ASSERT_TRUE(db->remember(sample_memory(500)));  // staged only
    ASSERT_TRUE(db->change_passphrase(kNewPassphrase));
    EXPECT_FALSE(db->state().catalog_dirty);
    new_key = key_material_of(env.read_file(kDbPath));
    ASSERT_TRUE(db->remember(sample_memory(501)));
    ASSERT_TRUE(db->flush());
    ASSERT_TRUE(db->cache_put("answers", "after", {4}, "text/plain", std::nullopt));
  }
  EXPECT_EQ(occurrences(env.read_file(kDbPath), old_key.wrapped), 0u);
  {
    auto db = open_with(env, kNewPassphrase);
    ASSERT_TRUE(db) << db.error().message();
    EXPECT_TRUE((*db)->get(sample_memory(500).id));
    EXPECT_TRUE((*db)->get(sample_memory(501).id));
    ASSERT_TRUE((*db)->change_passphrase("third"));
  }
  const std::vector<uint8_t> file = env.read_file(kDbPath);
  expect_absent(file, new_key);
  expect_absent(file, old_key);
  auto db = open_with(env, "third");
  ASSERT_TRUE(db) << db.error().message();
  EXPECT_EQ((*db)->live_count(), observe_ok(**db).memories.size());
  EXPECT_FALSE(open_with(env, kNewPassphrase));
}

TEST(PassphraseChangeHandle, ReadOnlyHandleRefusesAndWritesNothing) {
  MemEnv env;
  env.write_file(kDbPath, stale_frames_in_the_region());
  const std::vector<uint8_t> before = env.read_file(kDbPath);
  {
    auto db = must_open(env, true);
    ASSERT_TRUE(db);
    auto changed = db->change_passphrase(kNewPassphrase);
    ASSERT_FALSE(changed);
    EXPECT_EQ(changed.error().message(), "operation requires a read-write handle (this one is read-only)");
  }
  EXPECT_EQ(env.read_file(kDbPath), before);
  EXPECT_TRUE(open_with(env, kPassphrase));
}

// The empty passphrase gets the answer that creating a database with it gets.
TEST(PassphraseChangeHandle, EmptyPassphraseIsTreatedAsAtCreation) {
  MemEnv env;
  auto created = Ormel::open("/empty.ormel", "", testing::kDims, false, &env);
  auto db = must_open(env);
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->remember(sample_memory(0)));
  auto changed = db->change_passphrase("");
  ASSERT_EQ(changed.has_value(), created.has_value());
  if (!created) {
    EXPECT_EQ(changed.error().message(), created.error().message());
    return;
  }
  db.reset();
  auto reopened = open_with(env, "");
  ASSERT_TRUE(reopened) << reopened.error().message();
  EXPECT_TRUE((*reopened)->get(sample_memory(0).id));
  reopened->reset();
  EXPECT_FALSE(open_with(env, kPassphrase));
}

// The mutating calls of one change on a copy of `base`, and where its log commit is.
struct ChangeTrace {
  size_t calls = 0;
  testing::CommitPoints commit;
  Header header;  // the writer's header once the change returned
};

ChangeTrace trace_change(const std::vector<uint8_t>& base) {
  MemEnv mem;
  mem.write_file(kDbPath, base);
  testing::RecordingEnv rec(&mem);
  ChangeTrace trace;
  auto db = must_open(rec);
  if (!db) return trace;
  rec.clear();
  auto changed = change_to_new(*db);
  EXPECT_TRUE(changed) << changed.error().message();
  trace.calls = rec.calls().size();
  trace.header = db->state().header;
  auto points = testing::find_commit(rec.calls(), db->state().header.wal_start);
  EXPECT_TRUE(points) << "no log commit";
  if (points) trace.commit = *points;
  return trace;
}

// What a reopened file told of itself.
struct Recovered {
  bool is_new = false;  // whether the new passphrase is the one that opens it
  uint64_t page_count = 0;
  uint64_t nonce_counter = 0;
};

// A recovered file: opens with exactly one passphrase, holds the data of before, and keeps
// working.
Recovered check_recovered(const std::vector<uint8_t>& file, const ObservedState& before, const KeyMaterial& old_key) {
  MemEnv as_old, as_new;
  as_old.write_file(kDbPath, file);
  as_new.write_file(kDbPath, file);
  auto old_db = open_with(as_old, kPassphrase);
  auto new_db = open_with(as_new, kNewPassphrase);
  EXPECT_NE(old_db.has_value(), new_db.has_value()) << "not exactly one passphrase opens the file";
  if (old_db.has_value() == new_db.has_value()) return {};
  const bool is_new = new_db.has_value();
  Recovered out{is_new, 0, 0};
  const auto& refused = is_new ? old_db : new_db;
  EXPECT_EQ(refused.error().kind(), ErrorKind::WrongPassphrase) << refused.error().message();

  MemEnv& env = is_new ? as_new : as_old;
  const std::string_view passphrase = is_new ? kNewPassphrase : kPassphrase;
  {
    std::unique_ptr<Ormel> db = std::move(is_new ? *new_db : *old_db);
    out.page_count = db->state().header.page_count;
    out.nonce_counter = db->state().header.nonce_counter;
    const ObservedState seen = observe_ok(*db, before.txn_id);
    EXPECT_EQ(seen, is_new ? changed_from(before) : before) << summary(seen) << " vs " << summary(before);
    if (is_new) expect_absent(env.read_file(kDbPath), old_key);
    EXPECT_TRUE(db->remember(sample_memory(kAfterRecovery)));
    auto flushed = db->flush();
    EXPECT_TRUE(flushed) << flushed.error().message();
  }
  auto db = open_with(env, passphrase);
  EXPECT_TRUE(db) << db.error().message();
  if (db) EXPECT_EQ((*db)->live_count(), before.live + 1);
  return out;
}

TEST(PassphraseChangeCrash, OpensWithExactlyOnePassphraseAtEveryCrashPoint) {
  const std::vector<uint8_t> base = moved_log_with_stale_frames();
  ASSERT_FALSE(base.empty());
  const KeyMaterial old_key = key_material_of(base);
  const ObservedState before = observe_file(base);
  const ChangeTrace trace = trace_change(base);
  ASSERT_GT(trace.commit.write, 2u) << "no header copy was scrubbed before the commit";

  for (uint64_t n = 1; n <= trace.calls; ++n) {
    for (CrashMode mode : {CrashMode::Keep, CrashMode::Drop, CrashMode::Torn}) {
      SCOPED_TRACE("crash at call " + std::to_string(n) + " of " + std::to_string(trace.calls) + ", " +
                   testing::crash_mode_name(mode));
      MemEnv env;
      testing::crash_run(env, base, [](Ormel&) -> Status { return {}; }, change_to_new, n, mode);
      const Recovered recovered = check_recovered(env.read_file(kDbPath), before, old_key);
      if (n < trace.commit.write) {
        EXPECT_FALSE(recovered.is_new) << "changed before the log commit was written";
      } else {
        // The new snapshot run's pages may be in the log: their page numbers and nonce
        // counters are never handed out again.
        EXPECT_GE(recovered.page_count, trace.header.page_count);
        EXPECT_GE(recovered.nonce_counter, trace.header.nonce_counter);
      }
      if (n > trace.commit.sync) {
        EXPECT_TRUE(recovered.is_new) << "lost a change whose commit was durable";
      }
    }
  }
}

// A change made with memories staged flushes them first; no crash of the change after that
// flush's commit loses them, though the key scrub then overwrites the log that holds it.
TEST(PassphraseChangeCrash, WhatItsFlushCommittedSurvivesEveryLaterCrashPoint) {
  const std::vector<uint8_t> base = moved_log_with_stale_frames();
  const Memory staged = sample_memory(kAfterRecovery + 1);
  auto stage = [&staged](Ormel& db) { return testing::status_of(db.remember(staged)); };
  const testing::Trace flushed = testing::trace_run(base, stage, [](Ormel& db) { return db.flush(); }, 0);
  uint64_t calls = 0;
  {
    MemEnv mem;
    mem.write_file(kDbPath, base);
    testing::RecordingEnv rec(&mem);
    auto db = must_open(rec);
    ASSERT_TRUE(db);
    ASSERT_TRUE(stage(*db));
    rec.clear();
    ASSERT_TRUE(change_to_new(*db));
    calls = rec.calls().size();
  }
  ASSERT_GT(calls, flushed.commit.sync);
  for (uint64_t n = flushed.commit.sync + 1; n <= calls; ++n) {
    for (CrashMode mode : {CrashMode::Keep, CrashMode::Drop, CrashMode::Torn}) {
      SCOPED_TRACE("crash at call " + std::to_string(n) + " of " + std::to_string(calls) + ", " +
                   testing::crash_mode_name(mode));
      MemEnv env;
      testing::crash_run(env, base, stage, change_to_new, n, mode);
      auto db = open_with(env, kPassphrase);
      if (!db) db = open_with(env, kNewPassphrase);
      ASSERT_TRUE(db) << db.error().message();
      EXPECT_TRUE((*db)->get(staged.id)) << "the flushed memory was lost";
    }
  }
}

// A change cut off just before its log commit has wiped every header copy it may: the log
// region's last transaction is not among them, since it rebuilds page 0 should a later
// write tear it.
TEST(PassphraseChangeCrash, CutOffBeforeTheCommitLeavesTheLogAbleToRebuildPage0) {
  const std::vector<uint8_t> base = moved_log_with_stale_frames();
  const ChangeTrace trace = trace_change(base);
  MemEnv env;
  testing::crash_run(env, base, [](Ormel&) -> Status { return {}; }, change_to_new, trace.commit.write,
                     CrashMode::Drop);
  testing::corrupt_header(env);
  EXPECT_EQ(observe_file(env.read_file(kDbPath)), observe_file(base));
}

// An I/O error at any file call: the change reports it, the handle keeps its data, and a
// retry completes the change.
const std::string kLeftoverPath = std::string(kDbPath) + ".compacting";

// A compaction killed before its rename left a copy of the database beside it, which opens
// with the old passphrase and holds the same data key. At every crash point of the change,
// a file that opens with the new passphrase has no such copy beside it; a read-write open
// removes one too, a read-only open leaves it.
TEST(PassphraseChangeCrash, ALeftoverCopyOfTheDatabaseIsGoneOnceTheChangeIsDurable) {
  const std::vector<uint8_t> base = moved_log_with_stale_frames();
  const KeyMaterial old_key = key_material_of(base);
  const ObservedState before = observe_file(base);
  MemEnv* current = nullptr;
  auto leave_copy = [&](Ormel&) -> Status {
    current->write_file(kLeftoverPath, base);
    return {};
  };
  uint64_t calls = 0;
  {
    MemEnv env;
    env.write_file(kDbPath, base);
    auto db = must_open(env);
    ASSERT_TRUE(db);
    current = &env;
    ASSERT_TRUE(leave_copy(*db));
    const uint64_t from = env.mutating_calls();
    ASSERT_TRUE(change_to_new(*db));
    calls = env.mutating_calls() - from;
    EXPECT_FALSE(env.exists(kLeftoverPath));
  }
  for (uint64_t n = 1; n <= calls; ++n) {
    for (CrashMode mode : {CrashMode::Keep, CrashMode::Drop, CrashMode::Torn}) {
      SCOPED_TRACE("crash at call " + std::to_string(n) + " of " + std::to_string(calls) + ", " +
                   testing::crash_mode_name(mode));
      MemEnv env;
      current = &env;
      testing::crash_run(env, base, leave_copy, change_to_new, n, mode);
      const Recovered recovered = check_recovered(env.read_file(kDbPath), before, old_key);
      if (recovered.is_new) EXPECT_FALSE(env.exists(kLeftoverPath)) << "a copy under the old key survived";
    }
  }

  for (bool read_only : {true, false}) {
    SCOPED_TRACE(read_only ? "read-only open" : "read-write open");
    MemEnv env;
    env.write_file(kDbPath, base);
    env.write_file(kLeftoverPath, base);
    EXPECT_TRUE(must_open(env, read_only));
    EXPECT_EQ(env.exists(kLeftoverPath), read_only);
  }
}

TEST(PassphraseChangeFault, FailingOnceThenRetried) {
  const std::vector<uint8_t> base = moved_log_with_stale_frames();
  const KeyMaterial old_key = key_material_of(base);
  const ObservedState before = observe_file(base);
  uint64_t change_calls = 0;
  {
    MemEnv env;
    env.write_file(kDbPath, base);
    auto db = must_open(env);
    ASSERT_TRUE(db);
    const uint64_t from = env.calls();
    ASSERT_TRUE(change_to_new(*db));
    change_calls = env.calls() - from;
  }
  for (uint64_t k = 1; k <= change_calls; ++k) {
    SCOPED_TRACE("fault at call " + std::to_string(k) + " of " + std::to_string(change_calls));
    MemEnv env;
    env.write_file(kDbPath, base);
    {
      auto db = must_open(env);
      ASSERT_TRUE(db);
      env.fail_at(env.calls() + k, testing::FailMode::Once);
      auto failed = change_to_new(*db);
      ASSERT_FALSE(failed);
      EXPECT_EQ(failed.error().message(), "io error: injected fault");
      EXPECT_EQ(observe_ok(*db), before) << "the failed change altered the handle";
      auto retried = change_to_new(*db);
      ASSERT_TRUE(retried) << retried.error().message();
    }
    expect_absent(env.read_file(kDbPath), old_key);
    EXPECT_FALSE(open_with(env, kPassphrase));
    auto db = open_with(env, kNewPassphrase);
    ASSERT_TRUE(db) << db.error().message();
    EXPECT_EQ(observe_ok(**db, before.txn_id), changed_from(before));
  }
}

}  // namespace
}  // namespace ormel
