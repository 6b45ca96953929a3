// Progress of long operations: the meter's reports (order, throttle, the final report, a
// callback's error) and, for each long operation of the store, reports that count up to
// the total and a stop at every one of them that leaves the store as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <utility>
#include <vector>

#include "core/progress.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

using testing::sample_memory;
using Report = std::pair<uint64_t, uint64_t>;
using std::chrono::milliseconds;

const OrmelError kStop = OrmelError::invalid_argument("stopped by the test");

// A Progress that records its reports and returns kStop from its `stop_at`th on (0: never).
struct Recorder {
  std::vector<Report> seen;
  uint64_t stop_at = 0;
  Progress progress(Progress::Clock::duration interval = Progress::Clock::duration::zero()) {
    return Progress{[this](uint64_t done, uint64_t total) -> Status {
                      seen.emplace_back(done, total);
                      if (stop_at != 0 && seen.size() >= stop_at) return fail(kStop);
                      return {};
                    },
                    interval};
  }
};

// Reports of a completed operation: one total throughout, (0, total) first unless the job
// is empty, done strictly growing, and (total, total) last.
void expect_complete(const std::vector<Report>& seen) {
  ASSERT_FALSE(seen.empty());
  const uint64_t total = seen.back().second;
  EXPECT_EQ(seen.back().first, total);
  if (total > 0) EXPECT_EQ(seen.front(), Report(0, total));
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].second, total) << "report " << i;
    if (i > 0) EXPECT_LT(seen[i - 1].first, seen[i].first) << "report " << i;
  }
}

struct MeterCase {
  const char* name;
  uint64_t total;
  std::vector<uint64_t> steps;
  Progress::Clock::duration interval;
  std::vector<Report> expected;
};

TEST(ProgressMeter, ReportsInOrderUpToTheTotal) {
  const auto every = Progress::Clock::duration::zero();
  const auto hour = std::chrono::hours(1);
  const std::vector<MeterCase> cases = {
      {"every step", 4, {1, 1, 1, 1}, every, {{0, 4}, {1, 4}, {2, 4}, {3, 4}, {4, 4}}},
      {"empty steps report nothing", 5, {0, 2, 0, 3}, every, {{0, 5}, {2, 5}, {5, 5}}},
      {"steps past the total stop at it", 3, {2, 5, 1}, every, {{0, 3}, {2, 3}, {3, 3}}},
      {"a long interval leaves the first and last", 6, {1, 2, 3}, hour, {{0, 6}, {6, 6}}},
      {"an empty job reports once", 0, {}, every, {{0, 0}}},
      {"an empty job with stray steps", 0, {3}, every, {{0, 0}}},
  };
  for (const MeterCase& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder rec;
    const Progress progress = rec.progress(c.interval);
    auto meter = ProgressMeter::start(progress, c.total);
    ASSERT_TRUE(meter);
    for (uint64_t step : c.steps) ASSERT_TRUE(meter->advance(step));
    ASSERT_TRUE(meter->finish());
    EXPECT_EQ(rec.seen, c.expected);
    expect_complete(rec.seen);
  }
}

TEST(ProgressMeter, WithoutACallbackNothingIsReported) {
  for (const Progress& progress : {Progress{}, Progress{nullptr, milliseconds(0)}}) {
    auto meter = ProgressMeter::start(progress, 10);
    ASSERT_TRUE(meter);
    EXPECT_TRUE(meter->advance(3));
    EXPECT_TRUE(meter->finish());
  }
}

TEST(ProgressMeter, TheCallbacksErrorIsReturnedByTheCallThatReported) {
  for (uint64_t stop_at : {1u, 2u, 4u}) {
    SCOPED_TRACE("stop at report " + std::to_string(stop_at));
    Recorder rec;
    rec.stop_at = stop_at;
    const Progress progress = rec.progress();
    auto meter = ProgressMeter::start(progress, 3);
    Status last = meter ? Status{} : Status(fail(meter.error()));
    for (int i = 0; last && i < 3; ++i) last = meter->advance();
    if (last) last = meter->finish();
    ASSERT_FALSE(last);
    EXPECT_EQ(last.error(), kStop);
    EXPECT_EQ(rec.seen.size(), stop_at);
  }
}

// Reports come at least `interval` apart, however often the work advances.
TEST(ProgressMeter, ThrottlesByWallClockTime) {
  const auto interval = milliseconds(20);
  Recorder rec;
  const Progress progress = rec.progress(interval);
  const auto begin = Progress::Clock::now();
  auto meter = ProgressMeter::start(progress, uint64_t{1} << 62);
  ASSERT_TRUE(meter);
  while (Progress::Clock::now() - begin < milliseconds(200)) ASSERT_TRUE(meter->advance());
  const auto elapsed = Progress::Clock::now() - begin;
  ASSERT_TRUE(meter->finish());
  expect_complete(rec.seen);
  const size_t between = rec.seen.size() - 2;  // neither the first nor the final report
  EXPECT_GE(between, 1u);
  EXPECT_LE(between, static_cast<size_t>(elapsed / interval));
}

// The store's long operations, run with a progress callback.
struct Operation {
  const char* name;
  std::function<Status(Ormel&, const Progress&)> run;
};

std::vector<Memory> batch_of(uint32_t from, uint32_t count) {
  std::vector<Memory> out;
  for (uint32_t i = from; i < from + count; ++i) out.push_back(sample_memory(i));
  return out;
}

const std::vector<Operation>& operations() {
  static const std::vector<Operation> ops = {
      {"remember_many",
       [](Ormel& db, const Progress& p) -> Status {
         auto ids = db.remember_many(batch_of(100, 25), p);
         if (!ids) return fail(ids.error().error);
         return {};
       }},
      // Large enough to be checked and encoded on two threads.
      {"remember_many on two threads",
       [](Ormel& db, const Progress& p) -> Status {
         auto ids = db.remember_many(batch_of(100, 1100), p);
         if (!ids) return fail(ids.error().error);
         return {};
       }},
      {"build_index", [](Ormel& db, const Progress& p) { return db.build_index(p); }},
      {"verify", [](Ormel& db, const Progress& p) { return testing::status_of(db.verify(p)); }},
      {"verify_all", [](Ormel& db, const Progress& p) { return testing::status_of(db.verify_all(p)); }},
      {"compact", [](Ormel& db, const Progress& p) { return testing::status_of(db.compact(true, p)); }},
      {"compact without history",
       [](Ormel& db, const Progress& p) { return testing::status_of(db.compact(false, p)); }},
  };
  return ops;
}

class ProgressTest : public testing::StoreTest {
 protected:
  // Two snapshots, a deleted memory, a result-cache entry and a flushed index.
  void SetUp() override {
    StoreTest::SetUp();
    auto step = [](Status st) { ASSERT_TRUE(st) << st.error().message(); };
    for (uint32_t i = 0; i < 40; ++i) step(testing::status_of(db->remember(sample_memory(i))));
    step(db->flush());
    step(db->delete_memory(sample_memory(5).id));
    step(db->cache_put("ns", "key", {1, 2, 3}, "text", std::nullopt));
    step(db->build_index());
    step(db->flush());
    file = env.read_file(testing::kDbPath);
  }

  // Puts the file as SetUp left it back, and opens it again.
  void restore() {
    db.reset();
    env.write_file(testing::kDbPath, file);
    reopen();
  }

  std::vector<uint8_t> file;
};

TEST_F(ProgressTest, EachOperationReportsUpToItsTotal) {
  const uint64_t live = db->live_count();
  const uint64_t snapshots = db->snapshots().size();
  for (const Operation& op : operations()) {
    SCOPED_TRACE(op.name);
    restore();
    Recorder rec;
    const Status done = op.run(*db, rec.progress());
    ASSERT_TRUE(done) << done.error().message();
    expect_complete(rec.seen);
    EXPECT_GT(rec.seen.size(), 3u);  // reports between the first and the last
    const uint64_t total = rec.seen.back().second;
    const std::string name = op.name;
    if (name == "remember_many") EXPECT_EQ(total, 25u);
    if (name == "remember_many on two threads") EXPECT_EQ(total, 1100u);
    if (name == "verify") EXPECT_EQ(total, live);
    if (name == "verify_all") EXPECT_EQ(total, live + 1 + snapshots);
    if (name.starts_with("compact")) {
      // The pages the new file holds past its log region: sized before, counted as written.
      const Header& h = db->state().header;
      EXPECT_EQ(total, h.page_count - 1 - h.wal_pages);
    }
  }
}

TEST_F(ProgressTest, AnEmptyBatchReportsOnce) {
  Recorder rec;
  auto ids = db->remember_many({}, rec.progress());
  ASSERT_TRUE(ids);
  EXPECT_EQ(rec.seen, std::vector<Report>({{0, 0}}));
}

// What a stop must leave as it was: everything observable, the staged state and the index.
struct Unchanged {
  testing::ObservedState observed;
  uint64_t dirty_pages = 0;
  bool catalog_dirty = false, index_dirty = false;
  std::optional<IvfPqIndex> index;
  bool operator==(const Unchanged&) const = default;
};

Unchanged unchanged(Ormel& db) {
  auto observed = testing::observe(db);
  EXPECT_TRUE(observed) << observed.error().message();
  const StoreState& s = db.state();
  return {observed.value_or(testing::ObservedState{}), s.pager->cache().dirty_count(), s.catalog_dirty,
          s.index_dirty, s.index};
}

TEST_F(ProgressTest, AStopAtAnyReportIsTheOperationsErrorAndLeavesTheStoreAsItWas) {
  for (const Operation& op : operations()) {
    SCOPED_TRACE(op.name);
    restore();
    Recorder counting;
    {
      testing::MemEnv scratch;
      scratch.write_file(testing::kDbPath, file);
      auto copy = testing::must_open(scratch);
      ASSERT_TRUE(copy);
      ASSERT_TRUE(op.run(*copy, counting.progress()));
    }
    const Unchanged before = unchanged(*db);
    for (uint64_t k = 1; k <= counting.seen.size(); ++k) {
      SCOPED_TRACE("stopped at report " + std::to_string(k));
      Recorder rec;
      rec.stop_at = k;
      const Status done = op.run(*db, rec.progress());
      ASSERT_FALSE(done);
      EXPECT_EQ(done.error(), kStop);
      EXPECT_EQ(rec.seen.size(), k);
      EXPECT_EQ(unchanged(*db), before);
      EXPECT_EQ(env.paths(), std::vector<std::string>{testing::kDbPath});
    }
    reopen();
    EXPECT_EQ(unchanged(*db), before);
    ASSERT_TRUE(op.run(*db, Progress{}));  // and it still works
  }
}

}  // namespace
}  // namespace ormel
