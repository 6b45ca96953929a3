// Open, create and lock: the new file, reopening, refusals of read-only handles, locking
// on the in-memory and the real file system, and recovery of a torn header page.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "core/byte_order.h"
#include "core/crypto.h"
#include "core/store.h"
#include "core/store_state.h"
#include "core/wal.h"
#include "tests/core/support/earlier_release_log.h"
#include "tests/core/support/fault_env.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

using testing::CrashMode;
using testing::ForwardingEnv;
using testing::kDbPath;
using testing::MemEnv;
using testing::must_open;
using testing::observe;
using testing::sample_memory;
using testing::try_open;
using testing::commit_without_checkpoint;
using testing::two_transactions;

Page page_zero(const std::vector<uint8_t>& file) {
  Page page{};
  std::copy_n(file.begin(), PAGE_SIZE, page.begin());
  return page;
}

TEST(StoreCreate, NewFileIsOneSealedHeaderPage) {
  MemEnv env;
  auto db = must_open(env);
  ASSERT_TRUE(db);
  std::vector<uint8_t> file = env.read_file(kDbPath);
  ASSERT_EQ(file.size(), PAGE_SIZE);
  EXPECT_EQ(std::memcmp(file.data(), "ORME", 4), 0);
  auto h = from_page(page_zero(file));
  ASSERT_TRUE(h) << h.error().message();
  EXPECT_EQ(h->format_version, testing::created_format().value_or(8));
  EXPECT_EQ(h->page_size, PAGE_SIZE);
  EXPECT_EQ(h->encrypted, 1u);
  EXPECT_EQ(h->dimensions, 4u);
  EXPECT_EQ(h->nonce_counter, 0u);
  EXPECT_EQ(h->page_count, 9u);
  EXPECT_EQ(h->wal_start, 1u);
  EXPECT_EQ(h->wal_pages, 8u);
  EXPECT_EQ(h->txn_id, 0u);
  EXPECT_EQ(h->memory_count, 0u);
  for (uint64_t v : {h->catalog_start, h->catalog_pages, h->catalog_len, h->index_start, h->index_pages, h->index_len,
                     h->manifest_start, h->manifest_pages, h->manifest_len, h->cache_dir_start, h->cache_dir_pages,
                     h->cache_dir_len}) {
    EXPECT_EQ(v, 0u);
  }
  EXPECT_EQ(h->kdf_m_cost, 19456u);
  EXPECT_EQ(h->kdf_t_cost, 2u);
  EXPECT_EQ(h->kdf_p_cost, 1u);
  EXPECT_NE(h->created_at, 0u);
  EXPECT_EQ(load_le<uint32_t>(file.data() + 238), crc32(std::span<const uint8_t>(file.data(), 238)));
  ASSERT_TRUE(h->seal_tag);
  EXPECT_TRUE(validate_seal(*h, db->state().pager->dek()));
  for (size_t i : {210, 211, 212, 213}) EXPECT_EQ(file[i], 0) << "reserved byte " << i;
  EXPECT_TRUE(std::all_of(file.begin() + 294, file.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(db->snapshots().empty());
  EXPECT_EQ(db->live_count(), 0u);
}

TEST(StoreCreate, ReopenKeepsTheStoredDimensions) {
  MemEnv env;
  ASSERT_TRUE(must_open(env));
  auto db = Ormel::open(kDbPath, testing::kPassphrase, 9, false, &env);
  ASSERT_TRUE(db) << db.error().message();
  EXPECT_EQ((*db)->dimensions(), 4u);
  EXPECT_TRUE((*db)->remember(sample_memory(0)));
  auto wrong = (*db)->remember(Memory::make("nine", MemoryType::Semantic, std::vector<float>(9, 1.0f)));
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().message(), "vector dimension mismatch: database expects 4, got 9");
}

TEST(StoreOpen, FileShorterThanAHeaderFailsAtTheHeaderRead) {
  for (size_t size : {size_t{0}, size_t{100}, PAGE_SIZE - 1}) {
    MemEnv env;
    env.write_file(kDbPath, std::vector<uint8_t>(size, 0));
    for (bool read_only : {false, true}) {
      auto db = try_open(env, read_only);
      ASSERT_FALSE(db) << size;
      EXPECT_EQ(db.error().message(), "io error: failed to fill whole buffer") << size << " read_only " << read_only;
    }
  }
}

// Lock compatibility, on the in-memory environment and on real files.
struct LockCase {
  bool first_read_only;
  bool second_read_only;
  bool second_opens;
};

class StoreLock : public ::testing::TestWithParam<bool> {  // true: real files
 protected:
  void SetUp() override {
    if (GetParam()) {
      dir_ = std::filesystem::path(::testing::TempDir()) / ("ormel_lock_" + std::to_string(getpid()));
      std::filesystem::create_directories(dir_);
      path_ = (dir_ / "db.ormel").string();
      std::filesystem::remove(path_);
      env_ = posix_env();
    } else {
      path_ = kDbPath;
      env_ = &mem_;
    }
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  MemEnv mem_;
  Env* env_ = nullptr;
  std::filesystem::path dir_;
  std::string path_;
};

TEST_P(StoreLock, ReadOnlyHandlesShareAndWritersExclude) {
  ASSERT_TRUE(must_open(*env_, false, path_));  // create, then release
  const LockCase cases[] = {
      {true, true, true},
      {false, true, false},
      {true, false, false},
      {false, false, false},
  };
  for (const LockCase& c : cases) {
    SCOPED_TRACE(std::string(c.first_read_only ? "ro" : "rw") + " then " + (c.second_read_only ? "ro" : "rw"));
    auto first = must_open(*env_, c.first_read_only, path_);
    ASSERT_TRUE(first);
    {
      auto second = try_open(*env_, c.second_read_only, path_);
      if (c.second_opens) {
        EXPECT_TRUE(second) << second.error().message();
      } else {
        ASSERT_FALSE(second);
        EXPECT_EQ(second.error().kind(), ErrorKind::Locked);
        EXPECT_EQ(second.error().message(), "file already locked by another handle: " + path_);
      }
    }
    first.reset();
    // Dropping the first handle released its lock.
    EXPECT_TRUE(must_open(*env_, c.second_read_only, path_));
  }
}

// An environment in which the path is created by someone else between the existence
// check and the create: exists() always says no.
class CreateRaceEnv final : public ForwardingEnv {
 public:
  using ForwardingEnv::ForwardingEnv;
  bool exists(const std::string&) override { return false; }
};

// Two creators of one path: the one that loses the race gets an error and never damages
// the winner's file, whether the winner still holds it open or has closed it.
TEST_P(StoreLock, LosingTheCreateRaceLeavesTheWinnersFileIntact) {
  for (bool winner_open : {true, false}) {
    SCOPED_TRACE(winner_open ? "winner holds the file" : "winner closed the file");
    std::filesystem::remove(path_);
    mem_ = MemEnv();
    auto winner = must_open(*env_, false, path_);
    ASSERT_TRUE(winner);
    ASSERT_TRUE(winner->remember(sample_memory(0)));
    ASSERT_TRUE(winner->flush());
    if (!winner_open) winner.reset();

    CreateRaceEnv racing(env_);
    auto loser = Ormel::open(path_, testing::kPassphrase, testing::kDims, false, &racing);
    ASSERT_FALSE(loser);
    EXPECT_EQ(loser.error().message(), "io error: File exists");

    if (!winner) winner = must_open(*env_, false, path_);
    ASSERT_TRUE(winner);
    ASSERT_TRUE(winner->remember(sample_memory(1)));
    ASSERT_TRUE(winner->flush());
    winner.reset();
    auto reopened = must_open(*env_, true, path_);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->live_count(), 2u);
    EXPECT_TRUE(reopened->get(sample_memory(0).id));
  }
}

INSTANTIATE_TEST_SUITE_P(Envs, StoreLock, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? std::string("PosixFiles") : std::string("MemEnv"); });

// The same crash in a file an earlier release wrote, whose log holds the pending
// transaction's runs before its header. Returns the state that commit holds.
testing::ObservedState earlier_release_commit_without_checkpoint(MemEnv& env) {
  two_transactions(env);
  const std::vector<uint8_t> before_checkpoint = env.read_file(kDbPath);
  testing::ObservedState committed;
  {
    auto db = must_open(env);
    EXPECT_TRUE(db);
    if (!db) return committed;
    EXPECT_TRUE(db->remember(sample_memory(7)));
    EXPECT_TRUE(db->delete_memory(sample_memory(0).id));
    EXPECT_TRUE(db->flush());
    EXPECT_TRUE(testing::log_runs_like_earlier_release(*db));
    auto seen = observe(*db, 0);
    EXPECT_TRUE(seen) << seen.error().message();
    if (seen) committed = *seen;
  }
  // Page 0 as it was before the checkpoint.
  std::vector<uint8_t> file = env.read_file(kDbPath);
  std::copy(before_checkpoint.begin(), before_checkpoint.begin() + PAGE_SIZE, file.begin());
  env.write_file(kDbPath, file);
  return committed;
}

// A read-only open refuses what only a read-write open can fix; the read-write open then
// fixes it and read-only opens work again.
TEST(StoreOpenReadOnly, RefusesWhatNeedsAWriter) {
  struct Case {
    const char* name;
    std::function<void(MemEnv&)> prepare;
    const char* message;
  };
  const Case cases[] = {
      {"torn header", [](MemEnv& env) {
         two_transactions(env);
         testing::corrupt_header(env);
       },
       "read-only open blocked: torn header page needs recovery from WAL — open read-write once to fix"},
      {"pending recovery", [](MemEnv& env) { commit_without_checkpoint(env); },
       "read-only open blocked: pending WAL recovery — open read-write once to fix"},
      {"version 7",
       [](MemEnv& env) {
         two_transactions(env);
         auto db = must_open(env);
         ASSERT_TRUE(db);
         Header h = db->state().header;
         h.format_version = 7;
         auto page = seal_header(h, db->state().pager->dek());
         ASSERT_TRUE(page);
         db.reset();
         std::vector<uint8_t> file = env.read_file(kDbPath);
         std::copy(page->begin(), page->end(), file.begin());
         env.write_file(kDbPath, file);
       },
       "read-only open blocked: pending format-version migration — open read-write once to fix"},
  };
  for (const Case& c : cases) {
    // Only a version 8 file can pass for an older one that a writer upgrades.
    if (testing::created_format() == 9 && std::string_view(c.name) == "version 7") continue;
    SCOPED_TRACE(c.name);
    MemEnv env;
    c.prepare(env);
    const std::vector<uint8_t> before = env.read_file(kDbPath);
    auto ro = try_open(env, true);
    ASSERT_FALSE(ro);
    EXPECT_EQ(ro.error().kind(), ErrorKind::ReadOnlyBlocked);
    EXPECT_EQ(ro.error().message(), c.message);
    EXPECT_EQ(env.read_file(kDbPath), before) << "a refused read-only open wrote to the file";

    auto rw = must_open(env);
    ASSERT_TRUE(rw);
    ASSERT_TRUE(rw->remember(sample_memory(20)));
    ASSERT_TRUE(rw->flush());
    rw.reset();
    auto again = must_open(env, true);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->state().header.format_version, testing::created_format().value_or(8));
    EXPECT_TRUE(again->get(sample_memory(20).id));
  }
}

// A compaction killed before its rename leaves a copy of the database beside it: a
// read-write open removes it, durably; a power loss at either call of that leaves the
// database as it was and the copy, if it survives, goes at the next open.
TEST(StoreOpenRecovery, ALeftoverCompactionFileGoesAtEveryCrashPointOfTheOpen) {
  const std::string leftover = std::string(kDbPath) + ".compacting";
  MemEnv made;
  {
    auto db = must_open(made);
    ASSERT_TRUE(db && db->remember(sample_memory(1)) && db->flush());
  }
  const std::vector<uint8_t> base = made.read_file(kDbPath);
  auto seed = [&](MemEnv& env) {
    env.write_file(kDbPath, base);
    env.write_file(leftover, base);
  };
  uint64_t calls = 0;
  {
    MemEnv env;
    seed(env);
    ASSERT_TRUE(must_open(env));
    calls = env.mutating_calls();
    EXPECT_FALSE(env.exists(leftover));
  }
  ASSERT_EQ(calls, 2u);  // remove, directory sync
  for (CrashMode mode : {CrashMode::Keep, CrashMode::Drop, CrashMode::Torn}) {
    for (uint64_t n = 1; n <= calls; ++n) {
      SCOPED_TRACE(std::string(testing::crash_mode_name(mode)) + " crash at call " + std::to_string(n));
      MemEnv env;
      seed(env);
      env.crash_at(n, mode);
      (void)try_open(env);
      env.power_loss();
      EXPECT_EQ(env.read_file(kDbPath), base);
      auto db = must_open(env);
      ASSERT_TRUE(db);
      EXPECT_TRUE(db->get(sample_memory(1).id));
      EXPECT_FALSE(env.exists(leftover));
    }
  }
}

TEST(StoreOpenRecovery, PendingCommitIsReplayedByAReadWriteOpen) {
  MemEnv env;
  testing::ObservedState committed = commit_without_checkpoint(env);
  auto db = must_open(env);
  ASSERT_TRUE(db);
  auto seen = observe(*db, 0);
  ASSERT_TRUE(seen) << seen.error().message();
  EXPECT_EQ(*seen, committed) << testing::summary(*seen) << " vs " << testing::summary(committed);
  EXPECT_FALSE(db->get(sample_memory(0).id));
  EXPECT_TRUE(db->get(sample_memory(7).id));
}

TEST(StoreOpenRecovery, TornHeaderIsRebuiltFromTheLogOrRefused) {
  {
    SCOPED_TRACE("committed transaction in the log");
    MemEnv env;
    testing::ObservedState before = two_transactions(env);
    testing::corrupt_header(env);
    auto db = must_open(env);
    ASSERT_TRUE(db);
    auto seen = observe(*db);
    ASSERT_TRUE(seen) << seen.error().message();
    EXPECT_EQ(*seen, before) << testing::summary(*seen);
  }
  {
    SCOPED_TRACE("no transaction ever committed");
    MemEnv env;
    ASSERT_TRUE(must_open(env));
    testing::corrupt_header(env);
    auto db = try_open(env);
    ASSERT_FALSE(db);
    EXPECT_EQ(db.error().kind(), ErrorKind::HeaderChecksum);
    EXPECT_EQ(db.error().message(), "header checksum mismatch — page 0 is torn or corrupt");
  }
}

// Three transactions, the second of which moves the log region to the end of the file:
// pages 1..8 keep the first, long-applied transaction. Returns the state after the third.
testing::ObservedState moved_region_history(MemEnv& env, uint32_t& next) {
  auto db = must_open(env);
  EXPECT_TRUE(db);
  if (!db) return {};
  for (; next < 3; ++next) EXPECT_TRUE(db->remember(sample_memory(next)));
  EXPECT_TRUE(db->flush());  // txn 1, logged at pages 1..8
  next = testing::fill_catalog(*db, next, 7 * PAGE_PAYLOAD);
  EXPECT_TRUE(testing::move_log_region(*db, 16));  // as earlier releases did before a large txn
  EXPECT_TRUE(db->flush());                         // txn 2, in the moved region
  EXPECT_GT(db->state().header.wal_start, 8u);
  EXPECT_TRUE(db->delete_memory(sample_memory(1).id));
  EXPECT_TRUE(db->remember(sample_memory(next++)));
  EXPECT_TRUE(db->flush());  // txn 3, in the moved region
  auto seen = observe(*db);
  EXPECT_TRUE(seen) << seen.error().message();
  std::vector<uint8_t> file = env.read_file(kDbPath);
  EXPECT_EQ(std::memcmp(file.data() + PAGE_SIZE, "OWAL", 4), 0) << "the old region no longer holds a transaction";
  EXPECT_EQ(load_le<uint64_t>(file.data() + PAGE_SIZE + 5), 1u);
  return seen ? *seen : testing::ObservedState{};
}

// A torn header must come back at the newest state, not at the old region's transaction.
TEST(StoreOpenRecovery, TornHeaderNeverRollsBackToAnAbandonedLogRegion) {
  MemEnv env;
  uint32_t next = 0;
  const testing::ObservedState before = moved_region_history(env, next);
  ASSERT_EQ(before.txn_id, 3u);
  const uint64_t file_pages = env.read_file(kDbPath).size() / PAGE_SIZE;

  testing::corrupt_header(env);
  auto db = must_open(env);
  ASSERT_TRUE(db);
  auto seen = observe(*db);
  ASSERT_TRUE(seen) << seen.error().message();
  EXPECT_EQ(*seen, before) << testing::summary(*seen) << " vs " << testing::summary(before);
  EXPECT_GE(db->state().header.page_count, file_pages);

  // Page numbers already in the file are never handed out again.
  ASSERT_TRUE(db->remember(sample_memory(next)));
  const CatalogEntry& row = db->state().catalog.back();
  EXPECT_GE(row.start_page, file_pages);
  ASSERT_TRUE(db->flush());
}

// The newest commit's log can be gone: a later commit was torn over it and never finished.
// A torn header then has no transaction to rebuild the newest state from; the open must
// refuse rather than bring back the old region's transaction.
TEST(StoreOpenRecovery, TornHeaderAfterATornCommitRefusesRatherThanRollsBack) {
  MemEnv env;
  uint32_t next = 0;
  const testing::ObservedState before = moved_region_history(env, next);
  const std::vector<uint8_t> base = env.read_file(kDbPath);
  auto stage = [next](Ormel& db) { return testing::status_of(db.remember(sample_memory(next))); };
  auto commit = [](Ormel& db) { return db.flush(); };
  const testing::Trace trace = testing::trace_run(base, stage, commit, 0);
  testing::crash_run(env, base, stage, commit, trace.commit.write, CrashMode::Torn);
  {
    auto db = must_open(env);
    ASSERT_TRUE(db);
    auto seen = observe(*db);
    ASSERT_TRUE(seen) << seen.error().message();
    ASSERT_EQ(*seen, before) << "the torn commit was not rolled back";
  }
  testing::corrupt_header(env);
  auto db = try_open(env);
  ASSERT_FALSE(db) << "opened at " << testing::summary(*observe(**db)) << " instead of refusing";
  EXPECT_EQ(db.error().kind(), ErrorKind::HeaderChecksum) << db.error().message();
}

// The frame records of the transaction at the start of the log region `wal_start`, by
// their offsets in the file; the commit record follows the last one.
std::vector<size_t> log_frames(const std::vector<uint8_t>& file, uint64_t wal_start) {
  std::vector<size_t> frames;
  for (size_t at = wal_start * PAGE_SIZE; file[at + 4] == 1; at += wal::FRAME_RECORD) frames.push_back(at);
  return frames;
}

// Recomputes every frame CRC and the commit record's running CRC after frames were edited,
// so the log's own checksums still hold.
void reseal_log(std::vector<uint8_t>& file, uint64_t wal_start) {
  uint32_t running = 0;
  size_t at = wal_start * PAGE_SIZE;
  for (size_t frame : log_frames(file, wal_start)) {
    std::span<const uint8_t> image(file.data() + frame + wal::COMMIT_RECORD, PAGE_SIZE);
    store_le(file.data() + frame + 25, crc32(image));
    running = crc32(image, running);
    at = frame + wal::FRAME_RECORD;
  }
  store_le(file.data() + at + 25, running);
}

// Recovery replays a logged transaction only when every frame authenticates as the page it
// names and its header frame is a sealed, well-formed header; otherwise the open is refused
// and the file is left exactly as it was.
TEST(StoreOpenRecovery, FramesThatAreNotWhatTheyClaimAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    const char* name;
    bool torn_header;
    // Edits the log (offsets of the frame records given); returns the expected message.
    std::function<std::string(std::vector<uint8_t>&, const std::vector<size_t>&, uint64_t live_page)> edit;
  };
  const Case cases[] = {
      {"frame redirected to a live page", false,
       [](std::vector<uint8_t>& file, const std::vector<size_t>& frames, uint64_t live_page) {
         store_le(file.data() + frames.front() + 13, live_page);
         return "page " + std::to_string(live_page) + ": failed authentication — the file is corrupt or tampered";
       }},
      {"frame redirected, header torn", true,
       [](std::vector<uint8_t>& file, const std::vector<size_t>& frames, uint64_t live_page) {
         store_le(file.data() + frames.front() + 13, live_page);
         return "page " + std::to_string(live_page) + ": failed authentication — the file is corrupt or tampered";
       }},
      {"header frame with a broken checksum", false,
       [](std::vector<uint8_t>& file, const std::vector<size_t>& frames, uint64_t) {
         file[frames.back() + wal::COMMIT_RECORD + 20] ^= 0x01;  // created_at, under the header CRC
         return std::string("header checksum mismatch — page 0 is torn or corrupt");
       }},
      {"header frame with a broken seal", true,
       [](std::vector<uint8_t>& file, const std::vector<size_t>& frames, uint64_t) {
         uint8_t* header = file.data() + frames.back() + wal::COMMIT_RECORD;
         store_le(header + 66, load_le<uint64_t>(header + 66) + 1);  // memory_count, sealed
         store_le(header + 238, crc32(std::span<const uint8_t>(header, 238)));
         return std::string("header seal authentication failed — mutable fields tampered with");
       }},
      {"header frame moved to a data page", false,
       [](std::vector<uint8_t>& file, const std::vector<size_t>& frames, uint64_t live_page) {
         store_le(file.data() + frames.back() + 13, live_page);
         return std::string("page 0: failed authentication — the file is corrupt or tampered");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemEnv env;
    const testing::ObservedState committed = earlier_release_commit_without_checkpoint(env);
    const std::vector<uint8_t> pristine = env.read_file(kDbPath);
    const uint64_t wal_start = load_le<uint64_t>(pristine.data() + 186);
    const std::vector<size_t> frames = log_frames(pristine, wal_start);
    ASSERT_GE(frames.size(), 2u);
    ASSERT_EQ(load_le<uint64_t>(pristine.data() + frames.back() + 13), 0u) << "the header frame comes last";
    // A record page the pending transaction leaves alone.
    const uint64_t live_page = committed.catalog.front().start_page;

    std::vector<uint8_t> file = pristine;
    const std::string message = c.edit(file, frames, live_page);
    reseal_log(file, wal_start);
    env.write_file(kDbPath, file);
    if (c.torn_header) testing::corrupt_header(env);
    const std::vector<uint8_t> before = env.read_file(kDbPath);

    auto db = try_open(env);
    ASSERT_FALSE(db);
    EXPECT_EQ(db.error().message(), message);
    EXPECT_TRUE(env.read_file(kDbPath) == before) << "a refused recovery wrote to the file";

    // With the log as it was written, the same open recovers every committed memory.
    env.write_file(kDbPath, pristine);
    if (c.torn_header) testing::corrupt_header(env);
    auto recovered = must_open(env);
    ASSERT_TRUE(recovered);
    auto seen = observe(*recovered, 0);
    ASSERT_TRUE(seen) << seen.error().message();
    EXPECT_EQ(*seen, committed) << testing::summary(*seen);
  }
}

// The key-derivation costs are read before anything authenticates them: costs beyond the
// bounds fail the open at once with a key-derivation error, and the file is untouched.
TEST(StoreOpen, HeaderKdfCostsBeyondTheBoundsFailTheOpen) {
  struct Case {
    size_t offset;
    uint32_t value;
    const char* message;
  };
  const Case cases[] = {
      {74, 1u << 20, "key derivation failed: memory cost 1048576 KiB exceeds the limit of 262144 KiB"},
      {78, UINT32_MAX, "key derivation failed: pass count 4294967295 exceeds the limit of 16"},
      {82, 1001, "key derivation failed: lane count 1001 exceeds the limit of 64"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    MemEnv env;
    ASSERT_TRUE(must_open(env));
    std::vector<uint8_t> file = env.read_file(kDbPath);
    store_le(file.data() + c.offset, c.value);
    store_le(file.data() + 238, crc32(std::span<const uint8_t>(file.data(), 238)));
    env.write_file(kDbPath, file);
    for (bool read_only : {false, true}) {
      auto db = try_open(env, read_only);
      ASSERT_FALSE(db);
      EXPECT_EQ(db.error().kind(), ErrorKind::KeyDerivation);
      EXPECT_EQ(db.error().message(), c.message);
    }
    EXPECT_TRUE(env.read_file(kDbPath) == file);
  }
}

// The header's dimensionality is not sealed: a changed value must give errors naming what
// disagrees, never similarities over mismatched widths or reads past a vector.
TEST(StoreOpen, HeaderDimensionsThatDisagreeWithTheStoredVectorsAreErrors) {
  constexpr uint64_t kStored = 32;
  for (bool indexed : {false, true}) {
    for (uint32_t claimed : {16u, 64u}) {
      SCOPED_TRACE(std::string(indexed ? "indexed, " : "") + "header says " + std::to_string(claimed));
      MemEnv env;
      MemoryId first = 0;
      {
        auto db = Ormel::open(kDbPath, testing::kPassphrase, kStored, false, &env);
        ASSERT_TRUE(db);
        for (uint32_t i = 0; i < 3; ++i) {
          std::vector<float> v(kStored, 0.0f);
          v[i] = 1.0f;
          auto id = (*db)->remember(Memory::make("m" + std::to_string(i), MemoryType::Semantic, v));
          ASSERT_TRUE(id);
          if (i == 0) first = *id;
        }
        if (indexed) ASSERT_TRUE((*db)->build_index());
        ASSERT_TRUE((*db)->flush());
      }
      std::vector<uint8_t> file = env.read_file(kDbPath);
      store_le(file.data() + 14, claimed);
      store_le(file.data() + 238, crc32(std::span<const uint8_t>(file.data(), 238)));
      env.write_file(kDbPath, file);

      auto db = Ormel::open(kDbPath, testing::kPassphrase, std::nullopt, false, &env);
      if (indexed) {
        ASSERT_FALSE(db);
        EXPECT_EQ(db.error().message(), "serialization error: invalid index: its vectors have 32 values, but the "
                                        "database's dimensionality is " + std::to_string(claimed));
        continue;
      }
      ASSERT_TRUE(db) << db.error().message();
      const std::string refused = "serialization error: memory " + ulid_to_text(first) +
                                  " holds a vector of 32 values, but the database's dimensionality is " +
                                  std::to_string(claimed);
      const std::vector<float> query(claimed, 0.5f);
      RecallRequest request;
      request.query = query;
      auto recalled = (*db)->recall(request);
      ASSERT_FALSE(recalled);
      EXPECT_EQ(recalled.error().message(), refused);
      auto found = (*db)->search(query, 3);
      ASSERT_FALSE(found);
      EXPECT_EQ(found.error().message(), refused);
      auto got = (*db)->get(first);
      ASSERT_FALSE(got);
      EXPECT_EQ(got.error().message(), refused);
      auto listed = (*db)->memories();
      ASSERT_FALSE(listed);
      EXPECT_EQ(listed.error().message(), refused);
      auto built = (*db)->build_index();
      ASSERT_FALSE(built);
      EXPECT_EQ(built.error().message(), refused);
    }
  }
}

}  // namespace
}  // namespace ormel
