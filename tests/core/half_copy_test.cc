#include "core/half_copy.h"

#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

namespace ormel {
namespace {

// Vectors binary16 treats in every way: held exactly, rounded, subnormal, beyond its range,
// zero, and of very different norms side by side in one block.
std::vector<std::vector<float>> awkward_vectors(size_t count, size_t dims, uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal;
  std::vector<std::vector<float>> out(count, std::vector<float>(dims));
  for (size_t i = 0; i < count; ++i) {
    const float scale = std::array{1.0f, 1e-6f, 1e4f, 1e5f, 3e-3f}[i % 5];
    for (float& x : out[i]) x = scale * normal(gen);
    if (i % 7 == 0) {
      for (float& x : out[i]) x = std::round(x * 64.0f) / 64.0f;
    }
    if (i % 13 == 0) std::fill(out[i].begin(), out[i].end(), 0.0f);
    if (i % 17 == 0) out[i][i % dims] = 3e38f;
  }
  return out;
}

// Checks the contract's bound for every slot of `arena` and every query.
void expect_bounded(const VectorArena& arena, const HalfCopy& halves, const std::vector<std::vector<float>>& queries) {
  for (const auto& q : queries) {
    const float norm_sq = sum_of_squares(q);
    if (!std::isfinite(norm_sq)) continue;  // outside the contract
    std::vector<float> exact, approx;
    arena.dots(q, exact);
    halves.approx_dots(q, approx);
    ASSERT_EQ(approx.size(), exact.size());
    const float norm = HalfCopy::query_norm(q);
    for (uint32_t s = 0; s < exact.size(); ++s) {
      const float bound = halves.bound(norm, s);
      if (std::isinf(bound) || !std::isfinite(exact[s])) continue;
      ASSERT_LE(std::fabs(static_cast<double>(exact[s]) - approx[s]), bound) << "slot " << s;
    }
  }
}

class HalfCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HalfCopy::usable()) GTEST_SKIP() << "processor lacks binary16 conversions";
  }
};

TEST_F(HalfCopyTest, EveryDotLiesWithinItsBound) {
  for (size_t dims : {3u, 16u, 100u, 384u}) {
    SCOPED_TRACE(dims);
    const auto vectors = awkward_vectors(700, dims, static_cast<uint32_t>(dims));
    VectorArena arena(dims);
    for (const auto& v : vectors) arena.add(v);
    HalfCopy halves;
    ASSERT_TRUE(halves.refresh(arena));
    auto queries = awkward_vectors(12, dims, 99);
    queries.push_back(std::vector<float>(dims, 0.1f));
    queries.push_back(vectors[1]);
    expect_bounded(arena, halves, queries);
    // A vector binary16 cannot hold has no finite bound; one it holds exactly (35) is bounded
    // by the rounding of the sums alone, below a rounded one of the same scale (5).
    EXPECT_TRUE(std::isinf(halves.error(17)));
    EXPECT_LT(halves.error(35), halves.error(5));
  }
}

// Queries whose float sum of squares falls below the normal range, or whose squares do one
// by one, understate their norm; huge ones must still be bounded while that sum is finite.
// Most are a random query scaled; the vectors include two that
// only a sound bound tells apart: R = [1 + 2^-12, 0, ...], which binary16 rounds to 1,
// and S = [1, 2^-8, 0, ...], which it holds exactly.
std::vector<std::vector<float>> extreme_queries(size_t dims) {
  std::mt19937 gen(7);
  std::normal_distribution<float> normal;
  std::vector<float> base(dims);
  for (float& x : base) x = normal(gen);
  const auto scaled = [&](float scale) {
    std::vector<float> q = base;
    for (float& x : q) x *= scale;
    return q;
  };
  std::vector<float> first_only(dims, 0.0f), mixed = scaled(1.0f), subnormal(dims, 0.0f);
  first_only[0] = 4.58e-23f;  // its float sum of squares: the least subnormal, a third too small
  for (size_t d = 0; d < dims; ++d) {
    mixed[d] *= std::array{1e-25f, 1.0f, 1e-40f, 1e9f}[d % 4];
    subnormal[d] = (d % 2 == 0 ? 1.0f : -3.0f) * std::numeric_limits<float>::denorm_min() * float(d + 1);
  }
  return {first_only, scaled(1e-22f), scaled(3e-20f), scaled(1e-19f), scaled(1e-30f),
          scaled(1e17f),  mixed,         subnormal,      scaled(1e-3f)};
}

TEST_F(HalfCopyTest, TinyHugeAndMixedQueriesStayWithinTheirBounds) {
  for (size_t dims : {4u, 33u, 384u}) {
    SCOPED_TRACE(dims);
    auto vectors = awkward_vectors(300, dims, static_cast<uint32_t>(dims + 1));
    std::vector<float> r(dims, 0.0f), s(dims, 0.0f);
    r[0] = 1.0f + 0x1p-12f;
    s[0] = 1.0f;
    s[1] = 0x1p-8f;
    vectors.insert(vectors.begin(), {r, s});
    VectorArena arena(dims);
    for (const auto& v : vectors) arena.add(v);
    HalfCopy halves;
    ASSERT_TRUE(halves.refresh(arena));
    const auto queries = extreme_queries(dims);
    expect_bounded(arena, halves, queries);
    for (const auto& q : queries) {
      // Never below the norm, and not above it by more than float's rounding.
      long double sum = 0;
      for (float x : q) sum += static_cast<long double>(x) * x;
      const long double norm = std::sqrt(sum);
      EXPECT_GE(HalfCopy::query_norm(q), norm);
      EXPECT_LE(HalfCopy::query_norm(q), norm * (1 + 0x1p-22L) + 2 * std::numeric_limits<float>::denorm_min());
    }
  }
  // Beyond float's range the norm is infinite, not undefined.
  EXPECT_EQ(HalfCopy::query_norm(std::vector<float>{3e38f, 3e38f}), std::numeric_limits<float>::infinity());
}

TEST_F(HalfCopyTest, FollowsTheArenaAsItChanges) {
  constexpr size_t kDims = 40;
  const auto vectors = awkward_vectors(900, kDims, 5);
  VectorArena arena(kDims);
  HalfCopy halves;
  const auto queries = awkward_vectors(6, kDims, 6);
  // Vectors added in several groups land in blocks opened earlier as well as in new ones:
  // each refresh must convert exactly what changed.
  size_t next = 0;
  for (size_t round : {100u, 1u, 250u, 549u}) {
    for (size_t k = 0; k < round; ++k, ++next) arena.add(vectors[next], static_cast<uint32_t>(next % 3));
    ASSERT_TRUE(halves.refresh(arena));
    expect_bounded(arena, halves, queries);
  }
  std::vector<uint32_t> some = {0, 17, 899, 450};
  std::vector<float> exact, approx;
  arena.dots_for(queries[0], some, exact);
  halves.approx_dots_for(queries[0], some, approx);
  const float norm = HalfCopy::query_norm(queries[0]);
  for (size_t i = 0; i < some.size(); ++i) {
    if (std::isinf(halves.bound(norm, some[i]))) continue;
    EXPECT_LE(std::fabs(static_cast<double>(exact[i]) - approx[i]), halves.bound(norm, some[i])) << some[i];
  }
  // Emptied and filled again with other vectors, in fewer blocks.
  arena.clear();
  for (size_t k = 0; k < 40; ++k) arena.add(vectors[899 - k]);
  ASSERT_TRUE(halves.refresh(arena));
  expect_bounded(arena, halves, queries);
}

}  // namespace
}  // namespace ormel
