// Upgrade of version 4 and 5 files (written by the independent test writer, see
// tests/fixtures/make_legacy_fixtures.py): the first flush after a read-write open makes the
// file version 8, and a power loss at any write or sync of that flush leaves a file that
// reopens read-write with every live memory intact and then completes the upgrade.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/crypto.h"
#include "core/format.h"
#include "core/store.h"
#include "core/store_state.h"
#include "tests/core/support/fault_env.h"
#include "tests/core/support/store_fixture.h"

namespace ormel::testing {
namespace {

std::vector<uint8_t> read_fixture_file(const std::string& name) {
  const std::string path = std::string(ORMEL_FIXTURE_DIR) + "/" + name;
  auto file = posix_env()->open_locked(path, {});
  if (!file) {
    ADD_FAILURE() << path << ": " << file.error().message();
    return {};
  }
  auto size = (*file)->size();
  std::vector<uint8_t> bytes(size ? *size : 0);
  auto read = read_exact(**file, 0, bytes);
  if (!read) ADD_FAILURE() << path << ": " << read.error().message();
  return bytes;
}

Memory memory_from_json(const Json& j) {
  Memory m;
  m.id = ulid_from_text(j.at("id").get<std::string>()).value();
  m.memory_type = parse_memory_type(j.at("memory_type").get<std::string>()).value();
  m.vector = j.at("vector").get<std::vector<float>>();
  m.content = j.at("content").get<std::string>();
  m.metadata = j.at("metadata");
  m.agent_id = j.at("agent_id").get<std::string>();
  if (!j.at("session_id").is_null()) m.session_id = j.at("session_id").get<std::string>();
  m.scope = j.at("scope").get<std::string>() == "Shared" ? Scope::Shared : Scope::Private;
  m.created_at = j.at("created_at").get<int64_t>();
  m.accessed_at = j.at("accessed_at").get<int64_t>();
  m.access_count = j.at("access_count").get<uint32_t>();
  m.importance = j.at("importance").get<float>();
  if (!j.at("ttl_secs").is_null()) m.ttl_secs = j.at("ttl_secs").get<int64_t>();
  return m;
}

// One fixture file and what it must read back as once upgraded.
struct LegacyFixture {
  uint16_t version = 0;
  std::vector<uint8_t> bytes;
  std::vector<Memory> live;  // catalog order, access fields as the upgrade must give them
  std::vector<MemoryId> deleted;
  bool has_index = false;
};

LegacyFixture load_fixture(const std::string& name) {
  const std::vector<uint8_t> text = read_fixture_file("legacy_fixtures.json");
  const Json all = Json::parse(text.begin(), text.end());
  EXPECT_EQ(all.at("passphrase").get<std::string>(), kPassphrase);
  EXPECT_EQ(all.at("dimensions").get<uint64_t>(), kDims);
  const Json& f = all.at("files").at(name);
  LegacyFixture out;
  out.version = f.at("version").get<uint16_t>();
  out.bytes = read_fixture_file(name);
  for (const Json& m : f.at("memories")) out.live.push_back(memory_from_json(m));
  for (const Json& id : f.at("deleted")) out.deleted.push_back(ulid_from_text(id.get<std::string>()).value());
  out.has_index = f.at("has_index").get<bool>();
  return out;
}

uint16_t version_on_disk(const std::vector<uint8_t>& file) {
  return file.size() < 6 ? 0 : static_cast<uint16_t>(file[4] | (file[5] << 8));
}

// Every live memory reads back exactly (memories() and get()), deleted ones stay deleted,
// and the index is there when the fixture has one.
void expect_fixture_content(Ormel& db, const LegacyFixture& f) {
  auto all = db.memories();
  ASSERT_TRUE(all) << all.error().message();
  EXPECT_EQ(*all, f.live);
  for (const Memory& m : f.live) {
    auto got = db.get(m.id);
    ASSERT_TRUE(got) << got.error().message();
    EXPECT_EQ(*got, m) << ulid_to_text(m.id);
  }
  for (MemoryId id : f.deleted) {
    auto got = db.get(id);
    ASSERT_FALSE(got) << ulid_to_text(id) << " came back";
    EXPECT_EQ(got.error().kind(), ErrorKind::NotFound);
  }
  EXPECT_EQ(db.live_count(), f.live.size());
  EXPECT_EQ(db.has_index(), f.has_index);
}

class UpgradeTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    fixture_ = load_fixture(GetParam());
    ASSERT_FALSE(fixture_.bytes.empty());
    ASSERT_EQ(version_on_disk(fixture_.bytes), fixture_.version);
  }
  LegacyFixture fixture_;
};

TEST_P(UpgradeTest, FirstFlushWritesVersion8) {
  MemEnv env;
  env.write_file(kDbPath, fixture_.bytes);
  auto refused = try_open(env, true);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "read-only open blocked: pending format-version migration \u2014 open read-write once to fix");
  {
    auto db = must_open(env);
    ASSERT_TRUE(db);
    expect_fixture_content(*db, fixture_);
    EXPECT_TRUE(db->snapshots().empty());
    EXPECT_EQ(env.read_file(kDbPath), fixture_.bytes) << "opening wrote to the file";
    ASSERT_TRUE(db->flush());
    EXPECT_EQ(db->snapshots().size(), 1u);
  }
  EXPECT_EQ(version_on_disk(env.read_file(kDbPath)), FORMAT_VERSION);
  auto db = must_open(env, true);
  ASSERT_TRUE(db);
  expect_fixture_content(*db, fixture_);
  EXPECT_EQ(db->snapshots().size(), 1u);
}

// One power loss in the upgrade's first flush: the surviving file must reopen read-write
// with the fixture's memories, complete the upgrade with one more flush, and then open
// read-only.
void check_power_loss(const LegacyFixture& f, uint64_t n, CrashMode mode) {
  const Step no_stage = [](Ormel&) -> Status { return {}; };
  const Step flush = [](Ormel& db) { return db.flush(); };
  MemEnv env;
  crash_run(env, f.bytes, no_stage, flush, n, mode);
  {
    auto db = must_open(env);
    ASSERT_TRUE(db);
    expect_fixture_content(*db, f);
    auto done = db->flush();
    ASSERT_TRUE(done) << done.error().message();
  }
  EXPECT_EQ(version_on_disk(env.read_file(kDbPath)), FORMAT_VERSION);
  auto db = must_open(env, true);
  ASSERT_TRUE(db);
  expect_fixture_content(*db, f);
  EXPECT_FALSE(db->snapshots().empty());
}

TEST_P(UpgradeTest, FirstFlushSurvivesPowerLossAtEveryCall) {
  uint64_t calls = 0;
  {
    MemEnv env;
    env.write_file(kDbPath, fixture_.bytes);
    auto db = must_open(env);
    ASSERT_TRUE(db);
    const uint64_t before = env.mutating_calls();
    ASSERT_TRUE(db->flush());
    calls = env.mutating_calls() - before;
  }
  ASSERT_GT(calls, 3u);
  for (uint64_t n = 1; n <= calls; ++n) {
    for (CrashMode mode : {CrashMode::Keep, CrashMode::Drop, CrashMode::Torn}) {
      SCOPED_TRACE("crash at call " + std::to_string(n) + " of " + std::to_string(calls) + ", " +
                   crash_mode_name(mode));
      check_power_loss(fixture_, n, mode);
    }
  }
}

// Headers of these versions carry no seal, so a damaged one may name runs of terabytes with
// its checksum intact: the open fails with an error, and never reserves room for them.
TEST_P(UpgradeTest, RunsNamedBeyondTheFileFailTheOpen) {
  struct Run {
    const char* name;
    size_t pages_at;  // the run's byte length follows at pages_at + 8
  };
  for (const Run run : {Run{"catalog", 50}, Run{"index", 170}, Run{"manifest", 222}}) {
    SCOPED_TRACE(run.name);
    std::vector<uint8_t> bytes = fixture_.bytes;
    store_le(bytes.data() + run.pages_at, uint64_t{1} << 40);
    store_le(bytes.data() + run.pages_at + 8, uint64_t{1} << 40);
    store_le(bytes.data() + 238, crc32(std::span(bytes).first(238)));
    MemEnv env;
    env.write_file(kDbPath, bytes);
    EXPECT_FALSE(try_open(env));
  }
}

INSTANTIATE_TEST_SUITE_P(Legacy, UpgradeTest, ::testing::Values("legacy_v4.ormel", "legacy_v5.ormel"),
                         [](const auto& info) { return std::string(info.param).substr(7, 2); });

}  // namespace
}  // namespace ormel::testing
