// Catalog rows and snapshots: the records of the catalog run and the snapshot manifest.
//
// Contract: each record follows record_codec.h (an array of its fields in the order below;
// a map keyed by the field names is read too). A blob is one MessagePack array of rows in
// list order; an empty list is the single byte 0x90. Decoding failures are Serialization
// errors carrying the decoder's message.
//
//   CatalogEntry (0x97)          CatalogEntryV4 (0x95)     Snapshot (0x99)
//   # field         form         # field       form        # field          form
//   0 id            bin8, 16 B   0 id          bin8, 16 B  0 txn_id         uint
//                   big-endian                 big-endian  1 created_at     int
//   1 start_page    uint         1 start_page  uint        2 catalog_start  uint
//   2 page_count    uint         2 page_count  uint        3 catalog_pages  uint
//   3 len           uint         3 len         uint        4 catalog_len    uint
//   4 deleted       bool         4 deleted     bool        5 index_start    uint
//   5 accessed_at   int                                    6 index_pages    uint
//   6 access_count  uint                                   7 index_len      uint
//                                                          8 memory_count   uint
// Integers take their shortest form; non-negative signed values use the unsigned forms.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/memory.h"

namespace ormel {

// One row per memory ever stored; authoritative for the access fields.
struct CatalogEntry {
  static constexpr std::string_view kRecordName = "CatalogEntry";
  MemoryId id = 0;
  uint64_t start_page = 0;
  uint32_t page_count = 0;
  uint32_t len = 0;
  bool deleted = false;
  int64_t accessed_at = 0;
  uint32_t access_count = 0;

  template <class V, class R>
  static void fields(V& v, R& r) {
    v("id", r.id);
    v("start_page", r.start_page);
    v("page_count", r.page_count);
    v("len", r.len);
    v("deleted", r.deleted);
    v("accessed_at", r.accessed_at);
    v("access_count", r.access_count);
  }
  bool operator==(const CatalogEntry&) const = default;
};

// The catalog row of version-4 files, without the access fields.
struct CatalogEntryV4 {
  static constexpr std::string_view kRecordName = "CatalogEntryV4";
  MemoryId id = 0;
  uint64_t start_page = 0;
  uint32_t page_count = 0;
  uint32_t len = 0;
  bool deleted = false;

  template <class V, class R>
  static void fields(V& v, R& r) {
    v("id", r.id);
    v("start_page", r.start_page);
    v("page_count", r.page_count);
    v("len", r.len);
    v("deleted", r.deleted);
  }
  bool operator==(const CatalogEntryV4&) const = default;
};

// Where the catalog and index runs of one committed transaction are.
struct Snapshot {
  static constexpr std::string_view kRecordName = "Snapshot";
  uint64_t txn_id = 0;
  int64_t created_at = 0;
  uint64_t catalog_start = 0;
  uint64_t catalog_pages = 0;
  uint64_t catalog_len = 0;
  uint64_t index_start = 0;
  uint64_t index_pages = 0;
  uint64_t index_len = 0;
  uint64_t memory_count = 0;

  template <class V, class R>
  static void fields(V& v, R& r) {
    v("txn_id", r.txn_id);
    v("created_at", r.created_at);
    v("catalog_start", r.catalog_start);
    v("catalog_pages", r.catalog_pages);
    v("catalog_len", r.catalog_len);
    v("index_start", r.index_start);
    v("index_pages", r.index_pages);
    v("index_len", r.index_len);
    v("memory_count", r.memory_count);
  }
  bool operator==(const Snapshot&) const = default;
};

std::vector<uint8_t> encode_catalog(const std::vector<CatalogEntry>& rows);
Result<std::vector<CatalogEntry>> decode_catalog(std::span<const uint8_t> bytes);
std::vector<uint8_t> encode_catalog_v4(const std::vector<CatalogEntryV4>& rows);
Result<std::vector<CatalogEntryV4>> decode_catalog_v4(std::span<const uint8_t> bytes);
std::vector<uint8_t> encode_manifest(const std::vector<Snapshot>& snapshots);
Result<std::vector<Snapshot>> decode_manifest(std::span<const uint8_t> bytes);

}  // namespace ormel
