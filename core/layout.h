// Layout: where a format version keeps the catalog, the snapshot list and the cache
// directory, each named by one RunRef (the header's fields, a snapshot's). Version 8 (and
// the older versions it reads) writes each structure whole, as one run, whenever it
// changed; version 9 keeps each as a RowTree whose unchanged runs are shared between
// commits and snapshots (docs/format-v9.md).
//
// Contract:
// - read_* decode the structure a RunRef names (an all-zero one: empty). With `adopt` the
//   layout takes what it read as the committed state the next write is compared with.
// - A write is prepared, then written: prepare_* encodes the rows as they should be
//   stored and returns exactly the pages write_* will put; write_* puts them through a
//   RunSink (in order) and returns the structure's RunRef. commit() makes everything
//   written since the last commit the committed state; a write that is never committed
//   (a failed flush) changes nothing the next prepare compares with.
// - forget() drops the committed state (the next write puts everything anew).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/cache_records.h"
#include "core/format.h"
#include "core/pager.h"
#include "core/records.h"
#include "core/runs.h"

namespace ormel {

class Layout {
 public:
  virtual ~Layout() = default;
  virtual uint16_t version() const = 0;

  virtual Result<std::vector<CatalogEntry>> read_catalog(Pager& pager, const RunRef& ref, bool adopt = false) = 0;
  virtual Result<std::vector<Snapshot>> read_snapshots(Pager& pager, const RunRef& ref, bool adopt = false) = 0;
  virtual Result<std::vector<CacheDirectoryEntry>> read_cache_directory(Pager& pager, const RunRef& ref,
                                                                        bool adopt = false) = 0;

  virtual uint64_t prepare_catalog(std::span<const CatalogEntry> rows) = 0;
  virtual uint64_t prepare_snapshots(std::span<const Snapshot> rows) = 0;
  virtual uint64_t prepare_cache_directory(std::span<const CacheDirectoryEntry> rows) = 0;
  virtual Result<RunRef> write_catalog(RunSink& sink) = 0;
  virtual Result<RunRef> write_snapshots(RunSink& sink) = 0;
  virtual Result<RunRef> write_cache_directory(RunSink& sink) = 0;
  // About the pages that the lists of the state `h` names and those of the retained
  // `snapshots`' catalogs take, each shared run once (for the automatic compaction's
  // estimate of what a compaction keeps; read from memory, not from the file).
  virtual uint64_t kept_list_pages(const Header& h, std::span<const Snapshot> snapshots, uint64_t catalog_rows,
                                   uint64_t directory_rows) const = 0;
  // At least the pages write_snapshots puts for a list of `rows` snapshots, however it changed.
  virtual uint64_t snapshot_pages_bound(uint64_t rows) const = 0;
  // The live (not deleted) rows of the catalog last prepared, when the layout counted them.
  virtual std::optional<uint64_t> prepared_live_rows() const { return std::nullopt; }
  virtual void commit() = 0;
  virtual void forget() = 0;
};

// The runs a header and a snapshot name.
inline RunRef catalog_run(const Header& h) { return {h.catalog_start, h.catalog_pages, h.catalog_len}; }
inline RunRef snapshot_list_run(const Header& h) { return {h.manifest_start, h.manifest_pages, h.manifest_len}; }
inline RunRef cache_directory_run(const Header& h) { return {h.cache_dir_start, h.cache_dir_pages, h.cache_dir_len}; }
inline RunRef catalog_run(const Snapshot& s) { return {s.catalog_start, s.catalog_pages, s.catalog_len}; }

// Where a memory record's bytes lie: `len` bytes from byte `offset` of page `page`'s
// payload on, continuing through the following pages, `pages` pages touched in all.
// Version 8 (and older) gives every record a run of its own (offset 0); version 9 packs
// records, several to a page (docs/format-v9.md, "Records"). Every reader of a record goes
// through record_place; every writer names what it placed with record_row_pages.
struct RecordPlace {
  uint64_t page = 0;
  uint64_t offset = 0;
  uint64_t pages = 0;
  uint64_t len = 0;
};
// The record's bytes among the payloads of its pages laid back to back: `len` bytes from
// `offset` on, fewer where a damaged row names more than its pages hold.
inline std::span<const uint8_t> placed_bytes(std::span<const uint8_t> payloads, const RecordPlace& at) {
  const uint64_t from = std::min<uint64_t>(at.offset, payloads.size());
  return payloads.subspan(from, std::min<uint64_t>(at.len, payloads.size() - from));
}
// Whether files of `version` pack records (true from version 9 on).
bool packs_records(uint16_t version);
// A catalog row's record: where its bytes are. A damaged row may name an offset beyond a
// page's payload; readers find fewer bytes there than `len` and fail as for a short run.
RecordPlace record_place(uint16_t version, const CatalogEntry& row);
// The row's start_page for a record placed at `offset` of `page` (version 9: page * 8192 +
// offset; before it the page itself, offset always 0), and the pages a record of `len`
// bytes placed there touches.
uint64_t record_address(uint16_t version, uint64_t page, uint64_t offset);
uint32_t record_row_pages(uint16_t version, uint64_t address, uint64_t len);
// How records of `version` hold their vector (a bin from version 9 on).
VectorForm record_vector_form(uint16_t version);
// What a live row's record occupies in the file: its bytes where records are packed, its
// whole pages otherwise.
uint64_t record_file_bytes(uint16_t version, const CatalogEntry& row);

// The layout of files of `version` (4 to 9); make_tree_layout is version 9's.
std::unique_ptr<Layout> make_layout(uint16_t version);
// Version 9's record addresses (layout_v9.cc), for the functions above.
RecordPlace packed_record_place(const CatalogEntry& row);
uint64_t packed_record_address(uint64_t page, uint64_t offset);
uint32_t packed_record_pages(uint64_t address, uint64_t len);
std::unique_ptr<Layout> make_tree_layout();

}  // namespace ormel
