// Fixtures for store tests: deterministic memories, opening a database in an environment,
// a capture of everything a handle lets one observe, and an environment wrapper that
// records the write and sync calls of a run (to locate the log commit among them).
//
// Contract:
// - sample_memory(i) is a pure function of i (fixed id, times and every optional field set
//   or cleared by i), with kDims-long vectors, so two runs stage byte-identical records.
// - observe() reads every live memory through memories() and checks get() agrees with it;
//   snapshots newer than `stamped_through` get created_at 0 so that runs committed in
//   different seconds compare equal. Result-cache rows are compared without their times.
// - RecordingEnv forwards every call to its base and numbers write_at, sync and directory
//   calls from 1 in the order made, exactly as MemEnv counts its mutating calls.
// - StoreTest's SetUp creates kDbPath with kDims dimensions in its own MemEnv; reopen()
//   drops the handle first, so the file's lock is free again.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/store.h"
#include "core/store_state.h"
#include "tests/core/support/fault_env.h"
#include "tests/core/support/forwarding_env.h"

namespace ormel::testing {

inline constexpr const char* kDbPath = "/db.ormel";
inline constexpr const char* kPassphrase = "correct horse";
// The format version the store tests create files in: ORMEL_TEST_FORMAT_VERSION when set
// (CTest runs the store's behaviour suites once per version), else the default.
std::optional<uint16_t> created_format();
inline constexpr uint64_t kDims = 4;

Memory sample_memory(uint32_t i);

// Opens (or creates, with kDims) kDbPath; on error records a test failure and returns null.
std::unique_ptr<Ormel> must_open(Env& env, bool read_only = false, const std::string& path = kDbPath);
// Opens kDbPath and returns the error or the handle, for tests of refusals.
Result<std::unique_ptr<Ormel>> try_open(Env& env, bool read_only = false, const std::string& path = kDbPath);

// A fixture holding one handle on a fresh database, for tests that reopen it.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { reopen(kDims); }
  // Opens kDbPath again (creating it with `dims` when it does not exist).
  void reopen(std::optional<uint64_t> dims = std::nullopt, bool read_only = false);

  MemEnv env;
  std::unique_ptr<Ormel> db;
};

struct CacheRowView {
  std::string ns;
  KeyHash key_hash{};
  uint64_t start_page = 0;
  uint32_t len = 0;
  bool deleted = false;
  std::string content_type;
  std::vector<uint8_t> value;
  bool operator==(const CacheRowView&) const = default;
};

struct ObservedState {
  uint64_t txn_id = 0;
  uint64_t header_memory_count = 0;
  uint64_t live = 0;
  bool has_index = false;
  std::vector<CatalogEntry> catalog;  // every row, deleted ones included
  std::vector<Memory> memories;       // live ones, catalog order, every field
  std::vector<Snapshot> snapshots;
  std::vector<CacheRowView> cache;
  bool operator==(const ObservedState&) const = default;
};

Result<ObservedState> observe(Ormel& db, uint64_t stamped_through = std::numeric_limits<uint64_t>::max());
// What a retried transaction must reproduce: the same memories, rows (minus their page
// numbers), deletions and per-snapshot memory counts; transaction ids and pages may differ.
ObservedState logical(ObservedState s);
// One line for failure messages.
std::string summary(const ObservedState& s);

// Flips one byte of page 0 inside the CRC-covered fields (durably).
void corrupt_header(MemEnv& env, const std::string& path = kDbPath);

struct FileCall {
  bool sync = false;
  uint64_t offset = 0;
  std::vector<uint8_t> data;
  bool directory = false;  // rename, remove or sync_dir
};

class RecordingEnv : public ForwardingEnv {
 public:
  explicit RecordingEnv(Env* base) : ForwardingEnv(base) {}
  Status rename(const std::string& from, const std::string& to) override;
  Status remove(const std::string& path) override;
  Status sync_dir(const std::string& path) override;
  const std::vector<FileCall>& calls() const { return calls_; }
  void clear() { calls_.clear(); }

 protected:
  std::unique_ptr<File> wrap(std::unique_ptr<File> file) override;

 private:
  friend class RecordingFile;
  std::vector<FileCall> calls_;
};

// 1-based positions (among recorded calls) of the log commit's write at `wal_start` and
// of the sync that makes it durable.
struct CommitPoints {
  uint64_t write = 0;
  uint64_t sync = 0;
};
std::optional<CommitPoints> find_commit(const std::vector<FileCall>& calls, uint64_t wal_start);

// Remembers sample_memory(next), sample_memory(next + 1), ... until the encoded catalog
// holds at least `bytes` bytes; returns the next unused index.
uint32_t fill_catalog(Ormel& db, uint32_t next, size_t bytes);

// A result's success or error, without its value.
template <class T>
Status status_of(const Result<T>& r) {
  if (!r) return fail(r.error());
  return {};
}

// A step run on an open handle.
using Step = std::function<Status(Ormel&)>;

// One uninterrupted run of `stage` then `commit` on a copy of `base`: the mutating calls
// that `commit` made (numbered from 1), where its log commit was, and the state a fresh
// handle then observes.
struct Trace {
  std::vector<FileCall> calls;
  CommitPoints commit;
  Header header;  // the writer's header once `commit` returned
  ObservedState after;
};
Trace trace_run(const std::vector<uint8_t>& base, const Step& stage, const Step& commit, uint64_t stamped_through);

// Runs `stage` then `commit` on a copy of `base` in `env`, with the power going out at the
// nth mutating call of `commit` in `mode`; returns with the surviving file system up.
void crash_run(MemEnv& env, const std::vector<uint8_t>& base, const Step& stage, const Step& commit, uint64_t n,
               CrashMode mode);

// A database at kDbPath with two committed transactions; returns the state after the second.
ObservedState two_transactions(MemEnv& env);
// Leaves a file at kDbPath whose newest commit is in the log but not applied: a crash right
// after the log commit's sync. Returns the state that commit holds.
ObservedState commit_without_checkpoint(MemEnv& env);

}  // namespace ormel::testing
