#include "core/memory_fields.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/msgpack_cursor.h"

namespace ormel {
namespace {

constexpr uint32_t kMemoryFieldCount = 13;

// One metadata value of the accepted form; `depth` counts the containers around it.
bool metadata_value(MsgCursor& c, size_t depth) {
  switch (c.kind()) {
    case MsgKind::Nil: return c.nil();
    case MsgKind::Bool: return c.boolean().has_value();
    case MsgKind::Int: {
      // The general decoder and the JSON library disagree on the type of a non-negative
      // value in a signed form, which the engine never writes.
      const std::optional<MsgCursor::Integer> i = c.integer();
      return i && (i->negative || !i->signed_form);
    }
    case MsgKind::Float32: return c.f32().has_value();
    case MsgKind::Float64: return c.f64().has_value();
    case MsgKind::Str: return c.str().has_value();
    case MsgKind::Array: {
      const std::optional<uint32_t> n = c.array();
      if (!n || depth == kMaxMetadataDepth) return false;
      for (uint32_t i = 0; i < *n; ++i) {
        if (!metadata_value(c, depth + 1)) return false;
      }
      return true;
    }
    case MsgKind::Map: {
      const std::optional<uint32_t> n = c.map();
      if (!n || depth == kMaxMetadataDepth) return false;
      std::optional<std::string_view> previous;
      for (uint32_t i = 0; i < *n; ++i) {
        // Ascending, hence unique, keys: the order a JSON object iterates in.
        const std::optional<std::string_view> key = c.str();
        if (!key || (previous && !(*previous < *key))) return false;
        previous = key;
        if (!metadata_value(c, depth + 1)) return false;
      }
      return true;
    }
    default: return false;
  }
}

std::optional<int64_t> signed_field(MsgCursor& c) {
  const std::optional<MsgCursor::Integer> i = c.integer();
  if (!i || (!i->negative && i->value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())))
    return std::nullopt;
  return static_cast<int64_t>(i->value);
}

std::optional<uint32_t> u32_field(MsgCursor& c) {
  const std::optional<MsgCursor::Integer> i = c.integer();
  if (!i || i->negative || i->value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(i->value);
}

// An enumeration of `count` variants by its variant name, `name_of` giving the names.
template <class E>
std::optional<E> variant_field(MsgCursor& c, size_t count, std::string_view (*name_of)(E)) {
  const std::optional<std::string_view> name = c.str();
  if (!name) return std::nullopt;
  for (size_t i = 0; i < count; ++i) {
    if (name_of(static_cast<E>(i)) == *name) return static_cast<E>(i);
  }
  return std::nullopt;
}

uint32_t f32_bits(const uint8_t* item) {
  uint32_t bits;
  std::memcpy(&bits, item + 1, 4);
  return std::endian::native == std::endian::little ? __builtin_bswap32(bits) : bits;
}

uint32_t le32_bits(const uint8_t* value) {
  uint32_t bits;
  std::memcpy(&bits, value, 4);
  return std::endian::native == std::endian::little ? bits : __builtin_bswap32(bits);
}

// Value i of a vector read in place, in either form.
uint32_t vector_bits(const MemoryFields& f, size_t i) {
  return f.vector_bin ? le32_bits(f.vector.data() + 4 * i) : f32_bits(f.vector.data() + 5 * i);
}

// A NaN's bits change on the general decoder's way through double; the engine never
// writes one.
bool has_nan(const MemoryFields& f) {
  for (size_t i = 0; i < vector_size(f); ++i) {
    if ((vector_bits(f, i) & 0x7FFFFFFF) > 0x7F800000) return true;
  }
  return false;
}

// The vector: an array of float 32 items, or a bin holding whole float 32 values.
bool vector_field(MsgCursor& c, MemoryFields& f) {
  if (const std::optional<std::span<const uint8_t>> body = c.bin()) {
    if (body->size() % 4 != 0) return false;
    f.vector = *body;
    f.vector_bin = true;
  } else {
    const std::optional<uint32_t> width = c.array();
    const std::optional<std::span<const uint8_t>> items = width ? c.f32_items(*width) : std::nullopt;
    if (!items) return false;
    f.vector = *items;
    f.vector_bin = false;
  }
  return !has_nan(f);
}

}  // namespace

bool read_memory_fields(std::span<const uint8_t> bytes, MemoryFields& f) {
  MsgCursor c(bytes);
  if (c.array() != kMemoryFieldCount) return false;
  const std::optional<std::string_view> id_text = c.str();
  const std::optional<MemoryId> id = id_text ? ulid_from_text(*id_text) : std::nullopt;
  if (!id) return false;
  f.id = *id;
  const std::optional<MemoryType> type = variant_field(c, 4, memory_type_name);
  if (!type) return false;
  f.memory_type = *type;
  if (!vector_field(c, f)) return false;
  const std::optional<std::string_view> content = c.str();
  if (!content) return false;
  f.content = *content;
  const uint8_t* metadata_begin = c.position();
  if (!metadata_value(c, 0)) return false;
  f.metadata = bytes.subspan(static_cast<size_t>(metadata_begin - bytes.data()),
                             static_cast<size_t>(c.position() - metadata_begin));
  const std::optional<std::string_view> agent = c.str();
  if (!agent) return false;
  f.agent_id = *agent;
  f.session_id.reset();
  if (!c.nil()) {
    f.session_id = c.str();
    if (!f.session_id) return false;
  }
  const std::optional<Scope> scope = variant_field(c, 2, scope_name);
  const std::optional<int64_t> created_at = scope ? signed_field(c) : std::nullopt;
  const std::optional<int64_t> accessed_at = created_at ? signed_field(c) : std::nullopt;
  const std::optional<uint32_t> access_count = accessed_at ? u32_field(c) : std::nullopt;
  const std::optional<float> importance = access_count ? c.f32() : std::nullopt;
  if (!importance || std::isnan(*importance)) return false;
  f.scope = *scope;
  f.created_at = *created_at;
  f.accessed_at = *accessed_at;
  f.access_count = *access_count;
  f.importance = *importance;
  f.ttl_secs.reset();
  if (!c.nil()) {
    f.ttl_secs = signed_field(c);
    if (!f.ttl_secs) return false;
  }
  return c.at_end();
}

void read_vector(const MemoryFields& fields, std::span<float> out) {
  for (size_t i = 0; i < out.size(); ++i) out[i] = std::bit_cast<float>(vector_bits(fields, i));
}

Memory to_memory(const MemoryFields& f) {
  Memory m;
  m.id = f.id;
  m.memory_type = f.memory_type;
  m.vector.resize(vector_size(f));
  read_vector(f, m.vector);
  m.content = f.content;
  // Accepted metadata is a value the JSON library reads exactly as the general decoder does.
  m.metadata = Json::from_msgpack(f.metadata.begin(), f.metadata.end(), true, false);
  m.agent_id = f.agent_id;
  if (f.session_id) m.session_id.emplace(*f.session_id);
  m.scope = f.scope;
  m.created_at = f.created_at;
  m.accessed_at = f.accessed_at;
  m.access_count = f.access_count;
  m.importance = f.importance;
  m.ttl_secs = f.ttl_secs;
  return m;
}

}  // namespace ormel
