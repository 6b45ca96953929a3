// The memory record: the unit the database stores, its enumerations, identifiers,
// timestamps and the vector similarity shared by recall, search and the semantic cache.
//
// Contract:
// - MemoryId is a ULID held as an unsigned 128-bit integer; 0 means "not assigned".
//   Its text form is 26 upper-case Crockford base-32 characters, most significant first.
// - now_secs() is whole seconds since the Unix epoch, 0 before it; age_secs() is a
//   difference of such times that saturates instead of overflowing.
// - similarity() is single precision, summed in index order (callers rely on bit-exact
//   results; the SIMD kernels reproduce this order lane by lane).
// - encode_memory/decode_memory follow the record conventions of record_codec.h; a decode
//   failure is Serialization with the decoder's message. encode_memory refuses, with the
//   decoder's own error, metadata nested deeper than the decoder accepts. decode_memory
//   reads the form encode_memory writes in place (memory_fields.h) and hands every other
//   form to unpack_memory, the general decoder, which gives the same Memory for that form.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/error.h"

namespace ormel {

using u128 = unsigned __int128;
using MemoryId = u128;
// Hash of a 128-bit id for unordered containers (ULIDs carry 80 random bits).
struct IdHash {
  size_t operator()(u128 v) const noexcept {
    uint64_t lo = static_cast<uint64_t>(v), hi = static_cast<uint64_t>(v >> 64);
    return static_cast<size_t>((lo ^ (hi * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull);
  }
};
// Metadata and every other JSON value; objects iterate keys in ascending byte order.
using Json = nlohmann::json;

enum class MemoryType : uint8_t { Episodic = 0, Semantic = 1, Procedural = 2, Working = 3 };
enum class Scope : uint8_t { Private = 0, Shared = 1 };
enum class Metric : uint8_t { Cosine = 0, Euclidean = 1, DotProduct = 2 };

// Serialised names ("Episodic", ...) and text forms ("episodic", ...).
std::string_view memory_type_name(MemoryType t);
std::string_view memory_type_text(MemoryType t);
std::string_view scope_name(Scope s);
std::string_view scope_text(Scope s);
// Lower-cases ASCII letters, then accepts exactly the four text forms.
std::optional<MemoryType> parse_memory_type(std::string_view text);

struct Memory {
  MemoryId id = 0;
  MemoryType memory_type = MemoryType::Episodic;
  std::vector<float> vector;
  std::string content;
  Json metadata = Json::object();
  std::string agent_id = "default";
  std::optional<std::string> session_id;
  Scope scope = Scope::Private;
  int64_t created_at = 0;
  int64_t accessed_at = 0;
  uint32_t access_count = 0;
  float importance = 0.5f;
  std::optional<int64_t> ttl_secs;

  // Fresh ULID, empty metadata, agent "default", Private, both times one now_secs()
  // reading, importance 0.5, no session, no time-to-live. Validates nothing.
  static Memory make(std::string content, MemoryType type, std::vector<float> vector);

  bool operator==(const Memory&) const = default;
};

int64_t now_secs();
// now - then, saturating at the limits of int64_t instead of overflowing: the age of a
// timestamp, however far from now it lies.
inline int64_t age_secs(int64_t now, int64_t then) {
  int64_t age;
  if (!__builtin_sub_overflow(now, then, &age)) return age;
  return now < then ? INT64_MIN : INT64_MAX;
}
// A fresh ULID: 48 bits of milliseconds, 80 bits from the CSPRNG.
MemoryId new_ulid();
std::string ulid_to_text(MemoryId id);
// Exactly 26 Crockford digits, either case, the first one 0 to 7 (a 128-bit value).
std::optional<MemoryId> ulid_from_text(std::string_view text);

float similarity(Metric metric, std::span<const float> a, std::span<const float> b);
// InvalidArgument "<what> has a non-finite component at index <i>" for a NaN or infinite
// component: such a vector would rank first (NaN) or poison every similarity it enters.
Status check_finite(std::span<const float> vector, std::string_view what);

// How a record holds its vector: an array of float 32 items (5 bytes a value), or one bin
// of the values' little-endian bytes (4 bytes a value). Both decode alike.
enum class VectorForm : uint8_t { Items, Bin };

Result<std::vector<uint8_t>> encode_memory(const Memory& m, VectorForm form = VectorForm::Items);
// encode_memory's bytes appended to `out` (left as it was on failure).
Status append_memory(const Memory& m, std::vector<uint8_t>& out);
// The same bytes for `m` with `vector` in place of m.vector, in the given form.
Status append_memory(const Memory& m, std::span<const float> vector, std::vector<uint8_t>& out,
                     VectorForm form = VectorForm::Items);
Result<Memory> decode_memory(std::span<const uint8_t> bytes);
Result<Memory> unpack_memory(std::span<const uint8_t> bytes);

}  // namespace ormel
