#include "core/vector_scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "core/memory.h"

namespace ormel {
namespace {

std::vector<std::vector<float>> random_vectors(size_t count, size_t dims, uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> dist(0.0f, 3.0f);
  std::vector<std::vector<float>> out(count, std::vector<float>(dims));
  for (auto& v : out) {
    for (float& x : v) x = dist(gen);
  }
  return out;
}

float scalar_dot(std::span<const float> a, std::span<const float> b) {
  float s = 0.0f;
  for (size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

// Runs a body once per instruction-set path this processor offers.
class EveryPath : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override {
    previous_ = limit_simd_level(GetParam());
    if (simd_level() != GetParam()) GTEST_SKIP() << "processor lacks this instruction set";
  }
  void TearDown() override { limit_simd_level(previous_); }
  SimdLevel previous_ = SimdLevel::Avx512;
};

struct Shape {
  size_t count, dims;
};

// Widths that are and are not multiples of the lane count, with full and partial last
// blocks, runs of blocks shorter and longer than the kernels' block groups, and an arena
// large enough to be split over the cores, with a partial last block.
const Shape kShapes[] = {{1, 1},   {15, 7},  {16, 16}, {17, 33}, {100, 384},
                         {129, 5}, {40, 768}, {VectorArena::kSplitBlocks * kLanes * 2 + 9, 3}};

TEST_P(EveryPath, DotsAndCosineAreBitIdenticalToTheScalarLoops) {
  for (const Shape& shape : kShapes) {
    SCOPED_TRACE(testing::Message() << shape.count << " x " << shape.dims);
    auto vectors = random_vectors(shape.count + 1, shape.dims, static_cast<uint32_t>(shape.count * 1000 + shape.dims));
    const std::vector<float> random_query = vectors.back();
    vectors.pop_back();
    VectorArena arena(shape.dims);
    for (const auto& v : vectors) arena.add(v);
    ASSERT_EQ(arena.size(), shape.count);

    // Besides the plain query, ones whose products and squares fall below the normal range
    // (some to zero), and one mixing those with huge components.
    const auto scaled = [&](float scale) {
      std::vector<float> q = random_query;
      for (float& x : q) x *= scale;
      return q;
    };
    std::vector<float> mixed = random_query;
    for (size_t d = 0; d < mixed.size(); ++d) mixed[d] *= std::array{1e-40f, 1e19f, 1e-23f}[d % 3];
    for (const auto& query : {random_query, scaled(1e-22f), scaled(1e-30f), mixed}) {
      std::vector<float> dots;
      arena.dots(query, dots);
      ASSERT_EQ(dots.size(), shape.count);
      const float query_norm = sum_of_squares(query);
      for (size_t s = 0; s < shape.count; ++s) {
        const uint32_t slot = static_cast<uint32_t>(s);
        ASSERT_EQ(std::bit_cast<uint32_t>(dots[s]), std::bit_cast<uint32_t>(scalar_dot(query, vectors[s]))) << s;
        ASSERT_EQ(std::bit_cast<uint32_t>(arena.norm_sq(slot)),
                  std::bit_cast<uint32_t>(scalar_dot(vectors[s], vectors[s])));
        const float cosine = cosine_from_parts(dots[s], query_norm, arena.norm_sq(slot), shape.dims);
        ASSERT_EQ(std::bit_cast<uint32_t>(cosine),
                  std::bit_cast<uint32_t>(similarity(Metric::Cosine, query, vectors[s])))
            << s;
      }
    }
  }
}

float scalar_sq_dist(std::span<const float> q, std::span<const float> v) {
  float s = 0.0f;
  for (size_t i = 0; i < q.size(); ++i) {
    const float diff = q[i] - v[i];
    s += diff * diff;
  }
  return s;
}

TEST_P(EveryPath, ChosenSlotDotsAndDistancesAreBitIdenticalToTheScalarLoops) {
  for (const Shape& shape : kShapes) {
    SCOPED_TRACE(testing::Message() << shape.count << " x " << shape.dims);
    auto vectors = random_vectors(shape.count + 1, shape.dims, static_cast<uint32_t>(shape.count * 7 + shape.dims));
    const std::vector<float> query = vectors.back();
    vectors.pop_back();
    VectorArena arena(shape.dims);
    for (const auto& v : vectors) arena.add(v);

    // Out of order, repeated, sharing blocks, and the last slot, many and few of them; from
    // the interleaved blocks, then with kept rows (copied when kept, and appended by a later
    // add), which few slots are read from.
    auto check_chosen = [&](size_t every) {
      std::vector<uint32_t> slots;
      for (size_t s = arena.size(); s-- > 0;) {
        if (s % every == 0 || s + 1 == arena.size()) slots.push_back(static_cast<uint32_t>(s));
      }
      slots.push_back(0);
      std::vector<float> chosen;
      arena.dots_for(query, slots, chosen);
      ASSERT_EQ(chosen.size(), slots.size());
      for (size_t i = 0; i < slots.size(); ++i) {
        EXPECT_EQ(std::bit_cast<uint32_t>(chosen[i]), std::bit_cast<uint32_t>(scalar_dot(query, vectors[slots[i]])))
            << slots[i];
      }
      std::vector<float> copied;
      for (uint32_t slot : {uint32_t{0}, static_cast<uint32_t>(arena.size() - 1)}) {
        arena.copy_vector(slot, copied);
        EXPECT_EQ(copied, vectors[slot]) << slot;
      }
    };
    for (int step = 0; step < 3; ++step) {
      if (step == 1) arena.keep_rows();
      if (step == 2) {
        vectors.push_back(random_vectors(1, shape.dims, 99).front());
        arena.add(vectors.back());
      }
      for (size_t every : {3, 37}) ASSERT_NO_FATAL_FAILURE(check_chosen(every)) << step << " every " << every;
    }

    std::vector<float> dists(arena.blocks() * kLanes, -1.0f);
    arena.sq_dists(query, dists.data());
    for (size_t s = 0; s < arena.size(); ++s) {
      EXPECT_EQ(std::bit_cast<uint32_t>(dists[s]), std::bit_cast<uint32_t>(scalar_sq_dist(query, vectors[s]))) << s;
    }
    const std::vector<float> zero(shape.dims, 0.0f);
    for (size_t s = arena.size(); s < dists.size(); ++s) EXPECT_EQ(dists[s], scalar_sq_dist(query, zero)) << s;
  }
}

// Values whose squares round, fall below the normal range, or overflow, so that any
// reordering or fusing of the sum would change its bits.
std::vector<std::vector<float>> awkward_vectors(size_t count, size_t dims, uint32_t seed) {
  const float specials[] = {1e-20f, -3e-23f, 1.0000001f, 16777217.0f, 3.4e38f, -1e19f, 0.1f, -0.0f, 1e-45f};
  auto out = random_vectors(count, dims, seed);
  std::mt19937 gen(seed);
  for (auto& v : out) {
    for (float& x : v) {
      if (gen() % 3 == 0) x = specials[gen() % std::size(specials)];
    }
  }
  return out;
}

TEST_P(EveryPath, AddManyMatchesAddOneByOneBitForBit) {
  // The shapes above, and batches large enough to be shared between two threads.
  std::vector<Shape> shapes(std::begin(kShapes), std::end(kShapes));
  shapes.push_back({1100, 9});
  shapes.push_back({2063, 40});
  for (const Shape& shape : shapes) {
    // Batches that start on a block boundary and inside a partly filled block.
    // With kept rows, the batch's vectors are kept contiguous too.
    for (auto [before, rows] : {std::pair{size_t{0}, false}, {size_t{5}, false}, {size_t{16}, false}, {size_t{5}, true}}) {
      SCOPED_TRACE(testing::Message() << shape.count << " x " << shape.dims << " after " << before << " rows " << rows);
      const auto vectors = awkward_vectors(before + shape.count, shape.dims, static_cast<uint32_t>(shape.count + before));
      VectorArena one_by_one(shape.dims), batched(shape.dims);
      if (rows) batched.keep_rows();
      for (const auto& v : vectors) one_by_one.add(v);
      for (size_t i = 0; i < before; ++i) batched.add(vectors[i]);
      std::vector<const float*> rest;
      for (size_t i = before; i < vectors.size(); ++i) rest.push_back(vectors[i].data());
      EXPECT_EQ(batched.add_many(rest), before);
      ASSERT_EQ(batched.size(), vectors.size());
      for (uint32_t s = 0; s < vectors.size(); ++s) {
        EXPECT_EQ(std::bit_cast<uint32_t>(batched.norm_sq(s)), std::bit_cast<uint32_t>(sum_of_squares(vectors[s]))) << s;
        for (size_t d = 0; d < shape.dims; ++d) {
          ASSERT_EQ(std::bit_cast<uint32_t>(batched.at(s, d)), std::bit_cast<uint32_t>(vectors[s][d])) << s << "," << d;
        }
        if (rows) {
          std::vector<float> copied;
          batched.copy_vector(s, copied);
          ASSERT_EQ(copied, vectors[s]) << s;
        }
      }
      // Unused lanes stay zero, and later adds land where add() would put them.
      const auto more = awkward_vectors(3, shape.dims, 99);
      for (const auto& v : more) EXPECT_EQ(batched.add(v), one_by_one.add(v));
      std::vector<float> a, b;
      batched.dots(more[0], a);
      one_by_one.dots(more[0], b);
      ASSERT_EQ(a.size(), b.size());
      for (size_t s = 0; s < a.size(); ++s) EXPECT_EQ(std::bit_cast<uint32_t>(a[s]), std::bit_cast<uint32_t>(b[s])) << s;
    }
  }
}

// Group patterns: one group, a few interleaved, runs of one group, and more groups than
// may hold an open block (the rest share the overflow group's blocks).
std::vector<uint32_t> group_pattern(int pattern, size_t count) {
  std::vector<uint32_t> groups(count);
  for (size_t i = 0; i < count; ++i) {
    switch (pattern) {
      case 0: groups[i] = 0; break;
      case 1: groups[i] = static_cast<uint32_t>(i % 3); break;
      case 2: groups[i] = static_cast<uint32_t>(i / 37 % 5); break;
      default: groups[i] = static_cast<uint32_t>(i * 7 % (VectorArena::kOpenGroups + 30)); break;
    }
  }
  return groups;
}

TEST_P(EveryPath, GroupedBatchesMatchAddOneByOneBitForBit) {
  for (const Shape shape : {Shape{1100, 9}, Shape{300, 40}, Shape{70, 5}}) {
    for (int pattern = 0; pattern < 4; ++pattern) {
      for (auto [before, rows] : {std::pair{size_t{0}, false}, {size_t{21}, false}, {size_t{21}, true}}) {
        SCOPED_TRACE(testing::Message() << shape.count << " x " << shape.dims << " pattern " << pattern << " after "
                                        << before << " rows " << rows);
        const size_t total = before + shape.count;
        const auto vectors = awkward_vectors(total, shape.dims, static_cast<uint32_t>(total + pattern));
        const std::vector<uint32_t> groups = group_pattern(pattern, total);
        VectorArena one_by_one(shape.dims), batched(shape.dims);
        if (rows) batched.keep_rows();
        std::vector<uint32_t> expected;
        for (size_t i = 0; i < total; ++i) expected.push_back(one_by_one.add(vectors[i], groups[i]));
        for (size_t i = 0; i < before; ++i) ASSERT_EQ(batched.add(vectors[i], groups[i]), expected[i]);
        std::vector<const float*> rest;
        for (size_t i = before; i < total; ++i) rest.push_back(vectors[i].data());
        const VectorArena::Placed placed = batched.place_many(std::span(groups).subspan(before));
        batched.write_placed(placed, rest);
        ASSERT_EQ(placed.slots, std::vector<uint32_t>(expected.begin() + static_cast<ptrdiff_t>(before), expected.end()));
        ASSERT_EQ(batched.size(), total);
        ASSERT_EQ(batched.blocks(), one_by_one.blocks());
        for (size_t i = 0; i < total; ++i) {
          const uint32_t s = expected[i];
          ASSERT_EQ(std::bit_cast<uint32_t>(batched.norm_sq(s)), std::bit_cast<uint32_t>(sum_of_squares(vectors[i]))) << i;
          std::vector<float> copied;
          batched.copy_vector(s, copied);
          ASSERT_EQ(copied, vectors[i]) << i;
        }
        // Unused lanes hold zeros: every dot, lanes between groups' vectors included, is
        // the one-by-one arena's, and later adds land where add() puts them.
        for (uint32_t g : {0u, 2u, 1000u}) EXPECT_EQ(batched.add(vectors[0], g), one_by_one.add(vectors[0], g));
        std::vector<float> a, b;
        batched.dots(vectors[1], a);
        one_by_one.dots(vectors[1], b);
        ASSERT_EQ(a.size(), b.size());
        for (size_t s = 0; s < a.size(); ++s) EXPECT_EQ(std::bit_cast<uint32_t>(a[s]), std::bit_cast<uint32_t>(b[s])) << s;
      }
    }
  }
}

// A block holds one group's vectors, so the slots of a group lie in as few blocks as its
// count needs; groups beyond the open-block limit share the overflow group's blocks, and
// at most one block per group that may hold one open has empty lanes.
TEST(VectorArena, BlocksHoldOneGroupWithBoundedEmptyLanes) {
  for (const size_t groups : {size_t{20}, VectorArena::kOpenGroups * 3}) {
    SCOPED_TRACE(groups);
    const size_t count = 40 * groups;
    const auto vectors = random_vectors(count, 3, 5);
    VectorArena arena(3);
    std::vector<std::vector<uint32_t>> slots_of(groups);
    for (size_t i = 0; i < count; ++i) {
      slots_of[i % groups].push_back(arena.add(vectors[i], static_cast<uint32_t>(i % groups)));
    }
    EXPECT_LE(arena.blocks(), count / kLanes + VectorArena::kOpenGroups + 1);
    if (groups <= VectorArena::kOpenGroups) {
      EXPECT_EQ(arena.blocks(), groups * ((40 + kLanes - 1) / kLanes));
      for (size_t g = 0; g < groups; ++g) {
        std::vector<uint32_t> blocks;
        for (uint32_t s : slots_of[g]) blocks.push_back(s / kLanes);
        blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
        EXPECT_EQ(blocks.size(), (slots_of[g].size() + kLanes - 1) / kLanes) << g;
      }
    }
    // A pass over one group's slots gives the same dots as the whole arena.
    std::vector<float> all, chosen;
    arena.dots(vectors[0], all);
    arena.dots_for(vectors[0], slots_of[7], chosen);
    ASSERT_EQ(chosen.size(), slots_of[7].size());
    for (size_t i = 0; i < chosen.size(); ++i) EXPECT_EQ(chosen[i], all[slots_of[7][i]]);
  }
}

TEST(VectorArena, AddManyOfNothingAddsNothing) {
  VectorArena arena(4);
  arena.add(std::vector<float>{1, 2, 3, 4});
  EXPECT_EQ(arena.add_many({}), 1u);
  EXPECT_EQ(arena.size(), 1u);
}

TEST(VectorArena, DotsForNoSlotsIsEmpty) {
  VectorArena arena(3);
  arena.add(std::vector<float>{1, 2, 3});
  std::vector<float> out{7.0f};
  arena.dots_for(std::vector<float>{1, 1, 1}, {}, out);
  EXPECT_TRUE(out.empty());
}

INSTANTIATE_TEST_SUITE_P(Simd, EveryPath, ::testing::Values(SimdLevel::Generic, SimdLevel::Avx2, SimdLevel::Avx512));

TEST(VectorArena, StoresVectorsBySlotAndClears) {
  auto vectors = random_vectors(20, 9, 7);
  VectorArena arena(9);
  for (size_t i = 0; i < vectors.size(); ++i) EXPECT_EQ(arena.add(vectors[i]), i);
  EXPECT_EQ(arena.blocks(), 2u);
  std::vector<float> out;
  for (uint32_t s = 0; s < 20; ++s) {
    arena.copy_vector(s, out);
    EXPECT_EQ(out, vectors[s]);
  }
  arena.clear();
  EXPECT_EQ(arena.size(), 0u);
  arena.dots(vectors[0], out);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(arena.add(vectors[3]), 0u);
  arena.copy_vector(0, out);
  EXPECT_EQ(out, vectors[3]);
}

TEST(CosineFromParts, ZeroWhenAVectorIsEmptyOrAllZero) {
  const std::vector<float> zero(4, 0.0f), v{1.0f, 2.0f, 0.0f, -1.0f};
  VectorArena arena(4);
  arena.add(zero);
  arena.add(v);
  std::vector<float> dots;
  arena.dots(v, dots);
  EXPECT_EQ(cosine_from_parts(dots[0], sum_of_squares(v), arena.norm_sq(0), 4), 0.0f);
  EXPECT_EQ(cosine_from_parts(dots[1], sum_of_squares(v), arena.norm_sq(1), 4), similarity(Metric::Cosine, v, v));
  arena.dots(zero, dots);
  EXPECT_EQ(cosine_from_parts(dots[1], sum_of_squares(zero), arena.norm_sq(1), 4), 0.0f);
  EXPECT_EQ(cosine_from_parts(1.0f, 1.0f, 1.0f, 0), 0.0f);

  VectorArena empty(0);
  empty.add({});
  empty.dots({}, dots);
  ASSERT_EQ(dots.size(), 1u);
  EXPECT_EQ(dots[0], 0.0f);
}

}  // namespace
}  // namespace ormel
