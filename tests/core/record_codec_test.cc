#include "core/record_codec.h"

#include <gtest/gtest.h>

#include <limits>

namespace ormel {
namespace {

using Bytes = std::vector<uint8_t>;

enum class Color : uint8_t { Red, Green, Blue };
constexpr std::array<std::string_view, 3> kColorNames = {"Red", "Green", "Blue"};
std::span<const std::string_view> variant_names(Color) { return kColorNames; }

// Records shaped like the index blob: a nested record and a vector of records.
struct Inner {
  static constexpr std::string_view kRecordName = "Inner";
  std::vector<u128> ids;
  std::vector<uint8_t> codes;
  template <class V, class R>
  static void fields(V& v, R& r) {
    v("ids", r.ids);
    v("codes", r.codes);
  }
  bool operator==(const Inner&) const = default;
};

struct Outer {
  static constexpr std::string_view kRecordName = "Outer";
  uint32_t n = 0;
  Inner inner;
  std::vector<Inner> items;
  std::optional<std::string> note;
  Color color = Color::Red;
  template <class V, class R>
  static void fields(V& v, R& r) {
    v("n", r.n);
    v("inner", r.inner);
    v("items", r.items);
    v("note", r.note);
    v("color", r.color);
  }
  bool operator==(const Outer&) const = default;
};

// A record whose trailing field has a default.
struct Tail {
  static constexpr std::string_view kRecordName = "Tail";
  static constexpr size_t kMinFields = 1;
  uint8_t x = 0;
  std::string extra = "none";
  template <class V, class R>
  static void fields(V& v, R& r) {
    v("x", r.x);
    v("extra", r.extra);
  }
};

// One field of each integer width, for range checks.
struct Ints {
  static constexpr std::string_view kRecordName = "Ints";
  uint8_t u8 = 0;
  uint32_t u32 = 0;
  int8_t i8 = 0;
  int64_t i64 = 0;
  template <class V, class R>
  static void fields(V& v, R& r) {
    v("u8", r.u8);
    v("u32", r.u32);
    v("i8", r.i8);
    v("i64", r.i64);
  }
};

struct Floats {
  static constexpr std::string_view kRecordName = "Floats";
  std::vector<float> f;
  double d = 0;
  template <class V, class R>
  static void fields(V& v, R& r) {
    v("f", r.f);
    v("d", r.d);
  }
};

struct WithJson {
  static constexpr std::string_view kRecordName = "WithJson";
  Json value;
  template <class V, class R>
  static void fields(V& v, R& r) { v("value", r.value); }
};

struct WithUlid {
  static constexpr std::string_view kRecordName = "WithUlid";
  MemoryId id = 0;
  template <class V, class R>
  static void fields(V& v, R& r) { v("id", r.id, codec::UlidText{}); }
};

template <class T>
std::string decode_error(const Bytes& bytes) {
  auto r = decode_record<T>(bytes);
  if (r) return "(decoded)";
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  return r.error().text();
}

void str(Packer& pk, std::string_view s) {
  pk.pack_str(static_cast<uint32_t>(s.size()));
  pk.pack_str_body(s.data(), static_cast<uint32_t>(s.size()));
}

Outer sample_outer() {
  Outer o;
  o.n = 70000;
  o.inner = {{(u128{1} << 100) | 5}, {0, 127, 128, 255}};
  o.items = {{{1, 2}, {9}}, {{}, {}}};
  o.note = "hello";
  o.color = Color::Blue;
  return o;
}

TEST(RecordCodec, NestedRecordsAndVectorsOfRecordsRoundTrip) {
  Outer o = sample_outer();
  Bytes bytes = encode_record(o);
  EXPECT_EQ(bytes[0], 0x95);
  auto back = decode_record<Outer>(bytes);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, o);

  o.note.reset();
  back = decode_record<Outer>(encode_record(o));
  ASSERT_TRUE(back);
  EXPECT_FALSE(back->note);
}

TEST(RecordCodec, BareU128IsBin16BigEndianAndBytesAreSmallIntegers) {
  Inner in{{(u128{0x0102030405060708ull} << 64) | 0x090A0B0C0D0E0F10ull}, {0, 127, 128, 255}};
  Bytes expected = {0x92, 0x91, 0xC4, 0x10, 1, 2,    3,    4,    5,    6,    7, 8, 9, 10, 11, 12, 13, 14,
                    15,   16,   0x94, 0x00, 0x7F, 0xCC, 0x80, 0xCC, 0xFF};
  EXPECT_EQ(encode_record(in), expected);

  Bytes short_bin = pack_to_bytes([](Packer& pk) {
    pk.pack_array(2);
    pk.pack_array(1);
    pk.pack_bin(15);
    pk.pack_bin_body(std::string(15, 'x').data(), 15);
    pk.pack_array(0);
  });
  EXPECT_EQ(decode_error<Inner>(short_bin), "invalid length 15, expected 16 bytes of a 128-bit integer");
}

TEST(RecordCodec, FloatsKeepTheirWidthEvenWhenIntegral) {
  Floats x{{1.0f, -0.5f}, 2.0};
  Bytes expected = {0x92, 0x92, 0xCA, 0x3F, 0x80, 0x00, 0x00, 0xCA, 0xBF, 0x00, 0x00, 0x00,
                    0xCB, 0x40, 0x00, 0,    0,    0,    0,    0,    0};
  EXPECT_EQ(encode_record(x), expected);
  // Float arrays take the array header of their length: none, and the 16-bit form.
  EXPECT_EQ(encode_record(Floats{{}, 0.0}), (Bytes{0x92, 0x90, 0xCB, 0, 0, 0, 0, 0, 0, 0, 0}));
  std::vector<float> sixteen(16, 0.0f);
  sixteen.back() = -2.0f;
  Bytes long_form = encode_record(Floats{sixteen, 0.0});
  ASSERT_EQ(long_form.size(), 1u + 3 + 16 * 5 + 9);
  EXPECT_EQ(Bytes(long_form.begin() + 1, long_form.begin() + 9), (Bytes{0xDC, 0x00, 0x10, 0xCA, 0, 0, 0, 0}));
  EXPECT_EQ(Bytes(long_form.end() - 14, long_form.end() - 9), (Bytes{0xCA, 0xC0, 0x00, 0x00, 0x00}));
  // Either float width, or an integer, is read into either field.
  Bytes swapped = {0x92, 0x93, 0xCB, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x03, 0xFE, 0xCA, 0x3F, 0x80, 0x00, 0x00};
  auto back = decode_record<Floats>(swapped);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(back->f, (std::vector<float>{1.0f, 3.0f, -2.0f}));
  EXPECT_EQ(back->d, 1.0);
  EXPECT_EQ(decode_error<Floats>(Bytes{0x92, 0x91, 0xC0, 0xCB, 0, 0, 0, 0, 0, 0, 0, 0}),
            "invalid type: unit value, expected f32");
}

TEST(RecordCodec, ArraysOfRecords) {
  std::vector<Inner> rows = {{{7}, {1}}, {{8}, {2, 3}}};
  auto back = decode_array<Inner>(encode_array(rows));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, rows);
  EXPECT_EQ(encode_array(std::vector<Inner>{}), Bytes{0x90});

  auto not_array = decode_array<Inner>(Bytes{0x05});
  ASSERT_FALSE(not_array);
  EXPECT_EQ(not_array.error().text(), "invalid type: integer `5`, expected a sequence");
}

TEST(RecordCodec, IntegersTakeTheShortestForm) {
  struct Case {
    int64_t value;
    Bytes expected;
  };
  const Case cases[] = {
      {0, {0x00}},
      {127, {0x7F}},
      {128, {0xCC, 0x80}},
      {255, {0xCC, 0xFF}},
      {256, {0xCD, 0x01, 0x00}},
      {65535, {0xCD, 0xFF, 0xFF}},
      {65536, {0xCE, 0x00, 0x01, 0x00, 0x00}},
      {int64_t{1} << 32, {0xCF, 0, 0, 0, 1, 0, 0, 0, 0}},
      {-1, {0xFF}},
      {-32, {0xE0}},
      {-33, {0xD0, 0xDF}},
      {-128, {0xD0, 0x80}},
      {-129, {0xD1, 0xFF, 0x7F}},
      {-32768, {0xD1, 0x80, 0x00}},
      {-32769, {0xD2, 0xFF, 0xFF, 0x7F, 0xFF}},
      {std::numeric_limits<int32_t>::min(), {0xD2, 0x80, 0, 0, 0}},
      {int64_t{std::numeric_limits<int32_t>::min()} - 1, {0xD3, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pack_to_bytes([&](Packer& pk) { codec::put(pk, c.value, codec::Plain{}); }), c.expected) << c.value;
  }
  EXPECT_EQ(pack_to_bytes([](Packer& pk) { codec::put(pk, std::numeric_limits<uint64_t>::max(), codec::Plain{}); }),
            (Bytes{0xCF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(RecordCodec, IntegersReadFromAnyFittingFormAndRefuseOutOfRange) {
  // Wide forms holding small values are accepted.
  Bytes wide = {0x94, 0xCF, 0, 0, 0, 0, 0, 0, 0, 200, 0xD3, 0, 0, 0, 0, 0, 0, 0, 7, 0xD0, 0x80, 0xCE, 0, 0, 0, 1};
  auto ok = decode_record<Ints>(wide);
  ASSERT_TRUE(ok) << ok.error().message();
  EXPECT_EQ(ok->u8, 200);
  EXPECT_EQ(ok->u32, 7u);
  EXPECT_EQ(ok->i8, -128);
  EXPECT_EQ(ok->i64, 1);

  struct Case {
    Bytes bytes;
    std::string message;
  };
  const Case cases[] = {
      {{0x94, 0xCD, 0x01, 0x00, 0, 0, 0}, "invalid value: integer `256`, expected u8"},
      {{0x94, 0, 0xFF, 0, 0}, "invalid value: integer `-1`, expected u32"},
      {{0x94, 0, 0, 0xD1, 0xFF, 0x7F, 0}, "invalid value: integer `-129`, expected i8"},
      {{0x94, 0, 0, 0xCC, 0x80, 0}, "invalid value: integer `128`, expected i8"},
      {{0x94, 0, 0, 0, 0xCF, 0x80, 0, 0, 0, 0, 0, 0, 0}, "invalid value: integer `9223372036854775808`, expected i64"},
      {{0x94, 0, 0xA1, 'x', 0, 0}, "invalid type: string \"x\", expected u32"},
      {{0x94, 0, 0xC0, 0, 0}, "invalid type: unit value, expected u32"},
      {{0x94, 0, 0xC3, 0, 0}, "invalid type: boolean `true`, expected u32"},
      {{0x94, 0, 0xCB, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0, 0, 0}, "invalid type: floating point `1.5`, expected u32"},
      {{0x94, 0, 0x90, 0, 0}, "invalid type: sequence, expected u32"},
  };
  for (const Case& c : cases) EXPECT_EQ(decode_error<Ints>(c.bytes), c.message);
}

TEST(RecordCodec, ArrayLengthMustCoverEveryRequiredField) {
  EXPECT_EQ(decode_error<Ints>(Bytes{0x93, 0, 0, 0}), "invalid length 3, expected struct Ints with 4 elements");
  EXPECT_EQ(decode_error<Ints>(Bytes{0x95, 0, 0, 0, 0, 0}), "invalid length 5, expected struct Ints with 4 elements");
  EXPECT_EQ(decode_error<Ints>(Bytes{0xA1, 'x'}), "invalid type: string \"x\", expected struct Ints");
}

TEST(RecordCodec, TrailingFieldsWithDefaultsMayBeOmitted) {
  auto short_form = decode_record<Tail>(Bytes{0x91, 0x07});
  ASSERT_TRUE(short_form);
  EXPECT_EQ(short_form->x, 7);
  EXPECT_EQ(short_form->extra, "none");
  auto full = decode_record<Tail>(Bytes{0x92, 0x07, 0xA1, 'y'});
  ASSERT_TRUE(full);
  EXPECT_EQ(full->extra, "y");
  EXPECT_EQ(decode_error<Tail>(Bytes{0x90}), "invalid length 0, expected struct Tail with 2 elements");
  // Map form: the defaulted field may be absent, the required one may not.
  auto map_form = decode_record<Tail>(pack_to_bytes([](Packer& pk) {
    pk.pack_map(1);
    str(pk, "x");
    pk.pack_uint8(3);
  }));
  ASSERT_TRUE(map_form);
  EXPECT_EQ(map_form->extra, "none");
  EXPECT_EQ(decode_error<Tail>(Bytes{0x80}), "missing field `x`");
}

class RecordMapForm : public ::testing::Test {
 protected:
  // Outer as a map; `skip` names a field left out, `extra` adds an unknown key first.
  static Bytes outer_map(std::string_view skip, bool extra, std::string_view duplicate = {}) {
    Outer o = sample_outer();
    return pack_to_bytes([&](Packer& pk) {
      const std::string_view names[] = {"n", "inner", "items", "note", "color"};
      uint32_t count = 5 - (skip.empty() ? 0 : 1) + (extra ? 1 : 0) + (duplicate.empty() ? 0 : 1);
      pk.pack_map(count);
      if (extra) {
        str(pk, "unknown");
        pk.pack_array(2);
        pk.pack_nil();
        pk.pack_map(0);
      }
      for (std::string_view name : names) {
        if (name == skip) continue;
        int repeat = name == duplicate ? 2 : 1;
        for (int i = 0; i < repeat; ++i) {
          str(pk, name);
          if (name == "n") codec::put(pk, o.n, codec::Plain{});
          if (name == "inner") encode_record(pk, o.inner);
          if (name == "items") codec::put(pk, o.items, codec::Plain{});
          if (name == "note") codec::put(pk, o.note, codec::Plain{});
          if (name == "color") codec::put(pk, o.color, codec::Plain{});
        }
      }
    });
  }
};

TEST_F(RecordMapForm, AcceptsMapSkippingUnknownKeys) {
  auto r = decode_record<Outer>(outer_map({}, true));
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r, sample_outer());
}

TEST_F(RecordMapForm, MissingRequiredFieldFailsAndMissingOptionalIsAbsent) {
  EXPECT_EQ(decode_error<Outer>(outer_map("inner", false)), "missing field `inner`");
  auto r = decode_record<Outer>(outer_map("note", true));
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->note);
}

TEST_F(RecordMapForm, DuplicateFieldFails) {
  EXPECT_EQ(decode_error<Outer>(outer_map({}, false, "color")), "duplicate field `color`");
}

// An Outer whose color field is whatever `write` packs.
template <class F>
Bytes with_color(F write) {
  return pack_to_bytes([&](Packer& pk) {
    pk.pack_array(5);
    pk.pack_uint8(1);
    encode_record(pk, Inner{});
    pk.pack_array(0);
    pk.pack_nil();
    write(pk);
  });
}

TEST(RecordCodec, EnumerationsByNameOrIndex) {
  auto by_index = decode_record<Outer>(with_color([](Packer& pk) { pk.pack_uint8(1); }));
  ASSERT_TRUE(by_index);
  EXPECT_EQ(by_index->color, Color::Green);

  EXPECT_EQ(decode_error<Outer>(with_color([](Packer& pk) { str(pk, "Pink"); })),
            "unknown variant `Pink`, expected one of `Red`, `Green`, `Blue`");
  EXPECT_EQ(decode_error<Outer>(with_color([](Packer& pk) { str(pk, "red"); })),
            "unknown variant `red`, expected one of `Red`, `Green`, `Blue`");
  EXPECT_EQ(decode_error<Outer>(with_color([](Packer& pk) { pk.pack_uint8(3); })),
            "invalid value: integer `3`, expected variant index 0 <= i < 3");
  EXPECT_EQ(decode_error<Outer>(with_color([](Packer& pk) { pk.pack_int8(-1); })),
            "invalid value: integer `-1`, expected variant index 0 <= i < 3");
  EXPECT_EQ(decode_error<Outer>(with_color([](Packer& pk) { pk.pack_nil(); })),
            "invalid type: unit value, expected variant identifier");
}

// Error texts quote the whole string they found, NUL characters and what follows included.
TEST(RecordCodec, ErrorsQuoteWholeTextsWithNulCharacters) {
  using namespace std::string_literals;
  EXPECT_EQ(decode_error<Outer>(with_color([](Packer& pk) { str(pk, "Red\0Blue"s); })),
            "unknown variant `Red\0Blue`, expected one of `Red`, `Green`, `Blue`"s);
  const Bytes note = pack_to_bytes([&](Packer& pk) { str(pk, "\0tail"s); });
  EXPECT_EQ(decode_error<Tail>(note), "invalid type: string \"\0tail\", expected struct Tail"s);
}

TEST(RecordCodec, UlidTextField) {
  WithUlid w{(u128{0x0123456789ABCDEFull} << 64) | 0xFEDCBA9876543210ull};
  Bytes bytes = encode_record(w);
  ASSERT_EQ(bytes.size(), 1u + 2u + 26u);
  EXPECT_EQ(bytes[1], 0xD9);  // str 8 even though a fixstr would hold 26 bytes
  EXPECT_EQ(bytes[2], 26);
  EXPECT_EQ(std::string(bytes.begin() + 3, bytes.end()), ulid_to_text(w.id));
  auto back = decode_record<WithUlid>(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->id, w.id);

  Bytes bad = pack_to_bytes([](Packer& pk) {
    pk.pack_array(1);
    str(pk, "not-a-ulid");
  });
  EXPECT_EQ(decode_error<WithUlid>(bad), "invalid value: string \"not-a-ulid\", expected a 26-character ULID");
}

TEST(RecordCodec, JsonKindsRoundTripWithKeysAscending) {
  Json value = {{"zeta", nullptr},
                {"b", true},
                {"a", {{"nested", Json::array({1, -2, 3.5})}}},
                {"ab", std::numeric_limits<uint64_t>::max()},
                {"neg", std::numeric_limits<int64_t>::min()},
                {"f", 2.0},
                {"s", "text"},
                {"\xC3\xA9", Json::array()},
                {"B", Json::object()}};
  Bytes bytes = encode_record(WithJson{value});
  auto back = decode_record<WithJson>(bytes);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(back->value, value);
  EXPECT_TRUE(back->value["f"].is_number_float());  // an integral float stays a float
  EXPECT_TRUE(back->value["ab"].is_number_unsigned());
  EXPECT_TRUE(back->value["neg"].is_number_integer());

  // Keys in ascending byte order on the wire; 2.0 is written as float 64.
  auto h = unpack_value(bytes);
  ASSERT_TRUE(h);
  const msgpack::object& map = h->get().via.array.ptr[0];
  ASSERT_EQ(map.type, msgpack::type::MAP);
  std::vector<std::string> keys;
  for (uint32_t i = 0; i < map.via.map.size; ++i) {
    keys.emplace_back(map.via.map.ptr[i].key.via.str.ptr, map.via.map.ptr[i].key.via.str.size);
    if (keys.back() == "f") {
      EXPECT_EQ(map.via.map.ptr[i].val.type, msgpack::type::FLOAT64);
    }
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "ab", "b", "f", "neg", "s", "zeta", "\xC3\xA9"}));
}

TEST(RecordCodec, JsonFloat32DecodesAsFloat) {
  Bytes bytes = pack_to_bytes([](Packer& pk) {
    pk.pack_array(1);
    pk.pack_float(0.25f);
  });
  auto r = decode_record<WithJson>(bytes);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->value.is_number_float());
  EXPECT_EQ(r->value.get<double>(), 0.25);
}

// `levels` nested one-element arrays around a 0.
Bytes nested_arrays(size_t levels) {
  Bytes b(levels, 0x91);
  b.push_back(0x00);
  return b;
}

TEST(RecordCodec, NestingIsLimitedTo1024Levels) {
  EXPECT_TRUE(unpack_value(nested_arrays(1024)));
  auto deep = unpack_value(nested_arrays(1025));
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().message(), "serialization error: nesting deeper than 1024 levels");
  // The same limit applies through a record decoder.
  Bytes record = nested_arrays(2000);
  record.insert(record.begin(), 0x91);
  EXPECT_EQ(decode_error<WithJson>(record), "nesting deeper than 1024 levels");
}

TEST(RecordCodec, MalformedBlobsFail) {
  EXPECT_EQ(decode_error<Ints>(Bytes{}), "unexpected end of MessagePack data");
  EXPECT_EQ(decode_error<Ints>(Bytes{0x94, 0, 0}), "unexpected end of MessagePack data");
  EXPECT_EQ(decode_error<Ints>(Bytes{0x94, 0, 0, 0, 0, 0x00, 0x01}), "2 trailing bytes after the value");
  // Lengths that no input of this size can hold are refused before any room is reserved
  // for them (an array, a map, a str and a bin claiming about 4 billion items or bytes).
  for (const Bytes& huge : {Bytes{0xDD, 0xFF, 0xFF, 0xFF, 0xF0, 0x00}, Bytes{0xDF, 0xFF, 0xFF, 0xFF, 0xF0, 0x00, 0x00},
                            Bytes{0xDB, 0xFF, 0xFF, 0xFF, 0xF0, 0x61}, Bytes{0xC6, 0xFF, 0xFF, 0xFF, 0xF0, 0x01}}) {
    EXPECT_EQ(decode_error<Ints>(huge), "unexpected end of MessagePack data");
  }
  auto bad_marker = decode_record<Ints>(Bytes{0xC1});
  ASSERT_FALSE(bad_marker);
  EXPECT_EQ(bad_marker.error().kind(), ErrorKind::Serialization);
}

}  // namespace
}  // namespace ormel
