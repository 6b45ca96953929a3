// Which memories a retrieval call may return, and the keyword ranking that recall fuses
// with its vector ranking. Shared by recall, search and keyword search; part of the store.
//
// Contract:
// - Eligibility applies a call's conditions to a record summary: expiry (a memory lives
//   ttl_secs after its creation), memory types, the agent's view (its own memories and
//   everyone's shared ones), session, creation times and the metadata filter.
// - keyword_ranking brings the keyword index up to date with the catalog and returns the
//   eligible live rows that hold a term of `text`, best BM25 score first (ties in catalog
//   order), at most `limit` of them.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "core/keyword_index.h"
#include "core/store_state.h"

namespace ormel {

// now - created_at >= ttl, without overflow (now is never negative, so the age never
// saturates low).
inline bool memory_expired(const RecordSummary& r, int64_t now) {
  if (!r.has_ttl) return false;
  return age_secs(now, r.created_at) >= r.ttl_secs;
}

// Every condition a call puts on a memory. Ids and the metadata filter are resolved
// against the summaries' dictionary, again whenever it has grown (a record read during the
// call may bring the very string a condition names).
class Eligibility {
 public:
  Eligibility(const RecordSummaries& summaries, int64_t now, const std::optional<std::vector<MemoryType>>& types,
              const std::optional<std::string>& agent_id, const MemoryFilter& filter)
      : summaries_(summaries), now_(now), types_(types ? &*types : nullptr), agent_id_(agent_id), filter_(filter) {}

  bool operator()(const RecordSummary& r) const {
    refresh();
    if (memory_expired(r, now_)) return false;
    if (types_ && std::find(types_->begin(), types_->end(), r.type) == types_->end()) return false;
    if (agent_id_ && r.scope != Scope::Shared && (!agent_ || r.agent != *agent_)) return false;
    if (filter_.session_id && (!session_ || r.session != *session_)) return false;
    if (filter_.created_after && !(r.created_at > *filter_.created_after)) return false;
    if (filter_.created_before && !(r.created_at < *filter_.created_before)) return false;
    return !where_ || where_->matches(summaries_.metadata(r));
  }

  // Whether any condition but expiry can leave a memory out.
  bool selective() const {
    return types_ != nullptr || agent_id_.has_value() || !filter_.empty();
  }

  // Whether the only condition beyond expiry is the agent's view, which in_view() settles.
  bool only_view() const { return types_ == nullptr && agent_id_.has_value() && filter_.empty(); }

  // Whether the memory at `position` is in the agent's view (when the call names an
  // agent), reading only its view group.
  bool in_view(uint32_t position) const {
    if (!agent_id_) return true;
    refresh();
    const uint32_t group = summaries_.group(position);
    return group == RecordSummaries::kSharedGroup || (agent_ && group == RecordSummaries::agent_group(*agent_));
  }

  // The same as operator()(summaries[position]), reading first only the view group: in one
  // agent's view that settles most rows without touching their summaries.
  bool operator()(uint32_t position) const { return in_view(position) && (*this)(summaries_[position]); }

  // Resolves the names again when the dictionary has grown. Once it has run, calls from
  // several threads only read, until the next record is summarised.
  void refresh() const {
    if (summaries_.dictionary().generation() != generation_) resolve();
  }

 private:
  void resolve() const {
    generation_ = summaries_.dictionary().generation();
    if (agent_id_) agent_ = summaries_.id_of(*agent_id_);
    if (filter_.session_id) session_ = summaries_.id_of(*filter_.session_id);
    if (filter_.where) where_.emplace(*filter_.where, summaries_.dictionary());
  }

  const RecordSummaries& summaries_;
  int64_t now_;
  const std::vector<MemoryType>* types_;
  const std::optional<std::string>& agent_id_;
  const MemoryFilter& filter_;
  mutable uint64_t generation_ = UINT64_MAX;
  mutable std::optional<uint32_t> agent_, session_;
  mutable std::optional<BoundFilter> where_;
};

struct RankedRow {
  size_t row;
  double score;
};
// The rows as the contract says; InvalidArgument for k1 or b out of range (k1 finite and
// not negative, b in [0, 1]).
Result<std::vector<RankedRow>> keyword_ranking(StoreState& s, std::string_view text, const Bm25Params& params,
                                               const Eligibility& eligible, uint64_t limit);

}  // namespace ormel
