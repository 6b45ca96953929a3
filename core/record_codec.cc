#include "core/record_codec.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>

namespace ormel {
namespace codec {

namespace {

std::string float_text(double d) {
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, res.ptr);
}

void put_str(Packer& pk, std::string_view s) {
  pk.pack_str(static_cast<uint32_t>(s.size()));
  pk.pack_str_body(s.data(), static_cast<uint32_t>(s.size()));
}

std::string quoted_list(std::span<const std::string_view> names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " or " : ", ";
    out += '`';
    out += names[i];
    out += '`';
  }
  return out;
}

}  // namespace

std::string describe(const msgpack::object& o) {
  switch (o.type) {
    case msgpack::type::NIL: return "unit value";
    case msgpack::type::BOOLEAN: return std::string("boolean `") + (o.via.boolean ? "true" : "false") + "`";
    case msgpack::type::POSITIVE_INTEGER: return "integer `" + std::to_string(o.via.u64) + "`";
    case msgpack::type::NEGATIVE_INTEGER: return "integer `" + std::to_string(o.via.i64) + "`";
    case msgpack::type::FLOAT32:
    case msgpack::type::FLOAT64: return "floating point `" + float_text(o.via.f64) + "`";
    case msgpack::type::STR: return "string \"" + std::string(o.via.str.ptr, o.via.str.size) + "\"";
    case msgpack::type::BIN: return "byte array";
    case msgpack::type::ARRAY: return "sequence";
    case msgpack::type::MAP: return "map";
    default: return "extension value";
  }
}

OrmelError invalid_type(const msgpack::object& o, std::string_view expected) {
  return OrmelError::serialization("invalid type: " + describe(o) + ", expected " + std::string(expected));
}

OrmelError invalid_value(const msgpack::object& o, std::string_view expected) {
  return OrmelError::serialization("invalid value: " + describe(o) + ", expected " + std::string(expected));
}

OrmelError invalid_length(size_t found, std::string_view expected) {
  return OrmelError::serialization("invalid length " + std::to_string(found) + ", expected " + std::string(expected));
}

OrmelError unknown_variant(std::string_view found, std::span<const std::string_view> names) {
  std::string expected = names.size() == 2 ? "expected " : "expected one of ";
  return OrmelError::serialization("unknown variant `" + std::string(found) + "`, " + expected + quoted_list(names));
}

std::string record_expectation(std::string_view name, size_t field_count) {
  return "struct " + std::string(name) + " with " + std::to_string(field_count) + " elements";
}

OrmelError nesting_too_deep() {
  return OrmelError::serialization("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
}

size_t json_depth(const Json& v) {
  // An explicit stack: the value may nest deeper than the call stack could follow.
  size_t deepest = 0;
  std::vector<std::pair<const Json*, size_t>> pending{{&v, 1}};
  while (!pending.empty()) {
    auto [x, depth] = pending.back();
    pending.pop_back();
    if (!x->is_structured() && !x->is_binary()) continue;
    deepest = std::max(deepest, depth);
    if (x->is_structured()) {
      for (const Json& child : *x) pending.emplace_back(&child, depth + 1);
    }
  }
  return deepest;
}

// --- Encoding -------------------------------------------------------------------------

void put(Packer& pk, const std::string& v, Plain) { put_str(pk, v); }

void put(Packer& pk, std::span<const float> v, FloatBin) {
  const size_t bytes = 4 * v.size();
  pk.pack_bin(static_cast<uint32_t>(bytes));
  if constexpr (std::endian::native == std::endian::little) {
    pk.pack_bin_body(reinterpret_cast<const char*>(v.data()), static_cast<uint32_t>(bytes));
  } else {
    for (float x : v) {
      const uint32_t le = __builtin_bswap32(std::bit_cast<uint32_t>(x));
      pk.pack_bin_body(reinterpret_cast<const char*>(&le), 4);
    }
  }
}

void put(Packer& pk, u128 v, Plain) {
  char be[16];
  for (int i = 15; i >= 0; --i, v >>= 8) be[i] = static_cast<char>(static_cast<uint8_t>(v));
  pk.pack_bin(16);
  pk.pack_bin_body(be, 16);
}

void put(Packer& pk, u128 v, UlidText) { pk.pack_str8(ulid_to_text(v)); }

void put(Packer& pk, const Json& v, Plain) {
  switch (v.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded: pk.pack_nil(); return;
    case Json::value_t::boolean: put(pk, v.get<bool>(), Plain{}); return;
    case Json::value_t::number_integer: pk.pack_int64(v.get<int64_t>()); return;
    case Json::value_t::number_unsigned: pk.pack_uint64(v.get<uint64_t>()); return;
    case Json::value_t::number_float: pk.pack_f64(v.get<double>()); return;
    case Json::value_t::string: put_str(pk, v.get_ref<const std::string&>()); return;
    case Json::value_t::binary: put(pk, static_cast<const std::vector<uint8_t>&>(v.get_binary()), Plain{}); return;
    case Json::value_t::array:
      pk.pack_array(static_cast<uint32_t>(v.size()));
      for (const Json& x : v) put(pk, x, Plain{});
      return;
    case Json::value_t::object:
      // The object's map orders keys by std::string comparison, which is by bytes.
      pk.pack_map(static_cast<uint32_t>(v.size()));
      for (auto it = v.begin(); it != v.end(); ++it) {
        put_str(pk, it.key());
        put(pk, it.value(), Plain{});
      }
      return;
  }
}

// --- Decoding -------------------------------------------------------------------------

Status get(const msgpack::object& o, bool& v, Plain) {
  if (o.type != msgpack::type::BOOLEAN) return fail(invalid_type(o, "a boolean"));
  v = o.via.boolean;
  return {};
}

namespace {

// Float fields take either float width, and integers too: other writers (msgpack-cxx's
// own pack_float among them) store integral floats as integers.
std::optional<double> number(const msgpack::object& o) {
  switch (o.type) {
    case msgpack::type::FLOAT32:
    case msgpack::type::FLOAT64: return o.via.f64;
    case msgpack::type::POSITIVE_INTEGER: return static_cast<double>(o.via.u64);
    case msgpack::type::NEGATIVE_INTEGER: return static_cast<double>(o.via.i64);
    default: return std::nullopt;
  }
}

}  // namespace

Status get(const msgpack::object& o, float& v, Plain) {
  std::optional<double> d = number(o);
  if (!d) return fail(invalid_type(o, "f32"));
  v = static_cast<float>(*d);
  return {};
}

Status get(const msgpack::object& o, double& v, Plain) {
  std::optional<double> d = number(o);
  if (!d) return fail(invalid_type(o, "f64"));
  v = *d;
  return {};
}

Status get(const msgpack::object& o, std::string& v, Plain) {
  if (o.type != msgpack::type::STR) return fail(invalid_type(o, "a string"));
  v.assign(o.via.str.ptr, o.via.str.size);
  return {};
}

Status get(const msgpack::object& o, u128& v, Plain) {
  if (o.type != msgpack::type::BIN) return fail(invalid_type(o, "a 128-bit integer as 16 bytes"));
  if (o.via.bin.size != 16) return fail(invalid_length(o.via.bin.size, "16 bytes of a 128-bit integer"));
  u128 x = 0;
  for (uint32_t i = 0; i < 16; ++i) x = (x << 8) | static_cast<uint8_t>(o.via.bin.ptr[i]);
  v = x;
  return {};
}

Status get(const msgpack::object& o, u128& v, UlidText) {
  if (o.type != msgpack::type::STR) return fail(invalid_type(o, "a ULID string"));
  std::optional<MemoryId> id = ulid_from_text(std::string_view(o.via.str.ptr, o.via.str.size));
  if (!id) return fail(invalid_value(o, "a 26-character ULID"));
  v = *id;
  return {};
}

Status get(const msgpack::object& o, std::vector<float>& v, Plain) {
  if (o.type != msgpack::type::BIN) return get<float, Plain>(o, v, Plain{});
  if (o.via.bin.size % 4 != 0) return fail(invalid_type(o, "a sequence of f32"));
  v.resize(o.via.bin.size / 4);
  for (size_t i = 0; i < v.size(); ++i) {
    uint32_t bits;
    std::memcpy(&bits, o.via.bin.ptr + 4 * i, 4);
    if constexpr (std::endian::native != std::endian::little) bits = __builtin_bswap32(bits);
    // A signalling NaN comes back quiet, as it does from the array form (whose items the
    // decoder widens to double and back), so both forms read the same value.
    if ((bits & 0x7F800000u) == 0x7F800000u && (bits & 0x007FFFFFu) != 0) bits |= 0x00400000u;
    v[i] = std::bit_cast<float>(bits);
  }
  return {};
}

Status get(const msgpack::object& o, Json& v, Plain) {
  switch (o.type) {
    case msgpack::type::NIL: v = nullptr; return {};
    case msgpack::type::BOOLEAN: v = o.via.boolean; return {};
    case msgpack::type::POSITIVE_INTEGER: v = o.via.u64; return {};
    case msgpack::type::NEGATIVE_INTEGER: v = o.via.i64; return {};
    case msgpack::type::FLOAT32:
    case msgpack::type::FLOAT64: v = o.via.f64; return {};
    case msgpack::type::STR: v = std::string(o.via.str.ptr, o.via.str.size); return {};
    case msgpack::type::ARRAY: {
      v = Json::array();
      auto& arr = v.get_ref<Json::array_t&>();
      arr.resize(o.via.array.size);
      for (uint32_t i = 0; i < o.via.array.size; ++i) ORMEL_TRY(get(o.via.array.ptr[i], arr[i], Plain{}));
      return {};
    }
    case msgpack::type::MAP: {
      v = Json::object();
      auto& obj = v.get_ref<Json::object_t&>();
      for (uint32_t i = 0; i < o.via.map.size; ++i) {
        const msgpack::object_kv& kv = o.via.map.ptr[i];
        if (kv.key.type != msgpack::type::STR) return fail(invalid_type(kv.key, "a string key"));
        Json value;
        ORMEL_TRY(get(kv.val, value, Plain{}));
        obj.insert_or_assign(std::string(kv.key.via.str.ptr, kv.key.via.str.size), std::move(value));
      }
      return {};
    }
    default: return fail(invalid_type(o, "any valid JSON value"));
  }
}

}  // namespace codec

Result<msgpack::object_handle> unpack_value(std::span<const uint8_t> bytes) {
  // Strings and bins are referenced in place instead of copied into the zone.
  auto reference_all = [](msgpack::type::object_type, std::size_t, void*) { return true; };
  // Every element of an array takes at least one byte and every pair of a map two, so a
  // length beyond that cannot be satisfied by the data; refusing it up front keeps a corrupt
  // length from making the unpacker reserve room for billions of elements.
  const auto n = static_cast<uint32_t>(std::min<size_t>(bytes.size(), 0xffffffff));
  const msgpack::unpack_limit limit(n, n / 2, n, n, n, codec::kMaxDepth);
  const char* data = reinterpret_cast<const char*>(bytes.data());
  std::size_t off = 0;
  msgpack::object_handle h;
  try {
    h = msgpack::unpack(data, bytes.size(), off, reference_all, nullptr, limit);
  } catch (const msgpack::insufficient_bytes&) {
    return fail(OrmelError::serialization("unexpected end of MessagePack data"));
  } catch (const msgpack::depth_size_overflow&) {
    return fail(codec::nesting_too_deep());
  } catch (const msgpack::size_overflow&) {
    return fail(OrmelError::serialization("unexpected end of MessagePack data"));
  } catch (const std::exception& e) {
    return fail(OrmelError::serialization(std::string("invalid MessagePack data: ") + e.what()));
  }
  if (off != bytes.size())
    return fail(OrmelError::serialization(std::to_string(bytes.size() - off) + " trailing bytes after the value"));
  return h;
}

}  // namespace ormel
