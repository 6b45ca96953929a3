// Result-cache records: the stored entry and its directory row.
//
// Contract: both follow record_codec.h. Writers always write all 13 fields (0x9D); readers
// also take the 11-element form written before semantic entries existed, with `vector`
// and `model` absent; fewer than 11 elements fail with "invalid length N, expected struct
// CacheEntry with 13 elements" (CacheDirectoryEntry likewise). In the map form the field
// `namespace_` is keyed "namespace". The directory blob is one array of rows in position
// order, tombstoned rows included.
//
//   CacheEntry                          CacheDirectoryEntry
//   #  field         form               #  field         form
//   0  namespace     str                0  namespace     str
//   1  key_hash      array of 32 uint   1  key_hash      array of 32 uint
//   2  key_preview   str                2  start_page    uint
//   3  value         array of uint      3  page_count    uint
//   4  content_type  str                4  len           uint
//   5  created_at    int                5  deleted       bool
//   6  accessed_at   int                6  accessed_at   int
//   7  access_count  uint               7  access_count  uint
//   8  ttl_secs      nil | uint         8  size_bytes    uint
//   9  cost_hint_ms  nil | uint         9  ttl_secs      nil | uint
//   10 size_bytes    uint               10 created_at    int
//   11 vector        nil | [float 32]   11 vector        nil | [float 32]
//   12 model         nil | str          12 model         nil | str
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace ormel {

// SHA-256 digest of a cache key.
using KeyHash = std::array<uint8_t, 32>;

struct CacheEntry {
  static constexpr std::string_view kRecordName = "CacheEntry";
  static constexpr size_t kMinFields = 11;  // `vector` and `model` default to absent
  std::string namespace_;
  KeyHash key_hash{};
  std::string key_preview;
  std::vector<uint8_t> value;
  std::string content_type;
  int64_t created_at = 0;
  int64_t accessed_at = 0;
  uint32_t access_count = 0;
  std::optional<uint64_t> ttl_secs;
  std::optional<uint32_t> cost_hint_ms;
  uint64_t size_bytes = 0;
  std::optional<std::vector<float>> vector;
  std::optional<std::string> model;

  template <class V, class R>
  static void fields(V& v, R& r) {
    v("namespace", r.namespace_);
    v("key_hash", r.key_hash);
    v("key_preview", r.key_preview);
    v("value", r.value);
    v("content_type", r.content_type);
    v("created_at", r.created_at);
    v("accessed_at", r.accessed_at);
    v("access_count", r.access_count);
    v("ttl_secs", r.ttl_secs);
    v("cost_hint_ms", r.cost_hint_ms);
    v("size_bytes", r.size_bytes);
    v("vector", r.vector);
    v("model", r.model);
  }
  bool operator==(const CacheEntry&) const = default;
};

struct CacheDirectoryEntry {
  static constexpr std::string_view kRecordName = "CacheDirectoryEntry";
  static constexpr size_t kMinFields = 11;  // `vector` and `model` default to absent
  std::string namespace_;
  KeyHash key_hash{};
  uint64_t start_page = 0;
  uint32_t page_count = 0;
  uint32_t len = 0;
  bool deleted = false;
  int64_t accessed_at = 0;
  uint32_t access_count = 0;
  uint64_t size_bytes = 0;
  std::optional<uint64_t> ttl_secs;
  int64_t created_at = 0;
  std::optional<std::vector<float>> vector;
  std::optional<std::string> model;

  template <class V, class R>
  static void fields(V& v, R& r) {
    v("namespace", r.namespace_);
    v("key_hash", r.key_hash);
    v("start_page", r.start_page);
    v("page_count", r.page_count);
    v("len", r.len);
    v("deleted", r.deleted);
    v("accessed_at", r.accessed_at);
    v("access_count", r.access_count);
    v("size_bytes", r.size_bytes);
    v("ttl_secs", r.ttl_secs);
    v("created_at", r.created_at);
    v("vector", r.vector);
    v("model", r.model);
  }
  bool operator==(const CacheDirectoryEntry&) const = default;
  // same_row (core/row_tree.cc) compares every field too: a field added here goes there.
};

std::vector<uint8_t> encode_cache_entry(const CacheEntry& entry);
Result<CacheEntry> decode_cache_entry(std::span<const uint8_t> bytes);
std::vector<uint8_t> encode_cache_directory(const std::vector<CacheDirectoryEntry>& rows);
Result<std::vector<CacheDirectoryEntry>> decode_cache_directory(std::span<const uint8_t> bytes);

}  // namespace ormel
