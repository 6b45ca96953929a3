#include "core/memory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "core/record_codec.h"

namespace ormel {
namespace {

using Bytes = std::vector<uint8_t>;

void str(Packer& pk, std::string_view s) {
  pk.pack_str(static_cast<uint32_t>(s.size()));
  pk.pack_str_body(s.data(), static_cast<uint32_t>(s.size()));
}

Memory full_memory() {
  Memory m = Memory::make("the content", MemoryType::Procedural, std::vector<float>(384));
  for (size_t i = 0; i < m.vector.size(); ++i) m.vector[i] = static_cast<float>(i) * 0.25f - 7.0f;
  m.metadata = {{"k", 1}, {"list", {true, nullptr, "x"}}};
  m.agent_id = "agent-7";
  m.session_id = "s-1";
  m.scope = Scope::Shared;
  m.created_at = -5;
  m.accessed_at = 1'700'000'000;
  m.access_count = std::numeric_limits<uint32_t>::max();
  m.importance = 0.75f;
  m.ttl_secs = 3600;
  return m;
}

TEST(MemoryRecord, FreshMemoryEncodesAsDocumented) {
  Memory m = Memory::make("hi", MemoryType::Semantic, {1.0f, 2.0f});
  EXPECT_NE(m.id, 0u);
  EXPECT_EQ(m.created_at, m.accessed_at);
  EXPECT_EQ(m.agent_id, "default");
  EXPECT_EQ(m.importance, 0.5f);
  EXPECT_TRUE(m.metadata.is_object() && m.metadata.empty());

  Bytes bytes = encode_memory(m).value();
  ASSERT_GE(bytes.size(), 29u);
  EXPECT_EQ(bytes[0], 0x9D);
  EXPECT_EQ(bytes[1], 0xD9);
  EXPECT_EQ(bytes[2], 0x1A);
  EXPECT_EQ(std::string(bytes.begin() + 3, bytes.begin() + 29), ulid_to_text(m.id));
  EXPECT_EQ(bytes.back(), 0xC0);  // ttl_secs absent

  auto h = unpack_value(bytes);
  ASSERT_TRUE(h);
  const msgpack::object* f = h->get().via.array.ptr;
  EXPECT_EQ(std::string_view(f[1].via.str.ptr, f[1].via.str.size), "Semantic");
  EXPECT_EQ(f[6].type, msgpack::type::NIL);  // session_id absent
  ASSERT_EQ(f[7].type, msgpack::type::STR);
  EXPECT_EQ(std::string_view(f[7].via.str.ptr, f[7].via.str.size), "Private");
  EXPECT_EQ(f[11].type, msgpack::type::FLOAT32);

  auto back = decode_memory(bytes);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, m);
  EXPECT_FALSE(back->session_id);
  EXPECT_FALSE(back->ttl_secs);
}

TEST(MemoryRecord, EveryFieldRoundTrips) {
  Memory m = full_memory();
  auto back = decode_memory(encode_memory(m).value());
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, m);
}

TEST(MemoryRecord, MetadataOfEveryKindRoundTrips) {
  Memory m = full_memory();
  m.metadata = {{"null", nullptr},     {"t", true},          {"u", 18446744073709551615ull},
                {"i", -9000000000ll},  {"f", 3.0},           {"s", "\xE2\x80\xA6"},
                {"arr", {1, 2.5, "x"}}, {"obj", {{"z", 1}, {"a", {{"deep", false}}}}}};
  auto back = decode_memory(encode_memory(m).value());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->metadata, m.metadata);
  EXPECT_TRUE(back->metadata["f"].is_number_float());
  EXPECT_EQ(back->metadata.dump(), m.metadata.dump());
}

TEST(MemoryRecord, TwelveElementsFailWithTheDecoderMessage) {
  Bytes bytes = encode_memory(full_memory()).value();
  bytes[0] = 0x9C;
  bytes.pop_back();  // drop the 13th element, a uint 16 of 3600
  bytes.pop_back();
  bytes.pop_back();
  auto r = decode_memory(bytes);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  EXPECT_EQ(r.error().message(), "serialization error: invalid length 12, expected struct Memory with 13 elements");
}

// A Memory written as a map by hand, so fields can be left out, repeated or added.
class MemoryMapForm : public ::testing::Test {
 protected:
  struct Options {
    std::string_view skip = {};
    std::string_view repeat = {};
    bool unknown_key = false;
  };
  static Bytes encode_as_map(const Memory& m, Options opt) {
    const std::string_view names[] = {"id",         "memory_type", "vector",       "content",    "metadata",
                                      "agent_id",   "session_id",  "scope",        "created_at", "accessed_at",
                                      "access_count", "importance", "ttl_secs"};
    return pack_to_bytes([&](Packer& pk) {
      uint32_t n = 13 - (opt.skip.empty() ? 0 : 1) + (opt.repeat.empty() ? 0 : 1) + (opt.unknown_key ? 1 : 0);
      pk.pack_map(n);
      if (opt.unknown_key) {
        str(pk, "embedding_model");
        str(pk, "mini");
      }
      Bytes array = encode_memory(m).value();
      auto h = unpack_value(array);
      for (size_t i = 0; i < 13; ++i) {
        if (names[i] == opt.skip) continue;
        for (int k = 0; k < (names[i] == opt.repeat ? 2 : 1); ++k) {
          str(pk, names[i]);
          pk.pack(h->get().via.array.ptr[i]);
        }
      }
    });
  }
};

TEST_F(MemoryMapForm, AcceptedWithUnknownKeysSkipped) {
  Memory m = full_memory();
  auto back = decode_memory(encode_as_map(m, {.unknown_key = true}));
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, m);
}

TEST_F(MemoryMapForm, MissingFieldsAndDuplicates) {
  Memory m = full_memory();
  auto missing = decode_memory(encode_as_map(m, {.skip = "content"}));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "serialization error: missing field `content`");

  auto no_ttl = decode_memory(encode_as_map(m, {.skip = "ttl_secs"}));
  ASSERT_TRUE(no_ttl);
  EXPECT_FALSE(no_ttl->ttl_secs);
  auto no_session = decode_memory(encode_as_map(m, {.skip = "session_id"}));
  ASSERT_TRUE(no_session);
  EXPECT_FALSE(no_session->session_id);

  auto dup = decode_memory(encode_as_map(m, {.repeat = "id"}));
  ASSERT_FALSE(dup);
  EXPECT_EQ(dup.error().text(), "duplicate field `id`");
}

// A Memory array whose memory_type and scope elements are written by `type` and `scope`.
template <class TypeFn, class ScopeFn>
Bytes memory_with(TypeFn type, ScopeFn scope) {
  Memory m = Memory::make("c", MemoryType::Episodic, {});
  Bytes array = encode_memory(m).value();
  auto h = unpack_value(array);
  return pack_to_bytes([&](Packer& pk) {
    pk.pack_array(13);
    for (size_t i = 0; i < 13; ++i) {
      if (i == 1) type(pk);
      else if (i == 7) scope(pk);
      else pk.pack(h->get().via.array.ptr[i]);
    }
  });
}

TEST(MemoryRecord, EnumerationsByIndexAndTheirErrors) {
  auto by_index = decode_memory(memory_with([](Packer& pk) { pk.pack_uint8(2); }, [](Packer& pk) { pk.pack_uint8(1); }));
  ASSERT_TRUE(by_index) << by_index.error().message();
  EXPECT_EQ(by_index->memory_type, MemoryType::Procedural);
  EXPECT_EQ(by_index->scope, Scope::Shared);

  auto private_scope = [](Packer& pk) { str(pk, "Private"); };
  auto episodic = [](Packer& pk) { str(pk, "Episodic"); };
  struct Case {
    Bytes bytes;
    std::string text;
  };
  const Case cases[] = {
      {memory_with([](Packer& pk) { str(pk, "Work"); }, private_scope),
       "unknown variant `Work`, expected one of `Episodic`, `Semantic`, `Procedural`, `Working`"},
      {memory_with(episodic, [](Packer& pk) { str(pk, "Public"); }),
       "unknown variant `Public`, expected `Private` or `Shared`"},
      {memory_with([](Packer& pk) { pk.pack_uint8(4); }, private_scope),
       "invalid value: integer `4`, expected variant index 0 <= i < 4"},
      {memory_with(episodic, [](Packer& pk) { pk.pack_uint8(2); }),
       "invalid value: integer `2`, expected variant index 0 <= i < 2"},
  };
  for (const Case& c : cases) {
    auto r = decode_memory(c.bytes);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text(), c.text);
  }
}

// Metadata packed where a record holds it, one level inside the record's array, without the
// encoder's checks: what the decoder makes of that nesting.
Bytes metadata_at_record_depth(const Json& metadata) {
  return pack_to_bytes([&](Packer& pk) {
    pk.pack_array(1);
    codec::put(pk, metadata, codec::Plain{});
  });
}

TEST(MemoryRecord, MetadataNestedBeyondTheLimitIsRefused) {
  Memory m = full_memory();
  auto nest = [](size_t levels) {
    Json j = 0;
    for (size_t i = 0; i < levels; ++i) j = Json::array({std::move(j)});
    return j;
  };
  m.metadata = {{"deep", nest(1000)}};  // 1002 levels with the record and the map
  EXPECT_TRUE(decode_memory(encode_memory(m).value()));
  m.metadata = {{"deep", nest(1100)}};
  auto r = unpack_value(metadata_at_record_depth(m.metadata));  // past the encoder's own check
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
}

// The encoder refuses exactly what the decoder would refuse, with the decoder's message:
// a record the reader rejects must never reach the file.
TEST(MemoryRecord, EncoderRefusesTheNestingTheDecoderRefuses) {
  auto arrays = [](size_t levels) {
    Json j = "leaf";
    for (size_t i = 0; i < levels; ++i) j = Json::array({std::move(j)});
    return j;
  };
  auto objects = [](size_t levels) {
    Json j = Json::object();
    for (size_t i = 1; i < levels; ++i) j = Json{{"k", std::move(j)}};
    return j;
  };
  auto mixed = [](size_t levels) {
    Json j = Json::binary({1, 2});
    for (size_t i = 1; i < levels; ++i) j = i % 2 ? Json::array({1, std::move(j)}) : Json{{"k", std::move(j)}};
    return j;
  };
  for (size_t levels : {1022u, 1023u, 1024u, 1025u}) {
    using Shape = std::pair<const char*, Json (*)(size_t)>;
    for (const auto& [shape, build] : {Shape{"arrays", arrays}, Shape{"objects", objects}, Shape{"mixed", mixed}}) {
      SCOPED_TRACE(std::string(shape) + " " + std::to_string(levels));
      Memory m = full_memory();
      m.metadata = build(levels);
      ASSERT_EQ(codec::json_depth(m.metadata), levels);
      auto read = unpack_value(metadata_at_record_depth(m.metadata));
      auto written = encode_memory(m);
      EXPECT_EQ(written.has_value(), read.has_value());
      EXPECT_EQ(written.has_value(), levels < codec::kMaxDepth);
      if (!written) {
        EXPECT_EQ(written.error(), read.error());
        EXPECT_EQ(written.error().message(), "serialization error: nesting deeper than 1024 levels");
      }
    }
  }
  // Scalars and empty containers count as what they are.
  EXPECT_EQ(codec::json_depth(Json(5)), 0u);
  EXPECT_EQ(codec::json_depth(Json::object()), 1u);
  EXPECT_EQ(codec::json_depth(Json{{"a", 1}, {"b", Json::array({Json::array()})}}), 3u);
}

TEST(MemoryRecord, BadIdTextIsRefused) {
  Memory m = Memory::make("c", MemoryType::Episodic, {});
  Bytes bytes = encode_memory(m).value();
  bytes[3] = 'U';
  auto r = decode_memory(bytes);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().text().find("expected a 26-character ULID"), std::string::npos) << r.error().text();
}

TEST(Similarity, Metrics) {
  const std::vector<float> v = {0.3f, -1.25f, 2.0f, 0.7f};
  const std::vector<float> zero(4, 0.0f);
  const std::vector<float> empty;
  EXPECT_NEAR(similarity(Metric::Cosine, v, v), 1.0f, 1e-6f);
  EXPECT_EQ(similarity(Metric::Cosine, v, zero), 0.0f);
  EXPECT_EQ(similarity(Metric::Cosine, zero, v), 0.0f);
  EXPECT_EQ(similarity(Metric::Cosine, v, empty), 0.0f);
  EXPECT_NEAR(similarity(Metric::Cosine, std::vector<float>{1, 0}, std::vector<float>{-1, 0}), -1.0f, 1e-6f);
  EXPECT_EQ(similarity(Metric::Euclidean, v, v), 1.0f);
  EXPECT_EQ(similarity(Metric::Euclidean, empty, empty), 1.0f);
  EXPECT_EQ(similarity(Metric::Euclidean, std::vector<float>{0, 0}, std::vector<float>{3, 4}), 1.0f / 6.0f);
  EXPECT_EQ(similarity(Metric::DotProduct, empty, empty), 0.0f);
  EXPECT_EQ(similarity(Metric::DotProduct, std::vector<float>{1, 2, 3}, std::vector<float>{4, 5}), 14.0f);
}

TEST(Similarity, CosineNormsCoverEachWholeVector) {
  // The dot product stops at the shorter vector; each norm runs over its own full length.
  const std::vector<float> a = {1, 0, 0, 1};
  const std::vector<float> b = {1, 0};
  float expected = 1.0f / (std::sqrt(2.0f) * std::sqrt(1.0f));
  EXPECT_EQ(similarity(Metric::Cosine, a, b), expected);
  EXPECT_EQ(similarity(Metric::Cosine, b, a), expected);
}

TEST(Ulid, TextRoundTripAndCanonicalForm) {
  EXPECT_EQ(ulid_to_text(0), std::string(26, '0'));
  EXPECT_EQ(ulid_to_text(~u128{0}), "7" + std::string(25, 'Z'));
  for (int i = 0; i < 100; ++i) {
    MemoryId id = new_ulid();
    std::string text = ulid_to_text(id);
    ASSERT_EQ(text.size(), 26u);
    EXPECT_EQ(ulid_from_text(text), id);
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(ulid_from_text(lower), id);
  }
  MemoryId mixed = *ulid_from_text("01ARZ3NDEKTSV4RRFFQ69G5FAV");
  EXPECT_EQ(ulid_to_text(mixed), "01ARZ3NDEKTSV4RRFFQ69G5FAV");
}

TEST(Ulid, ParsingEdgeCases) {
  const std::string base = "01ARZ3NDEKTSV4RRFFQ69G5FAV";
  // A first digit above 7 overflows 128 bits; the overflowing bit is dropped.
  EXPECT_EQ(ulid_from_text("8" + base.substr(1)), ulid_from_text("0" + base.substr(1)));
  EXPECT_EQ(ulid_from_text("Z" + base.substr(1)), ulid_from_text("7" + base.substr(1)));
  for (char c : std::string("ILOUilou-*")) EXPECT_FALSE(ulid_from_text(base.substr(0, 25) + c)) << c;
  EXPECT_FALSE(ulid_from_text(base.substr(0, 25)));
  EXPECT_FALSE(ulid_from_text(base + "0"));
  EXPECT_FALSE(ulid_from_text(""));
}

TEST(Ulid, FreshIdsCarryTheTimeAndIncrease) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::system_clock::now().time_since_epoch()).count();
  MemoryId prev = new_ulid();
  uint64_t time48 = static_cast<uint64_t>(prev >> 80);
  EXPECT_GE(time48 + 1000, static_cast<uint64_t>(ms));
  EXPECT_LE(time48, static_cast<uint64_t>(ms) + 1000);
  for (int i = 0; i < 10000; ++i) {
    MemoryId next = new_ulid();
    ASSERT_GT(next, prev);
    prev = next;
  }
}

TEST(Clock, NowSecsReadsTheWallClock) {
  int64_t now = now_secs();
  int64_t expected = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_GT(now, 1'600'000'000);
  EXPECT_LE(std::abs(now - expected), 1);
}

TEST(MemoryType, TextsNamesAndParsing) {
  const MemoryType all[] = {MemoryType::Episodic, MemoryType::Semantic, MemoryType::Procedural, MemoryType::Working};
  const char* texts[] = {"episodic", "semantic", "procedural", "working"};
  const char* names[] = {"Episodic", "Semantic", "Procedural", "Working"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(memory_type_text(all[i]), texts[i]);
    EXPECT_EQ(memory_type_name(all[i]), names[i]);
    EXPECT_EQ(parse_memory_type(texts[i]), all[i]);
    EXPECT_EQ(parse_memory_type(names[i]), all[i]);
  }
  EXPECT_EQ(parse_memory_type("SeMaNtIc"), MemoryType::Semantic);
  EXPECT_EQ(parse_memory_type("WORKING"), MemoryType::Working);
  for (const char* bad : {"work", "", "semantic ", "episodics", "s\xC3\xA9mantic"})
    EXPECT_FALSE(parse_memory_type(bad)) << bad;
  EXPECT_EQ(scope_name(Scope::Shared), "Shared");
  EXPECT_EQ(scope_text(Scope::Private), "private");
}

}  // namespace
}  // namespace ormel
