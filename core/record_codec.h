// Record codec: the one MessagePack form shared by every record the file persists.
//
// Contract:
// - A record type lists its fields once, in declaration order, and gets its encoder and
//   decoder from that list:
//
//     struct Posting {
//       static constexpr std::string_view kRecordName = "Posting";
//       template <class V, class R> static void fields(V& v, R& r) {
//         v("ids", r.ids);
//         v("codes", r.codes);
//       }
//       ...
//     };
//
//   `R` is the record or the const record. A third argument picks a field codec where
//   the C++ type alone is ambiguous (codec::UlidText for a memory id). Records that
//   accept fewer trailing fields (left at their default) declare
//   `static constexpr size_t kMinFields = n;`. A type whose definition cannot be
//   changed specialises RecordDef<T> with kName, kMinFields and fields().
// - Written form:
//     record           array of all fields in declaration order, names never written
//     unsigned/signed  shortest integer form; non-negative values use the unsigned forms
//     bool             0xC2 / 0xC3
//     float / double   float 32 (0xCA) / float 64 (0xCB), big-endian
//     std::string      str in the shortest length form (fixstr below 32 bytes)
//     std::optional    nil when absent, the bare value when present
//     vector / array   array of the elements (byte sequences too: small integers, never bin)
//     enumeration      str of its variant name, from the ADL overload
//                      `std::span<const std::string_view> variant_names(E)`
//     u128             bin 8 of length 16, big-endian
//     floats, FloatBin bin of 4 bytes per value, each little-endian
//     u128, UlidText   the 26-character ULID text, always as str 8 (0xD9 0x1A), not fixstr
//     Json             nil, bool, integer (as above), float 64, str, array, map whose keys
//                      ascend by bytes
// - Reading accepts: any integer form whose value fits the field; float 32, float 64 or an
//   integer for either float width; a vector of floats as an array or in the FloatBin form; an enumeration by name or by zero-based index; a record as an
//   array of at least kMinFields and at most all fields, or as a map from field name to
//   value (unknown keys skipped, absent optionals and defaulted trailing fields read as
//   absent). Nesting is limited to 1024 levels; bytes after the value are an error.
// - Failures are Serialization errors whose text is the decoder's message, e.g.
//   "invalid length 12, expected struct Memory with 13 elements", "missing field `content`",
//   "duplicate field `id`", "unknown variant `X`, expected `Private` or `Shared`",
//   "invalid value: integer `7`, expected variant index 0 <= i < 4",
//   "invalid type: string \"x\", expected u32". No exception leaves this layer.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <msgpack.hpp>

#include "core/byte_order.h"
#include "core/error.h"
#include "core/memory.h"

namespace ormel {

// The packer's output: appends to a byte vector.
struct ByteSink {
  std::vector<uint8_t>* out;
  void write(const char* p, size_t n) {
    if (n != 0) std::memcpy(grow(n), p, n);  // an empty write may come with a null pointer
  }
  // Appends n bytes for the caller to fill; returns the first.
  uint8_t* grow(size_t n) {
    const size_t at = out->size();
    out->resize(at + n);
    return out->data() + at;
  }
};

// msgpack-cxx's packer plus true float writers: its own pack_float/pack_double write an
// integral value (1.0f) as an integer, which the record form forbids. Never call those two.
class Packer : public msgpack::packer<ByteSink> {
 public:
  explicit Packer(ByteSink& sink) : msgpack::packer<ByteSink>(sink), sink_(&sink) {}
  // float 32: 0xCA and the IEEE 754 bits big-endian.
  void pack_f32(float v) { write_be<5>(0xCA, std::bit_cast<uint32_t>(v)); }
  // An array of float 32 values, as pack_array then pack_f32 for each, written in place.
  void pack_f32_array(std::span<const float> values) {
    pack_array(static_cast<uint32_t>(values.size()));
    uint8_t* at = sink_->grow(5 * values.size());
    for (float v : values) {
      at[0] = 0xCA;
      store_be(at + 1, std::bit_cast<uint32_t>(v));
      at += 5;
    }
  }
  // float 64: 0xCB and the IEEE 754 bits big-endian.
  void pack_f64(double v) { write_be<9>(0xCB, std::bit_cast<uint64_t>(v)); }
  // str 8 whatever the length (at most 255): the fixed form of memory ids.
  void pack_str8(std::string_view s) {
    const char head[2] = {static_cast<char>(0xD9), static_cast<char>(s.size())};
    sink_->write(head, 2);
    sink_->write(s.data(), s.size());
  }

 private:
  template <size_t N, class U>
  void write_be(uint8_t marker, U bits) {
    char buf[N];
    buf[0] = static_cast<char>(marker);
    for (size_t i = N - 1; i >= 1; --i, bits >>= 8) buf[i] = static_cast<char>(bits & 0xFF);
    sink_->write(buf, N);
  }
  ByteSink* sink_;
};

// How a record type is seen by the codec. The primary template covers types that carry
// kRecordName and fields() themselves.
template <class T>
struct RecordDef {};

template <class T>
  requires requires { T::kRecordName; }
struct RecordDef<T> {
  static constexpr std::string_view kName = T::kRecordName;
  static constexpr size_t kMinFields = [] {
    if constexpr (requires { T::kMinFields; }) return size_t{T::kMinFields};
    else return std::numeric_limits<size_t>::max();  // every field is required
  }();
  template <class V, class R>
  static void fields(V& v, R& r) { T::fields(v, r); }
};

template <class T>
concept Record = requires { RecordDef<T>::kName; };

namespace codec {

struct Plain {};     // the codec implied by the field's C++ type
struct UlidText {};  // a memory id written as its ULID text
struct FloatBin {};  // float 32 values as one bin, each value's 4 bytes little-endian

// --- Messages -------------------------------------------------------------------------

// The found value in the style "string \"abc\"", "integer `5`", "sequence", "unit value".
std::string describe(const msgpack::object& o);
// Containers nest at most this deep in anything the decoder accepts, the record's own
// array counting as the first level.
inline constexpr size_t kMaxDepth = 1024;
// The decoder's refusal of deeper nesting; encoders refuse with the same error.
OrmelError nesting_too_deep();
// The levels of containers in `v`, counting `v` itself (0 for a scalar; a binary value is
// written as an array, so it counts as one). Measured without recursion.
size_t json_depth(const Json& v);

OrmelError invalid_type(const msgpack::object& o, std::string_view expected);
OrmelError invalid_value(const msgpack::object& o, std::string_view expected);
OrmelError invalid_length(size_t found, std::string_view expected);
OrmelError unknown_variant(std::string_view found, std::span<const std::string_view> names);

// --- Encoding -------------------------------------------------------------------------

inline void put(Packer& pk, bool v, Plain) { v ? pk.pack_true() : pk.pack_false(); }
template <class T>
  requires(std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
void put(Packer& pk, T v, Plain) { pk.pack_uint64(v); }
template <class T>
  requires(std::is_integral_v<T> && std::is_signed_v<T>)
void put(Packer& pk, T v, Plain) { pk.pack_int64(v); }
inline void put(Packer& pk, float v, Plain) { pk.pack_f32(v); }
inline void put(Packer& pk, double v, Plain) { pk.pack_f64(v); }
void put(Packer& pk, const std::string& v, Plain);
void put(Packer& pk, u128 v, Plain);
void put(Packer& pk, u128 v, UlidText);
void put(Packer& pk, const Json& v, Plain);

template <class E>
  requires std::is_enum_v<E>
void put(Packer& pk, E e, Plain) {
  std::string_view name = variant_names(e)[static_cast<size_t>(e)];
  pk.pack_str(static_cast<uint32_t>(name.size()));
  pk.pack_str_body(name.data(), static_cast<uint32_t>(name.size()));
}

template <class T, class Tag>
void put(Packer& pk, const std::optional<T>& v, Tag tag) {
  if (v) put(pk, *v, tag);
  else pk.pack_nil();
}
inline void put(Packer& pk, const std::vector<float>& v, Plain) { pk.pack_f32_array(v); }
inline void put(Packer& pk, std::span<const float> v, Plain) { pk.pack_f32_array(v); }
void put(Packer& pk, std::span<const float> v, FloatBin);
inline void put(Packer& pk, const std::vector<float>& v, FloatBin tag) { put(pk, std::span<const float>(v), tag); }
template <class T, class Tag>
void put(Packer& pk, const std::vector<T>& v, Tag tag) {
  pk.pack_array(static_cast<uint32_t>(v.size()));
  for (const T& x : v) put(pk, x, tag);
}
template <class T, size_t N, class Tag>
void put(Packer& pk, const std::array<T, N>& v, Tag tag) {
  pk.pack_array(static_cast<uint32_t>(N));
  for (const T& x : v) put(pk, x, tag);
}

// Counts the fields of a record.
struct FieldCounter {
  size_t n = 0;
  template <class F, class Tag = Plain>
  void operator()(std::string_view, F&, Tag = {}) { ++n; }
};

struct FieldWriter {
  Packer& pk;
  template <class F, class Tag = Plain>
  void operator()(std::string_view, const F& f, Tag tag = {}) { put(pk, f, tag); }
};

template <Record T>
void put(Packer& pk, const T& r, Plain) {
  FieldCounter count;
  RecordDef<T>::fields(count, r);
  pk.pack_array(static_cast<uint32_t>(count.n));
  FieldWriter w{pk};
  RecordDef<T>::fields(w, r);
}

// --- Decoding -------------------------------------------------------------------------

Status get(const msgpack::object& o, bool& v, Plain);
Status get(const msgpack::object& o, float& v, Plain);
Status get(const msgpack::object& o, double& v, Plain);
Status get(const msgpack::object& o, std::string& v, Plain);
Status get(const msgpack::object& o, u128& v, Plain);
Status get(const msgpack::object& o, u128& v, UlidText);
Status get(const msgpack::object& o, Json& v, Plain);
// An array of numbers, or a bin of little-endian float 32 values (the FloatBin form).
Status get(const msgpack::object& o, std::vector<float>& v, Plain);

// "u8", "i64", ...: the expected-type word of integer fields.
template <class T>
constexpr std::string_view int_name() {
  constexpr bool s = std::is_signed_v<T>;
  switch (sizeof(T)) {
    case 1: return s ? "i8" : "u8";
    case 2: return s ? "i16" : "u16";
    case 4: return s ? "i32" : "u32";
    default: return s ? "i64" : "u64";
  }
}

template <class T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && sizeof(T) <= 8)
Status get(const msgpack::object& o, T& v, Plain) {
  if (o.type == msgpack::type::POSITIVE_INTEGER) {
    if (o.via.u64 > static_cast<uint64_t>(std::numeric_limits<T>::max()))
      return fail(invalid_value(o, int_name<T>()));
    v = static_cast<T>(o.via.u64);
    return {};
  }
  if (o.type == msgpack::type::NEGATIVE_INTEGER) {
    if constexpr (std::is_signed_v<T>) {
      if (o.via.i64 >= static_cast<int64_t>(std::numeric_limits<T>::min())) {
        v = static_cast<T>(o.via.i64);
        return {};
      }
    }
    return fail(invalid_value(o, int_name<T>()));
  }
  return fail(invalid_type(o, int_name<T>()));
}

template <class E>
  requires std::is_enum_v<E>
Status get(const msgpack::object& o, E& v, Plain) {
  std::span<const std::string_view> names = variant_names(E{});
  if (o.type == msgpack::type::STR) {
    std::string_view s(o.via.str.ptr, o.via.str.size);
    for (size_t i = 0; i < names.size(); ++i) {
      if (names[i] == s) {
        v = static_cast<E>(i);
        return {};
      }
    }
    return fail(unknown_variant(s, names));
  }
  if (o.type == msgpack::type::POSITIVE_INTEGER || o.type == msgpack::type::NEGATIVE_INTEGER) {
    if (o.type == msgpack::type::POSITIVE_INTEGER && o.via.u64 < names.size()) {
      v = static_cast<E>(o.via.u64);
      return {};
    }
    return fail(invalid_value(o, "variant index 0 <= i < " + std::to_string(names.size())));
  }
  return fail(invalid_type(o, "variant identifier"));
}

template <class T, class Tag>
Status get(const msgpack::object& o, std::optional<T>& v, Tag tag) {
  if (o.type == msgpack::type::NIL) {
    v.reset();
    return {};
  }
  T x{};
  ORMEL_TRY(get(o, x, tag));
  v = std::move(x);
  return {};
}

template <class T, class Tag>
Status get(const msgpack::object& o, std::vector<T>& v, Tag tag) {
  if (o.type != msgpack::type::ARRAY) return fail(invalid_type(o, "a sequence"));
  v.clear();
  v.resize(o.via.array.size);
  for (uint32_t i = 0; i < o.via.array.size; ++i) ORMEL_TRY(get(o.via.array.ptr[i], v[i], tag));
  return {};
}

template <class T, size_t N, class Tag>
Status get(const msgpack::object& o, std::array<T, N>& v, Tag tag) {
  if (o.type != msgpack::type::ARRAY) return fail(invalid_type(o, "an array of length " + std::to_string(N)));
  if (o.via.array.size != N) return fail(invalid_length(o.via.array.size, "an array of length " + std::to_string(N)));
  for (size_t i = 0; i < N; ++i) ORMEL_TRY(get(o.via.array.ptr[i], v[i], tag));
  return {};
}

template <class T>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

// Collects the field names of a record, for the map form (records have at most kMax).
struct FieldNames {
  static constexpr size_t kMax = 32;
  std::array<std::string_view, kMax> names{};
  size_t n = 0;
  template <class F, class Tag = Plain>
  void operator()(std::string_view name, F&, Tag = {}) {
    if (n < kMax) names[n] = name;
    ++n;
  }
};

// Reads fields from consecutive array elements; fields past `size` keep their defaults.
struct ArrayFieldReader {
  const msgpack::object* items;
  size_t size;
  size_t i = 0;
  Status status{};
  template <class F, class Tag = Plain>
  void operator()(std::string_view, F& f, Tag tag = {}) {
    if (status && i < size) status = get(items[i], f, tag);
    ++i;
  }
};

// Reads fields from the values a map gave for them; `values[i]` is null when absent.
struct MapFieldReader {
  const msgpack::object* const* values;
  size_t min_fields;
  size_t i = 0;
  Status status{};
  template <class F, class Tag = Plain>
  void operator()(std::string_view name, F& f, Tag tag = {}) {
    if (status) {
      if (values[i] != nullptr) status = get(*values[i], f, tag);
      else if (!kIsOptional<F> && i < min_fields)
        status = fail(OrmelError::serialization("missing field `" + std::string(name) + "`"));
    }
    ++i;
  }
};

std::string record_expectation(std::string_view name, size_t field_count);

template <Record T>
Status get(const msgpack::object& o, T& r, Plain) {
  using Def = RecordDef<T>;
  FieldCounter count;
  Def::fields(count, r);
  const size_t n = count.n;
  if (o.type == msgpack::type::ARRAY) {
    const size_t size = o.via.array.size;
    if (size < std::min(n, Def::kMinFields) || size > n)
      return fail(invalid_length(size, record_expectation(Def::kName, n)));
    ArrayFieldReader reader{o.via.array.ptr, size};
    Def::fields(reader, r);
    return reader.status;
  }
  if (o.type == msgpack::type::MAP) {
    FieldNames names;
    Def::fields(names, r);
    std::array<const msgpack::object*, FieldNames::kMax> values{};
    for (uint32_t k = 0; k < o.via.map.size; ++k) {
      const msgpack::object_kv& kv = o.via.map.ptr[k];
      if (kv.key.type != msgpack::type::STR) return fail(invalid_type(kv.key, "field identifier"));
      std::string_view key(kv.key.via.str.ptr, kv.key.via.str.size);
      for (size_t j = 0; j < n && j < FieldNames::kMax; ++j) {
        if (names.names[j] != key) continue;
        if (values[j] != nullptr)
          return fail(OrmelError::serialization("duplicate field `" + std::string(key) + "`"));
        values[j] = &kv.val;
        break;
      }
    }
    MapFieldReader reader{values.data(), Def::kMinFields};
    Def::fields(reader, r);
    return reader.status;
  }
  return fail(invalid_type(o, "struct " + std::string(Def::kName)));
}

}  // namespace codec

// --- Blobs ----------------------------------------------------------------------------

// Parses one MessagePack value that spans all of `bytes` (nesting limit 1024). Strings and
// bins of the result point into `bytes`, which must outlive the handle.
Result<msgpack::object_handle> unpack_value(std::span<const uint8_t> bytes);

// Runs `build(packer)` over a fresh byte vector reserved to `reserve` bytes; returns the bytes.
template <class F>
std::vector<uint8_t> pack_to_bytes(F&& build, size_t reserve = 0) {
  std::vector<uint8_t> out;
  out.reserve(reserve);
  ByteSink sink{&out};
  Packer pk(sink);
  build(pk);
  return out;
}

// A JSON value alone in the record form (the form metadata takes inside a record).
inline std::vector<uint8_t> pack_json(const Json& v) {
  return pack_to_bytes([&](Packer& pk) { codec::put(pk, v, codec::Plain{}); });
}

template <Record T>
void encode_record(Packer& pk, const T& r) { codec::put(pk, r, codec::Plain{}); }

template <Record T>
std::vector<uint8_t> encode_record(const T& r, size_t reserve = 0) {
  return pack_to_bytes([&](Packer& pk) { encode_record(pk, r); }, reserve);
}

template <Record T>
Result<T> decode_record(const msgpack::object& o) {
  T r{};
  ORMEL_TRY(codec::get(o, r, codec::Plain{}));
  return r;
}

template <Record T>
Result<T> decode_record(std::span<const uint8_t> bytes) {
  ORMEL_ASSIGN(msgpack::object_handle h, unpack_value(bytes));
  return decode_record<T>(h.get());
}

// A blob that is one array of records; `reserve` is a size hint for the output.
template <Record T>
std::vector<uint8_t> encode_array(const std::vector<T>& rows, size_t reserve = 0) {
  return pack_to_bytes([&](Packer& pk) { codec::put(pk, rows, codec::Plain{}); }, reserve);
}

template <Record T>
Result<std::vector<T>> decode_array(std::span<const uint8_t> bytes) {
  ORMEL_ASSIGN(msgpack::object_handle h, unpack_value(bytes));
  std::vector<T> rows;
  ORMEL_TRY(codec::get(h.get(), rows, codec::Plain{}));
  return rows;
}

}  // namespace ormel
