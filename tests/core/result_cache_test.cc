// The result cache: exact-key and semantic lookups, time-to-live, hit counting, eviction,
// and the directory across reopening.
#include <gtest/gtest.h>

#include "core/crypto.h"
#include "core/result_cache.h"
#include "core/store.h"
#include "core/store_state.h"
#include "tests/core/support/fault_env.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(KeyHelpers, PreviewCountsCharactersNotBytes) {
  const std::string ascii120(120, 'k');
  const std::string ascii121(121, 'k');
  std::string wide121;
  for (int i = 0; i < 121; ++i) wide121 += "é";
  struct Case {
    std::string key;
    std::string preview;
  } cases[] = {
      {"", ""},
      {ascii120, ascii120},
      {ascii121, std::string(119, 'k') + "…"},
      {wide121, wide121.substr(0, 119 * 2) + "…"},
  };
  for (const auto& c : cases) EXPECT_EQ(key_preview(c.key), c.preview) << c.key.size();
  EXPECT_EQ(key_preview(ascii121).size(), 122u);
  EXPECT_EQ(hash_key(""), sha256({}));
}

TEST(KeyHelpers, ExpiryUsesASaturatingAge) {
  struct Case {
    std::optional<uint64_t> ttl;
    int64_t created_at, now;
    bool expired;
  } cases[] = {
      {std::nullopt, 0, 1000, false},
      {0, 1000, 1000, true},
      {60, 1000, 1059, false},
      {60, 1000, 1060, true},
      {60, 2000, 1000, true},  // created in the future: the age reads as huge
      {UINT64_MAX, INT64_MIN, INT64_MAX, false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_expired(c.ttl, c.created_at, c.now), c.expired) << c.created_at << " " << c.now;
}

class ResultCacheTest : public testing::StoreTest {
 protected:
  void put(const std::string& ns, const std::string& key, const std::string& value,
           std::optional<uint64_t> ttl = std::nullopt) {
    auto r = db->cache_put(ns, key, bytes(value), "text", ttl);
    ASSERT_TRUE(r) << r.error().message();
  }

  void put_semantic(const std::string& key, std::vector<float> v, const std::string& value,
                    const std::string& model = "m", std::optional<uint64_t> ttl = std::nullopt) {
    auto r = db->cache_put_semantic("ns", key, std::move(v), bytes(value), model, "text", ttl);
    ASSERT_TRUE(r) << r.error().message();
  }

  std::optional<std::string> get(const std::string& ns, const std::string& key) {
    auto r = db->cache_get(ns, key);
    EXPECT_TRUE(r) << r.error().message();
    if (!*r) return std::nullopt;
    return std::string((*r)->value.begin(), (*r)->value.end());
  }

  std::optional<std::string> get_semantic(std::vector<float> q, const std::string& model = "m",
                                          float threshold = kDefaultSemanticThreshold) {
    auto r = db->cache_get_semantic("ns", q, model, threshold);
    EXPECT_TRUE(r) << r.error().message();
    if (!*r) return std::nullopt;
    return std::string((*r)->value.begin(), (*r)->value.end());
  }

  size_t live_rows() const {
    size_t n = 0;
    for (const auto& row : db->state().cache_directory) n += row.deleted ? 0 : 1;
    return n;
  }
};

TEST_F(ResultCacheTest, PutGetReplaceDelete) {
  put("a", "key", "one");
  put("b", "key", "other namespace");
  EXPECT_EQ(get("a", "key"), "one");
  EXPECT_EQ(get("b", "key"), "other namespace");
  put("a", "key", "two");
  ASSERT_EQ(db->state().cache_directory.size(), 3u);
  EXPECT_TRUE(db->state().cache_directory[0].deleted);
  EXPECT_FALSE(db->state().cache_directory[2].deleted);
  EXPECT_EQ(get("a", "key"), "two");
  put("a", "", "empty key");
  EXPECT_EQ(get("a", ""), "empty key");
  ASSERT_TRUE(db->cache_delete("a", "key"));
  ASSERT_TRUE(db->cache_delete("a", "never put"));
  EXPECT_EQ(get("a", "key"), std::nullopt);
  reopen();
  EXPECT_EQ(get("a", "key"), std::nullopt);
  EXPECT_EQ(get("b", "key"), "other namespace");
  EXPECT_EQ(get("a", ""), "empty key");
  EXPECT_EQ(live_rows(), 2u);
}

TEST_F(ResultCacheTest, HitBookkeepingDependsOnTheHandle) {
  put("ns", "k", "v", 3600);
  auto first = *db->cache_get("ns", "k");
  auto second = *db->cache_get("ns", "k");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->access_count, 1u);
  EXPECT_EQ(second->access_count, 2u);
  EXPECT_GE(second->accessed_at, first->created_at);
  EXPECT_EQ(second->ttl_secs, 3600u);
  EXPECT_EQ(second->content_type, "text");
  ASSERT_TRUE(db->flush());  // hits only stage; the flush commits them
  reopen(std::nullopt, /*read_only=*/true);
  auto ro = *db->cache_get("ns", "k");
  ASSERT_TRUE(ro);
  EXPECT_EQ(ro->access_count, 2u);
  EXPECT_EQ(ro->accessed_at, ro->created_at);
  EXPECT_EQ((*db->cache_get("ns", "k"))->access_count, 2u);
  EXPECT_EQ(db->cache_put("ns", "k", bytes("x"), "text", std::nullopt).error().kind(), ErrorKind::ReadOnly);
  EXPECT_EQ(db->cache_delete("ns", "nope").error().kind(), ErrorKind::ReadOnly);
  EXPECT_EQ(db->cache_purge(std::nullopt, false).error().kind(), ErrorKind::ReadOnly);
}

TEST_F(ResultCacheTest, ZeroTimeToLiveMissesAndIsPurged) {
  put("ns", "gone", "v", 0);
  put("ns", "kept", "v");
  EXPECT_EQ(get("ns", "gone"), std::nullopt);
  EXPECT_EQ(get("ns", "gone"), std::nullopt);
  CacheStats st = db->cache_stats(std::nullopt);
  EXPECT_EQ(st.misses, 2u);
  EXPECT_EQ(st.entries, 2u);  // expired rows count until purged
  EXPECT_EQ(*db->cache_purge(std::nullopt, true), 1u);
  EXPECT_EQ(*db->cache_purge(std::nullopt, true), 0u);
  EXPECT_EQ(db->cache_stats(std::nullopt).entries, 1u);
}

TEST_F(ResultCacheTest, PurgeAndStatsByNamespace) {
  put("x", "1", "aaa");
  put("x", "2", "bb");
  put("y", "1", "c");
  put("", "1", "d");
  EXPECT_EQ(get("x", "1"), "aaa");
  EXPECT_EQ(get("x", "missing"), std::nullopt);
  CacheStats x = db->cache_stats("x"), all = db->cache_stats(std::nullopt);
  EXPECT_EQ(x.entries, 2u);
  EXPECT_EQ(x.bytes, 5u);
  EXPECT_EQ(all.entries, 4u);
  EXPECT_EQ(x.hits, all.hits);
  EXPECT_EQ(x.misses, 1u);
  EXPECT_DOUBLE_EQ(all.hit_rate, 0.5);
  EXPECT_EQ(*db->cache_purge(std::string(""), false), 1u);  // only the empty namespace
  EXPECT_EQ(*db->cache_purge(std::nullopt, false), 3u);
  EXPECT_EQ(*db->cache_purge(std::nullopt, false), 0u);
  reopen();
  EXPECT_EQ(db->cache_stats(std::nullopt).hits, 0u);  // counters are per handle
  EXPECT_EQ(db->state().header.cache_dir_pages, 1u);   // tombstones are kept
}

TEST_F(ResultCacheTest, EvictionKeepsTheBudgetAndDropsTheLeastRecentlyHit) {
  // Stage directly (one flush at the end) to keep the test fast; puts behave the same.
  auto& s = db->state();
  for (int i = 0; i < 10000; ++i) {
    s.cache_directory.push_back(CacheDirectoryEntry{"ns", hash_key(std::to_string(i)), 0, 1, 1, false, 1000 + i, 0,
                                                    1, std::nullopt, 1000 + i, std::nullopt, std::nullopt});
  }
  s.cache_directory[0].accessed_at = 5000;  // recently hit: survives
  s.cache_index = DirectoryIndex::build(s.cache_directory);
  put("ns", "new", "v");
  EXPECT_EQ(db->cache_stats("ns").entries, 10000u);
  EXPECT_EQ(db->cache_stats(std::nullopt).evictions, 1u);
  EXPECT_FALSE(s.cache_directory[0].deleted);
  EXPECT_TRUE(s.cache_directory[1].deleted);
}

TEST_F(ResultCacheTest, AValueOverTheByteBudgetEvictsItsNamespaceAndItself) {
  put("big", "small", "v");
  put("other", "k", "v");
  auto r = db->cache_put("big", "huge", std::vector<uint8_t>(CACHE_BUDGET_BYTES + 1, 'x'), "bin", std::nullopt);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(db->cache_stats("big").entries, 0u);
  EXPECT_EQ(db->cache_stats("other").entries, 1u);
  EXPECT_EQ(db->cache_stats(std::nullopt).evictions, 2u);
}

TEST_F(ResultCacheTest, SemanticLookups) {
  put_semantic("q1", {1, 0, 0, 0}, "first");
  put_semantic("q2", {1, 0, 0, 0}, "second (same vector)");
  put_semantic("q3", {0, 1, 0, 0}, "other model", "m2");
  put("ns", "plain", "exact-key entry");
  auto exact = db->cache_get_semantic("ns", std::vector<float>{1, 0, 0, 0}, "m", kDefaultSemanticThreshold);
  ASSERT_TRUE(exact && *exact);
  EXPECT_EQ(std::string((*exact)->value.begin(), (*exact)->value.end()), "first");  // first put wins ties
  EXPECT_NEAR(*(*exact)->similarity, 1.0f, 1e-6);
  EXPECT_EQ(get_semantic({1, 0, 0, 0}, "m3"), std::nullopt);
  EXPECT_EQ(get_semantic({0, 1, 0, 0}, "m2"), "other model");
  EXPECT_EQ(get("ns", "q1"), "first");  // semantic entries answer exact-key lookups too

  // cos = 0.96: a miss at the default threshold, a hit at 0.9.
  const std::vector<float> near{0.96f, 0.28f, 0, 0};
  EXPECT_EQ(get_semantic(near), std::nullopt);
  EXPECT_EQ(get_semantic(near, "m", 0.9f), "first");
  // An all-zero query scores 0 against everything.
  EXPECT_EQ(get_semantic({0, 0, 0, 0}), std::nullopt);
  EXPECT_EQ(get_semantic({0, 0, 0, 0}, "m", 0.0f), "first");
  const uint64_t misses = db->cache_stats(std::nullopt).misses;
  EXPECT_EQ(db->cache_get_semantic("ns", std::vector<float>{1, 0}, "m", 0.5f).error().message(),
            "vector dimension mismatch: database expects 4, got 2");
  EXPECT_EQ(db->cache_stats(std::nullopt).misses, misses);
  EXPECT_EQ(db->cache_put_semantic("ns", "k", {1}, bytes("v"), "m", "text", std::nullopt).error().kind(),
            ErrorKind::DimensionMismatch);
}

// A lookup answers only from its own (namespace, model) group, whatever bytes the two
// texts hold: NUL characters must not let two pairs share a group.
TEST_F(ResultCacheTest, SemanticGroupsOfDistinctPairsNeverMix) {
  using namespace std::string_literals;
  struct Pair {
    std::string ns, model;
  };
  const Pair pairs[] = {{"a\0b"s, "c"}, {"a", "b\0c"s}, {"a\0"s, "b"}, {"a", "\0b"s}, {"", "a\0b"s}, {"a\0b"s, ""}};
  for (size_t i = 0; i < std::size(pairs); ++i) {
    // Distinct keys: one key of a namespace holds one entry, whatever its model.
    auto put = db->cache_put_semantic(pairs[i].ns, "key" + std::to_string(i), {1, 0, 0, 0}, bytes(std::to_string(i)), pairs[i].model,
                                      "text", std::nullopt);
    ASSERT_TRUE(put) << put.error().message();
    for (size_t j = 0; j < std::size(pairs); ++j) {
      auto hit = db->cache_get_semantic(pairs[j].ns, std::vector<float>{1, 0, 0, 0}, pairs[j].model, 0.5f);
      ASSERT_TRUE(hit) << hit.error().message();
      if (j <= i) {
        ASSERT_TRUE(*hit) << "pair " << j << " after " << i << " puts";
        EXPECT_EQ(std::string((*hit)->value.begin(), (*hit)->value.end()), std::to_string(j));
      } else {
        EXPECT_FALSE(*hit) << "pair " << j << " answered from another group after " << i << " puts";
      }
    }
  }
}

TEST_F(ResultCacheTest, ExpiredSemanticRowsAreSkipped) {
  put_semantic("best", {1, 0, 0, 0}, "expired", "m", 0);
  put_semantic("next", {0.99f, 0.1f, 0, 0}, "next best");
  EXPECT_EQ(get_semantic({1, 0, 0, 0}), "next best");
  reopen();
  EXPECT_EQ(get_semantic({1, 0, 0, 0}), "next best");
  EXPECT_EQ(get_semantic({1, 0, 0, 0}, "m", 0.999f), std::nullopt);
}

// A length must fit the 32-bit field of a catalog or directory row. (The check runs before
// anything is staged; exercising it through a put would need a 4 GiB value.)
TEST(RecordLength, ThirtyTwoBitLimit) {
  EXPECT_TRUE(check_record_length(UINT32_MAX, "cache entry"));
  auto refused = check_record_length(uint64_t{UINT32_MAX} + 1, "cache entry");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "invalid argument: cache entry of 4294967296 bytes exceeds the 4294967295-byte limit of a record");
}

}  // namespace
}  // namespace ormel
