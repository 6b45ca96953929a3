// Decoded scoring and filtering fields of memory records, kept in memory for recall and
// search.
//
// Contract: a record run never changes once written (a replaced memory gets a new start
// page, a restore points the catalog at existing runs), so a summary keyed by the run's
// start page never needs invalidation. Vectors of the database's width live in a
// VectorArena (interleaved for lane-per-record scans); a vector of another width (only
// possible in a damaged or foreign file) is kept aside and scored by the scalar path.
// Agent and session ids and metadata strings are interned, so filters compare integers;
// metadata is kept flattened (metadata_filter.h); summaries of records with the same
// metadata may share one flattened range.
//
// Summaries are kept in the order they were added, which is the catalog's order for the
// records read at the first recall after opening, so a scan visits them in memory order.
// Their vectors are grouped in the arena by view (shared, or the owning agent), so the
// scan of one agent's view reads only the blocks of its own and the shared memories. find() also remembers which summary a catalog row had, so the
// next lookup of that row is an array access and a compare instead of a hash lookup.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/half_copy.h"
#include "core/memory.h"
#include "core/memory_fields.h"
#include "core/metadata_filter.h"
#include "core/vector_scan.h"

namespace ormel {

struct RecordSummary {
  static constexpr uint32_t kNoSlot = UINT32_MAX;
  static constexpr uint32_t kNoSession = UINT32_MAX;
  int64_t created_at = 0;
  int64_t ttl_secs = 0;           // meaningful when has_ttl
  uint32_t slot = kNoSlot;        // VectorArena slot, or kNoSlot when the width differs
  uint32_t agent = 0;             // interned agent id
  uint32_t session = kNoSession;  // interned session id
  uint32_t metadata_begin = 0, metadata_count = 0;  // range of the flattened metadata
  float importance = 0;
  MemoryType type = MemoryType::Episodic;
  Scope scope = Scope::Private;
  bool has_ttl = false;
};

class RecordSummaries {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  void reset(size_t dims);
  // The position of the summary of the record at `start_page`, or kNone; remembers it as
  // catalog row `row`'s, so the next lookup of that row needs no hashing.
  uint32_t find(size_t row, uint64_t start_page) {
    const uint32_t hinted = find_hinted(row, start_page);
    return hinted != kNone ? hinted : find_slow(row, start_page);
  }
  // The same when the row's remembered position still holds its record, else kNone.
  // Changes nothing, so threads may call it side by side.
  uint32_t find_hinted(size_t row, uint64_t start_page) const {
    if (row < row_hint_.size()) {
      const uint32_t hint = row_hint_[row];
      if (hint != kNone && pages_[hint] == start_page) return hint;
    }
    return kNone;
  }
  uint32_t add(uint64_t start_page, const Memory& m);
  // The same from a record read in place: `vector` holds its components and `norm_sq` their
  // sum_of_squares (computed wherever the caller read the record).
  uint32_t add(uint64_t start_page, const MemoryFields& fields, std::span<const float> vector, float norm_sq);
  // The summaries of memories[i] staged at start_pages[i] with vector vectors[i] (in place of
  // memories[i].vector), in order: the same as add() for each, with the vectors placed in
  // the arena together (for a large batch on another thread, while this one writes the
  // summaries). `then`, when given, runs on the calling thread once the summaries are
  // written and `memories` no longer read, while the arena may still be reading `vectors`.
  void add_many(std::span<const uint64_t> start_pages, std::span<const Memory> memories,
                std::span<const std::span<const float>> vectors, const std::function<void()>& then = {});
  // Room for `more` summaries, so a bulk load does not move the arena as it grows.
  void reserve(size_t more);
  // Valid until the next add().
  const RecordSummary& operator[](uint32_t position) const { return items_[position]; }
  // The vector of a summary without an arena slot.
  std::span<const float> odd_vector(uint32_t position) const;
  // The view group of the summary at `position` (the arena group of its vector): every
  // shared memory is in kSharedGroup, the others in their agent's group. Kept apart from
  // the summaries so a scan in one agent's view settles most rows reading four bytes.
  static constexpr uint32_t kSharedGroup = 0;
  static uint32_t agent_group(uint32_t agent) { return agent + 1; }
  static uint32_t view_group(Scope scope, uint32_t agent) {
    return scope == Scope::Shared ? kSharedGroup : agent_group(agent);
  }
  uint32_t group(uint32_t position) const { return groups_[position]; }
  // The arena slot of the summary at `position` (RecordSummary::slot), kept apart likewise.
  uint32_t slot(uint32_t position) const { return slots_[position]; }
  // The interned id of an agent or session id, or nullopt when no record has used it.
  std::optional<uint32_t> id_of(std::string_view text) const;
  std::span<const FlatValue> metadata(const RecordSummary& r) const {
    return std::span(metadata_).subspan(r.metadata_begin, r.metadata_count);
  }
  const MetadataDictionary& dictionary() const { return dictionary_; }
  // The agent id interned as `agent` (a value of RecordSummary::agent).
  std::string_view agent_name(uint32_t agent) const { return dictionary_.string(agent); }
  const VectorArena& vectors() const { return *arena_; }
  // From now on the arena also keeps each vector contiguous, for scoring chosen candidates
  // (VectorArena::keep_rows); until the next reset.
  void keep_vector_rows() { arena_->keep_rows(); }
  // The arena's binary16 copy (see HalfCopy), brought up to date; null when the processor
  // cannot convert binary16. Built by the first call after a reset, kept until the next.
  const HalfCopy* vector_halves() { return halves_.refresh(*arena_) ? &halves_ : nullptr; }

 private:
  static constexpr uint64_t kNoPage = UINT64_MAX;  // no run starts there
  uint32_t find_slow(size_t row, uint64_t start_page);
  // Appends the summary of a record whose vector is at arena slot `slot` (kNoSlot: the
  // vector was kept aside). Its metadata is flattened from fields.metadata, or is the
  // range of `same_metadata` (a summary whose packed metadata is the same bytes).
  uint32_t push(uint64_t start_page, const MemoryFields& fields, uint32_t slot,
                const RecordSummary* same_metadata = nullptr);
  // The arena group of a record: one for every shared memory, one per agent for the rest,
  // so a recall in one agent's view reads the blocks of two groups.
  uint32_t group_of(Scope scope, std::string_view agent_id);

  std::optional<VectorArena> arena_;
  HalfCopy halves_;
  std::vector<RecordSummary> items_;                // in the order added
  std::vector<uint32_t> groups_;                    // view group of each of items_
  std::vector<uint32_t> slots_;                     // arena slot of each of items_
  // Start page of each of items_'s records (kNoPage once replaced), apart from the
  // summaries so that checking a row's remembered position reads eight bytes.
  std::vector<uint64_t> pages_;
  std::unordered_map<uint64_t, uint32_t> by_page_;  // start page -> position in items_
  std::vector<uint32_t> row_hint_;                  // catalog row -> position in items_
  std::unordered_map<uint32_t, std::vector<float>> odd_vectors_;  // by position
  std::vector<FlatValue> metadata_;
  MetadataDictionary dictionary_;
};

}  // namespace ormel
