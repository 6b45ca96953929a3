#include "core/half_copy.h"

#include <cmath>
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
    const float norm = std::sqrt(norm_sq);
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
  const float norm = std::sqrt(sum_of_squares(queries[0]));
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
