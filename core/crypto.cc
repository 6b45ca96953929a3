#include "core/crypto.h"

#include <argon2.h>
#include <isa-l/crc.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <zlib.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/byte_order.h"

namespace ormel {
namespace {

// GCM accepts at most 2^36 bytes of plaintext; associated data is held to the same bound.
constexpr uint64_t kGcmMaxBytes = uint64_t{1} << 36;
// EVP update calls take an int length: longer inputs are fed in pieces.
constexpr size_t kEvpChunk = size_t{1} << 30;

OrmelError aead_error() { return OrmelError::crypto("aead::Error"); }

using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CtxPtr new_ctx() { return CtxPtr(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free); }

// Keys `ctx` for AES-256-GCM in the given direction (the key schedule is built here, once).
bool key_ctx(EVP_CIPHER_CTX* ctx, const SecretKey& key, bool encrypt) {
  return ctx && EVP_CipherInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), nullptr, encrypt ? 1 : 0) == 1;
}

bool feed_aad(EVP_CIPHER_CTX* ctx, std::span<const uint8_t> aad) {
  int n = 0;
  for (size_t off = 0; off < aad.size(); off += kEvpChunk) {
    size_t len = std::min(kEvpChunk, aad.size() - off);
    if (EVP_CipherUpdate(ctx, nullptr, &n, aad.data() + off, static_cast<int>(len)) != 1) return false;
  }
  return true;
}

bool feed_data(EVP_CIPHER_CTX* ctx, std::span<const uint8_t> in, uint8_t* out) {
  int n = 0;
  for (size_t off = 0; off < in.size(); off += kEvpChunk) {
    size_t len = std::min(kEvpChunk, in.size() - off);
    if (EVP_CipherUpdate(ctx, out + off, &n, in.data() + off, static_cast<int>(len)) != 1) return false;
  }
  return true;
}

// One GCM encryption on a keyed context: only the nonce is set per call.
bool gcm_seal(EVP_CIPHER_CTX* ctx, std::span<const uint8_t, NONCE_LEN> nonce, std::span<const uint8_t> plaintext,
              std::span<const uint8_t> aad, uint8_t* out, uint8_t* tag) {
  if (plaintext.size() > kGcmMaxBytes || aad.size() > kGcmMaxBytes) return false;
  int n = 0;
  return EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data()) == 1 && feed_aad(ctx, aad) &&
         feed_data(ctx, plaintext, out) && EVP_EncryptFinal_ex(ctx, out + plaintext.size(), &n) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, TAG_LEN, tag) == 1;
}

// One GCM decryption on a keyed context; false on refusal or authentication failure.
bool gcm_open(EVP_CIPHER_CTX* ctx, std::span<const uint8_t, NONCE_LEN> nonce, std::span<const uint8_t> ciphertext,
              std::span<const uint8_t, TAG_LEN> tag, std::span<const uint8_t> aad, uint8_t* out) {
  if (ciphertext.size() > kGcmMaxBytes || aad.size() > kGcmMaxBytes) return false;
  int n = 0;
  return EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data()) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, TAG_LEN, const_cast<uint8_t*>(tag.data())) == 1 &&
         feed_aad(ctx, aad) && feed_data(ctx, ciphertext, out) &&
         EVP_DecryptFinal_ex(ctx, out + ciphertext.size(), &n) == 1;
}

}  // namespace

SecretKey::SecretKey() { bytes_.fill(0); }
SecretKey::SecretKey(std::span<const uint8_t, KEY_LEN> bytes) { std::memcpy(bytes_.data(), bytes.data(), KEY_LEN); }
SecretKey::SecretKey(SecretKey&& other) noexcept : bytes_(other.bytes_) {
  OPENSSL_cleanse(other.bytes_.data(), KEY_LEN);
}
SecretKey& SecretKey::operator=(SecretKey&& other) noexcept {
  if (this != &other) {
    bytes_ = other.bytes_;
    OPENSSL_cleanse(other.bytes_.data(), KEY_LEN);
  }
  return *this;
}
SecretKey::~SecretKey() { OPENSSL_cleanse(bytes_.data(), KEY_LEN); }

Status random_bytes(std::span<uint8_t> out) {
  for (size_t off = 0; off < out.size(); off += kEvpChunk) {
    size_t len = std::min(kEvpChunk, out.size() - off);
    if (RAND_bytes(out.data() + off, static_cast<int>(len)) != 1) {
      return fail(OrmelError::crypto("random generator failure"));
    }
  }
  return {};
}

std::array<uint8_t, NONCE_LEN> random_nonce() {
  std::array<uint8_t, NONCE_LEN> nonce;
  // A nonce that is not random could repeat under one key; with no way to report the
  // failure here, a broken CSPRNG ends the process.
  if (!random_bytes(nonce)) std::abort();
  return nonce;
}

Result<SecretKey> random_key() {
  SecretKey key;
  ORMEL_TRY(random_bytes(std::span<uint8_t>(key.data(), KEY_LEN)));
  return key;
}

Result<SecretKey> derive_kek(std::string_view passphrase, std::span<const uint8_t, 16> salt, KdfParams p) {
  // The costs come from a header field that nothing authenticates before this call: a
  // value beyond the bounds would make the derivation run for hours or take gigabytes.
  auto out_of_bounds = [](const char* what, uint32_t value, uint32_t max, const char* unit) {
    return fail(OrmelError::key_derivation(std::string(what) + " " + std::to_string(value) + unit +
                                           " exceeds the limit of " + std::to_string(max) + unit));
  };
  if (p.m_cost > kKdfMaxMemoryKib) return out_of_bounds("memory cost", p.m_cost, kKdfMaxMemoryKib, " KiB");
  if (p.t_cost > kKdfMaxPasses) return out_of_bounds("pass count", p.t_cost, kKdfMaxPasses, "");
  if (p.p_cost > kKdfMaxLanes) return out_of_bounds("lane count", p.p_cost, kKdfMaxLanes, "");
  if (passphrase.size() > UINT32_MAX) return fail(OrmelError::key_derivation(argon2_error_message(ARGON2_PWD_TOO_LONG)));

  SecretKey kek;
  argon2_context ctx{};
  ctx.out = kek.data();
  ctx.outlen = KEY_LEN;
  // Argon2 never writes through pwd; its context type is merely not const-qualified.
  ctx.pwd = reinterpret_cast<uint8_t*>(const_cast<char*>(passphrase.data()));
  ctx.pwdlen = static_cast<uint32_t>(passphrase.size());
  ctx.salt = const_cast<uint8_t*>(salt.data());
  ctx.saltlen = static_cast<uint32_t>(salt.size());
  ctx.t_cost = p.t_cost;
  ctx.m_cost = p.m_cost;
  ctx.lanes = p.p_cost;
  // The lane count shapes the result; the thread count does not. One thread: the calling one.
  ctx.threads = 1;
  ctx.version = ARGON2_VERSION_13;
  ctx.flags = ARGON2_DEFAULT_FLAGS;
  int rc = argon2_ctx(&ctx, Argon2_id);
  if (rc != ARGON2_OK) return fail(OrmelError::key_derivation(argon2_error_message(rc)));
  return kek;
}

Result<std::vector<uint8_t>> aead_encrypt(const SecretKey& key, std::span<const uint8_t, NONCE_LEN> nonce,
                                          std::span<const uint8_t> plaintext, std::span<const uint8_t> aad) {
  CtxPtr ctx = new_ctx();
  std::vector<uint8_t> out(plaintext.size() + TAG_LEN);
  if (!key_ctx(ctx.get(), key, true) ||
      !gcm_seal(ctx.get(), nonce, plaintext, aad, out.data(), out.data() + plaintext.size())) {
    return fail(aead_error());
  }
  return out;
}

Result<std::vector<uint8_t>> aead_decrypt(const SecretKey& key, std::span<const uint8_t, NONCE_LEN> nonce,
                                          std::span<const uint8_t> ciphertext_and_tag,
                                          std::span<const uint8_t> aad) {
  if (ciphertext_and_tag.size() < TAG_LEN) return fail(aead_error());
  size_t len = ciphertext_and_tag.size() - TAG_LEN;
  CtxPtr ctx = new_ctx();
  std::vector<uint8_t> out(len);
  if (!key_ctx(ctx.get(), key, false) ||
      !gcm_open(ctx.get(), nonce, ciphertext_and_tag.first(len), ciphertext_and_tag.subspan(len).first<TAG_LEN>(),
                aad, out.data())) {
    OPENSSL_cleanse(out.data(), out.size());
    return fail(aead_error());
  }
  return out;
}

Result<std::array<uint8_t, 48>> wrap_dek(const SecretKey& kek, std::span<const uint8_t, NONCE_LEN> nonce,
                                         const SecretKey& dek) {
  ORMEL_ASSIGN(std::vector<uint8_t> sealed, aead_encrypt(kek, nonce, dek.span(), {}));
  if (sealed.size() != 48) return fail(OrmelError::crypto("unexpected wrapped DEK length"));
  std::array<uint8_t, 48> wrapped;
  std::memcpy(wrapped.data(), sealed.data(), wrapped.size());
  return wrapped;
}

Result<SecretKey> unwrap_dek(const SecretKey& kek, std::span<const uint8_t, NONCE_LEN> nonce,
                             std::span<const uint8_t, 48> wrapped) {
  auto plain = aead_decrypt(kek, nonce, wrapped, {});
  if (!plain) return fail(OrmelError::wrong_passphrase());
  // Wrapped with a 16-byte tag, the plaintext is always 32 bytes long.
  SecretKey dek(std::span<const uint8_t, KEY_LEN>(plain->data(), KEY_LEN));
  OPENSSL_cleanse(plain->data(), plain->size());
  return dek;
}

std::array<uint8_t, 32> sha256(std::span<const uint8_t> data) {
  std::array<uint8_t, 32> digest{};
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &len, EVP_sha256(), nullptr);
  return digest;
}

uint32_t crc32(std::span<const uint8_t> data, uint32_t running) {
  // ISA-L's reflected gzip CRC picks a carry-less-multiply path at run time; it yields
  // zlib's crc32 bit for bit, continuation included.
  return crc32_gzip_refl(running, data.data(), data.size());
}

uint32_t crc32_combine(uint32_t first, uint32_t second, uint64_t second_len) {
  return static_cast<uint32_t>(::crc32_combine(first, second, static_cast<z_off_t>(second_len)));
}

void PageCipher::CtxFree::operator()(evp_cipher_ctx_st* ctx) const { EVP_CIPHER_CTX_free(ctx); }

PageCipher::PageCipher(const SecretKey& dek) : enc_(EVP_CIPHER_CTX_new()), dec_(EVP_CIPHER_CTX_new()) {
  // A context that cannot be keyed is dropped; seal and open then report Crypto.
  if (!key_ctx(enc_.get(), dek, true)) enc_.reset();
  if (!key_ctx(dec_.get(), dek, false)) dec_.reset();
}
PageCipher::PageCipher(PageCipher&&) noexcept = default;
PageCipher& PageCipher::operator=(PageCipher&&) noexcept = default;
PageCipher::~PageCipher() = default;

Status PageCipher::seal(uint64_t page, uint64_t counter, bool bind_page,
                        std::span<const uint8_t, PAGE_PAYLOAD> payload, std::span<uint8_t, PAGE_SIZE> image) {
  if (!enc_) return fail(aead_error());
  store_le(image.data(), static_cast<uint32_t>(page));
  store_le(image.data() + 4, counter);
  std::array<uint8_t, 8> aad;
  store_le(aad.data(), page);
  if (!gcm_seal(enc_.get(), image.first<NONCE_LEN>(), payload,
                bind_page ? std::span<const uint8_t>(aad) : std::span<const uint8_t>(), image.data() + NONCE_LEN,
                image.data() + NONCE_LEN + PAGE_PAYLOAD)) {
    return fail(aead_error());
  }
  return {};
}

Status PageCipher::open(uint64_t page, bool bind_page, std::span<const uint8_t, PAGE_SIZE> image,
                        std::span<uint8_t, PAGE_PAYLOAD> payload) {
  if (!dec_) return fail(aead_error());
  // A genuine image carries its own page number in the nonce; checking it makes an image
  // sealed without associated data authenticate only at its own page too.
  if (load_le<uint32_t>(image.data()) != static_cast<uint32_t>(page)) {
    OPENSSL_cleanse(payload.data(), payload.size());
    return fail(OrmelError::page_auth_failed(page));
  }
  std::array<uint8_t, 8> aad;
  store_le(aad.data(), page);
  if (!gcm_open(dec_.get(), image.first<NONCE_LEN>(), image.subspan<NONCE_LEN, PAGE_PAYLOAD>(),
                image.subspan<NONCE_LEN + PAGE_PAYLOAD, TAG_LEN>(),
                bind_page ? std::span<const uint8_t>(aad) : std::span<const uint8_t>(), payload.data())) {
    OPENSSL_cleanse(payload.data(), payload.size());
    return fail(OrmelError::page_auth_failed(page));
  }
  return {};
}

}  // namespace ormel
