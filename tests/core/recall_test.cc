// Recall and search through the store: scoring signals, filters, ordering, access tracking,
// the indexed path and its persistence.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <compare>
#include <functional>
#include <limits>
#include <random>
#include <tuple>

#include "core/store.h"
#include "core/store_state.h"
#include "core/vector_scan.h"
#include "tests/core/support/fault_env.h"

namespace ormel {
namespace {

constexpr float kEps = 1e-5f;

class RecallTest : public ::testing::Test {
 protected:
  void SetUp() override { fresh_db(4); }

  // A new database file; earlier ones stay in the environment.
  void fresh_db(uint64_t dims) {
    db.reset();
    path = "/db" + std::to_string(++files);
    db = open_db(dims);
  }

  std::unique_ptr<Ormel> open_db(std::optional<uint64_t> dims, bool read_only = false) {
    auto opened = Ormel::open(path, "pw", dims, read_only, &env);
    if (!opened) {
      ADD_FAILURE() << opened.error().message();
      return nullptr;
    }
    return std::move(*opened);
  }

  MemoryId add(std::vector<float> v, std::string content = "m", int64_t accessed_offset = 0,
               std::string agent = "default", Scope scope = Scope::Private,
               MemoryType type = MemoryType::Semantic) {
    Memory m = Memory::make(std::move(content), type, std::move(v));
    m.accessed_at += accessed_offset;
    m.agent_id = std::move(agent);
    m.scope = scope;
    auto id = db->remember(std::move(m));
    EXPECT_TRUE(id) << id.error().message();
    return *id;
  }

  std::vector<RecallResult> recall(std::vector<float> q, uint64_t top_k = 10, bool track = true) {
    RecallRequest req;
    req.query = std::move(q);
    req.top_k = top_k;
    req.track_access = track;
    auto r = db->recall(req);
    EXPECT_TRUE(r) << r.error().message();
    return r ? *r : std::vector<RecallResult>{};
  }

  testing::MemEnv env;
  std::string path;
  int files = 0;
  std::unique_ptr<Ormel> db;
};

TEST_F(RecallTest, ScoreCombinesTheFourSignals) {
  struct Case {
    const char* name;
    int64_t accessed_offset;
    float expected;
  } cases[] = {
      {"touched now", 0, 1.4f},                   // 1 + 0.3 * 1 + 0.2 * 0.5 + 0
      {"one half-life ago", -604800, 1.25f},      // recency 0.5
      {"in the future", 1000, 1.4f},              // negative age counts as 0
      {"at the earliest time", INT64_MIN, 1.1f},  // an age past 64 bits: recency 0
  };
  for (const auto& c : cases) {
    fresh_db(4);
    add({1, 0, 0, 0}, c.name, c.accessed_offset);
    auto hits = recall({1, 0, 0, 0});
    ASSERT_EQ(hits.size(), 1u) << c.name;
    EXPECT_NEAR(hits[0].score, c.expected, kEps) << c.name;
    EXPECT_NEAR(hits[0].similarity, 1.0f, kEps) << c.name;
  }
}

TEST_F(RecallTest, TrackingBumpsAccessAndFeedsTheFrequencySignal) {
  add({1, 0, 0, 0});
  ASSERT_TRUE(db->flush());
  const int64_t before = now_secs();
  auto first = recall({1, 0, 0, 0});
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].memory.access_count, 1u);
  EXPECT_GE(first[0].memory.accessed_at, before);
  EXPECT_TRUE(db->state().catalog_dirty);
  auto second = recall({1, 0, 0, 0});
  EXPECT_NEAR(second[0].score, 1.4f + 0.1f * std::log(2.0f), kEps);
  EXPECT_EQ(second[0].memory.access_count, 2u);
  // The catalog is the authority: get() shows the tracked values.
  auto got = db->get(first[0].memory.id);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->access_count, 2u);
}

TEST_F(RecallTest, UntrackedAndEmptyRecallsStageNothing) {
  add({1, 0, 0, 0});
  ASSERT_TRUE(db->flush());
  EXPECT_EQ(recall({1, 0, 0, 0}, 10, false).size(), 1u);
  EXPECT_FALSE(db->state().catalog_dirty);
  EXPECT_TRUE(recall({1, 0, 0, 0}, 0, true).empty());
  EXPECT_FALSE(db->state().catalog_dirty);
  EXPECT_EQ(db->get(db->state().catalog[0].id)->access_count, 0u);
}

TEST_F(RecallTest, TimeToLiveExcludesAtExactlyTheLimit) {
  for (;;) {
    fresh_db(4);
    const int64_t now = now_secs();
    for (int64_t age : {60, 59}) {
      Memory m = Memory::make("age " + std::to_string(age), MemoryType::Semantic, {1, 0, 0, 0});
      m.created_at = now - age;
      m.ttl_secs = 60;
      m.agent_id = "a";
      ASSERT_TRUE(db->remember(std::move(m)));
    }
    auto hits = recall({1, 0, 0, 0}, 10, false);
    // In an agent's view, rows are chosen by view first and their expiry checked after.
    RecallRequest in_view;
    in_view.query = {1, 0, 0, 0};
    in_view.top_k = 10;
    in_view.track_access = false;
    in_view.agent_id = "a";
    auto viewed = db->recall(in_view);
    auto searched = db->search(std::vector<float>{1, 0, 0, 0}, 10);
    if (now_secs() != now) continue;  // the clock ticked during the test: measure again
    for (const auto& found : {hits, *viewed}) {
      ASSERT_EQ(found.size(), 1u);
      EXPECT_EQ(found[0].memory.content, "age 59");
    }
    ASSERT_TRUE(searched);
    ASSERT_EQ(searched->size(), 1u);
    EXPECT_EQ((*searched)[0].memory.content, "age 59");
    break;
  }
}

TEST_F(RecallTest, EqualScoresKeepCatalogOrderAndTopKCuts) {
  add({0, 1, 0, 0}, "first");
  add({0, 1, 0, 0}, "second");
  add({0, 1, 0, 0}, "third");
  auto hits = recall({0, 1, 0, 0}, 2, false);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].memory.content, "first");
  EXPECT_EQ(hits[1].memory.content, "second");
}

TEST_F(RecallTest, AgentViewAndTypeFilters) {
  add({1, 0, 0, 0}, "a private", 0, "a", Scope::Private);
  add({1, 0, 0, 0}, "a shared", 0, "a", Scope::Shared);
  add({1, 0, 0, 0}, "b private", 0, "b", Scope::Private);
  add({1, 0, 0, 0}, "b shared", 0, "b", Scope::Shared, MemoryType::Procedural);
  auto contents = [&](RecallRequest req) {
    req.query = {1, 0, 0, 0};
    req.track_access = false;
    const auto hits = db->recall(req);  // the range of a for must not be a temporary's member
    std::vector<std::string> out;
    for (auto& hit : *hits) out.push_back(hit.memory.content);
    return out;
  };
  RecallRequest as_a;
  as_a.agent_id = "a";
  EXPECT_EQ(contents(as_a), (std::vector<std::string>{"a private", "a shared", "b shared"}));
  RecallRequest stranger;
  stranger.agent_id = "nobody";
  EXPECT_EQ(contents(stranger), (std::vector<std::string>{"a shared", "b shared"}));
  RecallRequest procedural;
  procedural.memory_types = std::vector<MemoryType>{MemoryType::Procedural};
  EXPECT_EQ(contents(procedural), (std::vector<std::string>{"b shared"}));
  RecallRequest none;
  none.memory_types = std::vector<MemoryType>{};
  EXPECT_TRUE(contents(none).empty());
}

TEST_F(RecallTest, ErrorsComeBeforeAnyWork) {
  RecallRequest req;
  req.query = {1, 0, 0};
  EXPECT_EQ(db->recall(req).error().message(), "vector dimension mismatch: database expects 4, got 3");
  EXPECT_EQ(db->search(std::vector<float>{1, 0}, 1).error().message(),
            "vector dimension mismatch: database expects 4, got 2");
  add({1, 0, 0, 0});
  ASSERT_TRUE(db->flush());
  db.reset();
  db = open_db(std::nullopt, /*read_only=*/true);
  req.query = {1, 0, 0, 0};
  EXPECT_EQ(db->recall(req).error().kind(), ErrorKind::ReadOnly);
  req.track_access = false;
  EXPECT_EQ(db->recall(req)->size(), 1u);
}

// A NaN similarity (an older file could hold a NaN vector, which nothing refused then) must
// not outrank real matches: it goes last, behind -infinity, in recall and in search.
TEST_F(RecallTest, NanScoresRankLast) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  add({1, 0, 0, 0}, "good");
  add({-1, 0, 0, 0}, "opposite");
  // Stage the NaN record as an older version would have, bypassing today's checks.
  Memory bad = Memory::make("nan", MemoryType::Semantic, {nan, 0, 0, 0});
  StoreState& s = db->state();
  const std::vector<uint8_t> bytes = encode_memory(bad).value();
  auto start = stage_run(s, bytes);
  ASSERT_TRUE(start);
  s.catalog.insert(s.catalog.begin(), CatalogEntry{bad.id, *start, static_cast<uint32_t>(run_pages(bytes.size())),
                                                   static_cast<uint32_t>(bytes.size()), false, bad.accessed_at, 0});
  s.id_index = build_id_index(s.catalog);
  for (int pass = 0; pass < 2; ++pass) {  // before and after an index exists
    auto hits = recall({1, 0, 0, 0}, 3, false);
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(hits[0].memory.content, "good");
    EXPECT_EQ(hits[2].memory.content, "nan");
    EXPECT_EQ(recall({1, 0, 0, 0}, 2, false)[1].memory.content, "opposite");
    auto searched = db->search(std::vector<float>{1, 0, 0, 0}, 3);
    ASSERT_TRUE(searched);
    EXPECT_EQ((*searched)[0].memory.content, "good");
    EXPECT_EQ((*searched)[2].memory.content, "nan");
    ASSERT_TRUE(db->build_index());
  }
}

// Session and creation-time conditions, on memories created at chosen times.
TEST_F(RecallTest, SessionAndCreationTimeFilters) {
  const int64_t now = now_secs();
  for (int i = 0; i < 6; ++i) {
    Memory m = Memory::make("m" + std::to_string(i), MemoryType::Semantic, {1, 0, 0, 0});
    m.created_at = now - 100 + i * 10;  // -100, -90, ..., -50
    if (i % 3 != 2) m.session_id = i % 3 == 0 ? "s0" : "s1";
    ASSERT_TRUE(db->remember(std::move(m)));
  }
  const struct Case {
    std::optional<std::string> session;
    std::optional<int64_t> after, before;
    std::vector<std::string> expected;
  } cases[] = {
      {"s0", {}, {}, {"m0", "m3"}},
      {"s1", now - 80, {}, {"m4"}},
      {{}, now - 90, now - 60, {"m2", "m3"}},
      {{}, now - 50, {}, {}},
      {{}, {}, now - 100, {}},
      {"missing", {}, {}, {}},
  };
  for (const Case& c : cases) {
    RecallRequest req;
    req.query = {1, 0, 0, 0};
    req.track_access = false;
    req.filter.session_id = c.session;
    req.filter.created_after = c.after;
    req.filter.created_before = c.before;
    auto hits = db->recall(req);
    ASSERT_TRUE(hits);
    std::vector<std::string> got;
    for (const auto& h : *hits) got.push_back(h.memory.content);
    EXPECT_EQ(got, c.expected) << c.session.value_or("-");
    auto searched = db->search(req.query, 10, req.filter);
    ASSERT_TRUE(searched);
    EXPECT_EQ(searched->size(), c.expected.size());
  }
}

// The first scan after opening reads every record at once on all cores, in rounds; it must
// give what reading them one by one gives, cached (unflushed) pages included, and on a
// damaged page (in the first round, while the next is decoded, or in a later one) the same
// error.
TEST_F(RecallTest, BulkSummariesEqualRowByRowReading) {
  fresh_db(8);
  std::mt19937 gen(3);
  std::normal_distribution<float> dist;
  for (int i = 0; i < 1400; ++i) {
    std::vector<float> v(8);
    for (float& x : v) x = dist(gen);
    Memory m = Memory::make(std::string(i % 7 == 0 ? 9000 : 10, 'c'), MemoryType::Semantic, v);  // some two-page runs
    m.metadata = {{"i", i}};
    ASSERT_TRUE(db->remember(std::move(m)));
    if (i == 1300) ASSERT_TRUE(db->flush());  // the last hundred stay in the cache
  }
  ASSERT_TRUE(db->delete_memory(db->state().catalog[5].id));
  RecallRequest req;
  req.query = {1, 2, 3, 4, 5, 6, 7, 8};
  req.top_k = 1000;
  req.track_access = false;
  req.recency_weight = 0;  // the clock may tick between the recalls compared below
  req.filter.where = *parse_filter(Json{{"i", {{"$gte", 100}}}});
  auto bulk = db->recall(req);
  ASSERT_TRUE(bulk);
  ASSERT_TRUE(db->flush());
  for (bool one_by_one : {true, false}) {
    db.reset();
    db = open_db(std::nullopt);
    if (one_by_one) {
      for (size_t i = 0; i < db->state().catalog.size(); ++i) {
        if (!db->state().catalog[i].deleted) ASSERT_TRUE(summary_of(db->state(), i));
      }
    }
    auto again = db->recall(req);
    ASSERT_TRUE(again);
    ASSERT_EQ(again->size(), bulk->size());
    for (size_t i = 0; i < bulk->size(); ++i) {
      EXPECT_EQ((*again)[i].memory.id, (*bulk)[i].memory.id);
      EXPECT_EQ(std::bit_cast<uint32_t>((*again)[i].score), std::bit_cast<uint32_t>((*bulk)[i].score));
    }
  }
  // Damage one record page: both ways of reading fail with that page's error.
  const uint64_t first_round = db->state().catalog[300].start_page;
  const uint64_t second_round = db->state().catalog[1250].start_page;
  db.reset();
  const std::vector<uint8_t> intact = env.read_file(path);
  for (const uint64_t page : {first_round, second_round}) {
    SCOPED_TRACE(page);
    std::vector<uint8_t> bytes = intact;
    bytes[page * PAGE_SIZE + 100] ^= 1;
    env.write_file(path, bytes);
    const size_t row = page == first_round ? 300 : 1250;
    for (bool one_by_one : {true, false}) {
      db = open_db(std::nullopt);
      if (one_by_one) EXPECT_EQ(summary_of(db->state(), row).error(), OrmelError::page_auth_failed(page));
      auto failed = db->recall(req);
      ASSERT_FALSE(failed);
      EXPECT_EQ(failed.error(), OrmelError::page_auth_failed(page));
      db.reset();
    }
  }
}

// Memories with random 384-dimensional vectors; each one's content is its index in `stored`.
class RecallScan : public ::testing::Test {
 protected:
  static constexpr size_t kDims = 384;

  void SetUp() override {
    auto opened = Ormel::open("/db", "pw", kDims, false, &env);
    ASSERT_TRUE(opened) << opened.error().message();
    db = std::move(*opened);
  }

  std::vector<float> random_vector() {
    std::vector<float> v(kDims);
    for (float& x : v) x = dist(gen);
    return v;
  }

  void remember_random(size_t count, std::optional<int64_t> accessed_at = std::nullopt) {
    for (size_t i = 0; i < count; ++i) {
      stored.push_back(random_vector());
      Memory m = Memory::make(std::to_string(i), MemoryType::Semantic, stored.back());
      if (accessed_at) m.accessed_at = *accessed_at;
      ASSERT_TRUE(db->remember(std::move(m)));
    }
  }

  testing::MemEnv env;
  std::unique_ptr<Ormel> db;
  std::mt19937 gen;
  std::normal_distribution<float> dist;
  std::vector<std::vector<float>> stored;
};

// The interleaved scan must give exactly what the scalar similarity gives.
TEST_F(RecallScan, SimilaritiesAreBitIdenticalToTheScalarLoop) {
  constexpr size_t kCount = 37;  // not a multiple of any lane count
  gen.seed(5);
  ASSERT_NO_FATAL_FAILURE(remember_random(kCount));
  const std::vector<float> query = random_vector();
  auto hits = db->search(query, kCount);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), kCount);
  for (const auto& hit : *hits) {
    const float expected = similarity(Metric::Cosine, query, stored[std::stoul(hit.memory.content)]);
    EXPECT_EQ(std::bit_cast<uint32_t>(hit.similarity), std::bit_cast<uint32_t>(expected)) << hit.memory.content;
  }
}

// The indexed path scores only its candidates, through the arena's chosen-slot kernel;
// every similarity must equal the scalar similarity() of the stored vector, bit for bit,
// and every candidate must come back in candidate order when the scores tie on the rest.
TEST_F(RecallScan, IndexedSimilaritiesAreBitIdenticalToTheScalarLoop) {
  constexpr size_t kCount = 300;  // 18 partitions, 8 probed: not everything
  gen.seed(6);
  // Accessed in the future: recency 1 whatever the clock does during the test.
  ASSERT_NO_FATAL_FAILURE(remember_random(kCount, now_secs() + 1000));
  ASSERT_TRUE(db->build_index());
  for (int q = 0; q < 10; ++q) {
    RecallRequest req;
    req.query = q % 2 == 0 ? random_vector() : stored[q * 17];
    req.top_k = kCount;
    req.track_access = false;
    req.recency_weight = req.importance_weight = req.access_weight = 0.0f;
    const auto candidates = db->state().index->candidates(req.query, std::nullopt, std::nullopt);
    auto hits = db->recall(req);
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), candidates.size());
    std::vector<std::pair<float, MemoryId>> expected;
    for (MemoryId id : candidates) {
      const size_t i = std::stoul(db->get(id)->content);
      expected.emplace_back(similarity(Metric::Cosine, req.query, stored[i]), id);
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& a, const auto& b) { return std::strong_order(a.first, b.first) > 0; });
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ((*hits)[i].memory.id, expected[i].second) << i;
      EXPECT_EQ(std::bit_cast<uint32_t>((*hits)[i].similarity), std::bit_cast<uint32_t>(expected[i].first)) << i;
      EXPECT_EQ(std::bit_cast<uint32_t>((*hits)[i].score), std::bit_cast<uint32_t>(expected[i].first)) << i;
    }
  }
}

TEST_F(RecallTest, TiesKeepCandidateOrderWhereTopKCuts) {
  // Four distinct vectors, ten memories each: every score ties with nine others, and an
  // indexed recall's candidate order is not catalog order.
  fresh_db(8);
  std::mt19937 gen(2);
  std::normal_distribution<float> dist;
  std::vector<std::vector<float>> distinct(4, std::vector<float>(8));
  for (auto& v : distinct) {
    for (float& x : v) x = dist(gen);
  }
  for (int i = 0; i < 40; ++i) add(distinct[i % 4], std::to_string(i));
  auto ask = [&](uint64_t top_k) {
    RecallRequest req;
    req.query = distinct[1];
    req.top_k = top_k;
    req.track_access = false;
    req.recency_weight = req.importance_weight = req.access_weight = 0.0f;
    const auto hits = db->recall(req);
    std::vector<MemoryId> ids;
    for (const auto& hit : *hits) ids.push_back(hit.memory.id);
    return ids;
  };
  // Reference: the pool in pool order, stable-sorted by similarity, cut.
  auto expected = [&](const std::vector<MemoryId>& pool, uint64_t top_k) {
    std::vector<std::pair<float, MemoryId>> ranked;
    for (MemoryId id : pool) ranked.emplace_back(similarity(Metric::Cosine, distinct[1], db->get(id)->vector), id);
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return std::strong_order(a.first, b.first) > 0; });
    std::vector<MemoryId> ids;
    for (size_t i = 0; i < std::min<size_t>(top_k, ranked.size()); ++i) ids.push_back(ranked[i].second);
    return ids;
  };
  std::vector<MemoryId> catalog_order;
  for (const auto& row : db->state().catalog) catalog_order.push_back(row.id);
  for (uint64_t top_k : {1, 5, 15, 40}) EXPECT_EQ(ask(top_k), expected(catalog_order, top_k)) << top_k;
  ASSERT_TRUE(db->build_index());
  const auto pool = db->state().index->candidates(distinct[1], std::nullopt, std::nullopt);
  ASSERT_NE(pool, catalog_order);
  for (uint64_t top_k : {1, 5, 15, 40}) EXPECT_EQ(ask(top_k), expected(pool, top_k)) << top_k;
}

// A large catalog is scanned in parts side by side; the ranking must be the one a single
// scan gives: score, then catalog order, across the parts' boundaries. Five distinct
// vectors make thousands of ties; filters take the dense and the sparse path, and agents'
// views read their arena groups.
TEST_F(RecallTest, ASplitScanRanksAsOneScan) {
  fresh_db(4);
  constexpr size_t kCount = 20000;  // several parts on any machine with more than one core
  const std::vector<std::vector<float>> distinct = {
      {1, 0, 0, 0}, {0.6f, 0.8f, 0, 0}, {0, 1, 0, 0}, {0.3f, -0.2f, 0.9f, 0.1f}, {-1, 0, 0, 0}};
  const int64_t future = now_secs() + 1000;  // recency 1 whatever the clock does
  std::vector<Memory> all;
  for (size_t i = 0; i < kCount; ++i) {
    Memory m = Memory::make(std::to_string(i), i % 10 == 3 ? MemoryType::Procedural : MemoryType::Semantic,
                            distinct[(i / 3) % 5]);
    m.accessed_at = future;
    // One large agent and 75 small ones (more than the arena keeps open groups for), and
    // shared memories among them: the arena's view groups in every form.
    m.agent_id = i % 2 == 0 ? "a" : "b" + std::to_string(i % 150);
    if (i % 11 == 5) m.scope = Scope::Shared;
    m.metadata = Json{{"k", i % 7}};
    all.push_back(m);
  }
  ASSERT_TRUE(db->remember_many(all));
  ASSERT_TRUE(db->flush());
  const std::vector<float> query = {0.8f, 0.6f, 0, 0};
  auto expected = [&](auto passes, uint64_t top_k) {
    std::vector<std::pair<float, std::string>> ranked;
    for (const Memory& m : all) {
      if (passes(m)) ranked.emplace_back(similarity(Metric::Cosine, query, m.vector), m.content);
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return std::strong_order(a.first, b.first) > 0; });
    ranked.resize(std::min<size_t>(top_k, ranked.size()));
    return ranked;
  };
  const struct Case {
    const char* name;
    std::optional<std::string> agent;
    std::optional<std::vector<MemoryType>> types;
    std::function<bool(const Memory&)> passes;
    std::optional<Json> where = std::nullopt;
  } cases[] = {
      {"all", {}, {}, [](const Memory&) { return true; }},
      {"agent a", "a", {}, [](const Memory& m) { return m.agent_id == "a" || m.scope == Scope::Shared; }},
      {"agent b7", "b7", {}, [](const Memory& m) { return m.agent_id == "b7" || m.scope == Scope::Shared; }},
      {"agent b149", "b149", {}, [](const Memory& m) { return m.agent_id == "b149" || m.scope == Scope::Shared; }},
      {"procedural (sparse)", {}, std::vector{MemoryType::Procedural},
       [](const Memory& m) { return m.memory_type == MemoryType::Procedural; }},
      {"metadata filter", {}, {}, [](const Memory& m) { return m.metadata["k"].get<int>() < 3; },
       Json{{"k", {{"$lt", 3}}}}},
  };
  // Then again after reopening: every row's summary is looked up anew. Then after some
  // memories early, midway and last in the catalog are replaced by new records and others
  // deleted: a scan that finds a row's remembered summary stale partway must not score the
  // old record (pass 2); and once more, with every summary known again (pass 3).
  for (int pass = 0; pass < 4; ++pass) {
    if (pass == 1) {
      db.reset();
      db = open_db(std::nullopt);
      ASSERT_TRUE(db);
    }
    if (pass == 2) {
      for (size_t k : {size_t{7}, size_t{12345}, kCount - 1}) {
        all[k].vector = {0.8f, 0.6f, 0, 0};  // the query itself: ranks first once replaced
        ASSERT_TRUE(db->remember(all[k]));
      }
      for (size_t k : {size_t{15000}, size_t{100}}) {
        ASSERT_TRUE(db->delete_memory(all[k].id));
        all.erase(all.begin() + static_cast<ptrdiff_t>(k));
      }
    }
    for (const Case& c : cases) {
      for (uint64_t top_k : {size_t{1}, size_t{10}, size_t{2500}, kCount}) {
        SCOPED_TRACE(::testing::Message() << c.name << ", top " << top_k << ", pass " << pass);
        RecallRequest req;
        req.query = query;
        req.top_k = top_k;
        req.track_access = false;
        req.agent_id = c.agent;
        req.memory_types = c.types;
        if (c.where) req.filter.where = *parse_filter(*c.where);
        req.recency_weight = req.importance_weight = req.access_weight = 0.0f;
        auto hits = db->recall(req);
        ASSERT_TRUE(hits);
        const auto want = expected(c.passes, top_k);
        ASSERT_EQ(hits->size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
          ASSERT_EQ((*hits)[i].memory.content, want[i].second) << i;
          ASSERT_EQ(std::bit_cast<uint32_t>((*hits)[i].score), std::bit_cast<uint32_t>(want[i].first)) << i;
        }
      }
    }
    auto searched = db->search(query, 2500);
    ASSERT_TRUE(searched);
    const auto want = expected([](const Memory&) { return true; }, 2500);
    for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ((*searched)[i].memory.content, want[i].second) << i;
    if (pass >= 2) ASSERT_EQ((*searched)[0].memory.content, "7");
  }
}

// A large scan for few results first bounds every similarity from a binary16 copy of the
// vectors and scores exactly only the rows that may be among the best: its results must be
// the full scan's to the bit, whatever binary16 makes of the vectors (near-ties closer than
// it resolves, exact ties, its subnormals, components beyond its range, zero vectors) and
// whatever the query. The full scan is the one run with binary16 conversions unavailable.
TEST_F(RecallTest, BoundedScanRanksAsTheFullScan) {
  constexpr size_t kDims = 24, kCount = 9000;  // enough blocks for scans to be bounded
  fresh_db(kDims);
  std::mt19937 gen(3);
  std::normal_distribution<float> normal;
  const auto random_vector = [&](float scale) {
    std::vector<float> v(kDims);
    for (float& x : v) x = scale * normal(gen);
    return v;
  };
  const std::vector<float> center = random_vector(1.0f);
  std::vector<float> exact_in_binary16 = random_vector(1.0f);
  for (float& x : exact_in_binary16) x = std::round(x * 64.0f) / 64.0f;
  const int64_t future = now_secs() + 100000;  // recency 1 however the clock moves
  std::vector<Memory> all;
  for (size_t i = 0; i < kCount; ++i) {
    std::vector<float> v = random_vector(1.0f);
    switch (i % 6) {
      case 0:  // binary16 holds these exactly; with the query of equal components only the
               // sums' rounding tells them apart
        v = exact_in_binary16;
        std::shuffle(v.begin(), v.end(), gen);
        break;
      case 1:  // near-ties around the center
        for (size_t d = 0; d < kDims; ++d) v[d] = center[d] + 1e-4f * v[d];
        break;
      case 2:
        v = center;
        break;
      case 3:
        v = random_vector(1e-6f);
        break;
      case 4:
        v = random_vector(1e5f);
        break;
      case 5:
        if (i % 60 == 5) std::fill(v.begin(), v.end(), 0.0f);
        if (i % 60 == 11) v[i % kDims] = 3e38f;
        break;
    }
    Memory m = Memory::make(std::to_string(i), i % 20 == 0 ? MemoryType::Procedural : MemoryType::Semantic,
                            std::move(v));
    m.importance = static_cast<float>(i % 7) / 6.0f;
    m.accessed_at = future;
    all.push_back(std::move(m));
  }
  ASSERT_TRUE(db->remember_many(all));
  for (size_t i : {size_t{2}, size_t{8}, size_t{4001}}) ASSERT_TRUE(db->delete_memory(all[i].id));

  std::vector<float> near = center;
  near[0] += 1e-3f;
  std::vector<float> huge_one = center;
  huge_one[3] = 1e30f;
  std::vector<float> overflowing = center;
  for (float& x : overflowing) x *= 1e30f;  // its sum of squares is infinite
  const auto scaled = [&](float scale) {
    std::vector<float> q = center;
    for (float& x : q) x *= scale;
    return q;
  };
  // Queries whose float sum of squares is subnormal (the float norm then understates the
  // true one), whose squares are each subnormal or zero, and that mix such components with
  // large ones.
  std::vector<float> mixed = center;
  for (size_t d = 0; d < kDims; ++d) mixed[d] *= std::array{1e-40f, 1e-23f, 1e15f}[d % 3];
  std::vector<float> subnormal(kDims);
  for (size_t d = 0; d < kDims; ++d) subnormal[d] = center[d] * 1e-39f;
  const std::vector<std::vector<float>> queries = {
      center,        near,         random_vector(1.0f), huge_one, overflowing, scaled(1e-20f),
      scaled(1e-22f), scaled(3e-20f), mixed,              subnormal, std::vector<float>(kDims, 0.1f)};
  // Without conditions every row is bounded; with a type filter, the rows that pass it.
  const auto ranked = [&](const std::vector<float>& q, uint64_t top_k, float similarity_weight, bool filtered) {
    RecallRequest req;
    req.query = q;
    req.top_k = top_k;
    req.track_access = false;
    req.similarity_weight = similarity_weight;
    if (filtered) req.memory_types = std::vector{MemoryType::Semantic};
    auto hits = db->recall(req);
    EXPECT_TRUE(hits);
    std::vector<std::tuple<std::string, uint32_t, uint32_t>> out;
    for (const RecallResult& h : *hits) {
      out.emplace_back(h.memory.content, std::bit_cast<uint32_t>(h.score), std::bit_cast<uint32_t>(h.similarity));
    }
    auto searched = db->search(q, top_k);
    EXPECT_TRUE(searched);
    for (const SearchHit& h : *searched) out.emplace_back(h.memory.content, 0, std::bit_cast<uint32_t>(h.similarity));
    return out;
  };
  for (size_t q = 0; q < queries.size(); ++q) {
    for (uint64_t top_k : {1u, 7u, 100u}) {
      for (float weight : {1.0f, 0.25f, -1.0f}) {
        for (bool filtered : {false, true}) {
          SCOPED_TRACE(::testing::Message() << "query " << q << ", top " << top_k << ", weight " << weight
                                            << (filtered ? ", filtered" : ""));
          const SimdLevel previous = limit_simd_level(SimdLevel::Generic);
          const auto full = ranked(queries[q], top_k, weight, filtered);
          limit_simd_level(previous);
          ASSERT_EQ(ranked(queries[q], top_k, weight, filtered), full);
        }
      }
    }
  }
}

// A query so small that its float sum of squares is the least subnormal, a third below its
// square: the bound must still hold, so that R, which binary16 rounds onto S's direction,
// ranks first in a bounded scan as it does in the full one (top_k beyond the bounded scans').
TEST_F(RecallTest, TinyQueryRanksInABoundedScanAsInTheFullScan) {
  std::vector<Memory> all;
  for (size_t i = 0; i < 9000; ++i) all.push_back(Memory::make("row", MemoryType::Semantic, {0, 1, 0, 0}));
  all.push_back(Memory::make("R", MemoryType::Semantic, {1.0f + 0x1p-12f, 0, 0, 0}));
  all.push_back(Memory::make("S", MemoryType::Semantic, {1.0f, 0x1p-8f, 0, 0}));
  ASSERT_TRUE(db->remember_many(all));
  const std::vector<float> q = {4.58e-23f, 0, 0, 0};
  ASSERT_LT(sum_of_squares(q), std::numeric_limits<float>::min());
  for (uint64_t top_k : {1u, 2u, 101u}) {
    SCOPED_TRACE(top_k);
    auto searched = db->search(q, top_k);
    ASSERT_TRUE(searched && !searched->empty());
    EXPECT_EQ((*searched)[0].memory.content, "R");
    if (top_k > 1) EXPECT_EQ((*searched)[1].memory.content, "S");
    EXPECT_EQ(recall(q, top_k, false)[0].memory.content, "R");
  }
}

class IndexedRecallTest : public RecallTest {
 protected:
  void SetUp() override {
    fresh_db(8);
    std::mt19937 gen(11);
    std::normal_distribution<float> dist;
    // Accessed in the future: recency 1 however far the clock moves between two rankings.
    const int64_t future = now_secs() + 1000;
    for (int i = 0; i < 50; ++i) {
      std::vector<float> v(8);
      for (float& x : v) x = dist(gen);
      Memory m = Memory::make("m" + std::to_string(i), MemoryType::Semantic, v);
      m.accessed_at = future;
      ASSERT_TRUE(db->remember(std::move(m)));
      vectors.push_back(v);
    }
  }

  std::vector<std::pair<std::string, float>> ranked(const std::vector<float>& q) {
    auto hits = recall(q, 10, false);
    std::vector<std::pair<std::string, float>> out;
    for (auto& h : hits) out.emplace_back(h.memory.content, h.score);
    return out;
  }

  std::vector<std::vector<float>> vectors;
};

TEST_F(IndexedRecallTest, SmallIndexProbesEverythingAndMatchesTheExactScan) {
  const auto exact = ranked(vectors[3]);
  auto searched = *db->search(vectors[3], 10);
  ASSERT_TRUE(db->build_index());
  EXPECT_TRUE(db->has_index());
  // 50 memories: ceil(sqrt(50)) = 8 partitions, all probed; 64 reranked covers all of them.
  EXPECT_EQ(ranked(vectors[3]), exact);
  auto searched_indexed = *db->search(vectors[3], 10);
  ASSERT_EQ(searched_indexed.size(), searched.size());
  for (size_t i = 0; i < searched.size(); ++i) {
    EXPECT_EQ(searched_indexed[i].memory.id, searched[i].memory.id);
    EXPECT_EQ(searched_indexed[i].similarity, searched[i].similarity);
  }
}

TEST_F(IndexedRecallTest, IndexFollowsChangesAndSurvivesReopen) {
  ASSERT_TRUE(db->build_index());
  const MemoryId gone = db->state().catalog[3].id;
  ASSERT_TRUE(db->delete_memory(gone));
  for (const auto& hit : recall(vectors[3], 50, false)) EXPECT_NE(hit.memory.id, gone);
  ASSERT_TRUE(db->flush());
  const auto before = ranked(vectors[7]);
  db.reset();
  db = open_db(std::nullopt);
  ASSERT_TRUE(db->has_index());
  EXPECT_EQ(ranked(vectors[7]), before);
  EXPECT_EQ(db->state().index->vector_count(), 49u);

  db->drop_index();
  ASSERT_TRUE(db->flush());
  EXPECT_EQ(db->state().header.index_pages, 0u);
  EXPECT_EQ(db->state().snapshot_manifest.back().index_pages, 0u);
  db.reset();
  db = open_db(std::nullopt);
  EXPECT_FALSE(db->has_index());
}

TEST_F(IndexedRecallTest, BuildingNeedsMemoriesAndAWritableHandle) {
  fresh_db(8);
  EXPECT_EQ(db->build_index().error().message(), "invalid argument: cannot build an index over an empty database");
  EXPECT_FALSE(db->has_index());
}

}  // namespace
}  // namespace ormel
