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

// A batch of this many blocks or more is written by every core, kFillGroup blocks at a time.
constexpr size_t kShareBlocks = 64;

// How many blocks a batch writes before summing them.
constexpr size_t kFillGroup = 8;

// One step of a 16 x 16 transpose held in 16 rows: rows i and i + S (i without bit S)
// exchange the columns with bit S set in the one for those without it in the other, which
// swaps bit S of the row index with bit S of the column index. After the steps for S = 1,
// 2, 4 and 8, row j holds what column j held.
template <size_t S, size_t... P>
[[gnu::always_inline]] inline void exchange(Lanes& x, Lanes& y, std::index_sequence<P...>) {
  const Lanes a = x, b = y;
  x = __builtin_shufflevector(a, b, ((P & S) == 0 ? P : P - S + kLanes)...);
  y = __builtin_shufflevector(a, b, ((P & S) == 0 ? P + S : P + kLanes)...);
}
template <size_t S>
[[gnu::always_inline]] inline void transpose_step(Lanes (&rows)[kLanes]) {
  for (size_t i = 0; i < kLanes; ++i) {
    if ((i & S) == 0) exchange<S>(rows[i], rows[i + S], std::make_index_sequence<kLanes>{});
  }
}

// Writes `count` (at most kLanes) vectors of `dims` values into a block, vector l in lane l
// and zeros in the lanes after them: kLanes dimensions of every vector at a time are loaded
// as rows and transposed in registers into the block's rows (values are only moved, so the
// block holds exactly the vectors' bits).
struct FillJob {
  Lanes* blk;
  const float* const* vectors;
  size_t count, dims;

  template <size_t R>
  [[gnu::always_inline]] void run() const {
    size_t d = 0;
    for (; d + kLanes <= dims; d += kLanes) {
      Lanes rows[kLanes];
      for (size_t l = 0; l < kLanes; ++l) {
        if (l < count) {
          __builtin_memcpy(&rows[l], vectors[l] + d, sizeof(Lanes));
        } else {
          rows[l] = Lanes{};
        }
      }
      transpose_step<1>(rows);
      transpose_step<2>(rows);
      transpose_step<4>(rows);
      transpose_step<8>(rows);
      for (size_t j = 0; j < kLanes; ++j) blk[d + j] = rows[j];
    }
    for (; d < dims; ++d) {
      Lanes row = {};
      for (size_t l = 0; l < count; ++l) row[l] = vectors[l][d];
      blk[d] = row;
    }
  }
};

}  // namespace

VectorArena::VectorArena(size_t dims) : dims_(dims) {}

uint32_t VectorArena::place(uint32_t group, bool fill_later) {
  const auto find = [&](uint32_t g) {
    if (last_open_ < open_.size() && open_[last_open_].group == g) return last_open_;
    for (size_t i = 0; i < open_.size(); ++i) {
      if (open_[i].group == g) return last_open_ = i;
    }
    return open_.size();
  };
  size_t at = find(group);
  if (at == open_.size() && group != kOverflowGroup) {
    const size_t owned = open_.size() - (find(kOverflowGroup) < open_.size() ? 1 : 0);
    if (owned >= kOpenGroups) at = find(group = kOverflowGroup);
  }
  uint32_t slot;
  if (at < open_.size()) {
    slot = open_[at].next++;
    stamps_[slot / kLanes] = ++next_stamp_;
    if (open_[at].next % kLanes == 0) open_.erase(open_.begin() + static_cast<ptrdiff_t>(at));
  } else {
    slot = static_cast<uint32_t>(blocks_ * kLanes);
    ++blocks_;
    if (fill_later) {
      data_.resize(blocks_ * dims_);  // left uninitialised: the batch writes every lane
    } else {
      data_.resize(blocks_ * dims_, Lanes{});
    }
    norms_.resize(blocks_ * kLanes);
    stamps_.push_back(++next_stamp_);
    if (keep_rows_) rows_.resize(blocks_ * kLanes * dims_);
    open_.push_back({group, slot + 1});
    last_open_ = open_.size() - 1;
  }
  end_ = std::max<size_t>(end_, size_t{slot} + 1);
  ++count_;
  return slot;
}

uint32_t VectorArena::add(std::span<const float> v, uint32_t group) {
  return add(v, sum_of_squares(v.first(dims_)), group);
}

uint32_t VectorArena::add(std::span<const float> v, float norm_sq, uint32_t group) {
  const uint32_t slot = place(group, false);
  Lanes* blk = data_.data() + slot / kLanes * dims_;
  for (size_t d = 0; d < dims_; ++d) blk[d][slot % kLanes] = v[d];
  if (keep_rows_) std::copy(v.begin(), v.begin() + static_cast<ptrdiff_t>(dims_), rows_.begin() + slot * dims_);
  norms_[slot] = norm_sq;
  return slot;
}

uint32_t VectorArena::add_many(std::span<const float* const> vectors) {
  if (vectors.empty()) return static_cast<uint32_t>(end_);
  const std::vector<uint32_t> groups(vectors.size(), 0);
  const Placed placed = place_many(groups);
  write_placed(placed, vectors);
  return placed.slots.front();
}

VectorArena::Placed VectorArena::place_many(std::span<const uint32_t> groups) {
  Placed placed;
  placed.first_new_block = blocks_;
  placed.slots.resize(groups.size());
  for (size_t i = 0; i < groups.size(); ++i) placed.slots[i] = place(groups[i], true);
  return placed;
}

void VectorArena::write_placed(const Placed& placed, std::span<const float* const> vectors) {
  const std::span<const uint32_t> slots = placed.slots;
  if (slots.empty()) return;
  // The items by block, in item order, which within a block is lane order (a group's
  // vectors take its lanes one after another). A block the batch opened gets lanes 0 ..
  // k-1 from it; one that was open before gets the lanes after those it held.
  size_t lo = SIZE_MAX, hi = 0;
  for (uint32_t slot : slots) {
    lo = std::min<size_t>(lo, slot / kLanes);
    hi = std::max<size_t>(hi, slot / kLanes + 1);
  }
  std::vector<uint32_t> begin(hi - lo + 1, 0);
  for (uint32_t slot : slots) ++begin[slot / kLanes - lo + 1];
  for (size_t b = 1; b < begin.size(); ++b) begin[b] += begin[b - 1];
  std::vector<uint32_t> order(slots.size());
  {
    std::vector<uint32_t> next(begin.begin(), begin.end() - 1);
    for (size_t i = 0; i < slots.size(); ++i) order[next[slots[i] / kLanes - lo]++] = static_cast<uint32_t>(i);
  }
  std::vector<uint32_t> touched;
  for (size_t b = lo; b < hi; ++b) {
    if (begin[b - lo + 1] > begin[b - lo]) touched.push_back(static_cast<uint32_t>(b));
  }

  std::vector<float> sums(touched.size() * kLanes);
  const std::vector<float> unused_query(dims_);
  // Writes blocks [from, to) of `touched`, then sums them while they are still cached.
  run_chunks(touched.size(), kFillGroup, touched.size() >= kShareBlocks ? worker_count() : 1,
             [&](size_t from, size_t to, size_t) {
               for (size_t t = from; t < to; ++t) {
                 const size_t b = touched[t];
                 const std::span<const uint32_t> items(order.data() + begin[b - lo], order.data() + begin[b - lo + 1]);
                 Lanes* blk = data_.data() + b * dims_;
                 if (b >= placed.first_new_block) {
                   const float* lanes[kLanes];
                   for (size_t k = 0; k < items.size(); ++k) lanes[k] = vectors[items[k]];
                   run_simd(FillJob{blk, lanes, items.size(), dims_});
                 } else {
                   for (uint32_t i : items) {
                     const size_t lane = slots[i] % kLanes;
                     for (size_t d = 0; d < dims_; ++d) blk[d][lane] = vectors[i][d];
                   }
                 }
               }
               run_simd(ReduceJob<SquareStep>{data_.data(), dims_, to - from, touched.data() + from,
                                               unused_query.data(), sums.data() + from * kLanes});
             });
  for (size_t t = 0; t < touched.size(); ++t) {
    const size_t b = touched[t];
    for (size_t k = begin[b - lo]; k < begin[b - lo + 1]; ++k) {
      const uint32_t slot = slots[order[k]];
      norms_[slot] = sums[t * kLanes + slot % kLanes];
    }
  }
  if (keep_rows_) {
    for (size_t i = 0; i < slots.size(); ++i) {
      std::copy(vectors[i], vectors[i] + dims_, rows_.begin() + slots[i] * dims_);
    }
  }
}

void VectorArena::reserve(size_t more) {
  // Each open group may leave one block partly filled.
  const size_t blocks = blocks_ + (more + kLanes - 1) / kLanes + std::min(more, open_.size() + 1);
  data_.reserve(blocks * dims_);
  norms_.reserve(blocks * kLanes);
  if (keep_rows_) rows_.reserve(blocks * kLanes * dims_);
}

void VectorArena::keep_rows() {
  if (keep_rows_) return;
  keep_rows_ = true;
  rows_.resize(blocks_ * kLanes * dims_);
  for (size_t slot = 0; slot < blocks_ * kLanes; ++slot) {
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
  // Unused lanes are computed too and cut off afterwards. A large arena is split into
  // ranges of blocks reduced side by side: one core cannot pull the rows from memory as
  // fast as the kernel consumes them.
  out.resize(blocks_ * kLanes);
  const size_t parts = blocks_ >= kSplitBlocks ? worker_count() : 1;
  run_chunks(blocks_, kChunkBlocks, parts, [&](size_t begin, size_t end, size_t) {
    run_simd(ReduceJob<DotStep>{data_.data() + begin * dims_, dims_, end - begin, nullptr, query.data(),
                                out.data() + begin * kLanes});
  });
  out.resize(end_);
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
  // Every block holding a requested slot is reduced once, whole, in block order.
  const BlockList touched = blocks_of(slots, blocks_);
  std::vector<float> lanes(touched.blocks.size() * kLanes);
  const size_t parts = touched.blocks.size() >= kSplitBlocks ? worker_count() : 1;
  run_chunks(touched.blocks.size(), kChunkBlocks, parts, [&](size_t begin, size_t end, size_t) {
    run_simd(ReduceJob<DotStep>{data_.data(), dims_, end - begin, touched.blocks.data() + begin, query.data(),
                                lanes.data() + begin * kLanes});
  });
  out.resize(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) out[i] = lanes[touched.lane_of(slots[i])];
}

BlockList blocks_of(std::span<const uint32_t> slots, size_t blocks) {
  constexpr uint32_t kUntouched = UINT32_MAX;
  BlockList list;
  list.index.assign(blocks, kUntouched);
  for (uint32_t slot : slots) list.index[slot / kLanes] = 0;
  for (size_t b = 0; b < blocks; ++b) {
    if (list.index[b] == kUntouched) continue;
    list.index[b] = static_cast<uint32_t>(list.blocks.size());
    list.blocks.push_back(static_cast<uint32_t>(b));
  }
  return list;
}

void VectorArena::sq_dists(std::span<const float> query, float* out) const {
  run_simd(ReduceJob<SqDistStep>{data_.data(), dims_, blocks(), nullptr, query.data(), out});
}

void VectorArena::clear() {
  data_.clear();
  norms_.clear();
  stamps_.clear();
  rows_.clear();
  open_.clear();
  count_ = end_ = blocks_ = 0;
}

float sum_of_squares(std::span<const float> v) {
  float s = 0.0f;
  for (float x : v) s += x * x;
  return s;
}

float cosine_from_parts(float dot, float query_norm_sq, float vector_norm_sq, size_t vector_len) {
  return cosine_with_query_norm(dot, query_norm_sq, std::sqrt(query_norm_sq), vector_norm_sq, vector_len);
}

}  // namespace ormel
