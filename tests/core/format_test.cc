// The header page: layout, parsing order, CRC and seal.
#include "core/format.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/byte_order.h"

namespace ormel {
namespace {

class HeaderTest : public ::testing::Test {
 protected:
  HeaderTest() : dek_(*random_key()) {}

  // Every field distinct, so a field written at the wrong offset shows.
  static Header sample(uint16_t version) {
    Header h;
    h.format_version = version;
    h.dimensions = 384;
    h.created_at = 1'700'000'000;
    h.nonce_counter = 11;
    h.page_count = 12;
    h.catalog_start = 13;
    h.catalog_pages = 14;
    h.catalog_len = 15;
    h.memory_count = 16;
    h.kdf_m_cost = 19456;
    h.kdf_t_cost = 2;
    h.kdf_p_cost = 1;
    for (size_t i = 0; i < 16; ++i) h.kdf_salt[i] = static_cast<uint8_t>(0xA0 + i);
    for (size_t i = 0; i < 12; ++i) h.dek_nonce[i] = static_cast<uint8_t>(0xB0 + i);
    for (size_t i = 0; i < 48; ++i) h.wrapped_dek[i] = static_cast<uint8_t>(0xC0 + i);
    h.index_start = 17;
    h.index_pages = 18;
    h.index_len = 19;
    h.wal_start = 20;
    h.wal_pages = 21;
    h.txn_id = 22;
    h.manifest_start = 23;
    h.manifest_pages = 24;
    h.manifest_len = 25;
    h.cache_dir_start = 26;
    h.cache_dir_pages = 27;
    h.cache_dir_len = 28;
    return h;
  }

  Page sealed_page(uint16_t version) {
    Header h = sample(version);
    auto page = seal_header(h, dek_);
    EXPECT_TRUE(page);
    return *page;
  }

  static void fix_crc(Page& page) { store_le(page.data() + 238, crc32(std::span(page).first(238))); }

  SecretKey dek_;
};

TEST_F(HeaderTest, Version8PageLayout) {
  Page page = sealed_page(8);
  EXPECT_EQ(std::memcmp(page.data(), "ORME", 4), 0);
  struct Field {
    size_t offset, size;
    uint64_t value;
  } fields[] = {{4, 2, 8},     {6, 4, 8192},  {10, 4, 1},    {14, 4, 384},   {18, 8, 1'700'000'000},
                {26, 8, 11},   {34, 8, 12},   {42, 8, 13},   {50, 8, 14},    {58, 8, 15},
                {66, 8, 16},   {74, 4, 19456}, {78, 4, 2},   {82, 4, 1},     {162, 8, 17},
                {170, 8, 18},  {178, 8, 19},  {186, 8, 20},  {194, 8, 21},   {202, 8, 22},
                {210, 4, 0},   {214, 8, 23},  {222, 8, 24},  {230, 8, 25},   {270, 8, 26},
                {278, 8, 27},  {286, 8, 28}};
  for (const Field& f : fields) {
    uint64_t got = 0;
    for (size_t i = 0; i < f.size; ++i) got |= uint64_t{page[f.offset + i]} << (8 * i);
    EXPECT_EQ(got, f.value) << "offset " << f.offset;
  }
  EXPECT_EQ(page[86], 0xA0);
  EXPECT_EQ(page[101], 0xAF);
  EXPECT_EQ(page[102], 0xB0);
  EXPECT_EQ(page[114], 0xC0);
  EXPECT_EQ(page[161], 0xC0 + 47);
  EXPECT_EQ(load_le<uint32_t>(page.data() + 238), crc32(std::span(page).first(238)));
  for (size_t i = 294; i < PAGE_SIZE; ++i) ASSERT_EQ(page[i], 0) << "byte " << i;

  // The seal sits at 242 (nonce) and 254 (tag) and authenticates under the DEK.
  auto parsed = from_page(page);
  ASSERT_TRUE(parsed);
  ASSERT_TRUE(parsed->seal_nonce && parsed->seal_tag);
  EXPECT_EQ(std::memcmp(parsed->seal_nonce->data(), page.data() + 242, 12), 0);
  auto tag = aead_encrypt(dek_, *parsed->seal_nonce, {}, header_seal_aad(*parsed));
  ASSERT_TRUE(tag);
  EXPECT_EQ(std::memcmp(tag->data(), page.data() + 254, 16), 0);
  EXPECT_TRUE(validate_seal(*parsed, dek_));
}

TEST_F(HeaderTest, ToPageLeavesTheSealBytesZero) {
  Page page = to_page(sample(8));
  for (size_t i = 242; i < 270; ++i) EXPECT_EQ(page[i], 0) << "byte " << i;
}

TEST_F(HeaderTest, SealAssociatedData) {
  for (auto [version, length] : {std::pair<uint16_t, size_t>{7, 142}, {8, 166}}) {
    std::vector<uint8_t> aad = header_seal_aad(sample(version));
    ASSERT_EQ(aad.size(), length);
    EXPECT_EQ(std::string(aad.begin(), aad.begin() + 20), "ormel-header-seal-v7");
    EXPECT_EQ(load_le<uint16_t>(aad.data() + 20), version);
    EXPECT_EQ(load_le<uint64_t>(aad.data() + 22), 11u);               // nonce_counter first
    EXPECT_EQ(load_le<uint64_t>(aad.data() + 22 + 11 * 8), 22u);      // txn_id
    EXPECT_EQ(load_le<uint64_t>(aad.data() + 22 + 14 * 8), 25u);      // manifest_len
    if (version == 8) {
      EXPECT_EQ(load_le<uint64_t>(aad.data() + 142 + 16), 28u);  // cache_dir_len
    }
  }
}

// What each version keeps of a header: the seal from 7 on, cache-directory fields only in 8.
TEST_F(HeaderTest, RoundTripPerVersion) {
  for (uint16_t version : {4, 5, 6, 7, 8}) {
    Header h = sample(version);
    auto page = seal_header(h, dek_);
    ASSERT_TRUE(page);
    auto parsed = from_page(*page);
    ASSERT_TRUE(parsed) << version;
    Header expected = h;
    if (version < 8) expected.cache_dir_start = expected.cache_dir_pages = expected.cache_dir_len = 0;
    EXPECT_EQ(parsed->seal_nonce.has_value(), version >= 7);
    EXPECT_EQ(*parsed, expected) << "version " << version;
    EXPECT_TRUE(validate_seal(*parsed, dek_));
  }
}

TEST_F(HeaderTest, ParseErrorsComeInOrder) {
  auto with = [&](const char* magic, uint16_t version, bool good_crc) {
    Page page = to_page(sample(8));
    std::memcpy(page.data(), magic, 4);
    store_le(page.data() + 4, version);
    fix_crc(page);
    if (!good_crc) page[238] ^= 1;
    return page;
  };
  struct Case {
    const char* what;
    Page page;
    OrmelError error;
  } cases[] = {
      {"zero page", Page{}, OrmelError::bad_magic()},
      {"bad magic before version and crc", with("ORMF", 10, false), OrmelError::bad_magic()},
      {"version 3 before crc", with("ORME", 3, false), OrmelError::unsupported_version(3)},
      {"version 10 before crc", with("ORME", 10, false), OrmelError::unsupported_version(10)},
      {"crc", with("ORME", 8, false), OrmelError::header_checksum()},
  };
  for (const Case& c : cases) {
    auto r = from_page(c.page);
    ASSERT_FALSE(r) << c.what;
    EXPECT_EQ(r.error(), c.error) << c.what;
  }
  EXPECT_TRUE(from_page(with("ORME", 4, true)));
}

TEST_F(HeaderTest, CrcCoversBytes0To238Only) {
  Page page = sealed_page(8);
  Page reserved = page;
  reserved[211] = 1;
  EXPECT_EQ(from_page(reserved).error(), OrmelError::header_checksum());
  Page dims = page;
  dims[14] ^= 1;
  EXPECT_EQ(from_page(dims).error(), OrmelError::header_checksum());
  Page beyond = page;
  beyond[5000] = 1;
  EXPECT_TRUE(from_page(beyond));
}

// A sealed field edited with the CRC recomputed: the seal catches it from version 7 on.
TEST_F(HeaderTest, SealedFieldTamperWithValidCrc) {
  struct Field {
    const char* name;
    size_t offset;
  } fields[] = {{"nonce_counter", 26}, {"page_count", 34}, {"catalog_start", 42}, {"memory_count", 66},
                {"index_pages", 170},  {"wal_start", 186}, {"txn_id", 202},       {"manifest_len", 230}};
  for (uint16_t version : {6, 7, 8}) {
    for (const Field& f : fields) {
      Page page = sealed_page(version);
      page[f.offset] ^= 0x40;
      fix_crc(page);
      auto parsed = from_page(page);
      ASSERT_TRUE(parsed) << f.name;
      auto sealed = validate_seal(*parsed, dek_);
      if (version >= 7) {
        ASSERT_FALSE(sealed) << f.name << " v" << version;
        EXPECT_EQ(sealed.error().message(), "header seal authentication failed — mutable fields tampered with");
      } else {
        EXPECT_TRUE(sealed) << f.name << " v" << version;
      }
    }
  }
}

TEST_F(HeaderTest, CacheDirectoryFieldsAreCaughtByTheSeal) {
  for (size_t offset = 270; offset < 294; offset += 5) {
    Page page = sealed_page(8);
    page[offset] ^= 0x01;
    auto parsed = from_page(page);
    ASSERT_TRUE(parsed) << "the CRC does not cover byte " << offset;
    EXPECT_EQ(validate_seal(*parsed, dek_).error(), OrmelError::header_seal_invalid()) << offset;
  }
}

TEST_F(HeaderTest, SealRejectsOtherKeysAndMissingParts) {
  auto parsed = from_page(sealed_page(8));
  ASSERT_TRUE(parsed);
  auto other = random_key();
  ASSERT_TRUE(other);
  EXPECT_EQ(validate_seal(*parsed, *other).error(), OrmelError::header_seal_invalid());
  Header no_tag = *parsed;
  no_tag.seal_tag.reset();
  EXPECT_EQ(validate_seal(no_tag, dek_).error(), OrmelError::header_seal_invalid());
  Page zero_seal = sealed_page(7);
  std::memset(zero_seal.data() + 242, 0, 28);
  EXPECT_EQ(validate_seal(*from_page(zero_seal), dek_).error(), OrmelError::header_seal_invalid());
}

TEST_F(HeaderTest, ApplySealIsANoOpBeforeVersion7) {
  Header h = sample(6);
  Page page = to_page(h);
  Page before = page;
  ASSERT_TRUE(apply_seal(h, page, dek_));
  EXPECT_EQ(page, before);
  EXPECT_FALSE(h.seal_nonce || h.seal_tag);
}

}  // namespace
}  // namespace ormel
