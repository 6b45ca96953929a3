#include "core/half_copy.h"

#include <immintrin.h>

#include <cmath>
#include <limits>

#include "core/parallel.h"

namespace ormel {
namespace {

// Blocks a core claims at a time when a pass is split.
constexpr size_t kChunkBlocks = 64;

// Rounds the dims rows of one block to binary16 into `out`, and sums per lane, in double,
// the squares of the vector, of its copy and of their difference (exact in float: the copy
// is the vector rounded to fewer bits, or infinite).
[[gnu::target("avx2,f16c")]] void convert_rows(const float* rows, size_t dims, uint16_t* out, double* diff_sq,
                                               double* vector_sq, double* half_sq) {
  __m256d diff_acc[4], vector_acc[4], half_acc[4];
  for (size_t k = 0; k < 4; ++k) diff_acc[k] = vector_acc[k] = half_acc[k] = _mm256_setzero_pd();
  for (size_t d = 0; d < dims; ++d) {
    for (size_t k = 0; k < 2; ++k) {
      const __m256 x = _mm256_loadu_ps(rows + d * kLanes + k * 8);
      const __m128i h = _mm256_cvtps_ph(x, _MM_FROUND_TO_NEAREST_INT);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + d * kLanes + k * 8), h);
      const __m256 back = _mm256_cvtph_ps(h);
      const __m256 diff = _mm256_sub_ps(x, back);
      const __m256d parts[3][2] = {
          {_mm256_cvtps_pd(_mm256_castps256_ps128(diff)), _mm256_cvtps_pd(_mm256_extractf128_ps(diff, 1))},
          {_mm256_cvtps_pd(_mm256_castps256_ps128(x)), _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1))},
          {_mm256_cvtps_pd(_mm256_castps256_ps128(back)), _mm256_cvtps_pd(_mm256_extractf128_ps(back, 1))}};
      for (size_t q = 0; q < 2; ++q) {
        diff_acc[k * 2 + q] = _mm256_add_pd(diff_acc[k * 2 + q], _mm256_mul_pd(parts[0][q], parts[0][q]));
        vector_acc[k * 2 + q] = _mm256_add_pd(vector_acc[k * 2 + q], _mm256_mul_pd(parts[1][q], parts[1][q]));
        half_acc[k * 2 + q] = _mm256_add_pd(half_acc[k * 2 + q], _mm256_mul_pd(parts[2][q], parts[2][q]));
      }
    }
  }
  for (size_t k = 0; k < 4; ++k) {
    _mm256_storeu_pd(diff_sq + k * 4, diff_acc[k]);
    _mm256_storeu_pd(vector_sq + k * 4, vector_acc[k]);
    _mm256_storeu_pd(half_sq + k * 4, half_acc[k]);
  }
}

// out[b * kLanes + l] = sum over d of q[d] * lane l of row d of block b, for nb blocks.
// (GCC 12's own header leaves the conversion's unused mask operand undefined on purpose.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// `which` lists the blocks to reduce (out[k * kLanes + l] for which[k]); null for blocks
// 0 .. nb-1.
[[gnu::target("avx512f")]] void approx_blocks_avx512(const uint16_t* halves, size_t dims, size_t nb,
                                                     const uint32_t* which, const float* q, float* out) {
  const size_t stride = dims * kLanes;  // from one block to the next
  const auto first = [&](size_t k) { return halves + (which != nullptr ? which[k] : k) * stride; };
  size_t b = 0;
  for (; b + 4 <= nb; b += 4) {
    __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    const uint16_t *h0 = first(b), *h1 = first(b + 1), *h2 = first(b + 2), *h3 = first(b + 3);
    for (size_t d = 0; d < dims * kLanes; d += kLanes) {
      const __m512 qd = _mm512_set1_ps(q[d / kLanes]);
      a0 = _mm512_fmadd_ps(qd, _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(h0 + d))), a0);
      a1 = _mm512_fmadd_ps(qd, _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(h1 + d))), a1);
      a2 = _mm512_fmadd_ps(qd, _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(h2 + d))), a2);
      a3 = _mm512_fmadd_ps(qd, _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(h3 + d))), a3);
    }
    _mm512_storeu_ps(out + b * kLanes, a0);
    _mm512_storeu_ps(out + (b + 1) * kLanes, a1);
    _mm512_storeu_ps(out + (b + 2) * kLanes, a2);
    _mm512_storeu_ps(out + (b + 3) * kLanes, a3);
  }
  for (; b < nb; ++b) {
    __m512 a = _mm512_setzero_ps();
    const uint16_t* h = first(b);
    for (size_t d = 0; d < dims; ++d, h += kLanes) {
      a = _mm512_fmadd_ps(_mm512_set1_ps(q[d]), _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(h))),
                          a);
    }
    _mm512_storeu_ps(out + b * kLanes, a);
  }
}
#pragma GCC diagnostic pop

[[gnu::target("avx2,f16c")]] void approx_blocks_avx2(const uint16_t* halves, size_t dims, size_t nb,
                                                     const uint32_t* which, const float* q, float* out) {
  for (size_t b = 0; b < nb; ++b) {
    __m256 lo = _mm256_setzero_ps(), hi = lo;
    const uint16_t* h = halves + (which != nullptr ? which[b] : b) * dims * kLanes;
    for (size_t d = 0; d < dims; ++d, h += kLanes) {
      const __m256 qd = _mm256_set1_ps(q[d]);
      lo = _mm256_add_ps(lo, _mm256_mul_ps(qd, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)))));
      hi = _mm256_add_ps(hi,
                         _mm256_mul_ps(qd, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 8)))));
    }
    _mm256_storeu_ps(out + b * kLanes, lo);
    _mm256_storeu_ps(out + b * kLanes + 8, hi);
  }
}

}  // namespace

bool HalfCopy::usable() {
  static const bool f16c = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("f16c") && __builtin_cpu_supports("avx2");
  }();
  return f16c && simd_level() >= SimdLevel::Avx2;
}

float HalfCopy::query_norm(std::span<const float> query) {
  // A float's square is exact in double; the sum's relative error, (n - 1) * 2^-53, is less
  // than the step up from float's nearest.
  double sum_sq = 0.0;
  for (float x : query) sum_sq += static_cast<double>(x) * x;
  const double norm = std::sqrt(sum_sq);
  constexpr float kInf = std::numeric_limits<float>::infinity();
  if (!(norm <= static_cast<double>(std::numeric_limits<float>::max()))) return kInf;
  return std::nextafter(static_cast<float>(norm), kInf);
}

void HalfCopy::reset() { *this = HalfCopy(); }

bool HalfCopy::refresh(const VectorArena& arena) {
  if (!usable()) return false;
  if (dims_ != arena.dims() || arena.blocks() < blocks_) reset();
  dims_ = arena.dims();
  blocks_ = arena.blocks();
  slot_end_ = arena.slot_end();
  halves_.resize(blocks_ * dims_ * kLanes);
  errors_.resize(blocks_ * kLanes);
  stamps_.resize(blocks_, UINT64_MAX);
  std::vector<uint32_t> stale;
  for (size_t b = 0; b < blocks_; ++b) {
    if (stamps_[b] != arena.block_stamp(b)) stale.push_back(static_cast<uint32_t>(b));
  }
  const size_t parts = stale.size() >= VectorArena::kSplitBlocks ? worker_count() : 1;
  run_chunks(stale.size(), kChunkBlocks, parts, [&](size_t begin, size_t end, size_t) {
    for (size_t i = begin; i < end; ++i) convert_block(arena, stale[i]);
  });
  return true;
}

void HalfCopy::convert_block(const VectorArena& arena, size_t b) {
  double diff_sq[kLanes], vector_sq[kLanes], half_sq[kLanes];
  convert_rows(reinterpret_cast<const float*>(arena.block(b)), dims_, halves_.data() + b * dims_ * kLanes, diff_sq,
               vector_sq, half_sq);
  // n + 2 roundings of a float sum of n products, relative to the sum of their magnitudes;
  // the spare factor also covers the float rounding of the product qn * error.
  const double n = static_cast<double>(dims_) + 2.0;
  const double gamma = n * 0x1p-24 / (1.0 - n * 0x1p-24);
  const double spare = 1.0 + 4.0 * gamma + 0x1p-12;
  for (size_t l = 0; l < kLanes; ++l) {
    const double e = (std::sqrt(diff_sq[l]) + gamma * (std::sqrt(vector_sq[l]) + std::sqrt(half_sq[l]))) * spare;
    errors_[b * kLanes + l] = std::isfinite(e) && e < static_cast<double>(std::numeric_limits<float>::max())
                                  ? static_cast<float>(e * (1.0 + 0x1p-20))
                                  : std::numeric_limits<float>::infinity();
  }
  stamps_[b] = arena.block_stamp(b);
}

void HalfCopy::approx_blocks(std::span<const float> query, size_t nb, const uint32_t* which, float* out) const {
  const size_t parts = nb >= VectorArena::kSplitBlocks ? worker_count() : 1;
  const bool wide = simd_level() >= SimdLevel::Avx512;
  run_chunks(nb, kChunkBlocks, parts, [&](size_t begin, size_t end, size_t) {
    const uint16_t* first = which != nullptr ? halves_.data() : halves_.data() + begin * dims_ * kLanes;
    const uint32_t* listed = which != nullptr ? which + begin : nullptr;
    if (wide) {
      approx_blocks_avx512(first, dims_, end - begin, listed, query.data(), out + begin * kLanes);
    } else {
      approx_blocks_avx2(first, dims_, end - begin, listed, query.data(), out + begin * kLanes);
    }
  });
}

void HalfCopy::approx_dots(std::span<const float> query, std::vector<float>& out) const {
  out.resize(blocks_ * kLanes);
  approx_blocks(query, blocks_, nullptr, out.data());
  out.resize(slot_end_);
}

void HalfCopy::approx_dots_for(std::span<const float> query, std::span<const uint32_t> slots,
                               std::vector<float>& out) const {
  // Every block holding a requested slot is reduced once, whole, in block order.
  const BlockList touched = blocks_of(slots, blocks_);
  std::vector<float> lanes(touched.blocks.size() * kLanes);
  approx_blocks(query, touched.blocks.size(), touched.blocks.data(), lanes.data());
  out.resize(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) out[i] = lanes[touched.lane_of(slots[i])];
}

}  // namespace ormel
