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
#include "core/parallel.h"
#include "core/store_eligibility.h"
#include "core/tokenizer.h"

namespace ormel {
namespace {

constexpr size_t kBulkRows = 256;       // fewer rows to index are read one by one
constexpr uint64_t kRoundPages = 1024;  // pages fetched per round of a bulk read (8 MiB)
constexpr size_t kChunkRecords = 64;    // records a thread opens and tokenises at a time

// The terms of a record's content.
Result<std::vector<std::string_view>> record_terms(std::span<const uint8_t> bytes, Tokenizer& tokenizer) {
  MemoryFields fields;
  if (read_memory_fields(bytes, fields)) return tokenizer.tokens(fields.content);
  ORMEL_ASSIGN(const Memory m, decode_memory(bytes));
  return tokenizer.tokens(m.content);
}

// Replaces row's document with the terms of its record's content.
Status index_row(StoreState& s, KeywordIndex& index, Tokenizer& tokenizer, size_t row) {
  const CatalogEntry& entry = s.catalog[row];
  ORMEL_ASSIGN(const std::vector<uint8_t> bytes, read_record(*s.pager, entry));
  ORMEL_ASSIGN(const std::vector<std::string_view> terms, record_terms(bytes, tokenizer));
  index.set(static_cast<uint32_t>(row), entry.start_page, terms);
  return {};
}

// A record's terms, back to back, as a worker thread leaves them.
struct Tokenized {
  Status status;
  std::string bytes;
  std::vector<size_t> ends;
};

// The records of many rows: read in rounds of pages fetched without entering the page cache
// (consecutive runs in one read), opened and tokenised on every core, then indexed in row
// order on the calling thread. The first record that fails is the error, the rows before
// it indexed.
Status index_rows_in_bulk(StoreState& s, KeywordIndex& index, const std::vector<size_t>& rows, bool stemming) {
  std::vector<uint8_t> images, payloads;
  std::vector<bool> sealed, part;
  std::vector<uint64_t> at;  // each record's first page in the round's buffers
  for (size_t next = 0; next < rows.size();) {
    const size_t first = next;
    uint64_t pages = 0;
    at.clear();
    const auto place = [&](size_t k) { return record_place(s.header.format_version, s.catalog[rows[k]]); };
    while (next < rows.size() && (at.empty() || pages + place(next).pages <= kRoundPages)) {
      at.push_back(pages);
      pages += place(next++).pages;
    }
    images.resize(pages * PAGE_SIZE);
    payloads.resize(pages * PAGE_PAYLOAD);
    sealed.assign(pages, false);
    // Records whose pages follow each other: one fetch. Each record has pages of its own in
    // the buffers, so a page that packed records share is fetched once for each.
    for (size_t k = first; k < next;) {
      const uint64_t start = place(k).page, from = at[k - first];
      uint64_t count = 0;
      for (; k < next && place(k).page == start + count; ++k) count += place(k).pages;
      if (count == 0) {
        ++k;
        continue;
      }
      ORMEL_TRY(s.pager->fetch_pages(start, count, std::span(images).subspan(from * PAGE_SIZE, count * PAGE_SIZE),
                                     std::span(payloads).subspan(from * PAGE_PAYLOAD, count * PAGE_PAYLOAD), part));
      std::copy(part.begin(), part.end(), sealed.begin() + static_cast<ptrdiff_t>(from));
    }
    std::vector<Tokenized> out(next - first);
    const size_t parts = out.size() >= kBulkRows ? worker_count() : 1;
    run_chunks(out.size(), kChunkRecords, parts, [&](size_t begin, size_t end, size_t) {
      PageCipher cipher(s.pager->dek());
      Tokenizer tokenizer(stemming);
      for (size_t k = begin; k < end; ++k) {
        const RecordPlace placed = place(first + k);
        for (uint64_t p = 0; p < placed.pages && out[k].status; ++p) {
          const uint64_t i = at[k] + p;
          if (!sealed[i]) continue;
          out[k].status = s.pager->open_image(cipher, placed.page + p,
                                              std::span(images).subspan(i * PAGE_SIZE).first<PAGE_SIZE>(),
                                              std::span(payloads).subspan(i * PAGE_PAYLOAD).first<PAGE_PAYLOAD>());
        }
        if (!out[k].status) continue;
        auto terms = record_terms(
            placed_bytes(std::span(payloads).subspan(at[k] * PAGE_PAYLOAD, placed.pages * PAGE_PAYLOAD), placed),
            tokenizer);
        if (!terms) {
          out[k].status = fail(terms.error());
          continue;
        }
        for (std::string_view term : *terms) {
          out[k].bytes.append(term);
          out[k].ends.push_back(out[k].bytes.size());
        }
      }
    });
    std::vector<std::string_view> terms;
    for (size_t k = 0; k < out.size(); ++k) {
      ORMEL_TRY(out[k].status);
      terms.clear();
      size_t begin = 0;
      for (size_t end : out[k].ends) {
        terms.emplace_back(out[k].bytes.data() + begin, end - begin);
        begin = end;
      }
      const size_t row = rows[first + k];
      index.set(static_cast<uint32_t>(row), s.catalog[row].start_page, terms);
    }
  }
  return {};
}

// (Re)indexes the given live rows, in bulk when there are many.
Status index_rows(StoreState& s, KeywordIndex& index, const std::vector<size_t>& rows, bool stemming) {
  if (rows.size() >= kBulkRows) return index_rows_in_bulk(s, index, rows, stemming);
  Tokenizer tokenizer(stemming);
  for (size_t row : rows) ORMEL_TRY(index_row(s, index, tokenizer, row));
  return {};
}

// Brings the documents of `rows` in line with the catalog: rows past its end or deleted are
// erased, rows whose record is not the one indexed are indexed again.
Status sync_rows(StoreState& s, KeywordIndex& index, const std::vector<size_t>& rows, bool stemming) {
  std::vector<size_t> stale;
  for (size_t row : rows) {
    if (row >= s.catalog.size() || s.catalog[row].deleted) {
      index.erase(static_cast<uint32_t>(row));
    } else if (index.version(static_cast<uint32_t>(row)) != s.catalog[row].start_page) {
      stale.push_back(row);
    }
  }
  return index_rows(s, index, stale, stemming);
}

std::vector<size_t> every_row(const StoreState& s) {
  std::vector<size_t> rows(s.catalog.size());
  for (size_t row = 0; row < rows.size(); ++row) rows[row] = row;
  return rows;
}

// Invariant 1. On failure the changes stay pending (rows already brought up to date are
// simply found so again).
Status sync_keywords(StoreState& s) {
  KeywordState& k = s.keywords;
  if (!k.index) {
    KeywordIndex fresh;
    ORMEL_TRY(sync_rows(s, fresh, every_row(s), k.stemming));
    k.index = std::move(fresh);
  } else if (k.recheck_all) {
    k.index->truncate(s.catalog.size());
    ORMEL_TRY(sync_rows(s, *k.index, every_row(s), k.stemming));
  } else {
    std::ranges::sort(k.pending);
    k.pending.erase(std::unique(k.pending.begin(), k.pending.end()), k.pending.end());
    ORMEL_TRY(sync_rows(s, *k.index, k.pending, k.stemming));
  }
  k.pending.clear();
  k.recheck_all = false;
  return {};
}

Status check_params(const Bm25Params& p) {
  if (!std::isfinite(p.k1) || p.k1 < 0) return fail(OrmelError::invalid_argument("k1 must be a finite number >= 0"));
  if (!(p.b >= 0 && p.b <= 1)) return fail(OrmelError::invalid_argument("b must be between 0 and 1"));
  return {};
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
  // Best first, ties in catalog order; the conditions are checked only on the way down, so
  // a query matching many memories reads the summaries of few of them. Once many summaries
  // turn out missing (the first queries after opening), every one is read in bulk.
  const auto worse = [](const KeywordScore& a, const KeywordScore& b) {
    return a.score < b.score || (a.score == b.score && a.row > b.row);
  };
  std::ranges::make_heap(scored, worse);
  std::vector<RankedRow> ranked;
  std::optional<std::vector<uint32_t>> every;  // every live row's summary, once read in bulk
  size_t missing = 0;
  for (auto end = scored.end(); end != scored.begin() && ranked.size() < limit; --end) {
    std::pop_heap(scored.begin(), end, worse);
    const KeywordScore& candidate = *(end - 1);
    const size_t row = candidate.row;
    uint32_t position = every ? (*every)[row] : s.summaries.find(row, s.catalog[row].start_page);
    if (position == RecordSummaries::kNone && ++missing >= kBulkRows) {
      ORMEL_ASSIGN(every, live_summaries(s));
      position = (*every)[row];
    }
    if (position == RecordSummaries::kNone) {
      ORMEL_ASSIGN(position, summary_of(s, row));
    }
    if (eligible(s.summaries[position])) ranked.push_back({row, candidate.score});
  }
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

std::optional<KeywordIndexStats> Ormel::keyword_index_stats() const {
  const std::optional<KeywordIndex>& index = s_->keywords.index;
  if (!index) return std::nullopt;
  return KeywordIndexStats{index->documents(), index->terms(), index->bytes()};
}

void Ormel::set_keyword_stemming(bool on) {
  KeywordState& k = s_->keywords;
  if (k.stemming == on) return;
  k = KeywordState{};
  k.stemming = on;
}

}  // namespace ormel
