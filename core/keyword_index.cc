#include "core/keyword_index.h"

#include <algorithm>
#include <cmath>

namespace ormel {
namespace {

// Erased documents are cleared out of the postings once there are more of them than
// live ones, and at least this many.
constexpr size_t kCompactAfter = 1024;

}  // namespace

void KeywordIndex::set(uint32_t row, uint64_t version, std::span<const std::string_view> terms) {
  erase(row);
  const auto doc = static_cast<uint32_t>(doc_row_.size());
  ids_.clear();
  for (std::string_view term : terms) {
    auto it = terms_.find(term);
    if (it == terms_.end()) {
      it = terms_.emplace(std::string(term), static_cast<uint32_t>(postings_.size())).first;
      postings_.emplace_back();
    }
    ids_.push_back(it->second);
  }
  // Equal ids side by side: each run is one term and its count.
  std::ranges::sort(ids_);
  for (size_t i = 0; i < ids_.size();) {
    size_t j = i + 1;
    while (j < ids_.size() && ids_[j] == ids_[i]) ++j;
    postings_[ids_[i]].push_back({doc, static_cast<uint32_t>(j - i)});
    i = j;
  }
  const auto length = static_cast<uint32_t>(std::min<size_t>(terms.size(), kErased - 1));
  doc_row_.push_back(row);
  doc_length_.push_back(length);
  if (row >= row_doc_.size()) {
    row_doc_.resize(size_t{row} + 1, kNoDoc);
    row_version_.resize(size_t{row} + 1, 0);
  }
  row_doc_[row] = doc;
  row_version_[row] = version;
  ++live_docs_;
  total_length_ += length;
}

void KeywordIndex::erase(uint32_t row) {
  if (row >= row_doc_.size() || row_doc_[row] == kNoDoc) return;
  const uint32_t doc = row_doc_[row];
  total_length_ -= doc_length_[doc];
  doc_length_[doc] = kErased;
  row_doc_[row] = kNoDoc;
  --live_docs_;
  ++erased_docs_;
  if (erased_docs_ >= kCompactAfter && erased_docs_ > live_docs_) compact();
}

void KeywordIndex::truncate(size_t rows) {
  for (size_t row = rows; row < row_doc_.size(); ++row) erase(static_cast<uint32_t>(row));
  if (rows < row_doc_.size()) {
    row_doc_.resize(rows);
    row_version_.resize(rows);
  }
}

std::optional<uint64_t> KeywordIndex::version(uint32_t row) const {
  if (row >= row_doc_.size() || row_doc_[row] == kNoDoc) return std::nullopt;
  return row_version_[row];
}

// Renumbers the live documents in their order and drops the postings of erased ones, and
// terms no live document has.
void KeywordIndex::compact() {
  std::vector<uint32_t> renumbered(doc_row_.size(), kNoDoc);
  std::vector<uint32_t> rows, lengths;
  rows.reserve(live_docs_);
  lengths.reserve(live_docs_);
  for (size_t doc = 0; doc < doc_row_.size(); ++doc) {
    if (doc_length_[doc] == kErased) continue;
    renumbered[doc] = static_cast<uint32_t>(rows.size());
    row_doc_[doc_row_[doc]] = renumbered[doc];
    rows.push_back(doc_row_[doc]);
    lengths.push_back(doc_length_[doc]);
  }
  decltype(terms_) terms;
  std::vector<std::vector<Posting>> postings;
  for (const auto& [term, id] : terms_) {
    std::vector<Posting> kept;
    for (const Posting& p : postings_[id]) {
      if (renumbered[p.doc] != kNoDoc) kept.push_back({renumbered[p.doc], p.count});
    }
    if (kept.empty()) continue;
    terms.emplace(term, static_cast<uint32_t>(postings.size()));
    postings.push_back(std::move(kept));
  }
  terms_ = std::move(terms);
  postings_ = std::move(postings);
  doc_row_ = std::move(rows);
  doc_length_ = std::move(lengths);
  erased_docs_ = 0;
  sums_.clear();
}

size_t KeywordIndex::document_frequency(const std::vector<Posting>& list) const {
  if (erased_docs_ == 0) return list.size();
  return static_cast<size_t>(
      std::count_if(list.begin(), list.end(), [&](const Posting& p) { return doc_length_[p.doc] != kErased; }));
}

void KeywordIndex::score(std::span<const std::string_view> query, const Bm25Params& params,
                         std::vector<KeywordScore>& out) {
  if (live_docs_ == 0) return;
  const auto n = static_cast<double>(live_docs_);
  const double average = static_cast<double>(total_length_) / n;
  sums_.resize(doc_row_.size(), 0.0);
  touched_.clear();
  for (std::string_view term : query) {
    const auto it = terms_.find(term);
    if (it == terms_.end()) continue;
    const std::vector<Posting>& list = postings_[it->second];
    const auto df = static_cast<double>(document_frequency(list));
    if (df == 0) continue;
    const double idf = std::log(1.0 + (n - df + 0.5) / (df + 0.5));
    for (const Posting& p : list) {
      const uint32_t length = doc_length_[p.doc];
      if (length == kErased) continue;
      const auto tf = static_cast<double>(p.count);
      const double norm = params.k1 * (1.0 - params.b + params.b * static_cast<double>(length) / average);
      // Every contribution is positive (idf > 0, tf >= 1), so a zero sum means untouched.
      if (sums_[p.doc] == 0.0) touched_.push_back(p.doc);
      sums_[p.doc] += idf * tf * (params.k1 + 1.0) / (tf + norm);
    }
  }
  out.reserve(out.size() + touched_.size());
  for (uint32_t doc : touched_) {
    out.push_back({doc_row_[doc], sums_[doc]});
    sums_[doc] = 0.0;
  }
}

size_t KeywordIndex::bytes() const {
  size_t total = postings_.capacity() * sizeof(std::vector<Posting>);
  for (const auto& list : postings_) total += list.capacity() * sizeof(Posting);
  // A hash node: the string, its id, the next pointer and the cached hash, plus its bucket.
  for (const auto& [term, id] : terms_) {
    total += sizeof(std::string) + sizeof(uint32_t) + 2 * sizeof(void*) + sizeof(void*);
    if (term.capacity() > 15) total += term.capacity() + 1;
  }
  total += (doc_row_.capacity() + doc_length_.capacity() + row_doc_.capacity()) * sizeof(uint32_t);
  total += row_version_.capacity() * sizeof(uint64_t) + sums_.capacity() * sizeof(double);
  return total;
}

std::map<uint32_t, std::pair<uint64_t, std::map<std::string, uint32_t>>> KeywordIndex::describe() const {
  std::map<uint32_t, std::pair<uint64_t, std::map<std::string, uint32_t>>> out;
  for (size_t row = 0; row < row_doc_.size(); ++row) {
    if (row_doc_[row] != kNoDoc) out[static_cast<uint32_t>(row)].first = row_version_[row];
  }
  for (const auto& [term, id] : terms_) {
    for (const Posting& p : postings_[id]) {
      if (doc_length_[p.doc] != kErased) out[doc_row_[p.doc]].second[term] = p.count;
    }
  }
  return out;
}

bool KeywordIndex::same_content(const KeywordIndex& other) const {
  return live_docs_ == other.live_docs_ && total_length_ == other.total_length_ && describe() == other.describe();
}

}  // namespace ormel
