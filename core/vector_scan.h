// Lane-interleaved vector storage and the exact similarity scan over it.
//
// Contract:
// - A VectorArena holds vectors of one width in blocks of kLanes slots, laid out
//   [block][dimension][lane]; the unused lanes of the last block are zero.
// - dots() computes, for every slot at once, the dot product with the query summed in
//   index order, one lane per slot: each result is bit-identical to the scalar loop
//   `s = 0; for i: s += q[i] * v[i]` in single precision (the engine never fuses a
//   multiply and an add). dots_for() gives the same bits for chosen slots, and sq_dists()
//   the squared Euclidean distance `d = q[i] - v[i]; s += d * d` the same way. The
//   instruction set is chosen at run time; every path gives the same bits.
// - Every vector belongs to a group (the caller's key, 0 unless given). A vector takes the
//   next free lane of its group's open block, or opens a new block at the end, so a block
//   holds one group's vectors and a pass over the chosen slots of a few groups reads only
//   their blocks. At most kOpenGroups groups hold an open block at once; a vector of any
//   other group goes to the overflow group's block, which bounds the lanes left unused by
//   partly filled blocks. Slots are handed out deterministically from the sequence of adds;
//   with one group they are 0, 1, 2, ... Unused lanes hold zeros.
// - With keep_rows() the arena also holds every vector contiguously (4 x dims bytes more
//   per vector), and dots_for() reads those when fewer slots than blocks are chosen: a
//   chosen slot then costs its own bytes, not the whole interleaved block it shares with
//   15 others. The bits are the same.
// - sum_of_squares and cosine_from_parts are the parts similarity(Metric::Cosine, q, v) is
//   made of, so combined with dots() they give its exact bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace ormel {

inline constexpr size_t kLanes = 16;
// One row of a block: one dimension of kLanes vectors.
typedef float Lanes __attribute__((vector_size(kLanes * sizeof(float))));

// The widest vector instruction set this processor offers among those the kernels use.
enum class SimdLevel : uint8_t { Generic, Avx2, Avx512 };
SimdLevel simd_level();
// Caps simd_level() at `max` (never above what the processor has), so tests and
// benchmarks can run every path; returns the previous cap.
SimdLevel limit_simd_level(SimdLevel max);

// Runs job.template run<R>() compiled for the widest instruction set the processor has.
// R is how many Lanes accumulators that set's registers hold comfortably (8, 4 or 2).
// Jobs mark run() always_inline so its body is compiled for the chosen set.
template <class Job>
[[gnu::target("avx512f")]] void run_simd_avx512(const Job& job) { job.template run<8>(); }
template <class Job>
[[gnu::target("avx2")]] void run_simd_avx2(const Job& job) { job.template run<4>(); }
template <class Job>
void run_simd_generic(const Job& job) { job.template run<2>(); }
template <class Job>
void run_simd(const Job& job) {
  switch (simd_level()) {
    case SimdLevel::Avx512: return run_simd_avx512(job);
    case SimdLevel::Avx2: return run_simd_avx2(job);
    case SimdLevel::Generic: return run_simd_generic(job);
  }
}

// Allocator giving Lanes their full alignment (std::allocator does not see it).
template <class T>
struct LaneAllocator {
  using value_type = T;
  LaneAllocator() = default;
  template <class U>
  LaneAllocator(const LaneAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{sizeof(Lanes)})); }
  void deallocate(T* p, size_t) { ::operator delete(p, std::align_val_t{sizeof(Lanes)}); }
  // Growing without a value leaves the new elements uninitialised, for a caller that
  // writes them all; a given value is copied as usual.
  template <class U>
  void construct(U* p) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  bool operator==(const LaneAllocator&) const = default;
};

class VectorArena {
 public:
  static constexpr size_t kSplitBlocks = 512;
  static constexpr size_t kOpenGroups = 64;
  static constexpr uint32_t kOverflowGroup = UINT32_MAX;
  explicit VectorArena(size_t dims);
  // Appends a vector of dims() values to `group`; returns its slot. Also records its sum of
  // squares.
  uint32_t add(std::span<const float> v, uint32_t group = 0);
  // The same with the vector's sum_of_squares already computed.
  uint32_t add(std::span<const float> v, float norm_sq, uint32_t group = 0);
  // Appends the vectors (each of dims() values) to group 0 in order, as add() one by one
  // would, and returns the first one's slot.
  uint32_t add_many(std::span<const float* const> vectors);
  // A batch in two steps, for a caller that needs the slots before the vectors are in
  // place: place_many() hands out the slots that add(vector, groups[i]) one by one would
  // (their blocks allocated but not yet written), write_placed() writes the vectors into
  // them. Nothing may read the arena in between. Whole blocks are written row by row and
  // their sums of squares computed a lane per vector, each bit-identical to sum_of_squares;
  // many blocks are shared with a second thread.
  struct Placed {
    std::vector<uint32_t> slots;
    size_t first_new_block = 0;  // blocks from here on were opened by the batch
  };
  Placed place_many(std::span<const uint32_t> groups);
  void write_placed(const Placed& placed, std::span<const float* const> vectors);
  // Room for `more` vectors beyond size() without moving the storage.
  void reserve(size_t more);
  // Vectors held.
  size_t size() const { return count_; }
  // One past the highest slot handed out.
  size_t slot_end() const { return end_; }
  size_t dims() const { return dims_; }
  size_t blocks() const { return blocks_; }
  // Row d of block b is block(b)[d]; slot s lives in block s / kLanes, lane s % kLanes.
  const Lanes* block(size_t b) const { return data_.data() + b * dims_; }
  float norm_sq(uint32_t slot) const { return norms_[slot]; }
  float at(uint32_t slot, size_t d) const { return data_[slot / kLanes * dims_ + d][slot % kLanes]; }
  void copy_vector(uint32_t slot, std::vector<float>& out) const;
  // out.resize(slot_end()); out[s] = dot(query, vector s) in index order (0 for a slot
  // never handed out). query has dims() values. From kSplitBlocks blocks on, the blocks are
  // split over the cores (the same bits).
  void dots(std::span<const float> query, std::vector<float>& out) const;
  // out.resize(slots.size()); out[i] = dot(query, vector slots[i]), bit-identical to dots().
  // Costs one block pass per distinct block the slots touch (split over the cores from
  // kSplitBlocks blocks on), or with kept rows and fewer slots than blocks, a copy of each
  // chosen vector into lanes and one pass over those.
  void dots_for(std::span<const float> query, std::span<const uint32_t> slots, std::vector<float>& out) const;
  // out[s] = squared distance between query and vector s, in index order. out holds
  // blocks() * kLanes values; unused lanes get the query's distance to zero.
  void sq_dists(std::span<const float> query, float* out) const;
  // A number that changes whenever block b may have been written (every vector placed in
  // it changes it), so a copy kept elsewhere can tell which blocks to convert again.
  uint64_t block_stamp(size_t b) const { return stamps_[b]; }
  // Keeps a contiguous copy of every vector from now on (the ones held are copied now).
  void keep_rows();
  // Empties the arena; kept rows stay kept.
  void clear();

 private:
  // A group's open block: the slot its next vector takes.
  struct Open {
    uint32_t group;
    uint32_t next;
  };
  // The slot of the next vector of `group`, opening a block when it has none; new blocks
  // are zeroed unless `fill_later` (a batch writes every lane of them itself).
  uint32_t place(uint32_t group, bool fill_later);

  size_t dims_;
  size_t count_ = 0;
  size_t end_ = 0;
  size_t blocks_ = 0;
  std::vector<Lanes, LaneAllocator<Lanes>> data_;  // blocks_ * dims_ rows
  std::vector<float> norms_;                        // blocks_ * kLanes, by slot
  std::vector<uint64_t> stamps_;                    // by block: next_stamp_ when last placed in
  uint64_t next_stamp_ = 0;
  std::vector<Open> open_;                          // at most kOpenGroups + 1
  size_t last_open_ = 0;                            // where the last lookup found its group
  bool keep_rows_ = false;
  std::vector<float> rows_;  // blocks_ * kLanes * dims_ values when kept, by slot
};

// The distinct blocks that `slots` lie in, ascending, and where each slot's result falls in
// a buffer of kLanes results per listed block.
struct BlockList {
  std::vector<uint32_t> blocks;
  std::vector<uint32_t> index;  // by block: its place in `blocks` (blocks not listed: unspecified)
  size_t lane_of(uint32_t slot) const { return size_t{index[slot / kLanes]} * kLanes + slot % kLanes; }
};
BlockList blocks_of(std::span<const uint32_t> slots, size_t blocks);

// Sum of v[i]^2 in index order, single precision.
float sum_of_squares(std::span<const float> v);
// Cosine similarity from its parts, combined exactly as similarity(Metric::Cosine, ...)
// does: 0 when the vector is empty or either sum of squares is zero.
float cosine_from_parts(float dot, float query_norm_sq, float vector_norm_sq, size_t vector_len);
// The same with the query's norm, std::sqrt(query_norm_sq), computed once by a caller that
// scores many vectors against one query (the same bits: sqrt is exact to the last bit).
inline float cosine_with_query_norm(float dot, float query_norm_sq, float query_norm, float vector_norm_sq,
                                    size_t vector_len) {
  if (vector_len == 0 || query_norm_sq == 0.0f || vector_norm_sq == 0.0f) return 0.0f;
  return dot / (query_norm * std::sqrt(vector_norm_sq));
}

}  // namespace ormel
