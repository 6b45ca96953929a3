#include "core/record_summaries.h"

namespace ormel {

void RecordSummaries::reset(size_t dims) {
  arena_.emplace(dims);
  by_page_.clear();
  agents_.clear();
  agent_names_.clear();
}

const RecordSummary* RecordSummaries::find(uint64_t start_page) const {
  auto it = by_page_.find(start_page);
  return it == by_page_.end() ? nullptr : &it->second;
}

const RecordSummary& RecordSummaries::add(uint64_t start_page, const Memory& m) {
  RecordSummary summary;
  if (m.vector.size() == arena_->dims()) {
    summary.slot = arena_->add(m.vector);
  } else {
    summary.odd_vector = m.vector;
  }
  auto [agent, inserted] = agents_.try_emplace(m.agent_id, static_cast<uint32_t>(agents_.size()));
  if (inserted) agent_names_.push_back(m.agent_id);
  summary.agent = agent->second;
  summary.type = m.memory_type;
  summary.scope = m.scope;
  summary.importance = m.importance;
  summary.created_at = m.created_at;
  summary.ttl_secs = m.ttl_secs;
  return by_page_.insert_or_assign(start_page, std::move(summary)).first->second;
}

std::optional<uint32_t> RecordSummaries::agent_of(std::string_view agent_id) const {
  auto it = agents_.find(std::string(agent_id));
  if (it == agents_.end()) return std::nullopt;
  return it->second;
}

}  // namespace ormel
