#include "core/vector_scan.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace ormel {

namespace {

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

// Dot products of every block with the query. Each lane runs the scalar loop's exact
// sequence of multiplies and adds; R blocks are summed side by side only to overlap their
// latencies.
struct DotsJob {
  const Lanes* data;
  size_t dims, nb;
  const float* q;
  float* out;

  template <size_t R>
  [[gnu::always_inline]] void run() const {
    size_t b = 0;
    for (; b + R <= nb; b += R) blocks<R>(b);
    for (; b < nb; ++b) blocks<1>(b);
  }
  template <size_t B>
  [[gnu::always_inline]] void blocks(size_t b) const {
    Lanes acc[B] = {};
    const Lanes* blk = data + b * dims;
    for (size_t d = 0; d < dims; ++d) {
#pragma GCC unroll 16
      for (size_t j = 0; j < B; ++j) acc[j] = acc[j] + q[d] * blk[j * dims + d];
    }
    for (size_t j = 0; j < B; ++j) {
      for (size_t l = 0; l < kLanes; ++l) out[(b + j) * kLanes + l] = acc[j][l];
    }
  }
};

}  // namespace

VectorArena::VectorArena(size_t dims) : dims_(dims) {}

uint32_t VectorArena::add(std::span<const float> v) {
  const size_t slot = size_;
  if (slot % kLanes == 0) data_.resize(data_.size() + dims_, Lanes{});
  Lanes* blk = data_.data() + slot / kLanes * dims_;
  for (size_t d = 0; d < dims_; ++d) blk[d][slot % kLanes] = v[d];
  norms_.push_back(sum_of_squares(v.first(dims_)));
  ++size_;
  return static_cast<uint32_t>(slot);
}

void VectorArena::copy_vector(uint32_t slot, std::vector<float>& out) const {
  out.resize(dims_);
  for (size_t d = 0; d < dims_; ++d) out[d] = at(slot, d);
}

void VectorArena::dots(std::span<const float> query, std::vector<float>& out) const {
  // Padding lanes are computed too and cut off afterwards.
  out.resize(blocks() * kLanes);
  run_simd(DotsJob{data_.data(), dims_, blocks(), query.data(), out.data()});
  out.resize(size_);
}

void VectorArena::clear() {
  data_.clear();
  norms_.clear();
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
