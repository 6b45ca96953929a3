#include "core/index.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "core/float_order.h"
#include "core/vector_scan.h"

namespace ormel {
namespace {

constexpr size_t kIterations = 25;
constexpr size_t kMaxTrainingPoints = 50000;
constexpr size_t kMaxCodewords = 256;
constexpr size_t kSubspaceWidth = 8;
constexpr uint64_t kDefaultProbe = 8;
constexpr uint64_t kDefaultRerank = 64;
// Vectors encoded per batch while building: bounds the scratch arena's size.
constexpr size_t kEncodeBatch = 4096;

constexpr float kInf = std::numeric_limits<float>::infinity();
typedef int32_t LaneInts __attribute__((vector_size(kLanes * sizeof(int32_t))));

// The position of the first strictly smallest of n distances scanned from +infinity (0
// when none is smaller, e.g. all NaN).
size_t first_minimum(const float* dist, size_t n) {
  float best = kInf;
  size_t arg = 0;
  for (size_t c = 0; c < n; ++c) {
    if (dist[c] < best) {
      best = dist[c];
      arg = c;
    }
  }
  return arg;
}

// Folds one group of per-lane distances into the running minimum, candidates in order.
template <size_t C>
[[gnu::always_inline]] inline void fold_min(const Lanes (&acc)[C], size_t c0, Lanes& best, LaneInts& arg) {
#pragma GCC unroll 16
  for (size_t j = 0; j < C; ++j) {
    const LaneInts smaller = acc[j] < best;
    best = smaller ? acc[j] : best;
    arg = smaller ? LaneInts{} + static_cast<int32_t>(c0 + j) : arg;
  }
}

// Per block, scans the k centers in groups of R (then singly), letting job.group<C>
// fold each group's per-lane scores into the running minimum; stores each lane's argmin.
template <size_t R, class Job>
[[gnu::always_inline]] inline void argmin_blocks(const Job& job, const VectorArena& pts, size_t k, uint32_t* out) {
  for (size_t b = 0; b < pts.blocks(); ++b) {
    Lanes best = Lanes{} + kInf;
    LaneInts arg = {};
    size_t c = 0;
    for (; c + R <= k; c += R) job.template group<R>(pts.block(b), c, best, arg);
    for (; c < k; ++c) job.template group<1>(pts.block(b), c, best, arg);
    for (size_t l = 0; l < kLanes; ++l) out[b * kLanes + l] = static_cast<uint32_t>(arg[l]);
  }
}

// For every slot of an arena, the nearest of k centers over the dimensions [lo, hi),
// by exact distance: each lane repeats the scalar distance loop's arithmetic, so the
// choice is the one a scalar scan would make. out has blocks() * kLanes entries.
struct NearestJob {
  const VectorArena& pts;
  size_t lo, hi;
  const float* centers;  // k x (hi - lo), row-major
  size_t k;
  uint32_t* out;

  template <size_t C>
  [[gnu::always_inline]] void group(const Lanes* blk, size_t c0, Lanes& best, LaneInts& arg) const {
    const size_t w = hi - lo;
    Lanes acc[C] = {};
    for (size_t d = 0; d < w; ++d) {
      const Lanes x = blk[lo + d];
#pragma GCC unroll 16
      for (size_t j = 0; j < C; ++j) {
        const Lanes diff = x - centers[(c0 + j) * w + d];
        acc[j] = acc[j] + diff * diff;
      }
    }
    fold_min<C>(acc, c0, best, arg);
  }
  template <size_t R>
  [[gnu::always_inline]] void run() const {
    argmin_blocks<R>(*this, pts, k, out);
  }
};

// Lloyd's assignment step in the dot-product form: argmin over c of |c|^2 - 2 x.c, which
// ranks centers like the distance up to rounding at a third less arithmetic. Only this
// step uses it; it is deterministic and lane-exact, so every instruction set agrees.
struct AssignJob {
  const VectorArena& pts;
  const float* scaled;  // k x dims: each center times -2
  const float* norms;   // |c|^2 per center
  size_t k;
  uint32_t* out;

  template <size_t C>
  [[gnu::always_inline]] void group(const Lanes* blk, size_t c0, Lanes& best, LaneInts& arg) const {
    const size_t w = pts.dims();
    Lanes acc[C];
#pragma GCC unroll 16
    for (size_t j = 0; j < C; ++j) acc[j] = Lanes{} + norms[c0 + j];
    for (size_t d = 0; d < w; ++d) {
      const Lanes x = blk[d];
#pragma GCC unroll 16
      for (size_t j = 0; j < C; ++j) acc[j] = acc[j] + x * scaled[(c0 + j) * w + d];
    }
    fold_min<C>(acc, c0, best, arg);
  }
  template <size_t R>
  [[gnu::always_inline]] void run() const {
    argmin_blocks<R>(*this, pts, k, out);
  }
};

// Sum of a row's lanes in a fixed pairwise order.
[[gnu::always_inline]] inline float lane_sum(const Lanes& v) {
  float s[kLanes];
  for (size_t l = 0; l < kLanes; ++l) s[l] = v[l];
  for (size_t half = kLanes / 2; half >= 1; half /= 2) {
    for (size_t l = 0; l < half; ++l) s[l] = s[l] + s[l + half];
  }
  return s[0];
}

// k-means++ bookkeeping: lowers every slot's distance to the nearest chosen center with
// its exact distance to one new center (only where strictly smaller; with `first` the
// distances are simply set), then stores each block's lane_sum. dist has blocks() *
// kLanes entries; those past the last slot stay 0.
struct LowerJob {
  const VectorArena& pts;
  const float* center;
  bool first;
  float* dist;
  float* block_sums;

  template <size_t R>
  [[gnu::always_inline]] void run() const {
    const size_t w = pts.dims(), full = pts.size() / kLanes;
    size_t b = 0;
    for (; b + R <= full; b += R) blocks<R>(b, w);
    for (; b < pts.blocks(); ++b) blocks<1>(b, w);
  }
  template <size_t B>
  [[gnu::always_inline]] void blocks(size_t b, size_t w) const {
    Lanes acc[B] = {};
    for (size_t d = 0; d < w; ++d) {
#pragma GCC unroll 16
      for (size_t j = 0; j < B; ++j) {
        const Lanes diff = pts.block(b + j)[d] - center[d];
        acc[j] = acc[j] + diff * diff;
      }
    }
    for (size_t j = 0; j < B; ++j) {
      float* slots = dist + (b + j) * kLanes;
      Lanes cur;
      __builtin_memcpy(&cur, slots, sizeof(cur));
      Lanes lowered = first ? acc[j] : (acc[j] < cur ? acc[j] : cur);
      const size_t valid = pts.size() - (b + j) * kLanes;
      if (valid < kLanes) {
        for (size_t l = valid; l < kLanes; ++l) lowered[l] = 0.0f;
      }
      __builtin_memcpy(slots, &lowered, sizeof(lowered));
      block_sums[b + j] = lane_sum(lowered);
    }
  }
};

// The k-means++ draw: walks the slots subtracting each distance from r and returns the
// first after which r <= 0 (the last slot if none). Whole blocks whose sum leaves r
// positive are skipped in one step.
size_t weighted_pick(const std::vector<float>& dist, const std::vector<float>& block_sums, size_t n, float r) {
  size_t b = 0;
  while (b < block_sums.size() && r - block_sums[b] > 0.0f) r -= block_sums[b++];
  for (size_t i = b * kLanes; i < n; ++i) {
    r -= dist[i];
    if (r <= 0.0f) return i;
  }
  return n - 1;
}

// Training points in two layouts: interleaved for the distance kernels, and row-major
// for copies and per-center sums.
struct TrainingSet {
  VectorArena arena;
  std::vector<float> rows;

  TrainingSet(size_t dims, size_t reserve) : arena(dims) { rows.reserve(reserve * dims); }
  void add(const float* row) {
    arena.add(std::span<const float>(row, arena.dims()));
    rows.insert(rows.end(), row, row + arena.dims());
  }
  const float* row(size_t i) const { return rows.data() + i * arena.dims(); }
};

// The number of centers k-means finds for k requested over n points.
size_t centers_for(size_t k_req, size_t n) { return k_req == 0 ? 1 : std::min(k_req, n); }

// The work of k-means in the meter's units: every point compared with every center once per
// seeding draw and once per round.
uint64_t kmeans_work(size_t n, size_t w, size_t k, size_t iterations) {
  return n == 0 ? 0 : uint64_t{iterations + 1} * n * centers_for(k, n) * w;
}

// k-means over the training points. Returns the centers, row-major; their count is
// min(k, n), or 1 when k is 0. Advances `meter` by kmeans_work, a seeding draw or a round
// at a time, and stops with its error.
Result<std::vector<float>> kmeans_set(const TrainingSet& set, size_t k_req, size_t iterations, IndexRng& rng,
                                      size_t& k_out, ProgressMeter& meter) {
  const VectorArena& pts = set.arena;
  const size_t n = pts.size(), w = pts.dims();
  const auto copy_point = [&](size_t i, float* out) { std::copy(set.row(i), set.row(i) + w, out); };
  k_out = 0;
  if (n == 0) return std::vector<float>{};
  const size_t k = centers_for(k_req, n);
  const size_t padded = pts.blocks() * kLanes;
  std::vector<float> centers(k * w);

  // Seeding (k-means++).
  // T is summed block by block (each block pairwise), a fixed order that lets the draw
  // skip whole blocks.
  std::vector<float> dist(padded), block_sums(pts.blocks());
  copy_point(rng.below(n), centers.data());
  run_simd(LowerJob{pts, centers.data(), true, dist.data(), block_sums.data()});
  ORMEL_TRY(meter.advance(uint64_t{n} * w));
  for (size_t chosen = 1; chosen < k; ++chosen) {
    float total = 0.0f;
    for (float sum : block_sums) total += sum;
    const size_t pick = total <= 0.0f ? rng.below(n) : weighted_pick(dist, block_sums, n, total * rng.unit_float());
    float* center = centers.data() + chosen * w;
    copy_point(pick, center);
    run_simd(LowerJob{pts, center, false, dist.data(), block_sums.data()});
    ORMEL_TRY(meter.advance(uint64_t{n} * w));
  }

  // Lloyd rounds.
  std::vector<uint32_t> assign(padded);
  std::vector<float> scaled(k * w), norms(k), sums(k * w);
  std::vector<uint32_t> counts(k);
  for (size_t it = 0; it < iterations; ++it) {
    for (size_t c = 0; c < k; ++c) {
      const float* center = centers.data() + c * w;
      norms[c] = sum_of_squares(std::span<const float>(center, w));
      for (size_t d = 0; d < w; ++d) scaled[c * w + d] = -2.0f * center[d];
    }
    run_simd(AssignJob{pts, scaled.data(), norms.data(), k, assign.data()});

    // Per-center sums in slot order, then the mean as sum * (1 / count).
    std::fill(sums.begin(), sums.end(), 0.0f);
    std::fill(counts.begin(), counts.end(), 0u);
    for (size_t i = 0; i < n; ++i) {
      const uint32_t c = assign[i];
      ++counts[c];
      float* sum = sums.data() + c * w;
      const float* row = set.row(i);
      for (size_t d = 0; d < w; ++d) sum[d] += row[d];
    }
    for (size_t c = 0; c < k; ++c) {
      float* center = centers.data() + c * w;
      if (counts[c] == 0) {
        copy_point(rng.below(n), center);
        continue;
      }
      const float inv = 1.0f / static_cast<float>(counts[c]);
      for (size_t d = 0; d < w; ++d) center[d] = sums[c * w + d] * inv;
    }
    ORMEL_TRY(meter.advance(uint64_t{n} * k * w));
  }
  k_out = k;
  return centers;
}

// Appends one entry to partition p after dropping any earlier entry of the id.
void insert_entry(IvfPqIndex& index, MemoryId id, uint64_t p, const uint8_t* codes) {
  index.remove(id);
  Posting& posting = index.partitions[p];
  posting.ids.push_back(id);
  posting.codes.insert(posting.codes.end(), codes, codes + index.subspaces());
  index.partition_of[id] = p;
}

}  // namespace

std::vector<float> kmeans(std::span<const float> points, size_t n, size_t d, size_t k, size_t iterations,
                          IndexRng& rng) {
  TrainingSet set(d, n);
  for (size_t i = 0; i < n; ++i) set.add(points.data() + i * d);
  size_t count = 0;
  ProgressMeter none;
  return *kmeans_set(set, k, iterations, rng, count, none);  // a meter without reports never fails
}

uint64_t IvfPqIndex::vector_count() const {
  uint64_t total = 0;
  for (const Posting& p : partitions) total += p.ids.size();
  return total;
}

void IvfPqIndex::remove(MemoryId id) {
  auto it = partition_of.find(id);
  if (it == partition_of.end()) return;
  Posting& posting = partitions[it->second];
  partition_of.erase(it);
  auto pos = std::find(posting.ids.begin(), posting.ids.end(), id);
  if (pos == posting.ids.end()) return;
  const size_t i = static_cast<size_t>(pos - posting.ids.begin()), m = subspaces();
  posting.ids.erase(pos);
  posting.codes.erase(posting.codes.begin() + i * m, posting.codes.begin() + (i + 1) * m);
}

void IvfPqIndex::add(MemoryId id, std::span<const float> vector) {
  // An index without partitions (readable from a file, never built) can hold nothing.
  if (n_partitions == 0) return remove(id);
  IvfPqQueryState& st = query_state;
  if (!st.fits(*this)) st.rebuild(*this);
  const auto nearest = [&](const VectorArena& centers, std::span<const float> x) {
    st.distances.resize(centers.blocks() * kLanes);
    centers.sq_dists(x, st.distances.data());
    return first_minimum(st.distances.data(), centers.size());
  };
  std::vector<uint8_t> codes(subspaces());
  for (size_t j = 0; j < codes.size(); ++j) {
    codes[j] = static_cast<uint8_t>(nearest(st.books[j], vector.subspan(pq.sub_offsets[j])));
  }
  insert_entry(*this, id, nearest(st.coarse, vector), codes.data());
}

bool IvfPqQueryState::fits(const IvfPqIndex& index) const {
  const PqCodebook& pq = index.pq;
  if (coarse.dims() != index.dims || coarse.size() != index.n_partitions || books.size() != index.subspaces()) {
    return false;
  }
  for (size_t j = 0; j < books.size(); ++j) {
    if (books[j].dims() != pq.sub_offsets[j + 1] - pq.sub_offsets[j] || books[j].size() != pq.ks[j]) return false;
  }
  return true;
}

void IvfPqQueryState::rebuild(const IvfPqIndex& index) {
  const PqCodebook& pq = index.pq;
  coarse = VectorArena(index.dims);
  for (uint64_t p = 0; p < index.n_partitions; ++p) {
    coarse.add(std::span(index.centroids).subspan(p * index.dims, index.dims));
  }
  books.clear();
  for (size_t j = 0; j < index.subspaces(); ++j) {
    const size_t w = pq.sub_offsets[j + 1] - pq.sub_offsets[j];
    VectorArena& book = books.emplace_back(w);
    for (size_t c = 0; c < pq.ks[j]; ++c) book.add(std::span(pq.centroids[j]).subspan(c * w, w));
  }
}

namespace {

// A key that sorts like (distance in the IEEE total order, position): unique per
// position, so any sort of the keys reproduces a stable sort by distance.
uint64_t rank_key(float distance, size_t position) {
  const uint32_t ordered = static_cast<uint32_t>(total_order_key(distance)) ^ 0x80000000u;
  return uint64_t{ordered} << 32 | position;
}

// Sorts the smallest min(k, size) keys to the front.
void sort_first(std::vector<uint64_t>& keys, size_t k) {
  if (k < keys.size()) std::nth_element(keys.begin(), keys.begin() + k, keys.end());
  std::sort(keys.begin(), keys.begin() + std::min(k, keys.size()));
}

// Appends the table distance of every entry of a posting: for each entry, the sum over
// subspaces j of table j at the entry's j-th code, in subspace order. Four entries are
// summed side by side to overlap their latencies.
void table_distances(const Posting& posting, size_t m, const float* tables, IvfPqQueryState& st) {
  constexpr size_t stride = IvfPqQueryState::kTableStride;
  const size_t n = posting.ids.size();
  const uint8_t* codes = posting.codes.data();
  const auto push = [&](size_t e, float approx) {
    st.keys.push_back(rank_key(approx, st.entries.size()));
    st.entries.push_back(&posting.ids[e]);
  };
  size_t e = 0;
  for (; e + 4 <= n; e += 4) {
    const uint8_t* c = codes + e * m;
    float a0 = 0.0f, a1 = 0.0f, a2 = 0.0f, a3 = 0.0f;
    for (size_t j = 0; j < m; ++j) {
      const float* t = tables + j * stride;
      a0 += t[c[j]];
      a1 += t[c[m + j]];
      a2 += t[c[2 * m + j]];
      a3 += t[c[3 * m + j]];
    }
    push(e, a0);
    push(e + 1, a1);
    push(e + 2, a2);
    push(e + 3, a3);
  }
  for (; e < n; ++e) {
    const uint8_t* c = codes + e * m;
    float approx = 0.0f;
    for (size_t j = 0; j < m; ++j) approx += tables[j * stride + c[j]];
    push(e, approx);
  }
}

}  // namespace

std::vector<MemoryId> IvfPqIndex::candidates(std::span<const float> query, std::optional<uint64_t> probe_override,
                                             std::optional<uint64_t> rerank_override,
                                             const std::function<bool(MemoryId)>* keep, size_t* matched) const {
  if (matched != nullptr) *matched = 0;
  if (n_partitions == 0) return {};
  const uint64_t probes = std::clamp<uint64_t>(probe_override.value_or(n_probe), 1, n_partitions);
  const uint64_t rerank = std::max<uint64_t>(rerank_override.value_or(n_rerank), 1);
  IvfPqQueryState& st = query_state;
  if (!st.fits(*this)) st.rebuild(*this);

  // Coarse distances, one lane per centroid, then the nearest `probes` partitions.
  const size_t m = subspaces(), coarse_len = st.coarse.blocks() * kLanes;
  st.distances.resize(coarse_len + m * IvfPqQueryState::kTableStride);
  st.coarse.sq_dists(query, st.distances.data());
  st.probe_keys.clear();
  for (uint64_t p = 0; p < n_partitions; ++p) st.probe_keys.push_back(rank_key(st.distances[p], p));
  sort_first(st.probe_keys, probes);

  // One distance table per subspace, one lane per codeword.
  float* tables = st.distances.data() + coarse_len;
  for (size_t j = 0; j < m; ++j) {
    st.books[j].sq_dists(query.subspan(pq.sub_offsets[j]), tables + j * IvfPqQueryState::kTableStride);
  }

  st.keys.clear();
  st.entries.clear();
  for (uint64_t i = 0; i < probes; ++i) table_distances(partitions[st.probe_keys[i] & 0xFFFFFFFFu], m, tables, st);
  if (keep != nullptr) {
    // Keys carry their entry's position, so dropping some keeps the ranking of the rest.
    std::erase_if(st.keys, [&](uint64_t key) { return !(*keep)(*st.entries[key & 0xFFFFFFFFu]); });
    if (matched != nullptr) *matched = st.keys.size();
  }
  const size_t kept = std::min<size_t>(st.keys.size(), rerank);
  sort_first(st.keys, kept);
  std::vector<MemoryId> ids(kept);
  for (size_t i = 0; i < kept; ++i) ids[i] = *st.entries[st.keys[i] & 0xFFFFFFFFu];
  return ids;
}

namespace {

// The sizes of a build over n vectors: the training sample, the coarse centroids asked
// for, the subspaces and the codewords asked for per subspace.
struct BuildShape {
  size_t n_train = 0, k_coarse = 0, m = 0, codewords = 0;
  BuildShape(size_t n, size_t dims)
      : n_train(std::min(n, kMaxTrainingPoints)),
        k_coarse(std::clamp<size_t>(static_cast<size_t>(std::ceil(std::sqrt(static_cast<double>(n)))), 1, n)),
        m(std::min<size_t>(std::max<size_t>(1, dims / kSubspaceWidth), dims)),
        codewords(std::min(kMaxCodewords, n)) {}
  size_t sub_offset(size_t j, size_t dims) const { return j * dims / m; }
};

// Trains the coarse quantiser and the codebooks on a sample of at most 50000 vectors.
Status train(IvfPqIndex& index, std::span<const float> vectors, size_t n, ProgressMeter& meter) {
  const size_t dims = index.dims;
  const BuildShape shape(n, dims);
  IndexRng rng;
  // Training sample: a partial Fisher-Yates shuffle; its last n_train entries, in order.
  const size_t n_train = shape.n_train;
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  for (size_t i = n; i-- > n - n_train;) std::swap(order[i], order[rng.below(i + 1)]);
  TrainingSet sample(dims, n_train);
  for (size_t i = n - n_train; i < n; ++i) sample.add(vectors.data() + order[i] * dims);

  size_t count = 0;
  ORMEL_ASSIGN(index.centroids, kmeans_set(sample, shape.k_coarse, kIterations, rng, count, meter));
  index.n_partitions = count;

  for (size_t i = 0; i <= shape.m; ++i) index.pq.sub_offsets.push_back(shape.sub_offset(i, dims));
  for (size_t j = 0; j < shape.m; ++j) {
    const size_t lo = index.pq.sub_offsets[j], hi = index.pq.sub_offsets[j + 1];
    TrainingSet slices(hi - lo, n_train);
    for (size_t i = 0; i < n_train; ++i) slices.add(sample.row(i) + lo);
    ORMEL_ASSIGN(auto codebook, kmeans_set(slices, shape.codewords, kIterations, rng, count, meter));
    index.pq.centroids.push_back(std::move(codebook));
    index.pq.ks.push_back(count);
  }
  index.partitions.assign(index.n_partitions, Posting{});
  return {};
}

// Adds every vector in order, a batch at a time, with the lane-exact form of add(); the
// meter advances by the centroids and codewords each batch is compared with.
Status encode_all(IvfPqIndex& index, std::span<const MemoryId> ids, std::span<const float> vectors,
                  ProgressMeter& meter) {
  const size_t dims = index.dims, m = index.subspaces();
  const PqCodebook& pq = index.pq;
  uint64_t work_per_vector = uint64_t{index.n_partitions} * dims;
  for (size_t j = 0; j < m; ++j) work_per_vector += uint64_t{pq.ks[j]} * (pq.sub_offsets[j + 1] - pq.sub_offsets[j]);
  VectorArena batch(dims);
  std::vector<uint32_t> part(kEncodeBatch), scratch(kEncodeBatch);
  std::vector<uint8_t> codes(m * kEncodeBatch);
  for (size_t start = 0; start < ids.size(); start += kEncodeBatch) {
    const size_t len = std::min(kEncodeBatch, ids.size() - start);
    batch.clear();
    for (size_t i = 0; i < len; ++i) batch.add(vectors.subspan((start + i) * dims, dims));
    run_simd(NearestJob{batch, 0, dims, index.centroids.data(), index.n_partitions, part.data()});
    for (size_t j = 0; j < m; ++j) {
      run_simd(NearestJob{batch, pq.sub_offsets[j], pq.sub_offsets[j + 1], pq.centroids[j].data(), pq.ks[j],
                          scratch.data()});
      for (size_t i = 0; i < len; ++i) codes[i * m + j] = static_cast<uint8_t>(scratch[i]);
    }
    for (size_t i = 0; i < len; ++i) insert_entry(index, ids[start + i], part[i], codes.data() + i * m);
    ORMEL_TRY(meter.advance(len * work_per_vector));
  }
  return {};
}

}  // namespace

uint64_t build_ivfpq_work(size_t n, uint64_t dims) {
  if (n == 0) return 0;
  const BuildShape shape(n, dims);
  uint64_t work = kmeans_work(shape.n_train, dims, shape.k_coarse, kIterations);
  for (size_t j = 0; j < shape.m; ++j) {
    const size_t width = shape.sub_offset(j + 1, dims) - shape.sub_offset(j, dims);
    work += kmeans_work(shape.n_train, width, shape.codewords, kIterations);
  }
  const uint64_t compared = centers_for(shape.k_coarse, shape.n_train) + centers_for(shape.codewords, shape.n_train);
  return work + uint64_t{n} * dims * compared;
}

Result<IvfPqIndex> build_ivfpq(std::span<const MemoryId> ids, std::span<const float> vectors, uint64_t dims,
                               ProgressMeter* meter) {
  ProgressMeter none;
  ProgressMeter& m = meter != nullptr ? *meter : none;
  IvfPqIndex index;
  index.dims = dims;
  index.n_probe = kDefaultProbe;
  index.n_rerank = kDefaultRerank;
  ORMEL_TRY(train(index, vectors, ids.size(), m));
  ORMEL_TRY(encode_all(index, ids, vectors, m));
  index.query_state.rebuild(index);
  return index;
}

}  // namespace ormel
