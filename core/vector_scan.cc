#include "core/vector_scan.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/parallel.h"

namespace ormel {

namespace {

// Blocks a core claims at a time when a pass is split (1,024 vectors).
constexpr size_t kChunkBlocks = 64;

SimdLevel detected_level() {
  static const SimdLevel level = [] {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return SimdLevel::Avx512;
    if (__builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
    return SimdLevel::Generic;
  }();
  return level;
}

SimdLevel level_cap = SimdLevel::Avx512;

}  // namespace

SimdLevel simd_level() { return std::min(detected_level(), level_cap); }

SimdLevel limit_simd_level(SimdLevel max) { return std::exchange(level_cap, max); }

namespace {

// Per-lane reductions over blocks: for every computed block, each lane folds Step over
// dimensions 0 .. dims-1 in index order, starting from 0, so it runs the scalar loop's
// exact sequence of operations. R blocks are reduced side by side only to overlap their
// latencies.
template <class Step>
struct ReduceJob {
  const Lanes* data;
  size_t dims, nb;
  const uint32_t* which;  // the blocks to reduce, in order; null for blocks 0 .. nb-1
  const float* q;
  float* out;  // kLanes results per reduced block

  template <size_t R>
  [[gnu::always_inline]] void run() const {
    size_t b = 0;
    for (; b + R <= nb; b += R) blocks<R>(b);
    for (; b < nb; ++b) blocks<1>(b);
  }
  template <size_t B>
  [[gnu::always_inline]] void blocks(size_t b) const {
    Lanes acc[B] = {};
    const Lanes* blk[B];
    for (size_t j = 0; j < B; ++j) blk[j] = data + (which != nullptr ? which[b + j] : b + j) * dims;
    for (size_t d = 0; d < dims; ++d) {
#pragma GCC unroll 16
      for (size_t j = 0; j < B; ++j) Step::apply(acc[j], q[d], blk[j][d]);
    }
    for (size_t j = 0; j < B; ++j) __builtin_memcpy(out + (b + j) * kLanes, &acc[j], sizeof(Lanes));
  }
};

// s += q[i] * v[i]
struct DotStep {
  [[gnu::always_inline]] static void apply(Lanes& acc, float q, const Lanes& x) { acc = acc + q * x; }
};
// diff = q[i] - v[i]; s += diff * diff
struct SqDistStep {
  [[gnu::always_inline]] static void apply(Lanes& acc, float q, const Lanes& x) {
    const Lanes diff = q - x;
    acc = acc + diff * diff;
  }
};

// s += v[i] * v[i], the query unused: sum_of_squares per lane.
struct SquareStep {
  [[gnu::always_inline]] static void apply(Lanes& acc, float, const Lanes& x) { acc = acc + x * x; }
};

// add_many shares this many new blocks or more with the other cores, kFillGroup at a time.
constexpr size_t kShareBlocks = 64;

// How many new blocks add_many writes before summing them.
constexpr size_t kFillGroup = 8;

// Writes `count` (at most kLanes) vectors of `dims` values into a block, vector l in lane l
// and zeros in the lanes after them. Each vector is read front to back (the reads stream;
// the block's rows stay cached while they are filled lane by lane).
void fill_block(Lanes* blk, const float* const* vectors, size_t count, size_t dims) {
  if (count < kLanes) std::fill(blk, blk + dims, Lanes{});
  for (size_t l = 0; l < count; ++l) {
    const float* v = vectors[l];
    for (size_t d = 0; d < dims; ++d) blk[d][l] = v[d];
  }
}

}  // namespace

VectorArena::VectorArena(size_t dims) : dims_(dims) {}

uint32_t VectorArena::add(std::span<const float> v) { return add(v, sum_of_squares(v.first(dims_))); }

uint32_t VectorArena::add(std::span<const float> v, float norm_sq) {
  const size_t slot = size_;
  if (slot % kLanes == 0) data_.resize(data_.size() + dims_, Lanes{});
  Lanes* blk = data_.data() + slot / kLanes * dims_;
  for (size_t d = 0; d < dims_; ++d) blk[d][slot % kLanes] = v[d];
  if (keep_rows_) rows_.insert(rows_.end(), v.begin(), v.begin() + static_cast<ptrdiff_t>(dims_));
  norms_.push_back(norm_sq);
  ++size_;
  return static_cast<uint32_t>(slot);
}

uint32_t VectorArena::add_many(std::span<const float* const> vectors) {
  const auto first_slot = static_cast<uint32_t>(size_);
  // The free lanes of the last block one by one; whole blocks from there on.
  size_t i = 0;
  for (; i < vectors.size() && size_ % kLanes != 0; ++i) add(std::span(vectors[i], dims_));
  const size_t rest = vectors.size() - i;
  if (rest == 0) return first_slot;
  const size_t first_block = size_ / kLanes;
  const size_t nb = (rest + kLanes - 1) / kLanes;
  data_.resize(data_.size() + nb * dims_);  // left uninitialised: every row is written below
  std::vector<float> sums(nb * kLanes);
  const std::vector<float> unused_query(dims_);
  // Writes new blocks [from, to), then sums them while they are still cached.
  run_chunks(nb, kFillGroup, nb >= kShareBlocks ? worker_count() : 1, [&](size_t from, size_t to, size_t) {
    for (size_t b = from; b < to; ++b) {
      fill_block(data_.data() + (first_block + b) * dims_, vectors.data() + i + b * kLanes,
                 std::min(kLanes, rest - b * kLanes), dims_);
    }
    run_simd(ReduceJob<SquareStep>{data_.data() + (first_block + from) * dims_, dims_, to - from, nullptr,
                                    unused_query.data(), sums.data() + from * kLanes});
  });
  norms_.insert(norms_.end(), sums.begin(), sums.begin() + static_cast<ptrdiff_t>(rest));
  if (keep_rows_) {
    for (size_t k = i; k < vectors.size(); ++k) rows_.insert(rows_.end(), vectors[k], vectors[k] + dims_);
  }
  size_ += rest;
  return first_slot;
}

void VectorArena::reserve(size_t more) {
  const size_t blocks = (size_ + more + kLanes - 1) / kLanes;
  data_.reserve(blocks * dims_);
  norms_.reserve(size_ + more);
  if (keep_rows_) rows_.reserve((size_ + more) * dims_);
}

void VectorArena::keep_rows() {
  if (keep_rows_) return;
  keep_rows_ = true;
  rows_.resize(size_ * dims_);
  for (size_t slot = 0; slot < size_; ++slot) {
    const Lanes* blk = block(slot / kLanes);
    for (size_t d = 0; d < dims_; ++d) rows_[slot * dims_ + d] = blk[d][slot % kLanes];
  }
}

void VectorArena::copy_vector(uint32_t slot, std::vector<float>& out) const {
  if (keep_rows_) {
    const float* row = rows_.data() + size_t{slot} * dims_;
    out.assign(row, row + dims_);
    return;
  }
  out.resize(dims_);
  for (size_t d = 0; d < dims_; ++d) out[d] = at(slot, d);
}

void VectorArena::dots(std::span<const float> query, std::vector<float>& out) const {
  // Padding lanes are computed too and cut off afterwards. A large arena is split into
  // ranges of blocks reduced side by side: one core cannot pull the rows from memory as
  // fast as the kernel consumes them.
  out.resize(blocks() * kLanes);
  const size_t parts = blocks() >= kSplitBlocks ? worker_count() : 1;
  run_chunks(blocks(), kChunkBlocks, parts, [&](size_t begin, size_t end, size_t) {
    run_simd(ReduceJob<DotStep>{data_.data() + begin * dims_, dims_, end - begin, nullptr, query.data(),
                                out.data() + begin * kLanes});
  });
  out.resize(size_);
}

void VectorArena::dots_for(std::span<const float> query, std::span<const uint32_t> slots,
                           std::vector<float>& out) const {
  if (keep_rows_ && slots.size() < blocks()) {
    // Fewer vectors than blocks: copied lane by lane into blocks of their own, reduced by
    // the same kernel (slot i is lane i), they cost less than the blocks they lie in.
    const size_t nb = (slots.size() + kLanes - 1) / kLanes;
    std::vector<Lanes, LaneAllocator<Lanes>> chosen(nb * dims_, Lanes{});
    float* lanes = reinterpret_cast<float*>(chosen.data());
    for (size_t i = 0; i < slots.size(); ++i) {
      if (i + 1 < slots.size()) {
        // The next row is somewhere else in memory: start fetching it now.
        const char* next = reinterpret_cast<const char*>(rows_.data() + size_t{slots[i + 1]} * dims_);
        for (size_t b = 0; b < dims_ * sizeof(float); b += 64) __builtin_prefetch(next + b);
      }
      const float* row = rows_.data() + size_t{slots[i]} * dims_;
      float* lane = lanes + i / kLanes * dims_ * kLanes + i % kLanes;
      for (size_t d = 0; d < dims_; ++d) lane[d * kLanes] = row[d];
    }
    out.resize(nb * kLanes);
    run_simd(ReduceJob<DotStep>{chosen.data(), dims_, nb, nullptr, query.data(), out.data()});
    out.resize(slots.size());
    return;
  }
  // Every block holding a requested slot is reduced once, whole.
  std::vector<uint32_t> touched(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) touched[i] = static_cast<uint32_t>(slots[i] / kLanes);
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  std::vector<float> lanes(touched.size() * kLanes);
  const size_t parts = touched.size() >= kSplitBlocks ? worker_count() : 1;
  run_chunks(touched.size(), kChunkBlocks, parts, [&](size_t begin, size_t end, size_t) {
    run_simd(ReduceJob<DotStep>{data_.data(), dims_, end - begin, touched.data() + begin, query.data(),
                                lanes.data() + begin * kLanes});
  });
  out.resize(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) {
    const size_t pos = std::lower_bound(touched.begin(), touched.end(), slots[i] / kLanes) - touched.begin();
    out[i] = lanes[pos * kLanes + slots[i] % kLanes];
  }
}

void VectorArena::sq_dists(std::span<const float> query, float* out) const {
  run_simd(ReduceJob<SqDistStep>{data_.data(), dims_, blocks(), nullptr, query.data(), out});
}

void VectorArena::clear() {
  data_.clear();
  norms_.clear();
  rows_.clear();
  size_ = 0;
}

float sum_of_squares(std::span<const float> v) {
  float s = 0.0f;
  for (float x : v) s += x * x;
  return s;
}

float cosine_from_parts(float dot, float query_norm_sq, float vector_norm_sq, size_t vector_len) {
  if (vector_len == 0 || query_norm_sq == 0.0f || vector_norm_sq == 0.0f) return 0.0f;
  return dot / (std::sqrt(query_norm_sq) * std::sqrt(vector_norm_sq));
}

}  // namespace ormel
