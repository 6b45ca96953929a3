// IvfPqIndex: the approximate (inverted-file + product-quantisation) index over memory
// vectors, its k-means training, its build and its blob codec.
//
// Contract:
// - Distances are squared Euclidean in single precision, summed in index order; every
//   nearest choice scans candidates in index order from +infinity and takes only a
//   strictly smaller distance, so ties go to the lowest index.
// - PQ codes quantise the raw vector (not its residual), one byte per subspace.
// - Training is deterministic: the same ids and vectors in the same order give the same
//   index, bit for bit (the generator has a fixed seed and every kernel is lane-exact).
// - candidates() is the approximate step of recall; the caller re-scores the ids exactly.
//
// Invariants of IvfPqIndex:
//   1. Every id occurs in at most one posting, at most once.
//   2. partitions[p].codes holds exactly subspaces() bytes per id of partitions[p].ids,
//      in the same order.
//   3. partition_of maps exactly the ids present in the postings to their partition.
//   4. centroids holds n_partitions * dims values; partitions has n_partitions postings.
//   5. query_state is derived: whenever its shape fits the index it holds exactly the
//      centroids and codebooks, which change only by replacing them wholesale.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/error.h"
#include "core/index_rng.h"
#include "core/memory.h"
#include "core/progress.h"
#include "core/vector_scan.h"

namespace ormel {

struct PqCodebook {
  std::vector<uint64_t> sub_offsets;            // m + 1 boundaries, 0 .. dims
  std::vector<std::vector<float>> centroids;    // codebook j: ks[j] codewords of its width
  std::vector<uint64_t> ks;                     // codewords per subspace, at most 256

  bool operator==(const PqCodebook&) const = default;
};

struct Posting {
  std::vector<MemoryId> ids;   // insertion order
  std::vector<uint8_t> codes;  // m bytes per id
  bool operator==(const Posting&) const = default;
};

struct IvfPqIndex;

// What candidates() keeps between queries, derived from an index and never persisted: the
// coarse centroids and each codebook interleaved lane-per-centroid (so a query's distances
// to all of them take one arena pass each), and buffers reused from query to query. It is
// (re)built whenever its shape disagrees with the index's, which covers built, loaded and
// hand-assembled indexes; centroids and codebooks never change in place once trained.
struct IvfPqQueryState {
  VectorArena coarse{0};
  std::vector<VectorArena> books;
  std::vector<float> distances;  // coarse distances, then the tables at kTableStride per subspace
  // Sort keys, (total-order key of a distance) << 32 | position: partitions, then entries.
  std::vector<uint64_t> probe_keys, keys;
  std::vector<const MemoryId*> entries;

  static constexpr size_t kTableStride = 256;
  bool fits(const IvfPqIndex& index) const;
  void rebuild(const IvfPqIndex& index);
  // Derived data and buffers are never part of an index's value.
  bool operator==(const IvfPqQueryState&) const { return true; }
};

struct IvfPqIndex {
  uint64_t dims = 0, n_partitions = 0, n_probe = 8, n_rerank = 64;
  std::vector<float> centroids;
  PqCodebook pq;
  std::vector<Posting> partitions;
  // Not persisted; rebuilt on load (a later occurrence of an id wins).
  std::unordered_map<MemoryId, uint64_t, IdHash> partition_of;
  mutable IvfPqQueryState query_state;

  // Vectors and queries passed below have dims values (the store checks the length).
  // Inserts or replaces one memory: remove first, then the nearest coarse centroid's
  // posting gets the id and the raw vector's PQ codes.
  void add(MemoryId id, std::span<const float> vector);
  // Removes one memory; an id that is not indexed is a no-op.
  void remove(MemoryId id);
  // The approximate candidates of a query, best first: probe the nearest partitions
  // (override or n_probe, clamped to [1, n_partitions]), rank their entries by table
  // distance with a stable sort in the IEEE total order, keep the first
  // (override or n_rerank, 0 -> 1).
  // With `keep`, entries it refuses are dropped before the ranking and `*matched` receives
  // how many entries of the probed partitions it accepted.
  std::vector<MemoryId> candidates(std::span<const float> query, std::optional<uint64_t> n_probe,
                                   std::optional<uint64_t> n_rerank,
                                   const std::function<bool(MemoryId)>* keep = nullptr,
                                   size_t* matched = nullptr) const;
  uint64_t vector_count() const;  // total postings
  uint64_t subspaces() const { return pq.sub_offsets.empty() ? 0 : pq.sub_offsets.size() - 1; }

  bool operator==(const IvfPqIndex&) const = default;
};

// k-means over n points of width d (row-major): k-means++ seeding, then exactly
// `iterations` Lloyd rounds. Returns min(k, n) centroids (1 when k is 0), concatenated.
std::vector<float> kmeans(std::span<const float> points, size_t n, size_t d, size_t k, size_t iterations,
                          IndexRng& rng);

// Trains and fills an index over n = ids.size() >= 1 memories, vectors n x dims
// row-major, in the given (catalog) order. A meter, when given, advances by
// build_ivfpq_work(n, dims) in all, in units of one vector component compared with one
// centroid or codeword (k-means draws and rounds, then encoding); its error stops the build.
Result<IvfPqIndex> build_ivfpq(std::span<const MemoryId> ids, std::span<const float> vectors, uint64_t dims,
                               ProgressMeter* meter = nullptr);
uint64_t build_ivfpq_work(size_t n, uint64_t dims);

// The blob stored in the index run and its decoder; decoding rebuilds partition_of.
std::vector<uint8_t> encode_index(const IvfPqIndex& index);
Result<IvfPqIndex> decode_index(std::span<const uint8_t> blob);

}  // namespace ormel
