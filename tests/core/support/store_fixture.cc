#include "tests/core/support/store_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace ormel::testing {

Memory sample_memory(uint32_t i) {
  Memory m;
  m.id = (static_cast<MemoryId>(0x0190'0000'0000'0000ull + i) << 64) | (0xA5A5'0000ull + i);
  m.memory_type = static_cast<MemoryType>(i % 4);
  m.vector = {static_cast<float>(i) + 0.5f, -static_cast<float>(i), 1.0f / static_cast<float>(i + 1), 3.25f};
  m.content = "memory number " + std::to_string(i);
  m.metadata = Json{{"i", i}, {"tags", Json::array({"a", i % 3})}, {"weight", 0.25 * i}};
  m.agent_id = "agent-" + std::to_string(i % 3);
  if (i % 2 == 1) m.session_id = "session-" + std::to_string(i / 2);
  m.scope = i % 2 == 1 ? Scope::Shared : Scope::Private;
  m.created_at = 1'700'000'000 + i;
  m.accessed_at = m.created_at + 7;
  m.access_count = i % 5;
  m.importance = 0.1f * static_cast<float>(i % 10);
  if (i % 3 == 0) m.ttl_secs = 1'000'000'000 + i;
  return m;
}

std::optional<uint16_t> created_format() {
  static const std::optional<uint16_t> version = []() -> std::optional<uint16_t> {
    const char* given = std::getenv("ORMEL_TEST_FORMAT_VERSION");
    if (given == nullptr || *given == 0) return std::nullopt;
    return static_cast<uint16_t>(std::stoi(given));
  }();
  return version;
}

Result<std::unique_ptr<Ormel>> try_open(Env& env, bool read_only, const std::string& path) {
  return Ormel::open(path, kPassphrase, kDims, read_only, &env, env.exists(path) ? std::nullopt : created_format());
}

std::unique_ptr<Ormel> must_open(Env& env, bool read_only, const std::string& path) {
  auto db = try_open(env, read_only, path);
  if (!db) {
    ADD_FAILURE() << "open " << path << ": " << db.error().message();
    return nullptr;
  }
  return std::move(*db);
}

void StoreTest::reopen(std::optional<uint64_t> dims, bool read_only) {
  db.reset();
  auto opened = Ormel::open(kDbPath, kPassphrase, dims, read_only, &env,
                            env.exists(kDbPath) ? std::nullopt : created_format());
  ASSERT_TRUE(opened) << opened.error().message();
  db = std::move(*opened);
}

Result<ObservedState> observe(Ormel& db, uint64_t stamped_through) {
  StoreState& s = db.state();
  ObservedState out;
  out.txn_id = s.header.txn_id;
  out.header_memory_count = s.header.memory_count;
  out.live = db.live_count();
  out.has_index = db.has_index();
  out.catalog = s.catalog;
  ORMEL_ASSIGN(out.memories, db.memories());
  for (const Memory& m : out.memories) {
    ORMEL_ASSIGN(Memory got, db.get(m.id));
    if (got != m) return fail(OrmelError::invalid_argument("get disagrees with memories() for " + ulid_to_text(m.id)));
  }
  out.snapshots = s.snapshot_manifest;
  for (Snapshot& snap : out.snapshots) {
    if (snap.txn_id > stamped_through) snap.created_at = 0;
  }
  for (const CacheDirectoryEntry& row : s.cache_directory) {
    CacheRowView view{row.namespace_, row.key_hash, row.start_page, row.len, row.deleted, {}, {}};
    if (!row.deleted) {
      ORMEL_ASSIGN(auto bytes, read_run_bytes(*s.pager, row.start_page, row.page_count, row.len));
      ORMEL_ASSIGN(CacheEntry entry, decode_cache_entry(bytes));
      view.content_type = entry.content_type;
      view.value = entry.value;
    }
    out.cache.push_back(std::move(view));
  }
  return out;
}

ObservedState logical(ObservedState s) {
  s.txn_id = 0;
  for (CatalogEntry& row : s.catalog) row.start_page = 0;
  for (Snapshot& snap : s.snapshots) snap = Snapshot{.memory_count = snap.memory_count};
  for (CacheRowView& row : s.cache) row.start_page = 0;
  return s;
}

std::string summary(const ObservedState& s) {
  return "txn " + std::to_string(s.txn_id) + ", " + std::to_string(s.live) + " live of " +
         std::to_string(s.catalog.size()) + " rows, " + std::to_string(s.snapshots.size()) + " snapshots, " +
         std::to_string(s.cache.size()) + " cache rows";
}

void corrupt_header(MemEnv& env, const std::string& path) {
  std::vector<uint8_t> bytes = env.read_file(path);
  bytes.at(100) ^= 0x5A;  // inside kdf_salt, covered by the header CRC
  env.write_file(path, std::move(bytes));
}

class RecordingFile final : public ForwardingFile {
 public:
  RecordingFile(std::unique_ptr<File> base, RecordingEnv& env) : ForwardingFile(std::move(base)), env_(env) {}
  Status write_at(uint64_t offset, std::span<const uint8_t> data) override {
    env_.calls_.push_back({false, offset, {data.begin(), data.end()}});
    return ForwardingFile::write_at(offset, data);
  }
  Status sync() override {
    env_.calls_.push_back({true, 0, {}});
    return ForwardingFile::sync();
  }

 private:
  RecordingEnv& env_;
};

std::unique_ptr<File> RecordingEnv::wrap(std::unique_ptr<File> file) {
  return std::make_unique<RecordingFile>(std::move(file), *this);
}

Status RecordingEnv::rename(const std::string& from, const std::string& to) {
  calls_.push_back({false, 0, {}, true});
  return ForwardingEnv::rename(from, to);
}

Status RecordingEnv::remove(const std::string& path) {
  calls_.push_back({false, 0, {}, true});
  return ForwardingEnv::remove(path);
}

Status RecordingEnv::sync_dir(const std::string& path) {
  calls_.push_back({false, 0, {}, true});
  return ForwardingEnv::sync_dir(path);
}

std::optional<CommitPoints> find_commit(const std::vector<FileCall>& calls, uint64_t wal_start) {
  for (size_t i = 0; i < calls.size(); ++i) {
    const FileCall& c = calls[i];
    if (c.sync || c.offset != wal_start * PAGE_SIZE || c.data.size() < 4 || std::memcmp(c.data.data(), "OWAL", 4) != 0) {
      continue;
    }
    for (size_t j = i + 1; j < calls.size(); ++j) {
      if (calls[j].sync) return CommitPoints{i + 1, j + 1};
    }
  }
  return std::nullopt;
}

uint32_t fill_catalog(Ormel& db, uint32_t next, size_t bytes) {
  while (encode_catalog(db.state().catalog).size() < bytes) {
    auto id = db.remember(sample_memory(next++));
    if (!id) {
      ADD_FAILURE() << "remember: " << id.error().message();
      break;
    }
  }
  return next;
}

Trace trace_run(const std::vector<uint8_t>& base, const Step& stage, const Step& commit, uint64_t stamped_through) {
  Trace trace;
  MemEnv mem;
  mem.write_file(kDbPath, base);
  RecordingEnv rec(&mem);
  uint64_t wal_start = 0;
  {
    auto db = must_open(rec);
    if (!db) return trace;
    auto staged = stage(*db);
    EXPECT_TRUE(staged) << "stage: " << staged.error().message();
    rec.clear();
    auto done = commit(*db);
    EXPECT_TRUE(done) << "commit: " << done.error().message();
    trace.header = db->state().header;
    wal_start = trace.header.wal_start;
    trace.calls = rec.calls();  // the commit's own calls, not those of closing the handle
  }
  auto points = find_commit(trace.calls, wal_start);
  EXPECT_TRUE(points) << "no log commit among " << trace.calls.size() << " calls";
  if (points) trace.commit = *points;
  auto db = must_open(mem);
  if (!db) return trace;
  auto seen = observe(*db, stamped_through);
  EXPECT_TRUE(seen) << seen.error().message();
  if (seen) trace.after = std::move(*seen);
  return trace;
}

void crash_run(MemEnv& env, const std::vector<uint8_t>& base, const Step& stage, const Step& commit, uint64_t n,
               CrashMode mode) {
  env.write_file(kDbPath, base);
  {
    auto db = must_open(env);
    if (!db) return;
    auto staged = stage(*db);
    EXPECT_TRUE(staged) << "stage: " << staged.error().message();
    env.crash_at(env.mutating_calls() + n, mode);
    auto done = commit(*db);
    EXPECT_FALSE(done) << "commit survived a crash at its call " << n;
  }
  EXPECT_TRUE(env.crashed()) << "call " << n << " was never made";
  env.power_loss();
}

// A database with two committed transactions; returns the state after the second.
ObservedState two_transactions(MemEnv& env) {
  auto db = must_open(env);
  EXPECT_TRUE(db);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(db->remember(sample_memory(i)));
  EXPECT_TRUE(db->flush());
  EXPECT_TRUE(db->delete_memory(sample_memory(1).id));
  EXPECT_TRUE(db->remember(sample_memory(3)));
  EXPECT_TRUE(db->flush());
  auto seen = observe(*db);
  EXPECT_TRUE(seen) << seen.error().message();
  return *seen;
}

// Leaves a file whose newest commit is in the log but not applied: a crash right after the
// log commit's sync. Returns the state that commit holds.
ObservedState commit_without_checkpoint(MemEnv& env) {
  two_transactions(env);
  const std::vector<uint8_t> base = env.read_file(kDbPath);
  auto stage = [](Ormel& db) -> Status {
    ORMEL_TRY(db.remember(sample_memory(7)));
    return db.delete_memory(sample_memory(0).id);
  };
  auto commit = [](Ormel& db) { return db.flush(); };
  Trace trace = trace_run(base, stage, commit, 0);
  crash_run(env, base, stage, commit, trace.commit.sync + 1, CrashMode::Drop);
  return trace.after;
}

}  // namespace ormel::testing
