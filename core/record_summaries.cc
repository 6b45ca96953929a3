#include "core/record_summaries.h"

#include "core/parallel.h"
#include "core/record_codec.h"

namespace ormel {

void RecordSummaries::reset(size_t dims) {
  arena_.emplace(dims);
  halves_.reset();
  items_.clear();
  groups_.clear();
  slots_.clear();
  pages_.clear();
  by_page_.clear();
  row_hint_.clear();
  odd_vectors_.clear();
  metadata_.clear();
  dictionary_.clear();
}

uint32_t RecordSummaries::find_slow(size_t row, uint64_t start_page) {
  auto it = by_page_.find(start_page);
  if (it == by_page_.end()) return kNone;
  if (row >= row_hint_.size()) row_hint_.resize(row + 1, kNone);
  row_hint_[row] = it->second;
  return it->second;
}

namespace {

// add_many fills the arena on another thread from this many vectors on.
constexpr size_t kTogetherMinimum = 512;

// The summarised fields of `m`, its metadata packed into `metadata` (reused from call to
// call by a batch).
MemoryFields summary_fields(const Memory& m, std::vector<uint8_t>& metadata) {
  MemoryFields fields;
  fields.memory_type = m.memory_type;
  fields.agent_id = m.agent_id;
  if (m.session_id) fields.session_id = *m.session_id;
  fields.scope = m.scope;
  fields.created_at = m.created_at;
  fields.importance = m.importance;
  fields.ttl_secs = m.ttl_secs;
  metadata.clear();
  ByteSink sink{&metadata};
  Packer pk(sink);
  codec::put(pk, m.metadata, codec::Plain{});
  fields.metadata = metadata;
  return fields;
}

}  // namespace

uint32_t RecordSummaries::add(uint64_t start_page, const Memory& m) {
  std::vector<uint8_t> metadata;
  const MemoryFields fields = summary_fields(m, metadata);
  return add(start_page, fields, m.vector, sum_of_squares(m.vector));
}

uint32_t RecordSummaries::add(uint64_t start_page, const MemoryFields& fields, std::span<const float> vector,
                              float norm_sq) {
  if (vector.size() == arena_->dims()) {
    return push(start_page, fields, arena_->add(vector, norm_sq, group_of(fields.scope, fields.agent_id)));
  }
  odd_vectors_[static_cast<uint32_t>(items_.size())].assign(vector.begin(), vector.end());
  return push(start_page, fields, RecordSummary::kNoSlot);
}

void RecordSummaries::add_many(std::span<const uint64_t> start_pages, std::span<const Memory> memories,
                               std::span<const std::span<const float>> vectors, const std::function<void()>& then) {
  // The slots are handed out first, as add() would give them one by one, so the summaries
  // can be written while another thread fills the arena (push() does not touch it).
  const size_t dims = arena_->dims();
  std::vector<const float*> placed_vectors;
  std::vector<uint32_t> groups;
  placed_vectors.reserve(memories.size());
  groups.reserve(memories.size());
  for (size_t i = 0; i < memories.size(); ++i) {
    if (vectors[i].size() != dims) continue;
    placed_vectors.push_back(vectors[i].data());
    groups.push_back(group_of(memories[i].scope, memories[i].agent_id));
  }
  const VectorArena::Placed placed = arena_->place_many(groups);
  const auto summarise = [&] {
    size_t next = 0;
    // Items often share their metadata: one whose packed metadata is the previous item's
    // shares that item's flattened range instead of flattening it again.
    std::vector<uint8_t> metadata, previous;
    for (size_t i = 0; i < memories.size(); ++i) {
      const Memory& m = memories[i];
      const MemoryFields fields = summary_fields(m, metadata);
      const RecordSummary* same = i > 0 && metadata == previous ? &items_.back() : nullptr;
      if (vectors[i].size() == dims) {
        push(start_pages[i], fields, placed.slots[next++], same);
      } else {
        odd_vectors_[static_cast<uint32_t>(items_.size())].assign(vectors[i].begin(), vectors[i].end());
        push(start_pages[i], fields, RecordSummary::kNoSlot, same);
      }
      metadata.swap(previous);
    }
  };
  const auto summarise_then = [&] {
    summarise();
    if (then) then();
  };
  if (placed_vectors.size() < kTogetherMinimum) {
    arena_->write_placed(placed, placed_vectors);
    summarise_then();
  } else {
    run_together(summarise_then, [&] { arena_->write_placed(placed, placed_vectors); });
  }
}

uint32_t RecordSummaries::group_of(Scope scope, std::string_view agent_id) {
  return view_group(scope, dictionary_.intern_string(agent_id));
}

uint32_t RecordSummaries::push(uint64_t start_page, const MemoryFields& fields, uint32_t slot,
                               const RecordSummary* same_metadata) {
  const auto position = static_cast<uint32_t>(items_.size());
  RecordSummary summary;
  summary.slot = slot;
  summary.agent = dictionary_.intern_string(fields.agent_id);
  if (fields.session_id) summary.session = dictionary_.intern_string(*fields.session_id);
  if (same_metadata != nullptr) {
    summary.metadata_begin = same_metadata->metadata_begin;
    summary.metadata_count = same_metadata->metadata_count;
  } else {
    summary.metadata_begin = static_cast<uint32_t>(metadata_.size());
    flatten_packed_metadata(fields.metadata, dictionary_, metadata_);
    summary.metadata_count = static_cast<uint32_t>(metadata_.size() - summary.metadata_begin);
  }
  summary.type = fields.memory_type;
  summary.scope = fields.scope;
  summary.importance = fields.importance;
  summary.created_at = fields.created_at;
  summary.has_ttl = fields.ttl_secs.has_value();
  summary.ttl_secs = fields.ttl_secs.value_or(0);
  items_.push_back(summary);
  groups_.push_back(view_group(summary.scope, summary.agent));
  slots_.push_back(slot);
  pages_.push_back(start_page);
  auto [it, inserted] = by_page_.try_emplace(start_page, position);
  if (!inserted) {
    // A row hint must never find the summary this one replaces.
    pages_[it->second] = kNoPage;
    it->second = position;
  }
  return position;
}

void RecordSummaries::reserve(size_t more) {
  arena_->reserve(more);
  items_.reserve(items_.size() + more);
  groups_.reserve(groups_.size() + more);
  slots_.reserve(slots_.size() + more);
  pages_.reserve(pages_.size() + more);
  by_page_.reserve(by_page_.size() + more);
}

std::span<const float> RecordSummaries::odd_vector(uint32_t position) const {
  auto it = odd_vectors_.find(position);
  return it == odd_vectors_.end() ? std::span<const float>() : std::span<const float>(it->second);
}

std::optional<uint32_t> RecordSummaries::id_of(std::string_view text) const {
  const uint32_t id = dictionary_.find_string(text);
  if (id == MetadataDictionary::kUnknown) return std::nullopt;
  return id;
}

}  // namespace ormel
