#include "core/memory.h"

#include <openssl/rand.h>

#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <mutex>
#include <random>

#include "core/memory_fields.h"
#include "core/record_codec.h"
#include "core/vector_scan.h"

namespace ormel {

namespace {

constexpr std::array<std::string_view, 4> kMemoryTypeNames = {"Episodic", "Semantic", "Procedural", "Working"};
constexpr std::array<std::string_view, 4> kMemoryTypeTexts = {"episodic", "semantic", "procedural", "working"};
constexpr std::array<std::string_view, 2> kScopeNames = {"Private", "Shared"};
constexpr std::array<std::string_view, 2> kScopeTexts = {"private", "shared"};

constexpr std::string_view kCrockford = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr size_t kUlidChars = 26;

// Value of one Crockford digit in either case; -1 for anything else (I, L, O, U included).
int crockford_value(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  size_t pos = kCrockford.find(c);
  return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

}  // namespace

std::span<const std::string_view> variant_names(MemoryType) { return kMemoryTypeNames; }
std::span<const std::string_view> variant_names(Scope) { return kScopeNames; }

// Wire form of Memory: 13 fields in this order, the vector's value given apart so that a
// batch can encode a memory whose vector the caller holds.
template <class V, class R, class Vector, class VectorTag = codec::Plain>
void memory_fields(V& v, R& r, Vector& vector, VectorTag vector_tag = {}) {
  v("id", r.id, codec::UlidText{});
  v("memory_type", r.memory_type);
  v("vector", vector, vector_tag);
  v("content", r.content);
  v("metadata", r.metadata);
  v("agent_id", r.agent_id);
  v("session_id", r.session_id);
  v("scope", r.scope);
  v("created_at", r.created_at);
  v("accessed_at", r.accessed_at);
  v("access_count", r.access_count);
  v("importance", r.importance);
  v("ttl_secs", r.ttl_secs);
}

template <>
struct RecordDef<Memory> {
  static constexpr std::string_view kName = "Memory";
  static constexpr size_t kMinFields = 13;
  template <class V, class R>
  static void fields(V& v, R& r) {
    memory_fields(v, r, r.vector);
  }
};

std::string_view memory_type_name(MemoryType t) { return kMemoryTypeNames[static_cast<size_t>(t)]; }
std::string_view memory_type_text(MemoryType t) { return kMemoryTypeTexts[static_cast<size_t>(t)]; }
std::string_view scope_name(Scope s) { return kScopeNames[static_cast<size_t>(s)]; }
std::string_view scope_text(Scope s) { return kScopeTexts[static_cast<size_t>(s)]; }

std::optional<MemoryType> parse_memory_type(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (size_t i = 0; i < kMemoryTypeTexts.size(); ++i) {
    if (kMemoryTypeTexts[i] == lower) return static_cast<MemoryType>(i);
  }
  return std::nullopt;
}

Memory Memory::make(std::string content, MemoryType type, std::vector<float> vector) {
  Memory m;
  m.id = new_ulid();
  m.memory_type = type;
  m.vector = std::move(vector);
  m.content = std::move(content);
  m.created_at = m.accessed_at = now_secs();
  return m;
}

int64_t now_secs() {
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch()).count();
  return secs < 0 ? 0 : static_cast<int64_t>(secs);
}

MemoryId new_ulid() {
  // Ids made in the same millisecond (or after the clock stepped back) by this process stay
  // strictly increasing: such an id is the previous one plus one, i.e. its random part is
  // incremented (a carry out of the 80 random bits moves the time part on by one ms). Only
  // the first id of a millisecond needs random bits, so the others skip the generator.
  static std::mutex mu;
  static MemoryId last = 0;

  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch()).count();
  uint64_t time48 = ms < 0 ? 0 : static_cast<uint64_t>(ms) & ((uint64_t{1} << 48) - 1);

  std::lock_guard lock(mu);
  if (time48 <= static_cast<uint64_t>(last >> 80)) return ++last;
  std::array<uint8_t, 10> rnd{};
  if (RAND_bytes(rnd.data(), static_cast<int>(rnd.size())) != 1) {
    // The CSPRNG refused (it cannot seed): fall back to the OS entropy device.
    std::random_device dev;
    for (uint8_t& b : rnd) b = static_cast<uint8_t>(dev());
  }
  MemoryId id = static_cast<MemoryId>(time48) << 80;
  for (size_t i = 0; i < rnd.size(); ++i) id |= static_cast<MemoryId>(rnd[i]) << (8 * (rnd.size() - 1 - i));
  last = id;
  return id;
}

std::string ulid_to_text(MemoryId id) {
  std::string out(kUlidChars, '0');
  for (size_t i = kUlidChars; i-- > 0; id >>= 5) out[i] = kCrockford[static_cast<size_t>(id & 31)];
  return out;
}

std::optional<MemoryId> ulid_from_text(std::string_view text) {
  if (text.size() != kUlidChars) return std::nullopt;
  // 26 digits carry 130 bits: a first digit above 7 names no 128-bit id (dropping its high
  // bits would alias it to another memory's id).
  if (crockford_value(text[0]) > 7) return std::nullopt;
  MemoryId v = 0;
  for (char c : text) {
    int d = crockford_value(c);
    if (d < 0) return std::nullopt;
    v = (v << 5) | static_cast<MemoryId>(d);
  }
  return v;
}

float similarity(Metric metric, std::span<const float> a, std::span<const float> b) {
  const size_t n = std::min(a.size(), b.size());
  const auto dot = [&] {
    float sum = 0.0f;
    for (size_t i = 0; i < n; ++i) sum += a[i] * b[i];
    return sum;
  };
  switch (metric) {
    case Metric::Cosine:
      // The same parts, combined the same way, as the arena scans use.
      return cosine_from_parts(dot(), sum_of_squares(a), sum_of_squares(b), b.size());
    case Metric::Euclidean: {
      float sum = 0.0f;
      for (size_t i = 0; i < n; ++i) {
        float d = a[i] - b[i];
        sum += d * d;
      }
      return 1.0f / (1.0f + std::sqrt(sum));
    }
    case Metric::DotProduct:
      return dot();
  }
  return 0.0f;
}

Status check_finite(std::span<const float> vector, std::string_view what) {
  // A branch-free pass over the exponent bits (all ones: NaN or infinite) vectorises; the
  // position is looked for only when there is one.
  uint32_t non_finite = 0;
  for (float x : vector) non_finite |= (std::bit_cast<uint32_t>(x) & 0x7F800000u) == 0x7F800000u;
  if (non_finite == 0) return {};
  for (size_t i = 0; i < vector.size(); ++i) {
    if (!std::isfinite(vector[i])) {
      return fail(OrmelError::invalid_argument(std::string(what) + " has a non-finite component at index " +
                                               std::to_string(i)));
    }
  }
  return {};
}

Status append_memory(const Memory& m, std::vector<uint8_t>& out) { return append_memory(m, m.vector, out); }

Status append_memory(const Memory& m, std::span<const float> vector, std::vector<uint8_t>& out, VectorForm form) {
  // Metadata sits inside the record's array: a record the decoder would refuse for its
  // nesting must never be written, or every later read of it fails.
  if (1 + codec::json_depth(m.metadata) > codec::kMaxDepth) return fail(codec::nesting_too_deep());
  out.reserve(out.size() + 64 + 5 * vector.size() + m.content.size() + m.agent_id.size());
  ByteSink sink{&out};
  Packer pk(sink);
  codec::FieldCounter count;
  memory_fields(count, m, vector);
  pk.pack_array(static_cast<uint32_t>(count.n));
  codec::FieldWriter writer{pk};
  if (form == VectorForm::Bin) {
    memory_fields(writer, m, vector, codec::FloatBin{});
  } else {
    memory_fields(writer, m, vector);
  }
  return {};
}

Result<std::vector<uint8_t>> encode_memory(const Memory& m, VectorForm form) {
  std::vector<uint8_t> out;
  ORMEL_TRY(append_memory(m, m.vector, out, form));
  return out;
}

Result<Memory> decode_memory(std::span<const uint8_t> bytes) {
  MemoryFields fields;
  if (read_memory_fields(bytes, fields)) {
    Memory m = to_memory(fields);
    // The JSON library refuses nothing the reader accepts; were it to, the general decoder
    // would have the last word.
    if (!m.metadata.is_discarded()) return m;
  }
  return unpack_memory(bytes);
}

Result<Memory> unpack_memory(std::span<const uint8_t> bytes) { return decode_record<Memory>(bytes); }

}  // namespace ormel
