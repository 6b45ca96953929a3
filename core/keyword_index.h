// An in-memory inverted index over memory content, ranking by BM25.
//
// Contract:
// - Documents are keyed by catalog row; each remembers the version it was built from (the
//   record's start page, which changes whenever the row's memory does), so a caller can
//   tell which rows are out of date. set() replaces a row's document, erase() removes it.
// - score() ranks by Okapi BM25 over the documents present, each query term in turn (a
//   term repeated in the query counts each time it occurs):
//     idf(t)      = ln(1 + (N - df(t) + 0.5) / (df(t) + 0.5))
//     score(d, t) = idf(t) * tf * (k1 + 1) / (tf + k1 * (1 - b + b * len(d) / avglen))
//   with N the documents present, df(t) those containing t, tf the occurrences of t in d,
//   len(d) its term count and avglen the mean over the N documents. Evaluated in double
//   precision; only documents containing at least one query term are returned.
// - Statistics cover every document present: callers filter the results (agent view,
//   expiry...) after scoring, as engines that filter a shared index do.
// - Erased documents leave their postings behind until they outnumber the live ones, when
//   the postings are rewritten without them; no answer ever includes them.
// - same_content(other) compares what the index answers from (every row's version,
//   length and term counts), whatever order the documents arrived in.
//
// Invariants:
//   1. live_docs_, total_length_ and the row maps describe exactly the documents whose
//      doc_length_ is not kErased; every posting of such a document is in its terms' lists
//      once, with its term count.
//   2. Postings lists are in increasing document order (documents are numbered in arrival
//      order and never renumbered except by compaction, which keeps the order).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ormel {

// Term-frequency saturation k1 (finite, >= 0) and length normalisation b (in [0, 1]);
// Lucene's defaults.
struct Bm25Params {
  double k1 = 1.2;
  double b = 0.75;
};

struct KeywordScore {
  uint32_t row;
  double score;
};

class KeywordIndex {
 public:
  void set(uint32_t row, uint64_t version, std::span<const std::string_view> terms);
  void erase(uint32_t row);
  // Every row at or beyond `rows` erased.
  void truncate(size_t rows);
  // The version the row's document was built from, or nullopt without one.
  std::optional<uint64_t> version(uint32_t row) const;
  // Appends (row, score) of every document with a query term, in no particular order.
  void score(std::span<const std::string_view> query, const Bm25Params& params, std::vector<KeywordScore>& out);

  size_t documents() const { return live_docs_; }
  size_t terms() const { return terms_.size(); }
  // Bytes the index holds on the heap (estimated from its containers' capacities).
  size_t bytes() const;
  bool same_content(const KeywordIndex& other) const;

 private:
  static constexpr uint32_t kNoDoc = UINT32_MAX;
  static constexpr uint32_t kErased = UINT32_MAX;
  struct Posting {
    uint32_t doc;
    uint32_t count;
  };
  // Live documents: row -> (version, length, term -> count), for same_content().
  std::map<uint32_t, std::pair<uint64_t, std::map<std::string, uint32_t>>> describe() const;
  size_t document_frequency(const std::vector<Posting>& list) const;
  void compact();

  struct TermHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, uint32_t, TermHash, std::equal_to<>> terms_;
  std::vector<std::vector<Posting>> postings_;  // by term id
  std::vector<uint32_t> doc_row_;               // by document number
  std::vector<uint32_t> doc_length_;            // by document number; kErased when erased
  std::vector<uint32_t> row_doc_;               // by row; kNoDoc without a document
  std::vector<uint64_t> row_version_;           // by row, meaningful with a document
  size_t live_docs_ = 0;
  size_t erased_docs_ = 0;
  uint64_t total_length_ = 0;
  std::vector<double> sums_;        // score() scratch, by document
  std::vector<uint32_t> touched_;   // documents with a sum
  std::vector<uint32_t> ids_;       // set() scratch: the document's term ids
};

}  // namespace ormel
