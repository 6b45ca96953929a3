#include "core/record_summaries.h"

namespace ormel {

void RecordSummaries::reset(size_t dims) {
  arena_.emplace(dims);
  items_.clear();
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

uint32_t RecordSummaries::add(uint64_t start_page, const Memory& m) {
  const auto position = static_cast<uint32_t>(items_.size());
  RecordSummary summary;
  summary.start_page = start_page;
  if (m.vector.size() == arena_->dims()) {
    summary.slot = arena_->add(m.vector);
  } else {
    odd_vectors_[position] = m.vector;
  }
  summary.agent = dictionary_.intern_string(m.agent_id);
  if (m.session_id) summary.session = dictionary_.intern_string(*m.session_id);
  summary.metadata_begin = static_cast<uint32_t>(metadata_.size());
  flatten_metadata(m.metadata, dictionary_, metadata_);
  summary.metadata_count = static_cast<uint32_t>(metadata_.size() - summary.metadata_begin);
  summary.type = m.memory_type;
  summary.scope = m.scope;
  summary.importance = m.importance;
  summary.created_at = m.created_at;
  summary.has_ttl = m.ttl_secs.has_value();
  summary.ttl_secs = m.ttl_secs.value_or(0);
  items_.push_back(summary);
  auto [it, inserted] = by_page_.try_emplace(start_page, position);
  if (!inserted) {
    // A row hint must never find the summary this one replaces.
    items_[it->second].start_page = kNoPage;
    it->second = position;
  }
  return position;
}

void RecordSummaries::reserve(size_t more) {
  arena_->reserve(more);
  items_.reserve(items_.size() + more);
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
