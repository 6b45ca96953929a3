// The store: one open database handle.
//
// Contract:
// - Ormel::open creates a file (when the path does not exist) or opens one read-write or
//   read-only, under an advisory lock that is never waited for. One store per handle;
//   nothing is shared between stores. Destroying the store closes the file (releasing the
//   lock) and wipes the data key.
// - Mutating operations check read_only first and fail with ReadOnly before touching
//   anything. Changes are staged in memory (dirty cache pages, catalog rows, index, cache
//   directory) and made durable only by flush(), which is exactly one atomic transaction.
//   Cache writes and restores flush by themselves (inside a batch, cache writes only stage:
//   see begin_batch).
// - Every operation returns its result or exactly one OrmelError; a failed operation leaves
//   the store usable (a failed flush keeps everything staged for a retry).
// - Vectors and queries (remember, recall, search, the semantic cache) must be finite: a NaN
//   or infinite component is InvalidArgument, as is a NaN semantic threshold.
// - The long operations (remember_many, build_index, verify, verify_all, compact) take a
//   Progress (see core/progress.h); what done and total count is said at each. A stop by
//   its callback is that operation's error, and leaves the store as the operation found it.
// - Not thread-safe: the caller serialises all calls on one store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/file.h"
#include "core/keyword_index.h"
#include "core/memory.h"
#include "core/metadata_filter.h"
#include "core/progress.h"

namespace ormel {

struct StoreState;

// The two creation rules that the Python layer reports as ValueError.
inline constexpr std::string_view kReadOnlyCreate = "read_only=True cannot create a new database";
inline constexpr std::string_view kRefreshNeedsFollow = "refresh() needs a handle opened with follow=True";
inline constexpr std::string_view kDimensionsRequired = "dimensions is required when creating a new database";
inline constexpr std::string_view kNoBatch = "no batch is open";
inline constexpr std::string_view kBatchFailed =
    "the batch was not committed: a nested batch inside it failed, and every write of the batch was discarded";

struct OrmelConfig {
  uint64_t max_snapshots = 256;  // 0 keeps every snapshot
  uint64_t cache_capacity = 8192;
};

// Conditions on a memory's own fields that recall and search apply before ranking; an
// empty filter lets every memory through.
struct MemoryFilter {
  std::optional<MetadataFilter> where;
  std::optional<std::string> session_id;  // exactly this session
  std::optional<int64_t> created_after;   // created_at > created_after
  std::optional<int64_t> created_before;  // created_at < created_before
  bool empty() const { return !where && !session_id && !created_after && !created_before; }
};

struct RecallRequest {
  std::optional<uint64_t> n_probe;
  std::optional<uint64_t> n_rerank;
  std::vector<float> query;
  std::optional<std::vector<MemoryType>> memory_types;
  std::optional<std::string> agent_id;
  uint64_t top_k = 10;
  float similarity_weight = 1.0f;
  float recency_weight = 0.3f;
  float importance_weight = 0.2f;
  float access_weight = 0.1f;
  float recency_half_life_secs = 604800.0f;
  bool track_access = true;
  Metric metric = Metric::Cosine;
  // Applied before ranking, through the index too: when the probed partitions hold fewer
  // than top_k memories that pass it (and the agent, type and expiry conditions), recall
  // answers from the exact scan instead.
  MemoryFilter filter;
  // Hybrid recall: with text, the similarity signal is replaced by the reciprocal rank
  // fusion of the vector ranking and the keyword ranking of `text` (each cut to its best
  // max(top_k, kFusionDepth)), over the union of both, scaled so that first place in both
  // gives 1.0: relevance = (k + 1) / 2 * (1 / (k + vector rank) + 1 / (k + keyword rank)),
  // a ranking the memory is absent from adding nothing, k being rrf_k (finite, >= 0).
  std::optional<std::string> text;
  double rrf_k = 60;
  Bm25Params keyword_params;
};

// How deep hybrid recall takes each ranking at least.
inline constexpr uint64_t kFusionDepth = 100;

// Keyword search: the memories whose content holds a term of `text`, by BM25, among those
// a recall with the same agent, types and filter would see.
struct KeywordQuery {
  std::string text;
  uint64_t top_k = 10;
  std::optional<std::vector<MemoryType>> memory_types;
  std::optional<std::string> agent_id;
  MemoryFilter filter;
  Bm25Params params;
};

struct KeywordHit {
  Memory memory;
  double score = 0;
};

// The keyword index of a handle, once built: its documents (live memories), distinct terms
// and the bytes it holds in memory.
struct KeywordIndexStats {
  uint64_t documents = 0;
  uint64_t terms = 0;
  uint64_t bytes = 0;
};

// The fields update() changes; an empty optional leaves the field as it is. The inner
// optionals of ttl_secs and session_id are the new values, so they can be cleared.
struct MemoryChanges {
  std::optional<std::string> content;
  std::optional<MemoryType> memory_type;
  std::optional<std::vector<float>> vector;
  std::optional<float> importance;
  std::optional<Json> metadata;
  std::optional<std::optional<int64_t>> ttl_secs;
  std::optional<Scope> scope;
  std::optional<std::optional<std::string>> session_id;
};

// A failed remember_many: the error, and the position of the item that caused it (none
// when the whole call is refused, as on a read-only handle).
struct BatchError {
  std::optional<size_t> item;
  OrmelError error;
};

// Vectors a caller holds in one buffer: row i is `width` floats starting `stride` floats
// after row i - 1's start.
struct VectorRows {
  const float* data = nullptr;
  size_t count = 0;
  size_t width = 0;
  size_t stride = 0;
  std::span<const float> row(size_t i) const { return {data + i * stride, width}; }
};

// One version of a memory: the memory as a retained snapshot held it, and that snapshot's
// transaction.
struct MemoryVersion {
  uint64_t txn_id = 0;
  int64_t created_at = 0;
  Memory memory;
};

struct RecallResult {
  Memory memory;
  float score = 0;
  float similarity = 0;
  double keyword_score = 0;  // hybrid recall: the memory's BM25 score, 0 without a match
};

struct SearchHit {
  Memory memory;
  float similarity = 0;
};

struct SnapshotInfo {
  uint64_t txn_id = 0;
  int64_t created_at = 0;
  uint64_t memory_count = 0;
};

struct IndexSummary {
  uint64_t vectors = 0;
  uint64_t partitions = 0;
  uint64_t subspaces = 0;
};

struct Stats {
  uint64_t live = 0;
  uint64_t deleted = 0;
  uint64_t dimensions = 0;
  uint64_t file_bytes = 0;
  int64_t created_at = 0;
  uint64_t wal_pages = 0;
  bool encrypted = true;
  std::vector<std::string> agents;
  std::optional<IndexSummary> index;
};

struct CacheHit {
  std::vector<uint8_t> value;
  std::optional<float> similarity;  // semantic hits only
  std::string content_type;
  int64_t created_at = 0;
  int64_t accessed_at = 0;
  uint32_t access_count = 0;
  std::optional<uint64_t> ttl_secs;
};

struct CacheStats {
  uint64_t entries = 0;
  uint64_t bytes = 0;
  uint64_t hits = 0;
  uint64_t misses = 0;
  double hit_rate = 0.0;
  uint64_t evictions = 0;
};

// A live memory as the catalog lists it, with its record's agent, type and scope; these are
// absent when the record cannot be read (a damaged page), so the id can still be deleted.
struct MemoryListing {
  struct Kind {
    std::string agent_id;
    MemoryType memory_type = MemoryType::Episodic;
    Scope scope = Scope::Private;
  };
  MemoryId id = 0;
  std::optional<Kind> kind;
};

// What verify_all found: every live memory whose record fails, and every other structure
// that fails (result-cache entries, the catalogs and indexes of older snapshots), each with
// the error that reading it gave.
struct VerifyReport {
  struct DamagedMemory {
    MemoryId id;
    OrmelError error;
  };
  struct DamagedStructure {
    std::string what;
    OrmelError error;
  };
  uint64_t checked = 0;  // live memories examined, damaged ones included
  std::vector<DamagedMemory> memories;
  std::vector<DamagedStructure> structures;
};

// What the file holds and what a compaction would give back, in bytes.
struct SpaceReport {
  uint64_t file_bytes = 0;         // the file's size now
  uint64_t current_bytes = 0;      // a file holding the current state alone
  uint64_t history_bytes = 0;      // added to that by the retained snapshots
  uint64_t reclaimable_bytes = 0;  // what compact() (keeping history) would give back
  // Why the last automatic compaction failed (its flush committed all the same), until a
  // compaction succeeds; compact() by hand then fails the same way, and says so.
  std::optional<OrmelError> auto_compact_failure;
};

// When a flush compacts by itself: the bytes a compaction would give back exceed both
// min_bytes and ratio times the bytes the kept state needs.
struct AutoCompactPolicy {
  uint64_t min_bytes = uint64_t{64} << 20;
  double ratio = 1.0;
};

// The float nearest 0.97.
inline constexpr float kDefaultSemanticThreshold = 0.97f;

class Ormel {
 public:
  // `format_version` chooses the layout of a file this call creates (8 when unset); for an
  // existing file it must be the file's own version when set.
  static Result<std::unique_ptr<Ormel>> open(const std::string& path, std::string_view passphrase,
                                             std::optional<uint64_t> dimensions, bool read_only,
                                             Env* env = posix_env(),
                                             std::optional<uint16_t> format_version = std::nullopt);
  // A read-only handle that takes no lock, so it opens beside a writer in another process.
  // It reads the last committed state at the time it opened and keeps reading that state,
  // consistently, however the writer goes on: the writer never overwrites what a committed
  // header names, and a compaction renames a new file over the path while this handle keeps
  // reading the file it opened. A header caught half written is read again (bounded).
  static Result<std::unique_ptr<Ormel>> open_following(const std::string& path, std::string_view passphrase,
                                                       Env* env = posix_env());
  // Moves a following handle to the newest committed state (the file now at the path, if a
  // compaction replaced it; the data key it holds must seal that file's header). True when
  // the state changed. Staged state and the page cache start afresh; on an error the handle
  // stays where it was. InvalidArgument kRefreshNeedsFollow on any other handle.
  Result<bool> refresh();
  bool following() const;
  ~Ormel();
  Ormel(const Ormel&) = delete;
  Ormel& operator=(const Ormel&) = delete;

  // Memories.
  // A memory whose id is already in the catalog replaces that memory's record, in place
  // in catalog order and keeping its access counters; a deleted one becomes live again.
  Result<MemoryId> remember(Memory memory);
  // Stages every memory as remember() would, in order, or none: the first refused item
  // is reported with its position and nothing is staged. Progress counts the memories
  // checked and encoded; a stop (reported without an item) stages nothing.
  std::expected<std::vector<MemoryId>, BatchError> remember_many(std::vector<Memory> memories,
                                                                 const Progress& progress = {});
  // The same with item i's vector read from rows.row(i), not copied, instead of from
  // memories[i].vector (which is not looked at); the rows must stay unchanged until the
  // call returns. InvalidArgument for the whole call when rows.count is not the number of
  // memories.
  std::expected<std::vector<MemoryId>, BatchError> remember_many(std::vector<Memory> memories, VectorRows rows,
                                                                 const Progress& progress = {});
  // Stages memories exactly as given, for restoring a backup: as remember_many() does,
  // except that a memory replacing one under the same id also replaces that row's access
  // counters with its own accessed_at and access_count (every field then comes back as it
  // was dumped). Each memory needs its id (a zero id draws a fresh one, as remember does).
  std::expected<std::vector<MemoryId>, BatchError> load_memories(std::vector<Memory> memories,
                                                                 const Progress& progress = {});
  // Replaces the fields given in `changes` of a live memory, keeping its id, created_at,
  // catalog position and access counters. NotFound for an unknown or deleted id.
  Status update(MemoryId id, MemoryChanges changes);
  Result<Memory> get(MemoryId id);
  Status delete_memory(MemoryId id);
  Result<std::vector<Memory>> memories();
  Status flush();

  // Batches: many writes, one transaction.
  // - begin_batch opens a batch on the handle (ReadOnly on a read-only handle). The
  //   outermost one first commits whatever is staged, as flush() does (its failure is
  //   begin_batch's, and no batch is then open), so that a batch always starts from the
  //   committed state. A begin_batch inside an open batch joins it.
  // - While a batch is open, flush() (and with it every cache write, session end or
  //   library call that flushes) commits nothing: what it would commit stays staged, and
  //   every read sees it. restore_to, restore_to_time, compact and change_passphrase, which
  //   commit transactions of their own, are refused (InvalidArgument, see outside_batch).
  // - end_batch leaves one level; leaving the outermost commits everything the batch
  //   staged as one transaction (a flush). That flush failing is end_batch's error: the
  //   batch is over all the same and everything stays staged for a flush() to retry.
  // - abandon_batch leaves one level after a failure. Leaving the outermost discards what
  //   the batch staged: the handle reads the committed state again (the state the batch
  //   began from), and the page numbers the batch used are not handed out again. An inner
  //   level abandoned fails the whole batch: the outermost end_batch then discards too,
  //   and returns InvalidArgument kBatchFailed. Should the committed state fail to load
  //   (an I/O error), that error is returned and the batch's writes stay staged.
  // - end_batch and abandon_batch without an open batch are InvalidArgument kNoBatch.
  Status begin_batch();
  Status end_batch();
  Status abandon_batch();
  bool in_batch() const;
  // InvalidArgument naming `operation` while a batch is open: for what must commit a
  // transaction of its own, or let the file go.
  Status outside_batch(std::string_view operation) const;

  // Retrieval.
  Result<std::vector<RecallResult>> recall(const RecallRequest& request);
  Result<std::vector<SearchHit>> search(std::span<const float> query, uint64_t top_k,
                                        const MemoryFilter& filter = {});
  // Progress counts work units, each memory gathered and each centroid compared weighted
  // by its estimated cost (see build_ivfpq_work); a stop leaves the index as it was.
  // Keyword search (see KeywordQuery), best BM25 score first, ties in catalog order; it
  // changes no access statistics. The keyword index is built by the first call (reading
  // every live record) and brought up to date by the later ones. InvalidArgument for k1 or
  // b out of range.
  Result<std::vector<KeywordHit>> search_text(const KeywordQuery& query);
  // Whether keyword terms are English Snowball stems (off by default); a change rebuilds
  // the keyword index at the next keyword query.
  void set_keyword_stemming(bool on);
  // nullopt until a keyword query has built the index (and again after a compaction).
  std::optional<KeywordIndexStats> keyword_index_stats() const;
  Status build_index(const Progress& progress = {});
  void drop_index();
  bool has_index() const;

  // History.
  std::vector<SnapshotInfo> snapshots() const;
  Result<SnapshotInfo> restore_to(uint64_t txn_id);
  Result<SnapshotInfo> restore_to_time(int64_t unix_secs);
  void set_max_snapshots(uint64_t max);
  // The distinct versions of a memory in the retained snapshots, newest first: each is
  // listed with the oldest transaction of the unbroken run of snapshots that held it.
  // Snapshots where the memory is deleted or absent contribute nothing. NotFound when
  // neither the catalog nor any snapshot knows the id.
  Result<std::vector<MemoryVersion>> history(MemoryId id);

  // Space. compact() flushes, rewrites the file with only what is reachable (every
  // retained snapshot when keep_history, else the current state as the one snapshot) and
  // returns the bytes given back. space() reports on the committed file. Progress counts
  // the pages of the new file written, its total sized first as space() does; the flush
  // comes before the first report, and a stop leaves the committed file where it was and
  // no new file beside it.
  // `format_version` (when set) is the version the new file is written in: a version 8
  // file compacted with 9 is converted; the other way round is refused.
  Result<uint64_t> compact(bool keep_history = true, const Progress& progress = {},
                           std::optional<uint16_t> format_version = std::nullopt);
  // The format version of the file (of the header as committed, after an upgrade commits).
  uint16_t format_version() const;
  Result<SpaceReport> space();
  void set_auto_compact(std::optional<AutoCompactPolicy> policy);  // nullopt: never

  // Flushes, then wraps the data key under a key derived from `new_passphrase` (fresh salt,
  // the file's Argon2id costs) in one transaction of its own, whose snapshot repeats the
  // current state and prunes none; every copy of the key wrapped under an older passphrase
  // is then gone from the file.
  Status change_passphrase(std::string_view new_passphrase);

  // Page cache.
  void set_cache_capacity(uint64_t pages);
  std::pair<uint64_t, uint64_t> page_cache_stats() const;  // (pages cached, capacity)

  // Statistics, verification, onboarding.
  Result<Stats> stats();
  // The number of live records checked; the first record that fails is the error.
  // Progress counts the live records checked. Every page checked is read from the file,
  // even one cached earlier (the file may have changed under the handle), except pages
  // staged and not yet flushed; the page cache is left as it was.
  Result<uint64_t> verify(const Progress& progress = {});
  // Every failure, instead of the first: what a repair needs (delete the damaged memories,
  // flush). Reads as verify does and changes nothing. Its only error is a progress stop; progress
  // counts the live records, live result-cache entries and retained snapshots checked.
  Result<VerifyReport> verify_all(const Progress& progress = {});
  // Live memories in catalog order, optionally only those of one agent (its own, not the
  // shared ones of others) and of one type. A memory whose record cannot be read is listed
  // (without kind) only when no filter is given. Records already summarised by recall,
  // search or an earlier listing are not read again.
  std::vector<MemoryListing> list_memories(const std::optional<std::string>& agent_id,
                                           std::optional<MemoryType> memory_type);
  Result<std::vector<Memory>> about();
  Result<MemoryId> insert_default_manifest();

  // Result cache.
  Status cache_put(const std::string& ns, std::string_view key, std::vector<uint8_t> value,
                   std::string content_type, std::optional<uint64_t> ttl_secs);
  Result<std::optional<CacheHit>> cache_get(const std::string& ns, std::string_view key);
  Status cache_delete(const std::string& ns, std::string_view key);
  Result<uint64_t> cache_purge(const std::optional<std::string>& ns, bool expired_only);
  CacheStats cache_stats(const std::optional<std::string>& ns) const;
  // The namespaces that hold live entries, in ascending byte order.
  std::vector<std::string> cache_namespaces() const;
  Status cache_put_semantic(const std::string& ns, std::string_view key, std::vector<float> vector,
                            std::vector<uint8_t> value, std::string model, std::string content_type,
                            std::optional<uint64_t> ttl_secs);
  Result<std::optional<CacheHit>> cache_get_semantic(const std::string& ns, std::span<const float> query,
                                                     const std::string& model, float threshold);

  // Properties.
  const std::string& path() const;
  bool read_only() const;
  uint64_t dimensions() const;
  uint64_t live_count() const;  // catalog rows not marked deleted

  // The engine's internal state, for its own modules and for tests.
  StoreState& state() { return *s_; }
  const StoreState& state() const { return *s_; }

 private:
  explicit Ormel(std::unique_ptr<StoreState> state);
  // How a batch links its rows: remembered (a replaced row keeps its access counters) or
  // restored (the memories' own counters replace them).
  enum class Arrival { Remembered, Restored };
  // Every batch form: item i's vector is vectors[i], which lies in the caller's rows
  // (vectors_are_rows) or in memories[i].vector.
  std::expected<std::vector<MemoryId>, BatchError> stage_batch(std::vector<Memory> memories,
                                                               std::span<const std::span<const float>> vectors,
                                                               bool vectors_are_rows, Arrival arrival,
                                                               const Progress& progress);
  std::unique_ptr<StoreState> s_;
};

// Byte-for-byte copy of `src` to `dest` (created or replaced, with the source's permission
// bits), through the file system's clone where it works. The copy is written to a temporary
// file beside `dest`, synced and renamed over it, so `dest` is never left half-written and
// is untouched on failure. A `dest` naming the source file itself (same device and inode)
// is refused. On failure, the system's text.
std::expected<void, std::string> copy_file_contents(const std::string& src, const std::string& dest);

}  // namespace ormel
