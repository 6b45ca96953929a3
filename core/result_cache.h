// The result cache's in-memory lookup structure and key helpers.
//
// Contract:
// - DirectoryIndex maps (namespace, key digest) to the position of the one live directory
//   row for that pair; it holds exactly the rows whose `deleted` is false. A namespace's
//   inner map stays after its last mapping is removed.
// - hash_key is SHA-256 of the key's UTF-8 bytes; the key itself is never stored or compared.
// - key_preview is the key when it has at most 120 Unicode scalar values, else its first 119
//   followed by "…" (120 in all).
// - is_expired: ttl present and ttl <= age, where age = now - created_at as a saturating
//   signed subtraction read as unsigned (a created_at after now reads as expired).
// The cache operations themselves are methods of the store (store.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/cache_records.h"
#include "core/vector_scan.h"

namespace ormel {

inline constexpr uint64_t CACHE_BUDGET_ENTRIES = 10000;
inline constexpr uint64_t CACHE_BUDGET_BYTES = 67108864;

class DirectoryIndex {
 public:
  static DirectoryIndex build(const std::vector<CacheDirectoryEntry>& rows);
  std::optional<uint64_t> get(const std::string& ns, const KeyHash& key_hash) const;
  void insert(const std::string& ns, const KeyHash& key_hash, uint64_t position);
  void remove(const std::string& ns, const KeyHash& key_hash);

 private:
  struct KeyHashHasher {
    size_t operator()(const KeyHash& h) const noexcept;
  };
  std::unordered_map<std::string, std::unordered_map<KeyHash, uint64_t, KeyHashHasher>> map_;
};

// Vectors of semantic directory rows grouped by (namespace, model), so a lookup scans only
// its own group. Rows never change once appended, so groups only grow; `add_rows` picks up
// rows appended since the last call.
class SemanticGroups {
 public:
  struct Member {
    uint64_t row;
    uint32_t slot;  // VectorArena slot, or kNoSlot when the row's width differs
  };
  struct Group {
    explicit Group(size_t dims) : arena(dims) {}
    VectorArena arena;
    std::vector<Member> members;  // in row order
  };
  static constexpr uint32_t kNoSlot = UINT32_MAX;

  void add_rows(const std::vector<CacheDirectoryEntry>& rows, size_t dims);
  const Group* find(const std::string& ns, const std::string& model) const;

 private:
  size_t seen_ = 0;
  std::unordered_map<std::string, Group> groups_;  // key: namespace length, ':', namespace, model
};

KeyHash hash_key(std::string_view key);
std::string key_preview(std::string_view key);
bool is_expired(std::optional<uint64_t> ttl_secs, int64_t created_at, int64_t now);

}  // namespace ormel
