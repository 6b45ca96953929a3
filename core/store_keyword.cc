// Keyword search: the keyword index kept in step with the catalog, the keyword ranking
// that search_text and hybrid recall share, and search_text.
//
// Invariants:
//   1. After sync_keywords succeeds, the index holds one document for every live catalog
//      row, built from the record the row points at (its version is the row's start page,
//      which every change of the row's memory moves), and nothing else: what a build from
//      scratch gives. Every change of a row between two queries is either pending or
//      covered by recheck_all (a restore) or by dropping the index (a compaction).
//   2. A row whose record cannot be read stays pending (or the index unbuilt), so nothing
//      is answered from an index that missed a change; the query fails with the record's
//      error, as a recall reading that record would.
#include <algorithm>
#include <cmath>

#include "core/memory_fields.h"
#include "core/store_eligibility.h"
#include "core/tokenizer.h"

namespace ormel {
namespace {

// Replaces row's document with the terms of its record's content.
Status index_row(StoreState& s, KeywordIndex& index, Tokenizer& tokenizer, size_t row) {
  const CatalogEntry& entry = s.catalog[row];
  ORMEL_ASSIGN(const std::vector<uint8_t> bytes, read_record(*s.pager, entry));
  MemoryFields fields;
  if (read_memory_fields(bytes, fields)) {
    index.set(static_cast<uint32_t>(row), entry.start_page, tokenizer.tokens(fields.content));
    return {};
  }
  ORMEL_ASSIGN(const Memory m, decode_memory(bytes));
  index.set(static_cast<uint32_t>(row), entry.start_page, tokenizer.tokens(m.content));
  return {};
}

// Brings row's document in line with the catalog row (absent, deleted, or another record).
Status sync_row(StoreState& s, KeywordIndex& index, Tokenizer& tokenizer, size_t row) {
  if (row >= s.catalog.size() || s.catalog[row].deleted) {
    index.erase(static_cast<uint32_t>(row));
    return {};
  }
  if (index.version(static_cast<uint32_t>(row)) == s.catalog[row].start_page) return {};
  return index_row(s, index, tokenizer, row);
}

Status build_keywords(StoreState& s, Tokenizer& tokenizer) {
  KeywordIndex fresh;
  for (size_t row = 0; row < s.catalog.size(); ++row) {
    if (!s.catalog[row].deleted) ORMEL_TRY(index_row(s, fresh, tokenizer, row));
  }
  s.keywords.index = std::move(fresh);
  s.keywords.pending.clear();
  s.keywords.recheck_all = false;
  return {};
}

// Invariant 1.
Status sync_keywords(StoreState& s) {
  KeywordState& k = s.keywords;
  Tokenizer tokenizer(k.stemming);
  if (!k.index) return build_keywords(s, tokenizer);
  if (k.recheck_all) {
    k.index->truncate(s.catalog.size());
    for (size_t row = 0; row < s.catalog.size(); ++row) ORMEL_TRY(sync_row(s, *k.index, tokenizer, row));
    k.recheck_all = false;
    k.pending.clear();
    return {};
  }
  std::ranges::sort(k.pending);
  k.pending.erase(std::unique(k.pending.begin(), k.pending.end()), k.pending.end());
  for (size_t i = 0; i < k.pending.size(); ++i) {
    if (Status synced = sync_row(s, *k.index, tokenizer, k.pending[i]); !synced) {
      k.pending.erase(k.pending.begin(), k.pending.begin() + static_cast<ptrdiff_t>(i));  // invariant 2
      return synced;
    }
  }
  k.pending.clear();
  return {};
}

Status check_params(const Bm25Params& p) {
  if (!std::isfinite(p.k1) || p.k1 < 0) return fail(OrmelError::invalid_argument("k1 must be a finite number >= 0"));
  if (!(p.b >= 0 && p.b <= 1)) return fail(OrmelError::invalid_argument("b must be between 0 and 1"));
  return {};
}

// The summary position of every scored row, reading the records of those not summarised
// yet (all at once when there are many, as the first recall after opening does).
Result<std::vector<uint32_t>> summaries_of(StoreState& s, const std::vector<KeywordScore>& scored) {
  constexpr size_t kBulk = 256;
  std::vector<uint32_t> positions(scored.size());
  size_t missing = 0;
  for (size_t i = 0; i < scored.size(); ++i) {
    positions[i] = s.summaries.find(scored[i].row, s.catalog[scored[i].row].start_page);
    missing += positions[i] == RecordSummaries::kNone ? 1 : 0;
  }
  if (missing >= kBulk) {
    ORMEL_ASSIGN(const std::vector<uint32_t> every, live_summaries(s));
    for (size_t i = 0; i < scored.size(); ++i) positions[i] = every[scored[i].row];
    return positions;
  }
  for (size_t i = 0; i < scored.size(); ++i) {
    if (positions[i] != RecordSummaries::kNone) continue;
    ORMEL_ASSIGN(positions[i], summary_of(s, scored[i].row));
  }
  return positions;
}

}  // namespace

Result<std::vector<RankedRow>> keyword_ranking(StoreState& s, std::string_view text, const Bm25Params& params,
                                               const Eligibility& eligible, uint64_t limit) {
  ORMEL_TRY(check_params(params));
  if (limit == 0) return std::vector<RankedRow>{};
  ORMEL_TRY(sync_keywords(s));
  Tokenizer tokenizer(s.keywords.stemming);
  std::vector<KeywordScore> scored;
  s.keywords.index->score(tokenizer.tokens(text), params, scored);
  ORMEL_ASSIGN(const std::vector<uint32_t> positions, summaries_of(s, scored));
  std::vector<RankedRow> ranked;
  for (size_t i = 0; i < scored.size(); ++i) {
    if (eligible(s.summaries[positions[i]])) ranked.push_back({scored[i].row, scored[i].score});
  }
  const auto better = [](const RankedRow& a, const RankedRow& b) {
    return a.score > b.score || (a.score == b.score && a.row < b.row);
  };
  const size_t kept = std::min<size_t>(limit, ranked.size());
  std::partial_sort(ranked.begin(), ranked.begin() + static_cast<ptrdiff_t>(kept), ranked.end(), better);
  ranked.resize(kept);
  return ranked;
}

Result<std::vector<KeywordHit>> Ormel::search_text(const KeywordQuery& query) {
  StoreState& s = *s_;
  const Eligibility eligible(s.summaries, now_secs(), query.memory_types, query.agent_id, query.filter);
  ORMEL_ASSIGN(const std::vector<RankedRow> ranked, keyword_ranking(s, query.text, query.params, eligible, query.top_k));
  std::vector<KeywordHit> hits;
  hits.reserve(ranked.size());
  for (const RankedRow& r : ranked) {
    ORMEL_ASSIGN(Memory m, read_memory(*s.pager, s.catalog[r.row], s.dimensions));
    hits.push_back({std::move(m), r.score});
  }
  return hits;
}

void Ormel::set_keyword_stemming(bool on) {
  KeywordState& k = s_->keywords;
  if (k.stemming == on) return;
  k = KeywordState{};
  k.stemming = on;
}

}  // namespace ormel
