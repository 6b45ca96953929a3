#include "core/memory.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>

#include "core/memory_fields.h"
#include "core/metadata_filter.h"
#include "core/msgpack_cursor.h"
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

// full_memory() with the float values a reader could get wrong and metadata of every kind.
Memory edge_memory() {
  Memory m = full_memory();
  m.vector[3] = -0.0f;
  m.vector[4] = std::numeric_limits<float>::infinity();
  m.vector[5] = std::numeric_limits<float>::denorm_min();
  m.metadata = {{"null", nullptr}, {"t", true},  {"u", 18446744073709551615ull}, {"i", -9000000000ll},
                {"f", 3.0},        {"s", "\xE2\x80\xA6"}, {"arr", {1, 2.5, "x", {{"in", 1}}}},
                {"obj", {{"z", 1}, {"a", {{"deep", false}}}}}};
  return m;
}

// Raw bytes, written as they are.
void raw(Packer& pk, std::span<const uint8_t> bytes) {
  pk.pack_bin_body(reinterpret_cast<const char*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
}

// The engine's record of full_memory() with field `index` written by `write` instead (the
// other fields keep their bytes).
Bytes with_field(size_t index, const std::function<void(Packer&)>& write) {
  const Bytes canonical = encode_memory(edge_memory()).value();
  MsgCursor c(canonical);
  c.array();
  return pack_to_bytes([&](Packer& pk) {
    pk.pack_array(13);
    for (size_t i = 0; i < 13; ++i) {
      const uint8_t* begin = c.position();
      c.skip();
      if (i == index) write(pk);
      else raw(pk, std::span(begin, c.position()));
    }
  });
}

// The record with its metadata written by `write`.
Bytes with_metadata(const std::function<void(Packer&)>& write) { return with_field(4, write); }

// decode_memory and the general decoder agree: the same record bytes when written back, or
// the same error.
void expect_same_as_general_decoder(std::span<const uint8_t> bytes) {
  auto fast = decode_memory(bytes);
  auto general = unpack_memory(bytes);
  ASSERT_EQ(fast.has_value(), general.has_value());
  if (!fast) {
    EXPECT_EQ(fast.error(), general.error());
    return;
  }
  // Bytes compare floats bit for bit (NaN and -0 included), and JSON numbers by value.
  EXPECT_EQ(encode_memory(*fast).value(), encode_memory(*general).value());
}

TEST(MemoryFields, TheEngineFormIsReadInPlace) {
  const Memory m = edge_memory();
  const Bytes bytes = encode_memory(m).value();
  MemoryFields f;
  ASSERT_TRUE(read_memory_fields(bytes, f));
  EXPECT_EQ(f.id, m.id);
  EXPECT_EQ(f.memory_type, m.memory_type);
  ASSERT_EQ(vector_size(f), m.vector.size());
  std::vector<float> vector(vector_size(f));
  read_vector(f, vector);
  for (size_t i = 0; i < vector.size(); ++i) {
    EXPECT_EQ(std::bit_cast<uint32_t>(vector[i]), std::bit_cast<uint32_t>(m.vector[i])) << i;
  }
  EXPECT_EQ(f.content, m.content);
  EXPECT_EQ(Bytes(f.metadata.begin(), f.metadata.end()), pack_json(m.metadata));
  EXPECT_EQ(f.agent_id, m.agent_id);
  EXPECT_EQ(f.session_id, m.session_id);
  EXPECT_EQ(f.scope, m.scope);
  EXPECT_EQ(f.created_at, m.created_at);
  EXPECT_EQ(f.accessed_at, m.accessed_at);
  EXPECT_EQ(f.access_count, m.access_count);
  EXPECT_EQ(f.importance, m.importance);
  EXPECT_EQ(f.ttl_secs, m.ttl_secs);
  EXPECT_EQ(to_memory(f), m);
  expect_same_as_general_decoder(bytes);

  // Absent optionals, a fresh memory's empty metadata and an empty vector.
  const Memory fresh = Memory::make("", MemoryType::Episodic, {});
  const Bytes fresh_bytes = encode_memory(fresh).value();  // the fields view these bytes
  ASSERT_TRUE(read_memory_fields(fresh_bytes, f));
  EXPECT_FALSE(f.session_id);
  EXPECT_FALSE(f.ttl_secs);
  EXPECT_EQ(vector_size(f), 0u);
  EXPECT_EQ(to_memory(f), fresh);
}

// Every form the engine does not write is left to the general decoder, which reads it (or
// refuses it) exactly as before.
TEST(MemoryFields, OtherFormsGoToTheGeneralDecoder) {
  struct Case {
    const char* name;
    Bytes bytes;
  };
  const auto positive_in_signed_form = [](Packer& pk) {
    pk.pack_map(1);
    str(pk, "n");
    raw(pk, Bytes{0xD0, 0x05});  // int 8 of 5
  };
  const auto nested = [](size_t levels) {
    Json j = 1;
    for (size_t i = 0; i < levels; ++i) j = Json{{"k", std::move(j)}};
    return pack_json(j);
  };
  const Case cases[] = {
      {"importance as float 64", with_field(11, [](Packer& pk) { pk.pack_f64(0.75); })},
      {"importance as an integer", with_field(11, [](Packer& pk) { pk.pack_uint8(1); })},
      {"importance NaN", with_field(11, [](Packer& pk) { pk.pack_f32(std::nanf("")); })},
      {"a vector component as float 64", with_field(2, [](Packer& pk) {
         pk.pack_array(2);
         pk.pack_f32(1.0f);
         pk.pack_f64(2.0);
       })},
      {"a vector component as an integer", with_field(2, [](Packer& pk) {
         pk.pack_array(1);
         pk.pack_uint8(1);
       })},
      {"a NaN vector component", with_field(2, [](Packer& pk) {
         pk.pack_array(1);
         pk.pack_f32(std::bit_cast<float>(0x7FA00001u));  // signalling NaN
       })},
      {"memory type by index", with_field(1, [](Packer& pk) { pk.pack_uint8(2); })},
      {"scope by index", with_field(7, [](Packer& pk) { pk.pack_uint8(0); })},
      {"unknown memory type", with_field(1, [](Packer& pk) { str(pk, "Work"); })},
      {"id as bin", with_field(0, [](Packer& pk) {
         pk.pack_bin(16);
         pk.pack_bin_body("0123456789abcdef", 16);
       })},
      {"id not a ULID", with_field(0, [](Packer& pk) { str(pk, "not a ulid at all, no sir!"); })},
      {"negative access count", with_field(10, [](Packer& pk) { pk.pack_int8(-1); })},
      {"access count beyond u32", with_field(10, [](Packer& pk) { pk.pack_uint64(uint64_t{1} << 32); })},
      {"created_at beyond i64", with_field(8, [](Packer& pk) { pk.pack_uint64(uint64_t{1} << 63); })},
      {"ttl as a string", with_field(12, [](Packer& pk) { str(pk, "1h"); })},
      {"session as an integer", with_field(6, [](Packer& pk) { pk.pack_uint8(1); })},
      {"content as bin", with_field(3, [](Packer& pk) {
         pk.pack_bin(1);
         pk.pack_bin_body("x", 1);
       })},
      {"metadata keys descending", with_metadata([](Packer& pk) {
         pk.pack_map(2);
         str(pk, "b");
         pk.pack_uint8(1);
         str(pk, "a");
         pk.pack_uint8(2);
       })},
      {"metadata key repeated", with_metadata([](Packer& pk) {
         pk.pack_map(2);
         str(pk, "a");
         pk.pack_uint8(1);
         str(pk, "a");
         pk.pack_uint8(2);
       })},
      {"metadata key not a string", with_metadata([](Packer& pk) {
         pk.pack_map(1);
         pk.pack_uint8(1);
         pk.pack_uint8(2);
       })},
      {"metadata with bin", with_metadata([](Packer& pk) {
         pk.pack_map(1);
         str(pk, "b");
         pk.pack_bin(1);
         pk.pack_bin_body("x", 1);
       })},
      {"metadata with a positive integer in a signed form", with_metadata(positive_in_signed_form)},
      {"metadata nested past the in-place limit", with_metadata([&](Packer& pk) {
         raw(pk, nested(kMaxMetadataDepth + 1));
       })},
      {"the record as a map", pack_to_bytes([](Packer& pk) {
         const Bytes canonical = encode_memory(edge_memory()).value();
         auto h = unpack_value(canonical);
         const char* names[] = {"id",         "memory_type", "vector",      "content",      "metadata",
                                "agent_id",   "session_id",  "scope",       "created_at",   "accessed_at",
                                "access_count", "importance", "ttl_secs"};
         pk.pack_map(13);
         for (size_t i = 0; i < 13; ++i) {
           str(pk, names[i]);
           pk.pack(h->get().via.array.ptr[i]);
         }
       })},
      {"twelve fields", [] {
         Bytes b = encode_memory(edge_memory()).value();
         b[0] = 0x9C;
         b.resize(b.size() - 3);  // the 13th element, a uint 16 of 3600
         return b;
       }()},
      {"a trailing byte", [] {
         Bytes b = encode_memory(edge_memory()).value();
         b.push_back(0xC0);
         return b;
       }()},
  };
  // Written unchanged, a field keeps the record in the engine's form.
  MemoryFields unchanged;
  ASSERT_TRUE(read_memory_fields(with_field(11, [](Packer& pk) { pk.pack_f32(0.75f); }), unchanged));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryFields f;
    EXPECT_FALSE(read_memory_fields(c.bytes, f));
    expect_same_as_general_decoder(c.bytes);
  }
  // The limit itself is still read in place.
  MemoryFields f;
  EXPECT_TRUE(read_memory_fields(with_metadata([&](Packer& pk) {
    raw(pk, nested(kMaxMetadataDepth));
  }), f));
}

// Cut anywhere, a record is refused as the general decoder refuses it, and the reader
// never looks past the cut (the sanitizer build checks the bounds).
TEST(MemoryFields, EveryTruncationIsRefusedAsTheGeneralDecoderRefusesIt) {
  const Bytes bytes = encode_memory(edge_memory()).value();
  for (size_t n = 0; n < bytes.size(); ++n) {
    SCOPED_TRACE(n);
    const Bytes cut(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
    MemoryFields f;
    EXPECT_FALSE(read_memory_fields(cut, f));
    expect_same_as_general_decoder(cut);
  }
}

// Metadata flattened from its packed form, as recall keeps it, equals the flattening of the
// decoded JSON: float 32 values and negative integers of every width included.
TEST(MemoryFields, PackedMetadataFlattensAsItsJson) {
  const Bytes packed = pack_to_bytes([](Packer& pk) {
    pk.pack_map(5);
    str(pk, "a");
    pk.pack_map(2);
    str(pk, "b");
    pk.pack_int64(-9000000000ll);
    str(pk, "c");
    pk.pack_f32(0.1f);
    str(pk, "a.b");  // the same path as the nested one: the nested one comes first
    pk.pack_int8(-3);
    str(pk, "l");
    pk.pack_array(2);
    pk.pack_map(0);
    pk.pack_nil();
    str(pk, "s");
    str(pk, "text");
    str(pk, "t");
    pk.pack_true();
  });
  MemoryFields f;
  ASSERT_TRUE(read_memory_fields(with_metadata([&](Packer& pk) { raw(pk, packed); }), f));
  // One dictionary for both, so equal paths and strings have equal ids.
  MetadataDictionary dictionary;
  std::vector<FlatValue> from_packed, from_json;
  flatten_packed_metadata(packed, dictionary, from_packed);
  flatten_metadata(Json::from_msgpack(packed), dictionary, from_json);
  ASSERT_EQ(from_packed.size(), 7u);
  ASSERT_EQ(from_json.size(), from_packed.size());
  for (size_t i = 0; i < from_packed.size(); ++i) {
    SCOPED_TRACE(i);
    const FlatValue &a = from_packed[i], &b = from_json[i];
    EXPECT_EQ(a.path, b.path);
    EXPECT_EQ(a.value.kind, b.value.kind);
    EXPECT_EQ(a.value.boolean, b.value.boolean);
    EXPECT_EQ(a.value.number, b.value.number);
    EXPECT_EQ(a.value.string, b.value.string);
  }
  EXPECT_EQ(from_packed[1].value.number, -9000000000.0L);                         // a.b, nested
  EXPECT_EQ(from_packed[2].value.number, -3.0L);                                  // a.b, literal
  EXPECT_EQ(from_packed[3].value.number, static_cast<long double>(0.1f));         // a.c
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
  // A first digit above 7 would need more than 128 bits: refused, never aliased to another id.
  EXPECT_TRUE(ulid_from_text("7" + base.substr(1)));
  for (char c : std::string("89AZaz")) EXPECT_FALSE(ulid_from_text(c + base.substr(1))) << c;
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
