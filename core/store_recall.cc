// Retrieval: multi-signal recall (exact, through the approximate index, or hybrid with the
// keyword ranking) and exact search.
//
// Scoring and filtering read only the decoded summaries of records (record_summaries.h);
// full records are read for the results that are returned. Similarities come from the
// interleaved vector scan, bit-identical to similarity() on the same vectors.
//
// Invariants:
//   1. Ranking is a stable sort by descending score in the IEEE total order, except that a
//      NaN score ranks below every number: ties keep candidate order (catalog order for a
//      scan, approximate-distance order through the index).
//   2. Without a MemoryFilter the indexed path filters agent, type and expiry after the
//      candidate cut, as it always has; with one, every condition applies before the cut,
//      and fewer than top_k matches in the probed partitions make recall answer from the
//      scan, so (with n_rerank at least top_k) the result is never shorter than the exact
//      filtered recall's.
//   3. Nothing is read or tracked before the request's arguments are checked.
//   4. A bounded scan returns what the full scan returns, to the bit: a row is dropped only
//      when the highest score its similarity allows (HalfCopy's bound on its dot product)
//      is below the top_k-th greatest of the lowest scores other rows' similarities allow,
//      so at least top_k rows score strictly more; every other row is scored exactly.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <unordered_map>

#include "core/float_order.h"
#include "core/parallel.h"
#include "core/store_eligibility.h"
#include "core/store_state.h"

namespace ormel {
namespace {

// -ln 2 as the nearest float (bits 0xBF317218).
constexpr float kMinusLn2 = -0.6931472f;

// The best k of a stream of scored candidates, in the order of invariant 1.
class TopK {
 public:
  struct Entry {
    int32_t key;
    uint32_t position;  // candidate order
    size_t row;
    float score, similarity;
  };

  explicit TopK(uint64_t k) : k_(k) {}

  void offer(size_t position, size_t row, float score, float similarity) {
    offer(Entry{rank(score), static_cast<uint32_t>(position), row, score, similarity});
  }
  void offer(const Entry& e) {
    if (k_ == 0) return;
    if (heap_.size() < k_) {
      heap_.push_back(e);
      std::push_heap(heap_.begin(), heap_.end(), better);
    } else if (better(e, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), better);
      heap_.back() = e;
      std::push_heap(heap_.begin(), heap_.end(), better);
    }
  }

  // Best first.
  std::vector<Entry> take() {
    std::sort_heap(heap_.begin(), heap_.end(), better);
    return std::move(heap_);
  }

 private:
  static int32_t rank(float score) { return std::isnan(score) ? INT32_MIN : total_order_key(score); }
  // The heap keeps its worst entry on top.
  static bool better(const Entry& a, const Entry& b) {
    return a.key > b.key || (a.key == b.key && a.position < b.position);
  }

  uint64_t k_;
  std::vector<Entry> heap_;
};

// Similarity of the query with one summarised record, bit-identical to similarity().
// `dots` holds the arena's dot products with the query when the metric is cosine.
class Similarity {
 public:
  Similarity(const RecordSummaries& summaries, Metric metric, std::span<const float> query)
      : summaries_(summaries), arena_(summaries.vectors()), metric_(metric), query_(query),
        query_norm_sq_(metric == Metric::Cosine ? sum_of_squares(query) : 0.0f), query_norm_(std::sqrt(query_norm_sq_)) {}

  float operator()(uint32_t position, const std::vector<float>& dots, size_t dot_at) {
    const RecordSummary& r = summaries_[position];
    if (r.slot == RecordSummary::kNoSlot) return similarity(metric_, query_, summaries_.odd_vector(position));
    if (metric_ == Metric::Cosine) {
      return cosine_with_query_norm(dots[dot_at], query_norm_sq_, query_norm_, arena_.norm_sq(r.slot), arena_.dims());
    }
    arena_.copy_vector(r.slot, scratch_);
    return similarity(metric_, query_, scratch_);
  }

 private:
  const RecordSummaries& summaries_;
  const VectorArena& arena_;
  Metric metric_;
  std::span<const float> query_;
  float query_norm_sq_;
  float query_norm_;
  std::vector<float> scratch_;
};

// The four signals combined in their fixed order. Consecutive candidates often share an
// access time or count (memories stored together), so the last exp and log are reused.
class Scorer {
 public:
  Scorer(const RecallRequest& req, int64_t now) : req_(req), now_(now) {}

  float operator()(float sim, const CatalogEntry& row, const RecordSummary& r) {
    // Saturated, an age beyond 64 bits rounds to the same float it would otherwise.
    const float age = static_cast<float>(std::max<int64_t>(age_secs(now_, row.accessed_at), 0));
    if (!(age == last_age_ && have_recency_)) {
      last_age_ = age;
      last_recency_ = std::exp(age * kMinusLn2 / req_.recency_half_life_secs);
      have_recency_ = true;
    }
    if (row.access_count != last_count_) {
      last_count_ = row.access_count;
      last_frequency_ = std::log(static_cast<float>(row.access_count) + 1.0f);
    }
    float score = req_.similarity_weight * sim;
    score = score + req_.recency_weight * last_recency_;
    score = score + req_.importance_weight * r.importance;
    score = score + req_.access_weight * last_frequency_;
    return score;
  }

 private:
  const RecallRequest& req_;
  int64_t now_;
  bool have_recency_ = false;
  float last_age_ = 0, last_recency_ = 0;
  uint32_t last_count_ = 0;
  float last_frequency_ = 0;  // log(0 + 1)
};

// A filtered scan's passing rows: (catalog row, summary position).
using Passing = std::vector<std::pair<size_t, uint32_t>>;

// A row a bounded scan keeps for exact scoring: its highest possible score.
struct MaybeBest {
  size_t row;
  uint32_t position;
  float high;
};

// Scans of at most this many results first bound every similarity from the arena's
// binary16 copy, when the score rises with the similarity.
constexpr uint64_t kBoundedTopK = 100;

// Exact scan of every live row that passes `eligible`, best `top_k` by `score(sim, row)`.
// Without conditions beyond expiry, the whole arena's dots come first and one pass checks
// and scores each row. With conditions, they are checked first, and only the arena blocks
// of the rows that pass are reduced (the same bits either way): the arena keeps each
// agent's memories, and the shared ones, in blocks of their own, so an agent's view reads
// a fraction of it. A large catalog is checked and scored in chunks of rows that the cores
// claim side by side, each core with its own copy of `score` and its own best `top_k`; the
// best of those is the best overall, since candidates are ordered by score and then by
// catalog row (invariant 1). A large cosine scan for few results whose score rises with the
// similarity is bounded first (invariant 4).
template <class Score>
Result<std::vector<TopK::Entry>> scan(StoreState& s, Metric metric, std::span<const float> query, uint64_t top_k,
                                      const Eligibility& eligible, bool rises_with_similarity, const Score& score) {
  eligible.refresh();  // the parts only read it
  const size_t parts = s.catalog.size() >= kSplitRows ? worker_count() : 1;
  const VectorArena& arena = s.summaries.vectors();
  std::vector<float> dots;
  // What each part updates on every row, on cache lines of its own: parts sharing a line
  // would stall each other at every write.
  struct alignas(64) Part {
    Similarity sim;
    Score score;
    TopK best;
    std::vector<float> lows;       // a bounded scan's greatest lower bounds (a min-heap)
    std::vector<MaybeBest> maybe;  // and the rows that may be among the best
    Passing chosen;                // a filtered scan's passing rows of the chunk at hand
  };
  const auto fresh_parts = [&] {
    return std::vector<Part>(parts, Part{Similarity(s.summaries, metric, query), score, TopK(top_k), {}, {}, {}});
  };
  std::vector<Part> per_part = fresh_parts();
  // Scores catalog row i, whose summary is at `position`, for `part`; its dot product is
  // dots[dot_at].
  const auto offer_at = [&](size_t part, uint32_t position, size_t i, size_t dot_at) {
    const RecordSummary& r = s.summaries[position];
    Part& p = per_part[part];
    const float sim = p.sim(position, dots, dot_at);
    p.best.offer(i, i, p.score(sim, s.catalog[i], r), sim);
  };
  const auto best_of_parts = [&] {
    TopK best(top_k);
    for (Part& part : per_part) {
      for (const TopK::Entry& e : part.best.take()) best.offer(e);
    }
    return best.take();
  };

  // Bounded scans. Every dot product is first bounded from the arena's binary16 copy, half
  // the bytes to read. A row whose highest possible score is below the k-th greatest of the
  // lowest possible scores cannot be among the best k and is dropped; the rest (usually a
  // few dozen) are scored exactly, as the full scan scores them, so the result is the same
  // to the bit (invariant 1 orders them whatever order they are offered in).
  const float query_norm_sq = metric == Metric::Cosine ? sum_of_squares(query) : 0.0f;
  const float query_norm = std::sqrt(query_norm_sq);
  // The copy, brought up to date when a scan of `rows` rows is to be bounded; null when it
  // is not (the copy is built by the first scan that asks, and kept).
  const HalfCopy* halves = nullptr;
  float bound_norm = 0.0f;  // the query norm the copy's bound takes, which the float one is not
  const auto bounded_for = [&](size_t rows) {
    if (metric == Metric::Cosine && rises_with_similarity && top_k > 0 && top_k <= kBoundedTopK &&
        std::isfinite(query_norm_sq) && query_norm_sq > 0.0f && rows >= kSplitRows &&
        arena.blocks() >= VectorArena::kSplitBlocks) {
      halves = s.summaries.vector_halves();
      bound_norm = HalfCopy::query_norm(query);
    }
    return halves != nullptr;
  };
  constexpr float kInf = std::numeric_limits<float>::infinity();
  // Bounds catalog row i (summary `r` at `position`, approximate dot `approx_dot`) for `part`.
  const auto bound_row = [&](size_t part, size_t i, uint32_t position, const RecordSummary& r, float approx_dot) {
    Part& p = per_part[part];
    if (r.slot == RecordSummary::kNoSlot) {
      p.maybe.push_back({i, position, kInf});
      return;
    }
    const auto similarity_at = [&](float dot) {
      return cosine_with_query_norm(dot, query_norm_sq, query_norm, arena.norm_sq(r.slot), arena.dims());
    };
    // One step outwards covers the rounding of the sum and difference.
    const float bound = halves->bound(bound_norm, r.slot);
    const float high = p.score(similarity_at(std::nextafter(approx_dot + bound, kInf)), s.catalog[i], r);
    if (std::isnan(high)) {
      p.maybe.push_back({i, position, kInf});
      return;
    }
    if (p.lows.size() == top_k && high < p.lows.front()) return;
    const float low = p.score(similarity_at(std::nextafter(approx_dot - bound, -kInf)), s.catalog[i], r);
    if (!std::isnan(low) && (p.lows.size() < top_k || low > p.lows.front())) {
      // The part's top_k greatest lower bounds, least on top.
      if (p.lows.size() == top_k) {
        std::pop_heap(p.lows.begin(), p.lows.end(), std::greater<>());
        p.lows.pop_back();
      }
      p.lows.push_back(low);
      std::push_heap(p.lows.begin(), p.lows.end(), std::greater<>());
    }
    p.maybe.push_back({i, position, high});
  };
  // Scores the bounded rows that may be among the best, exactly.
  const auto best_of_bounded = [&] {
    std::vector<float> lows;
    for (const Part& p : per_part) lows.insert(lows.end(), p.lows.begin(), p.lows.end());
    float floor = -kInf;
    if (lows.size() >= top_k) {
      std::nth_element(lows.begin(), lows.begin() + static_cast<ptrdiff_t>(top_k - 1), lows.end(), std::greater<>());
      floor = lows[top_k - 1];
    }
    std::vector<MaybeBest> chosen;
    std::vector<uint32_t> slots;
    for (const Part& p : per_part) {
      for (const MaybeBest& m : p.maybe) {
        if (!(m.high >= floor)) continue;
        chosen.push_back(m);
        if (s.summaries[m.position].slot != RecordSummary::kNoSlot) slots.push_back(s.summaries[m.position].slot);
      }
    }
    arena.dots_for(query, slots, dots);
    size_t next_dot = 0;
    for (const MaybeBest& m : chosen) {
      const bool has_slot = s.summaries[m.position].slot != RecordSummary::kNoSlot;
      offer_at(0, m.position, m.row, has_slot ? next_dot++ : 0);
    }
    return best_of_parts();
  };

  // Visits every live catalog row in chunks the cores claim: visit(part, row, position)
  // with the position of its summary from position_of(row), then chunk_done(part, first
  // row of the chunk). After the first scan every row's summary is usually where the row
  // remembers it (find_hinted). A summary not known yet (kNone) abandons the pass and
  // returns false; the scan then finds or reads every summary (live_summaries, which may add
  // to the arena and the dictionary) and starts again from those positions.
  const auto visit_live = [&](const auto& position_of, const auto& visit, const auto& chunk_done) {
    std::atomic<bool> unknown{false};
    run_chunks(s.catalog.size(), kChunkRows, parts, [&](size_t begin, size_t end, size_t part) {
      for (size_t i = begin; i < end; ++i) {
        if (s.catalog[i].deleted) continue;
        const uint32_t position = position_of(i);
        if (position == RecordSummaries::kNone || unknown.load(std::memory_order_relaxed)) {
          unknown.store(true, std::memory_order_relaxed);
          return;
        }
        visit(part, i, position);
      }
      chunk_done(part, begin);
    });
    return !unknown;
  };
  const auto remembered = [&](size_t i) { return s.summaries.find_hinted(i, s.catalog[i].start_page); };
  const auto no_chunk_work = [](size_t, size_t) {};
  std::vector<uint32_t> rows;  // every live row's summary, once the remembered ones failed
  const auto read_every_summary = [&]() -> Status {
    ORMEL_ASSIGN(rows, live_summaries(s));
    eligible.refresh();  // reading the summaries may have added to the dictionary
    per_part = fresh_parts();
    return {};
  };
  const auto from_rows = [&](size_t i) { return rows[i]; };

  if (!eligible.selective()) {
    const auto offer_row = [&](size_t part, size_t i, uint32_t position) {
      const RecordSummary& r = s.summaries[position];
      if (eligible(r)) offer_at(part, position, i, r.slot == RecordSummary::kNoSlot ? 0 : r.slot);
    };
    if (bounded_for(s.catalog.size())) {
      std::vector<float> approx;
      halves->approx_dots(query, approx);
      const auto bound_eligible = [&](size_t part, size_t i, uint32_t position) {
        const RecordSummary& r = s.summaries[position];
        if (eligible(r)) bound_row(part, i, position, r, r.slot == RecordSummary::kNoSlot ? 0.0f : approx[r.slot]);
      };
      if (visit_live(remembered, bound_eligible, no_chunk_work)) return best_of_bounded();
    } else {
      if (metric == Metric::Cosine) arena.dots(query, dots);
      if (visit_live(remembered, offer_row, no_chunk_work)) return best_of_parts();
    }
    ORMEL_TRY(read_every_summary());
    if (metric == Metric::Cosine) arena.dots(query, dots);
    visit_live(from_rows, offer_row, no_chunk_work);  // every live row has its summary now
    return best_of_parts();
  }

  // The rows that pass, by chunk of catalog rows: (catalog row, summary position), each
  // chunk's gathered by the part that claimed it, then moved (neighbouring chunks share
  // lines). In one agent's view with no other condition, the rows are first chosen by their
  // view group alone, and their summaries (expiry) checked only as they are scored: each
  // summary is then read once.
  const size_t chunks = (s.catalog.size() + kChunkRows - 1) / kChunkRows;
  std::vector<Passing> passing(chunks);
  const bool view_only = eligible.only_view();
  const auto choose = [&](size_t part, size_t i, uint32_t position) {
    if (view_only ? eligible.in_view(position) : eligible(position)) per_part[part].chosen.emplace_back(i, position);
  };
  const auto chunk_chosen = [&](size_t part, size_t begin) {
    passing[begin / kChunkRows] = std::exchange(per_part[part].chosen, {});
  };
  if (!visit_live(remembered, choose, chunk_chosen)) {
    ORMEL_TRY(read_every_summary());
    std::ranges::fill(passing, Passing{});
    visit_live(from_rows, choose, chunk_chosen);  // every live row has its summary now
  }
  size_t n_passing = 0;
  for (const Passing& chunk : passing) n_passing += chunk.size();
  // Few passing rows are scored exactly straight away.
  const bool bounded = bounded_for(n_passing);
  std::vector<size_t> first_dot(chunks, 0);  // where each chunk's dots begin
  if (metric == Metric::Cosine) {
    std::vector<uint32_t> slots;
    for (size_t c = 0; c < chunks; ++c) {
      first_dot[c] = slots.size();
      for (const auto& [i, position] : passing[c]) {
        if (s.summaries.slot(position) != RecordSummary::kNoSlot) slots.push_back(s.summaries.slot(position));
      }
    }
    if (bounded) {
      halves->approx_dots_for(query, slots, dots);
    } else {
      arena.dots_for(query, slots, dots);
    }
  }
  run_chunks(chunks, 1, n_passing >= kSplitRows ? parts : 1, [&](size_t c, size_t, size_t part) {
    size_t next_dot = first_dot[c];  // dots follow the passing rows that have a slot
    const Passing& chosen = passing[c];
    for (size_t k = 0; k < chosen.size(); ++k) {
      if (k + 8 < chosen.size()) {
        // Chosen rows lie apart: start fetching a later one's summary and catalog row.
        __builtin_prefetch(&s.summaries[chosen[k + 8].second]);
        __builtin_prefetch(&s.catalog[chosen[k + 8].first]);
      }
      const auto [i, position] = chosen[k];
      const RecordSummary& r = s.summaries[position];
      const bool has_slot = r.slot != RecordSummary::kNoSlot;
      const size_t dot_at = has_slot ? next_dot++ : 0;
      if (view_only && !eligible(r)) continue;
      if (bounded) {
        bound_row(part, i, position, r, has_slot ? dots[dot_at] : 0.0f);
      } else {
        offer_at(part, position, i, dot_at);
      }
    }
  });
  return bounded ? best_of_bounded() : best_of_parts();
}

// Indexed candidates: catalog rows in candidate order with their summaries. With a
// MemoryFilter, only eligible rows, and nullopt when the probed partitions hold fewer than
// top_k of them (invariant 2).
using Candidates = std::vector<std::pair<size_t, uint32_t>>;  // (catalog row, summary position)
Result<std::optional<Candidates>> index_candidates(StoreState& s, const RecallRequest& req,
                                                   const Eligibility& eligible) {
  std::optional<OrmelError> error;
  const std::function<bool(MemoryId)> keep = [&](MemoryId id) {
    auto it = s.id_index.find(id);
    if (error || it == s.id_index.end() || s.catalog[it->second].deleted) return false;
    auto r = summary_of(s, it->second);
    if (!r) error = r.error();
    return r && eligible(s.summaries[*r]);
  };
  const bool filtered = !req.filter.empty();
  size_t matched = 0;
  const std::vector<MemoryId> ids =
      s.index->candidates(req.query, req.n_probe, req.n_rerank, filtered ? &keep : nullptr, &matched);
  if (error) return fail(*error);
  if (filtered && matched < req.top_k) return std::optional<Candidates>();
  Candidates out;
  for (MemoryId id : ids) {
    auto it = s.id_index.find(id);
    if (it == s.id_index.end() || s.catalog[it->second].deleted) continue;
    ORMEL_ASSIGN(uint32_t r, summary_of(s, it->second));
    out.emplace_back(it->second, r);
  }
  return std::optional(std::move(out));
}

// Recall of the best top_k through the index; nullopt when the exact scan must answer
// instead.
template <class Score>
Result<std::optional<std::vector<TopK::Entry>>> indexed_recall(StoreState& s, const RecallRequest& req,
                                                               const Eligibility& eligible, Score& scorer,
                                                               uint64_t top_k) {
  ORMEL_ASSIGN(std::optional<Candidates> candidates, index_candidates(s, req, eligible));
  if (!candidates) return std::optional<std::vector<TopK::Entry>>();
  Candidates kept;
  std::vector<uint32_t> slots;
  for (const auto& [row, position] : *candidates) {
    const RecordSummary& r = s.summaries[position];
    if (!eligible(r)) continue;
    kept.emplace_back(row, position);
    if (r.slot != RecordSummary::kNoSlot) slots.push_back(r.slot);
  }
  std::vector<float> dots;
  // Candidates lie anywhere in the arena; contiguous copies make each cost its own bytes.
  s.summaries.keep_vector_rows();
  if (req.metric == Metric::Cosine) s.summaries.vectors().dots_for(req.query, slots, dots);
  Similarity sim_of(s.summaries, req.metric, req.query);
  TopK best(top_k);
  size_t next_dot = 0;  // dots follow the kept candidates that have a slot
  for (size_t k = 0; k < kept.size(); ++k) {
    const auto& [row, position] = kept[k];
    const RecordSummary& r = s.summaries[position];
    const size_t dot_at = r.slot == RecordSummary::kNoSlot ? 0 : next_dot++;
    const float sim = sim_of(position, dots, dot_at);
    best.offer(k, row, scorer(sim, s.catalog[row], r), sim);
  }
  return std::optional(best.take());
}

// Hybrid recall's vector ranking: the best `depth` eligible rows by similarity alone,
// through the index's probed partitions when there is one (the scan when they hold too
// few, as recall does).
Result<std::vector<TopK::Entry>> vector_ranking(StoreState& s, const RecallRequest& req, const Eligibility& eligible,
                                                uint64_t depth) {
  auto by_similarity = [](float sim, const CatalogEntry&, const RecordSummary&) { return sim; };
  if (s.index && s.index->n_partitions > 0) {
    ORMEL_ASSIGN(auto indexed, indexed_recall(s, req, eligible, by_similarity, depth));
    if (indexed) return std::move(*indexed);
  }
  return scan(s, req.metric, req.query, depth, eligible, true, by_similarity);
}

// Hybrid recall (RecallRequest::text): the vector and keyword rankings fused by reciprocal
// rank over the union of both, then scored with the other signals. Candidate order, which
// breaks ties, is the vector ranking's, then the keyword-only rows in keyword order.
// `keyword_scores` receives the BM25 score of every keyword candidate by row.
Result<std::vector<TopK::Entry>> fused_recall(StoreState& s, const RecallRequest& req, const Eligibility& eligible,
                                              Scorer& scorer, std::unordered_map<size_t, double>& keyword_scores) {
  if (!std::isfinite(req.rrf_k) || req.rrf_k < 0) {
    return fail(OrmelError::invalid_argument("rrf_k must be a finite number >= 0"));
  }
  const uint64_t depth = std::max(req.top_k, kFusionDepth);
  ORMEL_ASSIGN(const std::vector<RankedRow> keyword,
               keyword_ranking(s, *req.text, req.keyword_params, eligible, req.top_k == 0 ? 0 : depth));
  if (req.top_k == 0) return std::vector<TopK::Entry>{};
  ORMEL_ASSIGN(const std::vector<TopK::Entry> vector, vector_ranking(s, req, eligible, depth));
  struct Member {
    size_t row;
    double fusion;
    std::optional<float> similarity;  // known for the vector ranking's rows
  };
  std::vector<Member> members;
  std::unordered_map<size_t, size_t> member_of;  // row -> position in members
  for (size_t rank = 0; rank < vector.size(); ++rank) {
    member_of.emplace(vector[rank].row, members.size());
    members.push_back({vector[rank].row, 1.0 / (req.rrf_k + static_cast<double>(rank + 1)), vector[rank].similarity});
  }
  for (size_t rank = 0; rank < keyword.size(); ++rank) {
    const double share = 1.0 / (req.rrf_k + static_cast<double>(rank + 1));
    keyword_scores[keyword[rank].row] = keyword[rank].score;
    if (auto it = member_of.find(keyword[rank].row); it != member_of.end()) {
      members[it->second].fusion += share;
    } else {
      members.push_back({keyword[rank].row, share, std::nullopt});
    }
  }
  // The similarities of the keyword-only rows, as a scan computes them.
  std::vector<uint32_t> positions(members.size()), slots;
  for (size_t i = 0; i < members.size(); ++i) {
    ORMEL_ASSIGN(positions[i], summary_of(s, members[i].row));
    if (!members[i].similarity && s.summaries.slot(positions[i]) != RecordSummary::kNoSlot) {
      slots.push_back(s.summaries.slot(positions[i]));
    }
  }
  std::vector<float> dots;
  if (req.metric == Metric::Cosine) s.summaries.vectors().dots_for(req.query, slots, dots);
  Similarity sim_of(s.summaries, req.metric, req.query);
  TopK best(req.top_k);
  size_t next_dot = 0;  // dots follow the keyword-only rows that have a slot
  const double scale = (req.rrf_k + 1.0) / 2.0;  // first place in both rankings gives 1
  for (size_t i = 0; i < members.size(); ++i) {
    const RecordSummary& r = s.summaries[positions[i]];
    float sim = 0;
    if (members[i].similarity) {
      sim = *members[i].similarity;
    } else {
      sim = sim_of(positions[i], dots, r.slot == RecordSummary::kNoSlot ? 0 : next_dot++);
    }
    const auto relevance = static_cast<float>(scale * members[i].fusion);
    best.offer(i, members[i].row, scorer(relevance, s.catalog[members[i].row], r), sim);
  }
  return best.take();
}

}  // namespace

Result<std::vector<RecallResult>> Ormel::recall(const RecallRequest& req) {
  StoreState& s = *s_;
  if (req.query.size() != s.dimensions) return fail(OrmelError::dimension_mismatch(s.dimensions, req.query.size()));
  ORMEL_TRY(check_finite(req.query, "query"));
  if (s.read_only && req.track_access) return fail(OrmelError::read_only());
  const int64_t now = now_secs();

  Scorer scorer(req, now);
  std::optional<std::vector<TopK::Entry>> best;
  std::unordered_map<size_t, double> keyword_scores;  // hybrid recall's, by row
  if (req.text) {
    const Eligibility eligible(s.summaries, now, req.memory_types, req.agent_id, req.filter);
    ORMEL_ASSIGN(best, fused_recall(s, req, eligible, scorer, keyword_scores));
  } else if (s.index && s.index->n_partitions > 0) {
    const Eligibility eligible(s.summaries, now, req.memory_types, req.agent_id, req.filter);
    ORMEL_ASSIGN(best, indexed_recall(s, req, eligible, scorer, req.top_k));
  }
  if (!best) {
    const Eligibility eligible(s.summaries, now, req.memory_types, req.agent_id, req.filter);
    const bool rises = req.similarity_weight > 0.0f && std::isfinite(req.similarity_weight);
    ORMEL_ASSIGN(best, scan(s, req.metric, req.query, req.top_k, eligible, rises,
                            [scorer](float sim, const CatalogEntry& row, const RecordSummary& r) mutable {
                              return scorer(sim, row, r);
                            }));
  }

  std::vector<RecallResult> results;
  results.reserve(best->size());
  for (const TopK::Entry& hit : *best) {
    ORMEL_ASSIGN(Memory m, read_memory(*s.pager, s.catalog[hit.row], s.dimensions));
    const auto keyword = keyword_scores.find(hit.row);
    results.push_back({std::move(m), hit.score, hit.similarity, keyword == keyword_scores.end() ? 0.0 : keyword->second});
  }
  if (req.track_access && !results.empty()) {
    for (size_t i = 0; i < results.size(); ++i) {
      CatalogEntry& row = s.catalog[(*best)[i].row];
      row.accessed_at = now;
      if (row.access_count != UINT32_MAX) ++row.access_count;
      results[i].memory.accessed_at = row.accessed_at;
      results[i].memory.access_count = row.access_count;
    }
    s.catalog_dirty = true;
  }
  return results;
}

Result<std::vector<SearchHit>> Ormel::search(std::span<const float> query, uint64_t top_k, const MemoryFilter& filter) {
  StoreState& s = *s_;
  if (query.size() != s.dimensions) return fail(OrmelError::dimension_mismatch(s.dimensions, query.size()));
  ORMEL_TRY(check_finite(query, "query"));
  const int64_t now = now_secs();

  const std::optional<std::string> no_agent;
  const Eligibility eligible(s.summaries, now, std::nullopt, no_agent, filter);
  ORMEL_ASSIGN(std::vector<TopK::Entry> best,
               scan(s, Metric::Cosine, query, top_k, eligible, true,
                    [](float sim, const CatalogEntry&, const RecordSummary&) { return sim; }));
  std::vector<SearchHit> hits;
  hits.reserve(best.size());
  for (const TopK::Entry& hit : best) {
    ORMEL_ASSIGN(Memory m, read_memory(*s.pager, s.catalog[hit.row], s.dimensions));
    hits.push_back({std::move(m), hit.similarity});
  }
  return hits;
}

}  // namespace ormel
