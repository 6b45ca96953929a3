// HalfCopy: a binary16 copy of a VectorArena, for scans that first bound every dot product
// cheaply and then compute exactly only those that can matter.
//
// Contract:
// - usable() says whether the processor converts binary16 in hardware (F16C). Without it
//   refresh() returns false and the copy stays empty; nothing else may be called.
// - refresh(arena) brings the copy up to date: the blocks placed in since they were last
//   converted (by the arena's block stamps) are converted again, every component rounded to
//   the nearest binary16. A copy follows one arena; reset() forgets it (for a new arena).
// - approx_dots(query, out): out[s] for every slot s < arena.slot_end(), summed in any
//   order. For a finite query q whose sum_of_squares is finite, and qn = query_norm(q),
//       |dot(q, vector s) as the arena computes it - out[s]| <= bound(qn, s)
//   where bound(qn, s) = qn * error(s) + kAbsoluteError. error(s) is +inf for a vector that
//   binary16 cannot hold (a component beyond 65504).
// - query_norm(q) is never below the Euclidean norm of q, whatever the magnitudes of its
//   components: the squares are summed in double, where they are exact and neither
//   underflow nor overflow, and the root is rounded up to float. (The float
//   std::sqrt(sum_of_squares(q)) is not a bound: squares below the normal range lose their
//   bits: the query [4.58e-23, 0, ...] gets a norm 18% too small.)
// - The bound covers the rounding to binary16 (the exact distance between the vector and its
//   copy), the rounding of both sums (n + 2 roundings each, relative to the sums of absolute
//   products, which Cauchy-Schwarz bounds by norms), products that underflow
//   (kAbsoluteError), and the float rounding of the product qn * error(s), with a factor to
//   spare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/vector_scan.h"

namespace ormel {

class HalfCopy {
 public:
  static constexpr float kAbsoluteError = 1e-36f;

  static bool usable();
  // The query norm bound() takes (see the contract); +inf beyond float's range.
  static float query_norm(std::span<const float> query);
  // False when not usable(); otherwise converts what changed and returns true.
  bool refresh(const VectorArena& arena);
  void reset();
  void approx_dots(std::span<const float> query, std::vector<float>& out) const;
  // out[i] = approx_dots(query)[slots[i]], reducing only the blocks the slots lie in.
  void approx_dots_for(std::span<const float> query, std::span<const uint32_t> slots, std::vector<float>& out) const;
  float error(uint32_t slot) const { return errors_[slot]; }
  float bound(float query_norm, uint32_t slot) const { return query_norm * errors_[slot] + kAbsoluteError; }

 private:
  using Row = uint16_t[kLanes];
  void convert_block(const VectorArena& arena, size_t b);
  // out[k * kLanes + l] for lane l of block which[k] (of block k when `which` is null).
  void approx_blocks(std::span<const float> query, size_t nb, const uint32_t* which, float* out) const;

  size_t dims_ = 0;
  size_t blocks_ = 0;
  size_t slot_end_ = 0;
  std::vector<uint16_t> halves_;  // blocks_ * dims_ rows of kLanes values, as the arena's
  std::vector<float> errors_;     // by slot
  std::vector<uint64_t> stamps_;  // by block: the arena's stamp when converted
};

}  // namespace ormel
