#include "core/index_rng.h"

#include <cstdlib>

#include <openssl/evp.h>

namespace ormel {
namespace {

// The fixed seed: the ASCII text "ormel ivfpq training seed v1", zero-padded to 32 bytes.
// Changing it changes every index built from then on (stored indexes stay valid).
constexpr uint8_t kSeed[32] = {'o', 'r', 'm', 'e', 'l', ' ', 'i', 'v', 'f', 'p', 'q',
                               ' ', 't', 'r', 'a', 'i', 'n', 'i', 'n', 'g', ' ', 's',
                               'e', 'e', 'd', ' ', 'v', '1', 0,   0,   0,   0};
constexpr uint8_t kZeros[4096] = {};

// OpenSSL fails here only when it cannot allocate; like any other allocation failure of
// the engine that is not recoverable.
[[noreturn]] void cipher_failure() { std::abort(); }

}  // namespace

struct IndexRng::Cipher {
  EVP_CIPHER_CTX* ctx = nullptr;
  ~Cipher() { EVP_CIPHER_CTX_free(ctx); }
};

IndexRng::IndexRng() : cipher_(std::make_unique<Cipher>()) {
  static_assert(sizeof(kZeros) == kBufferBytes);
  // 16-byte IV of EVP_chacha20: 32-bit block counter then 96-bit nonce, all zero.
  const uint8_t iv[16] = {};
  cipher_->ctx = EVP_CIPHER_CTX_new();
  if (cipher_->ctx == nullptr ||
      EVP_EncryptInit_ex(cipher_->ctx, EVP_chacha20(), nullptr, kSeed, iv) != 1) {
    cipher_failure();
  }
}

IndexRng::~IndexRng() = default;

void IndexRng::refill() {
  // Encrypting zeros yields the raw keystream; the context carries the counter forward.
  int out_len = 0;
  if (EVP_EncryptUpdate(cipher_->ctx, buffer_, &out_len, kZeros, static_cast<int>(kBufferBytes)) != 1 ||
      out_len != static_cast<int>(kBufferBytes)) {
    cipher_failure();
  }
  pos_ = 0;
}

uint32_t IndexRng::next_u32() {
  if (pos_ + 4 > kBufferBytes) refill();
  const uint8_t* p = buffer_ + pos_;
  pos_ += 4;
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint64_t IndexRng::next_u64() {
  uint64_t lo = next_u32();
  return lo | uint64_t{next_u32()} << 32;
}

uint64_t IndexRng::below(uint64_t n) {
  // Lemire: the high word of x * n is uniform in [0, n) once products whose low word
  // falls below 2^64 mod n are rejected.
  unsigned __int128 m = static_cast<unsigned __int128>(next_u64()) * n;
  uint64_t low = static_cast<uint64_t>(m);
  if (low < n) {
    const uint64_t threshold = (0 - n) % n;
    while (low < threshold) {
      m = static_cast<unsigned __int128>(next_u64()) * n;
      low = static_cast<uint64_t>(m);
    }
  }
  return static_cast<uint64_t>(m >> 64);
}

float IndexRng::unit_float() { return static_cast<float>(next_u32() >> 8) * 0x1p-24f; }

}  // namespace ormel
