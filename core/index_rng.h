// IndexRng: the deterministic random generator of index training.
//
// Contract:
// - Every IndexRng starts from the same fixed 32-byte seed, so identical inputs give
//   identical indexes on every run and machine.
// - The stream is OpenSSL's ChaCha20 keystream (key = the seed, zero nonce and counter),
//   read in little-endian 32-bit words; no cipher is implemented here.
// - below(n) is unbiased (widening multiply with rejection), independent of the standard
//   library's distributions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ormel {

class IndexRng {
 public:
  IndexRng();
  ~IndexRng();
  IndexRng(const IndexRng&) = delete;
  IndexRng& operator=(const IndexRng&) = delete;

  uint32_t next_u32();
  uint64_t next_u64();  // low word first
  // Uniform in [0, n); n must be at least 1.
  uint64_t below(uint64_t n);
  // Uniform in [0, 1) from the top 24 bits of one word: (word >> 8) * 2^-24.
  float unit_float();

 private:
  void refill();
  struct Cipher;
  std::unique_ptr<Cipher> cipher_;
  static constexpr size_t kBufferBytes = 4096;
  alignas(8) uint8_t buffer_[kBufferBytes];
  size_t pos_ = kBufferBytes;
};

}  // namespace ormel
