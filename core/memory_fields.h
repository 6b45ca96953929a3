// Memory records read in place: the fields of a record as views into its bytes, for the
// readers that run once per record (the first recall after opening, returned results)
// and cannot afford the general decoder's unpacking.
//
// Contract:
// - read_memory_fields reads the form encode_memory writes: an array of the 13 fields in
//   order, the id as ULID text, enumerations by name, vector components as float 32 items
//   or one bin of little-endian float 32 values, importance as float 32 (none of them NaN), integer fields in any integer form whose value fits, and
//   metadata of nil, booleans, integers (non-negative ones in unsigned forms), float 32/64,
//   strings, arrays and maps whose keys are strings in strictly ascending byte order,
//   nested at most kMaxMetadataDepth levels. It fills `fields` (views into `bytes`) and
//   returns true.
// - For any other input it returns false, and the caller reads the record with the general
//   decoder (unpack_memory), which accepts the other forms the codec knows or refuses with
//   its message. Whenever it returns true, unpack_memory(bytes) succeeds with these very
//   values (the memory fuzz target checks this).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/memory.h"

namespace ormel {

inline constexpr size_t kMaxMetadataDepth = 32;

struct MemoryFields {
  MemoryId id = 0;
  MemoryType memory_type = MemoryType::Episodic;
  // The vector's float 32 items, 5 bytes each (marker and big-endian bits), or with
  // vector_bin its bin's body, 4 little-endian bytes each.
  std::span<const uint8_t> vector;
  bool vector_bin = false;
  std::string_view content;
  // The metadata value as MessagePack, in the form described above.
  std::span<const uint8_t> metadata;
  std::string_view agent_id;
  std::optional<std::string_view> session_id;
  Scope scope = Scope::Private;
  int64_t created_at = 0;
  int64_t accessed_at = 0;
  uint32_t access_count = 0;
  float importance = 0;
  std::optional<int64_t> ttl_secs;
};

bool read_memory_fields(std::span<const uint8_t> bytes, MemoryFields& fields);

// The number of vector components of `fields`.
inline size_t vector_size(const MemoryFields& fields) { return fields.vector.size() / (fields.vector_bin ? 4 : 5); }
// Writes the vector components of `fields` into `out`, which holds vector_size() floats.
void read_vector(const MemoryFields& fields, std::span<float> out);
// The whole Memory of read fields, exactly as decode_memory gives it.
Memory to_memory(const MemoryFields& fields);

}  // namespace ormel
