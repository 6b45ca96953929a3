#include "core/cache_records.h"

#include <gtest/gtest.h>

#include "core/record_codec.h"

namespace ormel {
namespace {

using Bytes = std::vector<uint8_t>;

KeyHash digest_pattern() {
  KeyHash h{};
  for (size_t i = 0; i < h.size(); ++i) h[i] = static_cast<uint8_t>(i * 9);
  return h;
}

CacheEntry semantic_entry() {
  CacheEntry e;
  e.namespace_ = "llm";
  e.key_hash = digest_pattern();
  e.key_preview = "what is the capital of France?";
  e.value = {0, 1, 127, 128, 255};
  e.content_type = "text";
  e.created_at = 1'700'000'000;
  e.accessed_at = 1'700'000'000;
  e.ttl_secs = 60;
  e.cost_hint_ms = 12;
  e.size_bytes = 5;
  e.vector = std::vector<float>{0.5f, 1.0f};
  e.model = "mini";
  return e;
}

CacheDirectoryEntry directory_row() {
  CacheDirectoryEntry r;
  r.namespace_ = "llm";
  r.key_hash = digest_pattern();
  r.start_page = 40;
  r.page_count = 1;
  r.len = 120;
  r.accessed_at = 1'700'000'100;
  r.access_count = 3;
  r.size_bytes = 5;
  r.created_at = 1'700'000'000;
  r.vector = std::vector<float>{0.25f};
  r.model = "mini";
  return r;
}

// Re-encodes the first `keep` elements of every record array in `rows_blob` (an array of
// arrays, or one record when `single`).
Bytes truncate_records(const Bytes& blob, uint32_t keep, bool single) {
  auto h = unpack_value(blob);
  EXPECT_TRUE(h);
  auto write_record = [&](Packer& pk, const msgpack::object& rec) {
    pk.pack_array(keep);
    for (uint32_t i = 0; i < keep; ++i) pk.pack(rec.via.array.ptr[i]);
  };
  return pack_to_bytes([&](Packer& pk) {
    const msgpack::object& o = h->get();
    if (single) return write_record(pk, o);
    pk.pack_array(o.via.array.size);
    for (uint32_t i = 0; i < o.via.array.size; ++i) write_record(pk, o.via.array.ptr[i]);
  });
}

TEST(CacheEntryRecord, RoundTripAndWireForm) {
  CacheEntry e = semantic_entry();
  Bytes bytes = encode_cache_entry(e);
  EXPECT_EQ(bytes[0], 0x9D);
  auto h = unpack_value(bytes);
  ASSERT_TRUE(h);
  const msgpack::object* f = h->get().via.array.ptr;
  ASSERT_EQ(f[1].type, msgpack::type::ARRAY);  // the digest is 32 small integers, not bin
  EXPECT_EQ(f[1].via.array.size, 32u);
  ASSERT_EQ(f[3].type, msgpack::type::ARRAY);  // so is the value
  EXPECT_EQ(f[3].via.array.size, 5u);
  EXPECT_EQ(f[11].via.array.ptr[1].type, msgpack::type::FLOAT32);

  auto back = decode_cache_entry(bytes);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, e);

  CacheEntry exact = e;
  exact.vector.reset();
  exact.model.reset();
  exact.ttl_secs.reset();
  exact.cost_hint_ms.reset();
  Bytes exact_bytes = encode_cache_entry(exact);
  EXPECT_EQ(exact_bytes[exact_bytes.size() - 1], 0xC0);
  EXPECT_EQ(exact_bytes[exact_bytes.size() - 2], 0xC0);
  auto exact_back = decode_cache_entry(exact_bytes);
  ASSERT_TRUE(exact_back);
  EXPECT_EQ(*exact_back, exact);
}

TEST(CacheEntryRecord, ElevenElementsLoadAndTenFail) {
  Bytes eleven = truncate_records(encode_cache_entry(semantic_entry()), 11, true);
  auto back = decode_cache_entry(eleven);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_FALSE(back->vector);
  EXPECT_FALSE(back->model);
  EXPECT_EQ(back->value, semantic_entry().value);

  auto ten = decode_cache_entry(truncate_records(encode_cache_entry(semantic_entry()), 10, true));
  ASSERT_FALSE(ten);
  EXPECT_EQ(ten.error().message(), "serialization error: invalid length 10, expected struct CacheEntry with 13 elements");
}

TEST(CacheEntryRecord, KeyHashMustHave32Bytes) {
  Bytes bytes = encode_cache_entry(semantic_entry());
  auto h = unpack_value(bytes);
  ASSERT_TRUE(h);
  Bytes short_hash = pack_to_bytes([&](Packer& pk) {
    pk.pack_array(13);
    for (uint32_t i = 0; i < 13; ++i) {
      if (i == 1) {
        pk.pack_array(31);
        for (int k = 0; k < 31; ++k) pk.pack_uint8(1);
      } else {
        pk.pack(h->get().via.array.ptr[i]);
      }
    }
  });
  auto r = decode_cache_entry(short_hash);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "invalid length 31, expected an array of length 32");
}

TEST(CacheDirectory, RoundTripOfMixedRows) {
  CacheDirectoryEntry exact = directory_row();
  exact.vector.reset();
  exact.model.reset();
  exact.ttl_secs = 0;
  exact.deleted = true;
  std::vector<CacheDirectoryEntry> rows = {directory_row(), exact};
  Bytes bytes = encode_cache_directory(rows);
  EXPECT_EQ(bytes[0], 0x92);
  EXPECT_EQ(bytes[1], 0x9D);
  auto back = decode_cache_directory(bytes);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, rows);

  auto empty = decode_cache_directory(encode_cache_directory({}));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(CacheDirectory, ElevenElementRowsLoadAndTenFail) {
  Bytes full = encode_cache_directory({directory_row(), directory_row()});
  auto back = decode_cache_directory(truncate_records(full, 11, false));
  ASSERT_TRUE(back) << back.error().message();
  ASSERT_EQ(back->size(), 2u);
  for (const CacheDirectoryEntry& r : *back) {
    EXPECT_FALSE(r.vector);
    EXPECT_FALSE(r.model);
    EXPECT_EQ(r.created_at, directory_row().created_at);
    EXPECT_EQ(r.key_hash, digest_pattern());
  }

  auto ten = decode_cache_directory(truncate_records(full, 10, false));
  ASSERT_FALSE(ten);
  EXPECT_EQ(ten.error().message(),
            "serialization error: invalid length 10, expected struct CacheDirectoryEntry with 13 elements");
}

TEST(CacheDirectory, MapFormUsesTheNamespaceKey) {
  CacheDirectoryEntry row = directory_row();
  Bytes map_form = pack_to_bytes([&](Packer& pk) {
    pk.pack_array(1);
    pk.pack_map(11);
    auto key = [&](std::string_view k) {
      pk.pack_str(static_cast<uint32_t>(k.size()));
      pk.pack_str_body(k.data(), static_cast<uint32_t>(k.size()));
    };
    key("namespace"), codec::put(pk, row.namespace_, codec::Plain{});
    key("key_hash"), codec::put(pk, row.key_hash, codec::Plain{});
    key("start_page"), codec::put(pk, row.start_page, codec::Plain{});
    key("page_count"), codec::put(pk, row.page_count, codec::Plain{});
    key("len"), codec::put(pk, row.len, codec::Plain{});
    key("deleted"), codec::put(pk, row.deleted, codec::Plain{});
    key("accessed_at"), codec::put(pk, row.accessed_at, codec::Plain{});
    key("access_count"), codec::put(pk, row.access_count, codec::Plain{});
    key("size_bytes"), codec::put(pk, row.size_bytes, codec::Plain{});
    key("created_at"), codec::put(pk, row.created_at, codec::Plain{});
    key("model"), codec::put(pk, row.model, codec::Plain{});
  });
  auto back = decode_cache_directory(map_form);
  ASSERT_TRUE(back) << back.error().message();
  ASSERT_EQ(back->size(), 1u);
  CacheDirectoryEntry expected = row;
  expected.vector.reset();
  expected.ttl_secs.reset();
  EXPECT_EQ((*back)[0], expected);
}

}  // namespace
}  // namespace ormel
