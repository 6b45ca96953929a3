// Keys and the page cipher.
//
// Contract:
// - Key material (KEK, DEK) lives only in SecretKey, a fixed 32-byte buffer that is zeroed
//   when destroyed or moved from, on every path.
// - derive_kek is Argon2id v0x13, 32-byte output, no secret, no associated data; the
//   passphrase bytes are used exactly as given. It refuses costs above generous bounds
//   and never starts a thread.
// - AEAD is AES-256-GCM with 12-byte nonces and 16-byte tags; any refusal or
//   authentication failure is Crypto("aead::Error"). Randomness comes from the OpenSSL
//   CSPRNG.
// - crc32 is the reflected CRC-32 of zlib and gzip (0xEDB88320); the one checksum of the
//   file format. crc32_combine gives the CRC of two concatenated spans from their CRCs.
// - PageCipher seals and opens encrypted page images (layout below) with a cipher keyed
//   once; a failed open yields PageAuthFailed(page) and never partially decrypted data.
//
// Encrypted page image (every page but page 0):
//   offset  size  content
//   0       4     page number, u32 LE (low 32 bits)   \ together: the 12-byte nonce
//   4       8     nonce counter, u64 LE                /
//   12      8164  AES-256-GCM ciphertext of the payload
//   8176    16    GCM tag
// Associated data: the page number as u64 LE when the page is bound (format version >= 6),
// else empty.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.h"

struct evp_cipher_ctx_st;

namespace ormel {

inline constexpr size_t PAGE_SIZE = 8192, PAGE_PAYLOAD = 8164, NONCE_LEN = 12, TAG_LEN = 16, KEY_LEN = 32;
using Page = std::array<uint8_t, PAGE_SIZE>;

// 32-byte key buffer, zeroed (OPENSSL_cleanse) when destroyed or moved-from, on every path.
class SecretKey {
 public:
  SecretKey();
  explicit SecretKey(std::span<const uint8_t, KEY_LEN> bytes);
  SecretKey(SecretKey&& other) noexcept;
  SecretKey& operator=(SecretKey&& other) noexcept;
  ~SecretKey();
  SecretKey(const SecretKey&) = delete;
  SecretKey& operator=(const SecretKey&) = delete;
  const uint8_t* data() const { return bytes_.data(); }
  uint8_t* data() { return bytes_.data(); }
  std::span<const uint8_t, KEY_LEN> span() const { return bytes_; }

 private:
  std::array<uint8_t, KEY_LEN> bytes_;
};

struct KdfParams {
  uint32_t m_cost = 19456, t_cost = 2, p_cost = 1;
};
// Upper bounds of the costs derive_kek accepts, far above what files are created with:
// 256 MiB of memory, 16 passes, 64 lanes.
inline constexpr uint32_t kKdfMaxMemoryKib = 262144, kKdfMaxPasses = 16, kKdfMaxLanes = 64;

Status random_bytes(std::span<uint8_t> out);  // OpenSSL RAND_bytes (the CSPRNG)
std::array<uint8_t, NONCE_LEN> random_nonce();
Result<SecretKey> random_key();  // a fresh DEK
// Argon2id v0x13 on the calling thread whatever the lane count. Costs above the bounds are
// KeyDerivation naming the cost, before any work; a refusal by the library is
// KeyDerivation with its description.
Result<SecretKey> derive_kek(std::string_view passphrase, std::span<const uint8_t, 16> salt, KdfParams p);
// ciphertext || tag
Result<std::vector<uint8_t>> aead_encrypt(const SecretKey& key, std::span<const uint8_t, NONCE_LEN> nonce,
                                          std::span<const uint8_t> plaintext, std::span<const uint8_t> aad);
// auth failure -> Crypto("aead::Error")
Result<std::vector<uint8_t>> aead_decrypt(const SecretKey& key, std::span<const uint8_t, NONCE_LEN> nonce,
                                          std::span<const uint8_t> ciphertext_and_tag,
                                          std::span<const uint8_t> aad);
// The DEK encrypted under the KEK with no associated data: 32 bytes of ciphertext, 16 of tag.
Result<std::array<uint8_t, 48>> wrap_dek(const SecretKey& kek, std::span<const uint8_t, NONCE_LEN> nonce,
                                         const SecretKey& dek);
// Any failure -> WrongPassphrase.
Result<SecretKey> unwrap_dek(const SecretKey& kek, std::span<const uint8_t, NONCE_LEN> nonce,
                             std::span<const uint8_t, 48> wrapped);
std::array<uint8_t, 32> sha256(std::span<const uint8_t> data);
uint32_t crc32(std::span<const uint8_t> data, uint32_t running = 0);  // `running` continues a CRC
// crc32(a ++ b) from crc32(a), crc32(b) and the length of b, without reading either.
uint32_t crc32_combine(uint32_t first, uint32_t second, uint64_t second_len);

// The page cipher, with a cipher context keyed once (page operations do not redo the key
// schedule per call).
class PageCipher {
 public:
  explicit PageCipher(const SecretKey& dek);
  PageCipher(PageCipher&&) noexcept;
  PageCipher& operator=(PageCipher&&) noexcept;
  ~PageCipher();

  // image = page(u32 LE) || counter(u64 LE) || ciphertext || tag; aad = page as u64 LE when
  // bind_page, else empty.
  Status seal(uint64_t page, uint64_t counter, bool bind_page, std::span<const uint8_t, PAGE_PAYLOAD> payload,
              std::span<uint8_t, PAGE_SIZE> image);
  // -> PageAuthFailed(page), also when the image's page field is not `page`; the payload
  // is zeroed on failure.
  Status open(uint64_t page, bool bind_page, std::span<const uint8_t, PAGE_SIZE> image,
              std::span<uint8_t, PAGE_PAYLOAD> payload);

 private:
  struct CtxFree {
    void operator()(evp_cipher_ctx_st* ctx) const;
  };
  std::unique_ptr<evp_cipher_ctx_st, CtxFree> enc_;  // keyed for sealing
  std::unique_ptr<evp_cipher_ctx_st, CtxFree> dec_;  // keyed for opening
};

}  // namespace ormel
