#include "core/records.h"

#include <gtest/gtest.h>

#include <limits>

#include "core/record_codec.h"

namespace ormel {
namespace {

using Bytes = std::vector<uint8_t>;

void str(Packer& pk, std::string_view s) {
  pk.pack_str(static_cast<uint32_t>(s.size()));
  pk.pack_str_body(s.data(), static_cast<uint32_t>(s.size()));
}

const MemoryId kId = (u128{0x0102030405060708ull} << 64) | 0x090A0B0C0D0E0F10ull;

TEST(Catalog, EntryBytes) {
  CatalogEntry e{kId, 300, 2, 9000, true, -1, 7};
  Bytes expected = {0x97, 0xC4, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                    0xCD, 0x01, 0x2C,      // start_page 300
                    0x02,                  // page_count
                    0xCD, 0x23, 0x28,      // len 9000
                    0xC3,                  // deleted
                    0xFF,                  // accessed_at -1
                    0x07};                 // access_count
  Bytes bytes = encode_catalog({e});
  ASSERT_EQ(bytes.size(), expected.size() + 1);
  EXPECT_EQ(bytes[0], 0x91);
  EXPECT_EQ(Bytes(bytes.begin() + 1, bytes.end()), expected);
  EXPECT_EQ(encode_catalog({}), Bytes{0x90});
  auto empty = decode_catalog(Bytes{0x90});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(Catalog, RoundTripKeepsOrderAndExtremes) {
  std::vector<CatalogEntry> rows;
  for (uint32_t i = 0; i < 1000; ++i) rows.push_back({kId + i, uint64_t{i} << 33, i, i * 77, i % 3 == 0, int64_t{i} * 1000, i});
  rows.push_back({~u128{0}, std::numeric_limits<uint64_t>::max(), std::numeric_limits<uint32_t>::max(),
                  std::numeric_limits<uint32_t>::max(), false, std::numeric_limits<int64_t>::min(),
                  std::numeric_limits<uint32_t>::max()});
  auto back = decode_catalog(encode_catalog(rows));
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, rows);
}

TEST(Catalog, MapFormAndDecoderErrors) {
  Bytes map_row = pack_to_bytes([](Packer& pk) {
    pk.pack_array(1);
    pk.pack_map(8);
    str(pk, "access_count"), pk.pack_uint8(4);
    str(pk, "id"), codec::put(pk, kId, codec::Plain{});
    str(pk, "start_page"), pk.pack_uint8(10);
    str(pk, "page_count"), pk.pack_uint8(1);
    str(pk, "len"), pk.pack_uint8(99);
    str(pk, "comment"), str(pk, "ignored");
    str(pk, "deleted"), pk.pack_false();
    str(pk, "accessed_at"), pk.pack_int64(-3);
  });
  auto rows = decode_catalog(map_row);
  ASSERT_TRUE(rows) << rows.error().message();
  EXPECT_EQ(*rows, (std::vector<CatalogEntry>{{kId, 10, 1, 99, false, -3, 4}}));

  struct Case {
    Bytes bytes;
    std::string message;
  };
  const Case cases[] = {
      {{0x91, 0x96, 0xC4, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0, 0, 0, 0xC2, 0},
       "serialization error: invalid length 6, expected struct CatalogEntry with 7 elements"},
      {{0x91, 0x97, 0xC4, 0x0F, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 0, 0, 0xC2, 0, 0},
       "serialization error: invalid length 15, expected 16 bytes of a 128-bit integer"},
      {{0x91, 0x81, 0xA2, 'i', 'd', 0xC4, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
       "serialization error: missing field `start_page`"},
      {{0x91, 0x82, 0xA3, 'l', 'e', 'n', 0x01, 0xA3, 'l', 'e', 'n', 0x02},
       "serialization error: duplicate field `len`"},
  };
  for (const Case& c : cases) {
    auto r = decode_catalog(c.bytes);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.message);
  }
}

TEST(CatalogV4, FiveFieldRows) {
  std::vector<CatalogEntryV4> rows = {{kId, 9, 1, 100, false}, {kId + 1, 10, 3, 20000, true}};
  Bytes bytes = encode_catalog_v4(rows);
  EXPECT_EQ(bytes[0], 0x92);
  EXPECT_EQ(bytes[1], 0x95);
  auto back = decode_catalog_v4(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, rows);

  // A current 7-field catalog is not a version-4 catalog.
  auto wrong = decode_catalog_v4(encode_catalog({CatalogEntry{kId}}));
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().text(), "invalid length 7, expected struct CatalogEntryV4 with 5 elements");
}

TEST(Manifest, SnapshotBytesAndMapForm) {
  Snapshot s{5, 1'700'000'000, 12, 1, 36, 0, 0, 0, 1};
  Bytes bytes = encode_manifest({s});
  Bytes expected = {0x91, 0x99, 0x05, 0xCE, 0x65, 0x53, 0xF1, 0x00, 0x0C, 0x01, 0x24, 0x00, 0x00, 0x00, 0x01};
  EXPECT_EQ(bytes, expected);

  Bytes map_form = pack_to_bytes([&](Packer& pk) {
    const char* names[] = {"memory_count", "index_len",     "index_pages",   "index_start", "catalog_len",
                           "catalog_pages", "catalog_start", "created_at", "txn_id"};
    const int64_t values[] = {1, 0, 0, 0, 36, 1, 12, 1'700'000'000, 5};
    pk.pack_array(1);
    pk.pack_map(9);
    for (int i = 0; i < 9; ++i) str(pk, names[i]), pk.pack_int64(values[i]);
  });
  auto back = decode_manifest(map_form);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, std::vector<Snapshot>{s});

  Snapshot before_epoch{1, -20, 1, 1, 1, 2, 2, 2, 0};
  auto neg = decode_manifest(encode_manifest({before_epoch, s}));
  ASSERT_TRUE(neg);
  EXPECT_EQ(*neg, (std::vector<Snapshot>{before_epoch, s}));

  auto short_row = decode_manifest(Bytes{0x91, 0x98, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_FALSE(short_row);
  EXPECT_EQ(short_row.error().text(), "invalid length 8, expected struct Snapshot with 9 elements");
}

}  // namespace
}  // namespace ormel
