// The store's internal state and the helpers its modules share (open, transactions,
// memories, retrieval, history, result cache, statistics). Not part of the public API.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/cache_records.h"
#include "core/format.h"
#include "core/index.h"
#include "core/keyword_index.h"
#include "core/layout.h"
#include "core/pager.h"
#include "core/record_summaries.h"
#include "core/records.h"
#include "core/runs.h"
#include "core/result_cache.h"
#include "core/store.h"
#include "core/wal.h"

namespace ormel {

using IdIndex = std::unordered_map<MemoryId, size_t, IdHash>;

// The keyword index over memory content, derived from the records and never stored: built
// by the first keyword query, then brought up to date at each query from the rows changed
// since (pending, or every row after a restore). Dropped by a compaction, which moves every
// record, and by a change of stemming.
struct KeywordState {
  std::optional<KeywordIndex> index;
  std::vector<size_t> pending;  // rows changed since the last query
  bool recheck_all = false;     // compare every row's record with the index
  bool stemming = false;
};

struct StoreState {
  std::string path;
  Env* env = nullptr;
  std::unique_ptr<Pager> pager;
  Header header;  // the committed header plus what staging has allocated since (page_count)
  // Version of the header on disk: older than header.format_version between an upgrading
  // open and the flush that commits the upgrade; headers written in place keep it until then.
  uint16_t disk_format_version = FORMAT_VERSION;
  std::vector<CatalogEntry> catalog;
  // How this file's version keeps the catalog, snapshot list and cache directory.
  std::unique_ptr<Layout> layout;
  std::vector<uint8_t> run_images;  // a flush's sealed runs; kept so the next flush reuses it
  IdIndex id_index;
  std::optional<IvfPqIndex> index;
  std::vector<Snapshot> snapshot_manifest;
  std::vector<CacheDirectoryEntry> cache_directory;
  DirectoryIndex cache_index;
  SemanticGroups semantic_groups;
  uint64_t dimensions = 0;
  OrmelConfig config;
  uint64_t cache_hits = 0;
  uint64_t cache_misses = 0;
  uint64_t cache_evictions = 0;
  bool catalog_dirty = false;
  bool index_dirty = false;
  bool cache_dirty = false;
  bool read_only = false;
  // Opened without a lock beside a writer in another process: sees the committed state it
  // opened (or last refreshed) at, whatever the writer does meanwhile.
  bool following = false;
  // Where records are packed: the page this transaction appends them to, and the block
  // holding its payload, of which the first `used` bytes are staged (the page cache keeps a
  // view of them; a record appended extends the view and never changes what it shows). The
  // page is the last one staged and still dirty, or the next record starts a fresh one: a
  // committed page is never written again.
  struct RecordHeap {
    uint64_t page = 0;
    std::shared_ptr<uint8_t[]> block;
    size_t used = 0;
  } record_heap;
  // Decoded scoring fields of records, keyed by the row's start_page, unique per record
  // (records never change in place).
  RecordSummaries summaries;
  KeywordState keywords;
  std::optional<AutoCompactPolicy> auto_compact = AutoCompactPolicy{};
  // File size after the last automatic compaction (or failed attempt): the next one waits
  // until the file has grown by the policy's min_bytes beyond it.
  uint64_t auto_compact_baseline = 0;
  // Counting what a compaction would keep walks the catalog; it is done again only once
  // the file has grown to this size (an eighth of the reclaimable bytes that make a
  // compaction due, as of the last count, after the last).
  uint64_t auto_compact_next_check = 0;
  // Why the last automatic compaction failed, until a compaction succeeds (space() tells).
  std::optional<OrmelError> auto_compact_failure;
  // Where a compaction renamed its file into place (the path, links followed) while that
  // directory entry is not yet durable; nothing may be committed to the new file until it is.
  std::optional<std::string> unsynced_rename;
  // The last flush wrote its header at page 0 without syncing it (the log holds that
  // transaction until the next commit, which comes after the next sync of the file).
  bool checkpoint_unsynced = false;
  // The open batch scopes (see Ormel::begin_batch): while depth > 0, flush() commits
  // nothing; `failed` marks a batch that an inner scope left by abandoning it.
  struct BatchScopes {
    uint64_t depth = 0;
    bool failed = false;
  } batch;
};

// The position in s.summaries of catalog row `row`'s summary, its record read and decoded
// on first use.
Result<uint32_t> summary_of(StoreState& s, size_t row);
// The summary positions of every catalog row (kNone for deleted rows), summarising the
// live rows not summarised yet in catalog order; many at once are decrypted and decoded on
// all cores.
Result<std::vector<uint32_t>> live_summaries(StoreState& s);
// From this many catalog rows on, a pass over every row (summary lookup, scan) is split
// over the cores, which claim kChunkRows rows at a time.
inline constexpr size_t kSplitRows = 8192;
inline constexpr size_t kChunkRows = 4096;

Result<std::vector<uint8_t>> read_record(Pager& pager, const CatalogEntry& entry);
// Decodes the record of `entry`; a vector whose length is not `dimensions` is a
// Serialization error naming the memory and both widths.
// A decoded record whose vector length is not the database's dimensionality is an error.
Status check_vector_width(const Memory& m, uint64_t dimensions);
Result<Memory> read_memory(Pager& pager, const CatalogEntry& entry, uint64_t dimensions);
// A record's length must fit the 32-bit length field of its catalog or directory row.
Status check_record_length(uint64_t len, std::string_view what);
// Transactions (see flush): a header written in place at offset 0, synced, under the
// version on disk; and a blob sealed into a fresh run at the header's page_count (not
// cached: a reader decrypts it from the file) and its images appended to the transaction's
// frames, with the run's start, page count and length stored in the three given header fields.
Status write_header_in_place(Pager& pager, Header h, uint16_t disk_version);
// Makes the last flush's header at page 0 durable; whatever writes a log region other than
// a flush's commit calls this first.
Status settle_checkpoint(StoreState& s);
// A sink whose runs are sealed into log frames, taking their pages from the header's
// page_count (each a fresh run, cached nowhere).
class LoggedRuns final : public RunSink {
 public:
  LoggedRuns(Pager& pager, Header& h, std::vector<wal::WalFrame>& frames) : pager_(pager), h_(h), frames_(frames) {}
  Result<RunRef> put(std::span<const uint8_t> blob) override;

 private:
  Pager& pager_;
  Header& h_;
  std::vector<wal::WalFrame>& frames_;
};
// Allocates a run from the header's page_count and stages its pages as dirty cache pages.
// Returns the start page.
Result<uint64_t> stage_run(StoreState& s, std::span<const uint8_t> blob);
// As stage_run, the pages keeping spans of `block`, which holds `blob`, instead of copies.
Result<uint64_t> stage_shared_run(StoreState& s, const std::shared_ptr<const uint8_t[]>& block,
                                  std::span<const uint8_t> blob);

// Stages a memory record where the file's version puts it: a run of its own (in pages of
// `block` when one is given, see stage_shared_run), or appended to the transaction's heap
// page, continuing on fresh pages (packed records). Returns the row's start_page.
Result<uint64_t> stage_record(StoreState& s, const std::shared_ptr<const uint8_t[]>* block,
                              std::span<const uint8_t> record);

// Staging a memory, in steps so that a batch can check and encode every item before
// staging any: check_memory (the store's refusals), encode_for_staging (a fresh id when
// none is set, then the record, its vector in the form of the file's version, appended to `out`; a record too long for a catalog row is
// refused and `out` left as it was), then its record staged as a run (stage_run cannot
// fail for a record: its only error is a slice over a page) and link_staged_memory, which
// points the id's row at that run: an existing row (live or deleted) keeps its position
// and access counters (unless `restore_counters`: a restored backup brings its own);
// otherwise a row is appended. stage_memory does the last two.
// link_staged_memory is link_catalog_row (the row), the record's summary, then
// index_staged_memory (the vector index), so a batch can add its summaries together.
// The first two and index_staged_memory take the memory's vector apart from it: a batch's
// vectors may be rows the caller holds, with each memory's own vector left empty.
Status check_memory(const StoreState& s, const Memory& memory, std::span<const float> vector);
Status encode_for_staging(const StoreState& s, Memory& memory, std::span<const float> vector,
                          std::vector<uint8_t>& out);
void link_staged_memory(StoreState& s, const Memory& memory, uint64_t start, uint64_t len);
void link_catalog_row(StoreState& s, const Memory& memory, uint64_t start, uint64_t len,
                      bool restore_counters = false);
void index_staged_memory(StoreState& s, MemoryId id, std::span<const float> vector);
Status stage_memory(StoreState& s, const Memory& memory, std::span<const uint8_t> record);

// Tells the keyword index (when there is one) that catalog row `row` changed. More changes
// than rows turn into one comparison of every row, so the list stays bounded however long
// no keyword query comes.
inline void note_keyword_row(StoreState& s, size_t row) {
  KeywordState& k = s.keywords;
  if (!k.index || k.recheck_all) return;
  k.pending.push_back(row);
  if (k.pending.size() > s.catalog.size()) {
    k.recheck_all = true;
    k.pending.clear();
  }
}

IdIndex build_id_index(const std::vector<CatalogEntry>& catalog);
// An index of another width than `dimensions` is a Serialization error naming both.
Result<std::optional<IvfPqIndex>> load_index(Pager& pager, uint64_t start, uint64_t pages, uint64_t len,
                                             uint64_t dimensions);

// Format upgrade of a version 4 to 7 file at a read-write open (in memory; the next flush
// makes it durable).
Result<std::vector<CatalogEntryV4>> load_catalog_v4(Pager& pager, uint64_t start, uint64_t pages, uint64_t len);
Result<std::vector<CatalogEntry>> migrate_v4_catalog(Pager& pager, std::vector<CatalogEntryV4> rows);
Status upgrade_in_memory(StoreState& s);

// Whether metadata marks the manifest memory ("topic" is "manifest", ASCII case-insensitive).
bool is_manifest(const Json& metadata);

// Compaction hooks of flush: before writing, make a compaction's rename durable; after a
// successful commit, compact when the automatic policy asks for it.
Status settle_compaction(StoreState& s);
void compact_if_due(StoreState& s);
// Removes what a killed compaction left beside the database (<path>.compacting: a copy of
// the database under the key material of its time), durably; only a handle holding the
// exclusive lock may call it, as nothing but its own compaction writes there. Nothing is
// removed once the path names another file than the handle's.
Status remove_compaction_leftover(StoreState& s);

// Makes the catalog, index, snapshot list and cache directory those `h` names, as read
// from the file; record summaries and cached pages stay (both are keyed by page numbers,
// so the caller must not hand out again a number that held something else). Nothing
// changes unless every one of them loads.
Status load_committed_state(StoreState& s, const Header& h);

// Replaces the live catalog, id index and index with a snapshot's, then flushes.
Status apply_snapshot(Ormel& store, const Snapshot& snapshot);

}  // namespace ormel
