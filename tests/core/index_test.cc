#include "core/index.h"

#include <algorithm>
#include <cmath>
#include <compare>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "core/vector_scan.h"

namespace ormel {
namespace {

// n memories of width dims with ids 1..n, normally distributed around a few centers so
// the k-means has structure to find.
struct Dataset {
  std::vector<MemoryId> ids;
  std::vector<float> vectors;
  size_t dims;

  Dataset(size_t n, size_t d, uint32_t seed = 1) : dims(d) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::uniform_int_distribution<int> center(0, 4);
    for (size_t i = 0; i < n; ++i) {
      ids.push_back(MemoryId{0xABCD} << 80 | (i + 1));
      const float c = static_cast<float>(center(gen)) * 10.0f;
      for (size_t k = 0; k < d; ++k) vectors.push_back(c * static_cast<float>(k % 3) + noise(gen));
    }
  }
  std::span<const float> vector(size_t i) const { return std::span(vectors).subspan(i * dims, dims); }
  IvfPqIndex build() const { return *build_ivfpq(ids, vectors, dims); }
};

// Checks the documented invariants of an index.
void expect_consistent(const IvfPqIndex& index) {
  ASSERT_EQ(index.partitions.size(), index.n_partitions);
  ASSERT_EQ(index.centroids.size(), index.n_partitions * index.dims);
  size_t entries = 0;
  for (uint64_t p = 0; p < index.n_partitions; ++p) {
    const Posting& posting = index.partitions[p];
    EXPECT_EQ(posting.codes.size(), posting.ids.size() * index.subspaces());
    for (MemoryId id : posting.ids) {
      auto it = index.partition_of.find(id);
      ASSERT_NE(it, index.partition_of.end());
      EXPECT_EQ(it->second, p);
    }
    entries += posting.ids.size();
  }
  EXPECT_EQ(entries, index.partition_of.size());
  EXPECT_EQ(index.vector_count(), entries);
}

TEST(IndexRng, FixedSeedGivesOneStream) {
  IndexRng a, b;
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(a.next_u32(), b.next_u32());  // crosses buffer refills
  IndexRng c, d;
  const uint32_t lo = c.next_u32(), hi = c.next_u32();
  EXPECT_EQ(d.next_u64(), uint64_t{hi} << 32 | lo);
  const uint32_t word = c.next_u32();
  EXPECT_EQ(d.unit_float(), static_cast<float>(word >> 8) / 16777216.0f);
}

TEST(IndexRng, BelowStaysInRangeWithoutBias) {
  IndexRng rng;
  for (int i = 0; i < 100; ++i) EXPECT_EQ(rng.below(1), 0u);
  // Just above 2^63 about half the draws are rejected, exercising the retry path.
  const uint64_t big = (uint64_t{1} << 63) + 1;
  for (int i = 0; i < 1000; ++i) EXPECT_LT(rng.below(big), big);
  std::vector<int> counts(3);
  for (int i = 0; i < 30000; ++i) ++counts[rng.below(3)];
  for (int c : counts) EXPECT_NEAR(c, 10000, 500);
  for (int i = 0; i < 1000; ++i) {
    const float u = rng.unit_float();
    EXPECT_GE(u, 0.0f);
    EXPECT_LT(u, 1.0f);
  }
}

TEST(Kmeans, CentroidCountIsRequestedKClampedToPoints) {
  const Dataset data(5, 3);
  struct Case {
    size_t k, expected;
  };
  for (const Case c : {Case{3, 3}, Case{5, 5}, Case{10, 5}, Case{0, 1}}) {
    IndexRng rng;
    EXPECT_EQ(kmeans(data.vectors, 5, 3, c.k, 4, rng).size(), c.expected * 3) << c.k;
  }
}

TEST(Kmeans, FindsSeparatedClustersAsTheirMeans) {
  std::vector<float> points;
  const float centers[3][2] = {{0, 0}, {100, 0}, {0, 100}};
  std::mt19937 gen(3);
  std::uniform_real_distribution<float> jitter(-1.0f, 1.0f);
  for (int i = 0; i < 60; ++i) {
    points.push_back(centers[i % 3][0] + jitter(gen));
    points.push_back(centers[i % 3][1] + jitter(gen));
  }
  IndexRng rng;
  const std::vector<float> found = kmeans(points, 60, 2, 3, 10, rng);
  ASSERT_EQ(found.size(), 6u);
  for (const auto& c : centers) {
    int near = 0;
    for (size_t j = 0; j < 3; ++j) near += std::hypot(found[2 * j] - c[0], found[2 * j + 1] - c[1]) < 1.0f;
    EXPECT_EQ(near, 1) << c[0] << "," << c[1];
  }
}

TEST(Kmeans, IdenticalPointsGiveThatPointForEveryCentroid) {
  // Every seeding distance is zero, so each further seed is a uniform choice.
  const std::vector<float> points(8 * 4, 2.5f);
  IndexRng rng;
  EXPECT_EQ(kmeans(points, 8, 4, 3, 5, rng), std::vector<float>(3 * 4, 2.5f));
}

TEST(BuildIndex, SingleMemory) {
  const Dataset data(1, 20);
  const IvfPqIndex index = data.build();
  EXPECT_EQ(index.n_partitions, 1u);
  EXPECT_EQ(index.pq.ks, (std::vector<uint64_t>{1, 1}));
  ASSERT_EQ(index.partitions[0].ids, data.ids);
  EXPECT_EQ(index.partitions[0].codes, (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(index.candidates(data.vector(0), std::nullopt, std::nullopt), data.ids);
  EXPECT_EQ(index.n_probe, 8u);
  EXPECT_EQ(index.n_rerank, 64u);
  EXPECT_EQ(index.dims, 20u);
}

TEST(BuildIndex, PartitionCountIsCeilSqrtN) {
  struct Case {
    size_t n;
    uint64_t partitions;
  };
  for (const Case c : {Case{2, 2}, Case{10, 4}, Case{100, 10}, Case{101, 11}}) {
    const IvfPqIndex index = Dataset(c.n, 4).build();
    EXPECT_EQ(index.n_partitions, c.partitions) << c.n;
    expect_consistent(index);
  }
}

TEST(BuildIndex, SubspacesAreAboutEightWide) {
  struct Case {
    uint64_t dims;
    std::vector<uint64_t> offsets;
  };
  std::vector<uint64_t> wide;
  for (uint64_t i = 0; i <= 96; ++i) wide.push_back(i * 8);
  for (const Case& c : {Case{1, {0, 1}}, Case{4, {0, 4}}, Case{7, {0, 7}}, Case{17, {0, 8, 17}},
                        Case{20, {0, 10, 20}}, Case{768, wide}}) {
    const IvfPqIndex index = Dataset(3, c.dims).build();
    EXPECT_EQ(index.pq.sub_offsets, c.offsets) << c.dims;
    EXPECT_EQ(index.subspaces(), c.offsets.size() - 1);
  }
}

TEST(BuildIndex, FewerThan256MemoriesGiveOneCodewordPerMemory) {
  const Dataset data(40, 16);
  const IvfPqIndex index = data.build();
  ASSERT_EQ(index.pq.ks, (std::vector<uint64_t>{40, 40}));
  for (const auto& book : index.pq.centroids) EXPECT_EQ(book.size(), 40u * 8);
  expect_consistent(index);
}

TEST(BuildIndex, SamplesFiftyThousandForTrainingAndIndexesEveryone) {
  const Dataset data(50001, 4);
  const IvfPqIndex index = data.build();
  EXPECT_EQ(index.n_partitions, 224u);
  EXPECT_EQ(index.pq.ks, (std::vector<uint64_t>{256}));
  EXPECT_EQ(index.vector_count(), 50001u);
  expect_consistent(index);
}

TEST(BuildIndex, IsDeterministicOnEveryInstructionSet) {
  const Dataset data(700, 24, 5);
  const std::vector<uint8_t> reference = encode_index(data.build());
  EXPECT_EQ(encode_index(data.build()), reference);
  const SimdLevel previous = limit_simd_level(SimdLevel::Generic);
  for (SimdLevel level : {SimdLevel::Generic, SimdLevel::Avx2, SimdLevel::Avx512}) {
    limit_simd_level(level);
    EXPECT_EQ(encode_index(data.build()), reference) << static_cast<int>(simd_level());
  }
  limit_simd_level(previous);
}

// The nearest of k row-major centers of width w by the plain scalar scan.
size_t scalar_nearest(const float* x, const float* centers, size_t k, size_t w) {
  float best = std::numeric_limits<float>::infinity();
  size_t arg = 0;
  for (size_t c = 0; c < k; ++c) {
    float s = 0.0f;
    for (size_t i = 0; i < w; ++i) s += (x[i] - centers[c * w + i]) * (x[i] - centers[c * w + i]);
    if (s < best) {
      best = s;
      arg = c;
    }
  }
  return arg;
}

TEST(BuildIndex, BatchEncodingAndAddAgreeWithTheScalarNearestChoices) {
  // The build encodes in lane-parallel batches and add() scans interleaved centroids; both
  // must make exactly the choices of the plain scalar scan.
  const Dataset data(300, 40, 9);
  const IvfPqIndex built = data.build();
  const size_t m = built.subspaces();
  for (size_t i = 0; i < data.ids.size(); ++i) {
    const float* v = data.vector(i).data();
    const uint64_t p = scalar_nearest(v, built.centroids.data(), built.n_partitions, built.dims);
    ASSERT_EQ(built.partition_of.at(data.ids[i]), p) << i;
    const Posting& posting = built.partitions[p];
    const size_t e = std::find(posting.ids.begin(), posting.ids.end(), data.ids[i]) - posting.ids.begin();
    for (size_t j = 0; j < m; ++j) {
      const size_t lo = built.pq.sub_offsets[j], w = built.pq.sub_offsets[j + 1] - lo;
      EXPECT_EQ(posting.codes[e * m + j], scalar_nearest(v + lo, built.pq.centroids[j].data(), built.pq.ks[j], w))
          << i << " subspace " << j;
    }
  }
  IvfPqIndex one_by_one = built;
  one_by_one.partition_of.clear();
  for (Posting& p : one_by_one.partitions) p = Posting{};
  for (size_t i = 0; i < data.ids.size(); ++i) one_by_one.add(data.ids[i], data.vector(i));
  EXPECT_EQ(one_by_one, built);
}

// The candidate step written out plainly: scalar distances, stable sorts in the total
// order, one accumulation per entry. candidates() must give exactly this.
std::vector<MemoryId> reference_candidates(const IvfPqIndex& index, std::span<const float> q, uint64_t probes,
                                           uint64_t rerank) {
  const auto sq = [](const float* a, const float* b, size_t w) {
    float s = 0.0f;
    for (size_t i = 0; i < w; ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
    return s;
  };
  const auto by_distance = [](const auto& a, const auto& b) { return std::strong_order(a.first, b.first) < 0; };
  std::vector<std::pair<float, uint64_t>> order;
  for (uint64_t p = 0; p < index.n_partitions; ++p) {
    order.emplace_back(sq(q.data(), index.centroids.data() + p * index.dims, index.dims), p);
  }
  std::stable_sort(order.begin(), order.end(), by_distance);
  const size_t m = index.subspaces();
  std::vector<std::pair<float, MemoryId>> found;
  for (uint64_t i = 0; i < std::min<uint64_t>(probes, order.size()); ++i) {
    const Posting& posting = index.partitions[order[i].second];
    for (size_t e = 0; e < posting.ids.size(); ++e) {
      float approx = 0.0f;
      for (size_t j = 0; j < m; ++j) {
        const size_t lo = index.pq.sub_offsets[j], w = index.pq.sub_offsets[j + 1] - lo;
        approx += sq(q.data() + lo, index.pq.centroids[j].data() + posting.codes[e * m + j] * w, w);
      }
      found.emplace_back(approx, posting.ids[e]);
    }
  }
  std::stable_sort(found.begin(), found.end(), by_distance);
  std::vector<MemoryId> ids;
  for (size_t i = 0; i < std::min<size_t>(rerank, found.size()); ++i) ids.push_back(found[i].second);
  return ids;
}

class IndexCandidates : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override { previous_ = limit_simd_level(GetParam()); }
  void TearDown() override { limit_simd_level(previous_); }
  SimdLevel previous_ = SimdLevel::Avx512;
};

TEST_P(IndexCandidates, EqualThePlainComputation) {
  // 20 dims: subspaces 10 wide; 2000 memories: 45 partitions, 256 codewords.
  const Dataset data(2000, 20, 3);
  const Dataset queries(40, 20, 8);
  const IvfPqIndex index = data.build();
  struct Case {
    uint64_t probes, rerank;
  };
  for (const Case c : {Case{1, 1}, Case{8, 64}, Case{3, 1000}, Case{45, 64}, Case{45, 5000}}) {
    for (size_t i = 0; i < queries.ids.size(); ++i) {
      ASSERT_EQ(index.candidates(queries.vector(i), c.probes, c.rerank),
                reference_candidates(index, queries.vector(i), c.probes, c.rerank))
          << c.probes << " probes, " << c.rerank << " rerank, query " << i;
    }
  }
}

TEST_P(IndexCandidates, TiedDistancesKeepProbeAndPostingOrder) {
  // Groups of identical vectors share their code and distance; the selection of the first
  // `rerank` must still cut where a stable sort would.
  Dataset data(400, 16, 6);
  for (size_t i = 0; i < data.ids.size(); ++i) {
    std::copy_n(data.vectors.begin() + (i % 7) * 16, 16, data.vectors.begin() + i * 16);
  }
  const IvfPqIndex index = data.build();
  for (uint64_t rerank : {1, 30, 57, 58, 200, 400}) {
    for (size_t q = 0; q < 7; ++q) {
      ASSERT_EQ(index.candidates(data.vector(q), 20, rerank), reference_candidates(index, data.vector(q), 20, rerank))
          << rerank << " rerank, query " << q;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Simd, IndexCandidates,
                         ::testing::Values(SimdLevel::Generic, SimdLevel::Avx2, SimdLevel::Avx512));

TEST(IndexQueryLayout, LoadedAndReassignedIndexesQueryTheirOwnCentroids) {
  const Dataset data(500, 12, 2);
  const IvfPqIndex built = data.build();
  auto loaded = decode_index(encode_index(built));
  ASSERT_TRUE(loaded) << loaded.error().message();
  EXPECT_EQ(*loaded, built);
  for (size_t i = 0; i < 20; ++i) {
    EXPECT_EQ(loaded->candidates(data.vector(i), 4, 30), built.candidates(data.vector(i), 4, 30)) << i;
  }
  // An index object that has answered a query and is then given another trained index
  // (other partition and codeword counts) answers from the new centroids and codebooks.
  IvfPqIndex reused = built;
  ASSERT_FALSE(reused.candidates(data.vector(0), 4, 30).empty());
  const Dataset other(90, 12, 9);
  const IvfPqIndex fresh = other.build();
  reused.n_partitions = fresh.n_partitions;
  reused.centroids = fresh.centroids;
  reused.pq = fresh.pq;
  reused.partitions = fresh.partitions;
  reused.partition_of = fresh.partition_of;
  for (size_t i = 0; i < 20; ++i) {
    EXPECT_EQ(reused.candidates(data.vector(i), 3, 40), reference_candidates(fresh, data.vector(i), 3, 40)) << i;
  }
}

class IndexUpdates : public ::testing::Test {
 protected:
  Dataset data{60, 12, 4};
  IvfPqIndex index = data.build();
};

TEST_F(IndexUpdates, AddOfAnIndexedIdReplacesItsEntry) {
  const MemoryId id = data.ids[7];
  index.add(id, data.vector(42));  // a different vector, possibly another partition
  index.add(id, data.vector(42));
  EXPECT_EQ(index.vector_count(), 60u);
  size_t occurrences = 0;
  for (const Posting& p : index.partitions) occurrences += std::count(p.ids.begin(), p.ids.end(), id);
  EXPECT_EQ(occurrences, 1u);
  // Same partition and codes as the memory whose vector it now has.
  const Posting& posting = index.partitions[index.partition_of.at(id)];
  EXPECT_EQ(index.partition_of.at(id), index.partition_of.at(data.ids[42]));
  EXPECT_EQ(posting.ids.back(), id);
  const size_t m = index.subspaces(), pos42 = std::find(posting.ids.begin(), posting.ids.end(), data.ids[42]) -
                                              posting.ids.begin();
  EXPECT_TRUE(std::equal(posting.codes.end() - m, posting.codes.end(), posting.codes.begin() + pos42 * m));
  expect_consistent(index);
}

TEST_F(IndexUpdates, RemoveDropsTheEntryAndItsCodesKeepingOrder) {
  const MemoryId id = data.ids[10];
  const uint64_t p = index.partition_of.at(id);
  Posting expected = index.partitions[p];
  const size_t i = std::find(expected.ids.begin(), expected.ids.end(), id) - expected.ids.begin();
  const size_t m = index.subspaces();
  expected.ids.erase(expected.ids.begin() + i);
  expected.codes.erase(expected.codes.begin() + i * m, expected.codes.begin() + (i + 1) * m);

  index.remove(id);
  EXPECT_EQ(index.partitions[p], expected);
  EXPECT_FALSE(index.partition_of.contains(id));
  EXPECT_EQ(index.vector_count(), 59u);
  expect_consistent(index);
}

TEST_F(IndexUpdates, RemoveOfAMissingIdChangesNothing) {
  const IvfPqIndex built = index;
  index.remove(MemoryId{12345});
  EXPECT_EQ(index, built);
  index.remove(data.ids[3]);
  const IvfPqIndex removed = index;
  index.remove(data.ids[3]);
  EXPECT_EQ(index, removed);
}

TEST(IndexWithoutPartitions, HoldsNothing) {
  IvfPqIndex index;
  index.dims = 2;
  index.pq = PqCodebook{{0, 2}, {{0.0f, 0.0f}}, {1}};
  const std::vector<float> v{1.0f, 2.0f};
  index.add(1, v);
  EXPECT_EQ(index.vector_count(), 0u);
  EXPECT_TRUE(index.candidates(v, std::nullopt, std::nullopt).empty());
}

// Two dimensions, three partitions at (0,0), (10,0), (0,10); one-wide subspaces whose
// codewords are 0, 5 and 10. Entry codes give the approximate position of each id.
class HandMadeIndex : public ::testing::Test {
 protected:
  void SetUp() override {
    index.dims = 2;
    index.n_partitions = 3;
    index.centroids = {0, 0, 10, 0, 0, 10};
    index.pq = PqCodebook{{0, 1, 2}, {{0, 5, 10}, {0, 5, 10}}, {3, 3}};
    index.partitions = {Posting{{1, 2}, {0, 0, 1, 0}}, Posting{{3, 4}, {2, 0, 1, 0}}, Posting{{5}, {0, 2}}};
    for (uint64_t p = 0; p < 3; ++p) {
      for (MemoryId id : index.partitions[p].ids) index.partition_of[id] = p;
    }
  }
  std::vector<MemoryId> ask(std::vector<float> query, std::optional<uint64_t> probe,
                            std::optional<uint64_t> rerank) const {
    return index.candidates(query, probe, rerank);
  }
  IvfPqIndex index;
};

TEST_F(HandMadeIndex, CandidatesRankProbedEntriesByTableDistance) {
  using Ids = std::vector<MemoryId>;
  // Query (1,0): partitions by distance 0 (1), 1 (81), 2 (101). Approximate distances:
  // id1 1, id2 16, id3 81, id4 16, id5 101; the tie 2/4 keeps probe order.
  EXPECT_EQ(ask({1, 0}, 1, std::nullopt), (Ids{1, 2}));
  EXPECT_EQ(ask({1, 0}, 2, std::nullopt), (Ids{1, 2, 4, 3}));
  EXPECT_EQ(ask({1, 0}, std::nullopt, std::nullopt), (Ids{1, 2, 4, 3, 5}));  // n_probe 8 clamps to 3
  EXPECT_EQ(ask({1, 0}, 0, std::nullopt), (Ids{1, 2}));                      // 0 probes clamp to 1
  EXPECT_EQ(ask({1, 0}, 3, 2), (Ids{1, 2}));
  EXPECT_EQ(ask({1, 0}, 3, 0), (Ids{1}));  // rerank 0 means 1
  index.n_rerank = 3;
  index.n_probe = 2;
  EXPECT_EQ(ask({1, 0}, std::nullopt, std::nullopt), (Ids{1, 2, 4}));
}

TEST_F(HandMadeIndex, TiedPartitionsProbeTheLowerFirst) {
  using Ids = std::vector<MemoryId>;
  // Query (5,0) is 25 from partitions 0 and 1. Entries: id1 25, id2 0, id3 25, id4 0.
  EXPECT_EQ(ask({5, 0}, 1, std::nullopt), (Ids{2, 1}));
  EXPECT_EQ(ask({5, 0}, 2, std::nullopt), (Ids{2, 4, 1, 3}));
}

}  // namespace
}  // namespace ormel
