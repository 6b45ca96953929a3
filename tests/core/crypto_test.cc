// Keys, AEAD, checksums and the page cipher.
#include "core/crypto.h"

#include <argon2.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// Counts the threads this process starts, so a test can show the key derivation starts
// none: the executable's definition interposes on the C library's for every caller.
static std::atomic<int> threads_started{0};
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  threads_started.fetch_add(1);
  return real(thread, attr, start, arg);
}

namespace ormel {
namespace {

// Argon2 parameters small enough for quick tests; the defaults are used where they matter.
constexpr KdfParams kFastKdf{64, 1, 1};

std::array<uint8_t, 16> salt_of(uint8_t fill) {
  std::array<uint8_t, 16> salt;
  salt.fill(fill);
  return salt;
}

SecretKey key_of(uint8_t fill) {
  std::array<uint8_t, KEY_LEN> bytes;
  bytes.fill(fill);
  return SecretKey(bytes);
}

std::vector<uint8_t> bytes_of(const SecretKey& k) { return {k.data(), k.data() + KEY_LEN}; }

TEST(Kdf, EmptyPassphraseDerivesAStableKeyWithDefaultParameters) {
  auto a = derive_kek("", salt_of(1), KdfParams{});
  auto b = derive_kek("", salt_of(1), KdfParams{});
  auto other = derive_kek("x", salt_of(1), KdfParams{});
  ASSERT_TRUE(a && b && other);
  EXPECT_EQ(bytes_of(*a), bytes_of(*b));
  EXPECT_NE(bytes_of(*a), bytes_of(*other));
  EXPECT_NE(bytes_of(*a), std::vector<uint8_t>(KEY_LEN, 0));
}

TEST(Kdf, SaltAndParametersChangeTheKey) {
  auto base = derive_kek("pass", salt_of(1), kFastKdf);
  auto salted = derive_kek("pass", salt_of(2), kFastKdf);
  auto costlier = derive_kek("pass", salt_of(1), KdfParams{64, 2, 1});
  ASSERT_TRUE(base && salted && costlier);
  EXPECT_NE(bytes_of(*base), bytes_of(*salted));
  EXPECT_NE(bytes_of(*base), bytes_of(*costlier));
}

TEST(Kdf, RefusedParametersAreKeyDerivationErrors) {
  auto r = derive_kek("pass", salt_of(1), KdfParams{1, 2, 1});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::KeyDerivation);
  EXPECT_EQ(r.error().message(), "key derivation failed: Memory cost is too small");
  auto lanes = derive_kek("pass", salt_of(1), KdfParams{64, 1, 0});
  ASSERT_FALSE(lanes);
  EXPECT_EQ(lanes.error().kind(), ErrorKind::KeyDerivation);
}

// Costs read from an unauthenticated header: refused before any work, however large.
TEST(Kdf, CostsBeyondTheBoundsAreRefusedAtOnce) {
  struct Case {
    KdfParams params;
    const char* message;
  };
  const Case cases[] = {
      {{1048576, 2, 1}, "key derivation failed: memory cost 1048576 KiB exceeds the limit of 262144 KiB"},
      {{UINT32_MAX, 2, 1}, "key derivation failed: memory cost 4294967295 KiB exceeds the limit of 262144 KiB"},
      {{19456, UINT32_MAX, 1}, "key derivation failed: pass count 4294967295 exceeds the limit of 16"},
      {{19456, 17, 1}, "key derivation failed: pass count 17 exceeds the limit of 16"},
      {{65536, 2, 1001}, "key derivation failed: lane count 1001 exceeds the limit of 64"},
  };
  for (const Case& c : cases) {
    auto r = derive_kek("pass", salt_of(1), c.params);
    ASSERT_FALSE(r) << c.message;
    EXPECT_EQ(r.error().kind(), ErrorKind::KeyDerivation);
    EXPECT_EQ(r.error().message(), c.message);
  }
  // The bounds themselves are accepted.
  EXPECT_TRUE(derive_kek("pass", salt_of(1), KdfParams{512, kKdfMaxPasses, kKdfMaxLanes}));
}

// Several lanes give the library's own result, computed without starting a thread.
TEST(Kdf, LanesAreDerivedOnTheCallingThread) {
  for (uint32_t lanes : {2u, 4u, 8u}) {
    std::array<uint8_t, KEY_LEN> expected{};
    const auto salt = salt_of(5);
    ASSERT_EQ(argon2_hash(1, 64 * lanes, lanes, "pass", 4, salt.data(), salt.size(), expected.data(), KEY_LEN,
                          nullptr, 0, Argon2_id, ARGON2_VERSION_13),
              ARGON2_OK);
    const int before = threads_started.load();
    auto kek = derive_kek("pass", salt, KdfParams{64 * lanes, 1, lanes});
    EXPECT_EQ(threads_started.load(), before) << lanes << " lanes";
    ASSERT_TRUE(kek);
    EXPECT_EQ(bytes_of(*kek), std::vector<uint8_t>(expected.begin(), expected.end())) << lanes << " lanes";
  }
}

TEST(Random, FreshKeysAndNoncesDiffer) {
  auto k1 = random_key();
  auto k2 = random_key();
  ASSERT_TRUE(k1 && k2);
  EXPECT_NE(bytes_of(*k1), bytes_of(*k2));
  EXPECT_NE(random_nonce(), random_nonce());
}

TEST(SecretKeyBuffer, MovedFromKeyIsZeroed) {
  SecretKey a = key_of(0xAB);
  SecretKey b(std::move(a));
  EXPECT_EQ(bytes_of(a), std::vector<uint8_t>(KEY_LEN, 0));
  EXPECT_EQ(bytes_of(b), std::vector<uint8_t>(KEY_LEN, 0xAB));
  SecretKey c;
  c = std::move(b);
  EXPECT_EQ(bytes_of(b), std::vector<uint8_t>(KEY_LEN, 0));
  EXPECT_EQ(bytes_of(c), std::vector<uint8_t>(KEY_LEN, 0xAB));
}

TEST(Aead, RoundTripAndEveryInputIsAuthenticated) {
  SecretKey key = key_of(7);
  auto nonce = random_nonce();
  std::vector<uint8_t> plain = {1, 2, 3, 4, 5};
  std::vector<uint8_t> aad = {9, 9};
  auto sealed = aead_encrypt(key, nonce, plain, aad);
  ASSERT_TRUE(sealed);
  ASSERT_EQ(sealed->size(), plain.size() + TAG_LEN);
  auto opened = aead_decrypt(key, nonce, *sealed, aad);
  ASSERT_TRUE(opened);
  EXPECT_EQ(*opened, plain);

  auto expect_refused = [](const Result<std::vector<uint8_t>>& r) {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "cryptographic operation failed: aead::Error");
  };
  std::vector<uint8_t> flipped = *sealed;
  flipped[0] ^= 1;
  expect_refused(aead_decrypt(key, nonce, flipped, aad));
  flipped = *sealed;
  flipped.back() ^= 1;
  expect_refused(aead_decrypt(key, nonce, flipped, aad));
  expect_refused(aead_decrypt(key, nonce, *sealed, std::vector<uint8_t>{9}));
  expect_refused(aead_decrypt(key_of(8), nonce, *sealed, aad));
  expect_refused(aead_decrypt(key, nonce, std::span(*sealed).first(TAG_LEN - 1), aad));
}

TEST(Aead, EmptyPlaintextYieldsTheTagAlone) {
  SecretKey key = key_of(7);
  auto nonce = random_nonce();
  std::vector<uint8_t> aad = {1, 2, 3};
  auto tag = aead_encrypt(key, nonce, {}, aad);
  ASSERT_TRUE(tag);
  EXPECT_EQ(tag->size(), TAG_LEN);
  auto opened = aead_decrypt(key, nonce, *tag, aad);
  ASSERT_TRUE(opened);
  EXPECT_TRUE(opened->empty());
}

// Wrapping: a round trip, then every byte that feeds the unwrap is tampered with in turn.
TEST(WrapDek, RoundTripAndAnyChangeIsWrongPassphrase) {
  auto kek = derive_kek("correct horse", salt_of(3), kFastKdf);
  auto dek = random_key();
  ASSERT_TRUE(kek && dek);
  auto nonce = random_nonce();
  auto wrapped = wrap_dek(*kek, nonce, *dek);
  ASSERT_TRUE(wrapped);
  auto unwrapped = unwrap_dek(*kek, nonce, *wrapped);
  ASSERT_TRUE(unwrapped);
  EXPECT_EQ(bytes_of(*unwrapped), bytes_of(*dek));

  for (size_t bit : {0u, 100u, 255u, 256u, 383u}) {  // ciphertext bits, then tag bits
    auto bad = *wrapped;
    bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    auto r = unwrap_dek(*kek, nonce, bad);
    ASSERT_FALSE(r) << "bit " << bit;
    EXPECT_EQ(r.error().message(), "wrong passphrase, or the key material has been tampered with");
  }
  auto bad_nonce = nonce;
  bad_nonce[11] ^= 0x80;
  EXPECT_EQ(unwrap_dek(*kek, bad_nonce, *wrapped).error().kind(), ErrorKind::WrongPassphrase);
  auto wrong_kek = derive_kek("correct horsf", salt_of(3), kFastKdf);
  ASSERT_TRUE(wrong_kek);
  EXPECT_EQ(unwrap_dek(*wrong_kek, nonce, *wrapped).error().kind(), ErrorKind::WrongPassphrase);
}

TEST(Checksums, KnownAnswers) {
  std::string s = "123456789";
  std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  EXPECT_EQ(crc32(data), 0xCBF43926u);
  EXPECT_EQ(crc32(data.subspan(4), crc32(data.first(4))), 0xCBF43926u);
  EXPECT_EQ(crc32({}), 0u);

  std::string abc = "abc";
  auto digest = sha256(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()));
  const uint8_t expected[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  EXPECT_EQ(std::memcmp(digest.data(), expected, 32), 0);
}

// Values from an independent CRC-32 (Python's zlib.crc32); the lengths cover the short tail,
// one page, one log frame and a buffer long enough for the folding loop.
TEST(Checksums, Crc32MatchesReferenceValuesAtEveryLengthClass) {
  auto pattern = [](size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 31 + 7);
    return out;
  };
  auto text = [](std::string_view t) { return std::vector<uint8_t>(t.begin(), t.end()); };
  const struct {
    std::vector<uint8_t> data;
    uint32_t crc;
  } cases[] = {
      {text("a"), 0xE8B7BE43u},
      {text("The quick brown fox jumps over the lazy dog"), 0x414FA339u},
      {pattern(8192), 0x2EB8EEA8u},
      {pattern(8221), 0x53AADECAu},
      {pattern(1000003), 0xAAE54D7Bu},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data.size());
    std::span<const uint8_t> all(c.data);
    EXPECT_EQ(crc32(all), c.crc);
    for (size_t split : {size_t{0}, size_t{1}, all.size() / 3, all.size() - 1}) {
      const uint32_t head = crc32(all.first(split));
      const uint32_t tail = crc32(all.subspan(split));
      EXPECT_EQ(crc32(all.subspan(split), head), c.crc) << "continued at " << split;
      EXPECT_EQ(crc32_combine(head, tail, all.size() - split), c.crc) << "combined at " << split;
    }
  }
}

class PageCipherTest : public ::testing::Test {
 protected:
  PageCipherTest() : dek_(key_of(0x42)), cipher_(dek_) {
    for (size_t i = 0; i < payload_.size(); ++i) payload_[i] = static_cast<uint8_t>(i * 31 + 7);
  }

  Page seal(uint64_t page, uint64_t counter, bool bind) {
    Page image{};
    EXPECT_TRUE(cipher_.seal(page, counter, bind, payload_, image));
    return image;
  }

  Status open(uint64_t page, bool bind, const Page& image, std::array<uint8_t, PAGE_PAYLOAD>& out) {
    return cipher_.open(page, bind, image, out);
  }

  SecretKey dek_;
  PageCipher cipher_;
  std::array<uint8_t, PAGE_PAYLOAD> payload_;
};

// The image is exactly page || counter || AES-GCM(DEK, those 12 bytes, payload, aad).
TEST_F(PageCipherTest, ImageLayoutMatchesAeadOverTheStoredNonce) {
  for (bool bind : {false, true}) {
    uint64_t page = 0x1'0000'0005ull;  // only the low 32 bits go into the nonce
    Page image = seal(page, 0x0102030405060708ull, bind);
    const uint8_t head[12] = {5, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1};
    ASSERT_EQ(std::memcmp(image.data(), head, 12), 0);
    std::vector<uint8_t> aad;
    if (bind) aad = {5, 0, 0, 0, 1, 0, 0, 0};
    auto expected = aead_encrypt(dek_, std::span<const uint8_t, NONCE_LEN>(image.data(), NONCE_LEN), payload_, aad);
    ASSERT_TRUE(expected);
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + NONCE_LEN, image.end()), *expected) << "bind " << bind;
  }
}

TEST_F(PageCipherTest, ResealingGivesNewImagesThatOpenToTheSamePayload) {
  Page first = seal(12, 1, true);
  Page second = seal(12, 2, true);
  EXPECT_NE(first, second);
  for (const Page* image : {&first, &second}) {
    std::array<uint8_t, PAGE_PAYLOAD> out{};
    ASSERT_TRUE(open(12, true, *image, out));
    EXPECT_EQ(out, payload_);
  }
}

TEST_F(PageCipherTest, ImageAtAnotherPageFailsForThePageRead) {
  for (bool bind : {false, true}) {
    Page image = seal(12, 1, bind);
    std::array<uint8_t, PAGE_PAYLOAD> out{};
    auto r = open(13, bind, image, out);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "page 13: failed authentication — the file is corrupt or tampered");
    // Even with the page field rewritten to match, the bound page number is authenticated.
    if (bind) {
      image[0] = 13;
      EXPECT_EQ(open(13, true, image, out).error(), OrmelError::page_auth_failed(13));
    }
  }
}

TEST_F(PageCipherTest, TamperedImageFailsAndLeavesNoPlaintext) {
  struct Case {
    const char* what;
    size_t offset;
  } cases[] = {{"counter", 4}, {"ciphertext", 100}, {"tag", PAGE_SIZE - 1}};
  for (const Case& c : cases) {
    Page image = seal(3, 9, true);
    image[c.offset] ^= 0x01;
    std::array<uint8_t, PAGE_PAYLOAD> out;
    out.fill(0xEE);
    auto r = open(3, true, image, out);
    ASSERT_FALSE(r) << c.what;
    EXPECT_EQ(r.error(), OrmelError::page_auth_failed(3)) << c.what;
    EXPECT_EQ(out, (std::array<uint8_t, PAGE_PAYLOAD>{})) << c.what;
  }
}

TEST_F(PageCipherTest, AssociatedDataRuleMustMatch) {
  Page unbound = seal(4, 1, false);
  Page bound = seal(4, 2, true);
  std::array<uint8_t, PAGE_PAYLOAD> out{};
  EXPECT_FALSE(open(4, true, unbound, out));
  EXPECT_FALSE(open(4, false, bound, out));
  EXPECT_TRUE(open(4, false, unbound, out));
  EXPECT_TRUE(open(4, true, bound, out));
}

}  // namespace
}  // namespace ormel
