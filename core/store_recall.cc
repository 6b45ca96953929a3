// Retrieval: multi-signal recall (exact or through the approximate index) and exact search.
//
// Scoring reads only the decoded summaries of records (record_summaries.h); full records
// are read for the results that are returned. Similarities come from the interleaved
// vector scan, bit-identical to similarity() on the same vectors.
#include <algorithm>
#include <cmath>

#include "core/float_order.h"
#include "core/store_state.h"

namespace ormel {
namespace {

// -ln 2 as the nearest float (bits 0xBF317218).
constexpr float kMinusLn2 = -0.6931472f;

// now - created_at >= ttl, without overflow (now is never negative, so the age never
// saturates low).
bool memory_expired(const RecordSummary& r, int64_t now) {
  if (!r.ttl_secs) return false;
  return age_secs(now, r.created_at) >= *r.ttl_secs;
}

struct Scored {
  size_t row;
  float score;
  float similarity;
};

// Leaves the best min(k, size) items, best first: exactly what a stable sort by
// descending key (IEEE total order) followed by a cut gives. Ties are broken by input
// position, which makes the order total, so a partial sort suffices.
template <class Key>
void keep_best(std::vector<Scored>& items, size_t k, Key key) {
  std::vector<std::pair<int32_t, uint32_t>> ranks(items.size());  // (key, position)
  for (size_t i = 0; i < items.size(); ++i) ranks[i] = {total_order_key(key(items[i])), static_cast<uint32_t>(i)};
  const auto better = [](const auto& a, const auto& b) {
    return a.first > b.first || (a.first == b.first && a.second < b.second);
  };
  k = std::min(k, ranks.size());
  std::partial_sort(ranks.begin(), ranks.begin() + k, ranks.end(), better);
  std::vector<Scored> best(k);
  for (size_t i = 0; i < k; ++i) best[i] = items[ranks[i].second];
  items = std::move(best);
}

// Similarities of the query with summarised records, in order, bit-identical to
// similarity(). Cosine similarities of arena vectors come from the arena's dot products:
// one pass over every slot when `scan_all` (the caller scores most of the arena), else just
// the records' own slots. Other metrics, and vectors outside the arena, use similarity().
std::vector<float> similarities(const StoreState& s, Metric metric, std::span<const float> query,
                                std::span<const RecordSummary* const> records, bool scan_all) {
  const VectorArena& arena = s.summaries.vectors();
  std::vector<float> sims(records.size());
  std::vector<float> dots, scratch;
  std::vector<uint32_t> slots;
  if (metric == Metric::Cosine) {
    if (scan_all) {
      arena.dots(query, dots);
    } else {
      for (const RecordSummary* r : records) {
        if (r->slot != RecordSummary::kNoSlot) slots.push_back(r->slot);
      }
      arena.dots_for(query, slots, dots);
    }
  }
  const float query_norm_sq = metric == Metric::Cosine ? sum_of_squares(query) : 0.0f;
  size_t next = 0;  // position in `dots` when only the records' slots were computed
  for (size_t i = 0; i < records.size(); ++i) {
    const RecordSummary& r = *records[i];
    if (r.slot == RecordSummary::kNoSlot) {
      sims[i] = similarity(metric, query, r.odd_vector);
    } else if (metric == Metric::Cosine) {
      const float dot = scan_all ? dots[r.slot] : dots[next++];
      sims[i] = cosine_from_parts(dot, query_norm_sq, arena.norm_sq(r.slot), arena.dims());
    } else {
      arena.copy_vector(r.slot, scratch);
      sims[i] = similarity(metric, query, scratch);
    }
  }
  return sims;
}

}  // namespace

Result<const RecordSummary*> summary_of(StoreState& s, const CatalogEntry& row) {
  if (const RecordSummary* r = s.summaries.find(row.start_page)) return r;
  ORMEL_ASSIGN(Memory m, read_memory(*s.pager, row, s.dimensions));
  return &s.summaries.add(row.start_page, m);
}

Result<std::vector<RecallResult>> Ormel::recall(const RecallRequest& req) {
  StoreState& s = *s_;
  if (req.query.size() != s.dimensions) return fail(OrmelError::dimension_mismatch(s.dimensions, req.query.size()));
  ORMEL_TRY(check_finite(req.query, "query"));
  if (s.read_only && req.track_access) return fail(OrmelError::read_only());
  const int64_t now = now_secs();

  std::vector<size_t> rows;
  const bool indexed = s.index && s.index->n_partitions > 0;
  if (indexed) {
    for (MemoryId id : s.index->candidates(req.query, req.n_probe, req.n_rerank)) {
      auto it = s.id_index.find(id);
      if (it != s.id_index.end() && !s.catalog[it->second].deleted) rows.push_back(it->second);
    }
  } else {
    rows.reserve(s.catalog.size());
    for (size_t i = 0; i < s.catalog.size(); ++i) {
      if (!s.catalog[i].deleted) rows.push_back(i);
    }
  }

  std::vector<const RecordSummary*> summaries(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    ORMEL_ASSIGN(summaries[i], summary_of(s, s.catalog[rows[i]]));
  }

  std::optional<uint32_t> agent;
  if (req.agent_id) agent = s.summaries.agent_of(*req.agent_id);
  std::vector<size_t> kept;  // catalog rows that pass the filters
  std::vector<const RecordSummary*> kept_summaries;
  for (size_t i = 0; i < rows.size(); ++i) {
    const RecordSummary& r = *summaries[i];
    if (memory_expired(r, now)) continue;
    if (req.memory_types &&
        std::find(req.memory_types->begin(), req.memory_types->end(), r.type) == req.memory_types->end()) {
      continue;
    }
    if (req.agent_id && r.scope != Scope::Shared && (!agent || r.agent != *agent)) continue;
    kept.push_back(rows[i]);
    kept_summaries.push_back(&r);
  }
  const std::vector<float> sims = similarities(s, req.metric, req.query, kept_summaries, !indexed);

  std::vector<Scored> scored;
  scored.reserve(kept.size());
  for (size_t k = 0; k < kept.size(); ++k) {
    const RecordSummary& r = *kept_summaries[k];
    const CatalogEntry& row = s.catalog[kept[k]];
    const float sim = sims[k];
    // Saturated, an age beyond 64 bits rounds to the same float it would otherwise.
    const float age = static_cast<float>(std::max<int64_t>(age_secs(now, row.accessed_at), 0));
    const float recency = std::exp(age * kMinusLn2 / req.recency_half_life_secs);
    const float frequency = std::log(static_cast<float>(row.access_count) + 1.0f);
    float score = req.similarity_weight * sim;
    score = score + req.recency_weight * recency;
    score = score + req.importance_weight * r.importance;
    score = score + req.access_weight * frequency;
    scored.push_back({kept[k], score, sim});
  }
  keep_best(scored, req.top_k, [](const Scored& x) { return x.score; });

  std::vector<RecallResult> results;
  results.reserve(scored.size());
  for (const Scored& hit : scored) {
    ORMEL_ASSIGN(Memory m, read_memory(*s.pager, s.catalog[hit.row], s.dimensions));
    results.push_back({std::move(m), hit.score, hit.similarity});
  }
  if (req.track_access && !results.empty()) {
    for (size_t i = 0; i < results.size(); ++i) {
      CatalogEntry& row = s.catalog[scored[i].row];
      row.accessed_at = now;
      if (row.access_count != UINT32_MAX) ++row.access_count;
      results[i].memory.accessed_at = row.accessed_at;
      results[i].memory.access_count = row.access_count;
    }
    s.catalog_dirty = true;
  }
  return results;
}

Result<std::vector<SearchHit>> Ormel::search(std::span<const float> query, uint64_t top_k) {
  StoreState& s = *s_;
  if (query.size() != s.dimensions) return fail(OrmelError::dimension_mismatch(s.dimensions, query.size()));
  ORMEL_TRY(check_finite(query, "query"));
  const int64_t now = now_secs();

  std::vector<size_t> live;
  std::vector<const RecordSummary*> live_summaries;
  for (size_t i = 0; i < s.catalog.size(); ++i) {
    if (s.catalog[i].deleted) continue;
    ORMEL_ASSIGN(const RecordSummary* r, summary_of(s, s.catalog[i]));
    if (memory_expired(*r, now)) continue;
    live.push_back(i);
    live_summaries.push_back(r);
  }
  const std::vector<float> sims = similarities(s, Metric::Cosine, query, live_summaries, true);

  std::vector<Scored> scored;
  scored.reserve(live.size());
  for (size_t k = 0; k < live.size(); ++k) scored.push_back({live[k], sims[k], sims[k]});
  keep_best(scored, top_k, [](const Scored& x) { return x.similarity; });

  std::vector<SearchHit> hits;
  hits.reserve(scored.size());
  for (const Scored& hit : scored) {
    ORMEL_ASSIGN(Memory m, read_memory(*s.pager, s.catalog[hit.row], s.dimensions));
    hits.push_back({std::move(m), hit.similarity});
  }
  return hits;
}

}  // namespace ormel
