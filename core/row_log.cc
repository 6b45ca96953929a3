#include "core/row_log.h"

#include <algorithm>
#include <cstring>

#include "core/cache_records.h"
#include "core/records.h"

namespace ormel {
namespace {

OrmelError damaged(const std::string& what) { return OrmelError::serialization("invalid list head: " + what); }

std::optional<uint64_t> read_count(MsgCursor& c) {
  const auto v = c.integer();
  if (!v || v->negative) return std::nullopt;
  return v->value;
}

template <class T>
std::vector<uint8_t> encode_rows(std::span<const T> rows) {
  return pack_to_bytes([&](Packer& pk) {
    for (const T& row : rows) encode_record(pk, row);
  });
}

// The rows of a head's inline array, which lies in `c` (a MessagePack array of records):
// decoded from the bytes that array spans.
template <class T>
Result<std::vector<T>> read_tail(MsgCursor& c) {
  const uint8_t* from = c.position();
  if (c.kind() != MsgKind::Array || !c.skip()) return fail(damaged("the inline rows are not an array"));
  return decode_array<T>(std::span<const uint8_t>(from, static_cast<size_t>(c.position() - from)));
}

// The longest suffix of `rows` whose encodings fit kTailBytes, and those encodings.
template <class T>
size_t fitting_tail(std::span<const T> rows, std::vector<uint8_t>& bytes) {
  size_t n = 0, size = 0;
  for (size_t i = rows.size(); i-- > 0;) {
    const size_t one = encode_record(rows[i]).size();
    if (size + one > kTailBytes) break;
    size += one;
    ++n;
  }
  bytes = encode_rows(rows.subspan(rows.size() - n));
  return n;
}

// Positions where `now` differs from `before` (both from position 0), in order, with the
// rows appended beyond `before`. Runs of equal bytes are passed at memcmp's pace.
template <class T>
std::vector<RowChange<T>> changes_between(const std::vector<T>& before, std::span<const T> now) {
  std::vector<RowChange<T>> out;
  const size_t common = std::min(before.size(), now.size());
  constexpr size_t kBlock = 64;
  for (size_t block = 0; block < common; block += kBlock) {
    const size_t end = std::min(common, block + kBlock);
    if constexpr (std::is_trivially_copyable_v<T>) {
      if (std::memcmp(now.data() + block, before.data() + block, (end - block) * sizeof(T)) == 0) continue;
    }
    for (size_t i = block; i < end; ++i) {
      if (!same_row(now[i], before[i])) out.push_back({i, now[i]});
    }
  }
  for (size_t i = common; i < now.size(); ++i) out.push_back({i, now[i]});
  return out;
}

}  // namespace

// --- AppendLog ------------------------------------------------------------------------

template <class T>
Result<std::vector<T>> AppendLog<T>::read_head(Pager& pager, MsgCursor& c, bool adopt) {
  if (c.array() != 4u) return fail(damaged("not [tree, first, end, rows]"));
  const auto root = read_ref(c);
  const auto first = read_count(c);
  const auto end = read_count(c);
  if (!root || !first || !end || *first > *end || *end >= kMaxTreeEnd) return fail(damaged("bad fields"));
  ORMEL_ASSIGN(std::vector<T> tail, read_tail<T>(c));
  if (tail.size() > *end - *first) return fail(damaged("more inline rows than positions"));
  const uint64_t tree_end = *end - tail.size();
  std::vector<T> rows;
  if (!root->empty()) {
    std::pair<uint64_t, uint64_t> span;
    ORMEL_ASSIGN(std::vector<T> tree_rows, tree_.read(pager, *root, adopt, &span));
    if (span.second != tree_end || (*first < tree_end && span.first > *first)) {
      return fail(damaged("the tree does not hold the positions before the inline rows"));
    }
    if (*first < tree_end) rows.assign(tree_rows.begin() + static_cast<ptrdiff_t>(*first - span.first), tree_rows.end());
  } else {
    if (adopt) tree_.forget();
    if (*first < tree_end) return fail(damaged("positions before the inline rows have no tree"));
  }
  rows.insert(rows.end(), tail.begin(), tail.end());
  if (adopt) {
    held_ = true;
    first_ = *first;
    rows_ = rows;
    tail_ = tail.size();
    tree_root_ = *root;
  }
  return rows;
}

template <class T>
Result<std::vector<T>> AppendLog<T>::read(Pager& pager, const RunRef& head, bool adopt) {
  if (head.empty()) {
    if (adopt) forget();
    return std::vector<T>{};
  }
  ORMEL_ASSIGN(auto bytes, read_run(pager, head));
  MsgCursor c(bytes);
  ORMEL_ASSIGN(auto rows, read_head(pager, c, adopt));
  if (!c.at_end()) return fail(damaged("bytes after the head"));
  return rows;
}

template <class T>
typename AppendLog<T>::Draft AppendLog<T>::place(Draft d, std::span<const T> committed_tail,
                                                 std::span<const T> appended,
                                                 std::optional<std::span<const T>> everything) const {
  std::vector<uint8_t> bytes = encode_rows(committed_tail);
  const std::vector<uint8_t> more = encode_rows(appended);
  bytes.insert(bytes.end(), more.begin(), more.end());
  if (bytes.size() <= kTailBytes) {
    d.tail = committed_tail.size() + appended.size();
    d.tail_bytes = std::move(bytes);
    d.tree_root = d.first < d.end - d.tail ? tree_root_ : RunRef{};
    return d;
  }
  // The rows go to the tree but for a tail that fits inline; the tree, compared with the
  // committed one, writes the leaves that changed.
  if (everything) {
    d.whole.emplace(everything->begin(), everything->end());
  } else {
    d.whole.emplace(rows_.begin() + static_cast<ptrdiff_t>(d.first - first_), rows_.end());
    d.whole->insert(d.whole->end(), appended.begin(), appended.end());
  }
  d.appended.clear();
  const std::span<const T> rows(*d.whole);
  d.tail = fitting_tail(rows, d.tail_bytes);
  if (d.tail < rows.size()) {
    d.tree = tree_.draft(rows.first(rows.size() - d.tail), d.first);
    d.pages = d.tree->pages();
  }
  return d;
}

template <class T>
typename AppendLog<T>::Draft AppendLog<T>::draft(std::span<const T> rows, uint64_t first) const {
  Draft d;
  d.first = first;
  d.end = first + rows.size();
  const uint64_t old_end = first_ + rows_.size();
  const uint64_t tree_end = old_end - tail_;
  // The new list goes on from the committed one: same rows at every position both hold.
  bool extends = held_ && first >= first_ && d.end >= old_end;
  for (uint64_t p = first; extends && p < old_end; ++p) extends = same_row(rows[p - first], rows_[p - first_]);
  if (extends) {
    // The committed tail (less what the front lost) and what was appended stay inline
    // while they fit; the tree is written only when they do not.
    const uint64_t inline_from = std::max(tree_end, first);
    const std::span<const T> appended = rows.subspan(old_end - first);
    d.appended.assign(appended.begin(), appended.end());
    return place(std::move(d), rows.subspan(inline_from - first, old_end - inline_from), appended, rows);
  }
  // Another list: it shares nothing with the committed one's inline rows.
  Draft placed = place(std::move(d), rows, {}, rows);
  if (!placed.whole) placed.whole.emplace(rows.begin(), rows.end());
  return placed;
}

template <class T>
typename AppendLog<T>::Draft AppendLog<T>::draft_appending(std::span<const T> appended) const {
  Draft d;
  d.first = first_;
  d.end = first_ + rows_.size() + appended.size();
  d.appended.assign(appended.begin(), appended.end());
  return place(std::move(d), std::span<const T>(rows_).last(tail_), appended, std::nullopt);
}

template <class T>
Status AppendLog<T>::write_below(Draft& d, RunSink& sink) {
  if (d.tree) {
    ORMEL_ASSIGN(d.tree_root, d.tree->write(sink));
  }
  return {};
}

template <class T>
void AppendLog<T>::pack_head(Packer& pk, const Draft& d) {
  pk.pack_array(4);
  pack_ref(pk, d.tree_root);
  pk.pack_uint64(d.first);
  pk.pack_uint64(d.end);
  pk.pack_array(static_cast<uint32_t>(d.tail));
  pk.pack_bin_body(reinterpret_cast<const char*>(d.tail_bytes.data()), static_cast<uint32_t>(d.tail_bytes.size()));
}

template <class T>
Result<RunRef> AppendLog<T>::write(Draft& d, RunSink& sink) {
  ORMEL_TRY(write_below(d, sink));
  if (d.end == d.first) return RunRef{};  // an empty list is no run
  const std::vector<uint8_t> head = pack_to_bytes([&](Packer& pk) { pack_head(pk, d); });
  return sink.put(head);
}

template <class T>
void AppendLog<T>::adopt(Draft&& d) {
  if (d.whole) {
    rows_ = std::move(*d.whole);
  } else {
    rows_.erase(rows_.begin(), rows_.begin() + static_cast<ptrdiff_t>(d.first - first_));
    rows_.insert(rows_.end(), std::make_move_iterator(d.appended.begin()), std::make_move_iterator(d.appended.end()));
  }
  held_ = true;
  first_ = d.first;
  tail_ = d.tail;
  tree_root_ = d.tree_root;
  // A tree no longer named is no base to compare with (its runs may not be kept).
  if (d.tree) {
    tree_.adopt(std::move(*d.tree));
  } else if (d.tree_root.empty()) {
    tree_.forget();
  }
}

template <class T>
void AppendLog<T>::forget() {
  tree_.forget();
  held_ = false;
  first_ = 0;
  rows_.clear();
  tail_ = 0;
  tree_root_ = RunRef{};
}

// --- LoggedList -----------------------------------------------------------------------

template <class T>
Result<std::vector<T>> LoggedList<T>::read(Pager& pager, const RunRef& head, bool adopt) {
  if (head.empty()) {
    if (adopt) forget();
    return std::vector<T>{};
  }
  ORMEL_ASSIGN(auto bytes, read_run(pager, head));
  MsgCursor c(bytes);
  if (c.array() != 2u) return fail(damaged("not [base, changes]"));
  const auto base_root = read_ref(c);
  if (!base_root) return fail(damaged("the base reference is malformed"));
  ORMEL_ASSIGN(std::vector<T> rows, base_.read(pager, *base_root, adopt));
  ORMEL_ASSIGN(auto changes, log_.read_head(pager, c, adopt));
  if (!c.at_end()) return fail(damaged("bytes after the head"));
  for (RowChange<T>& change : changes) {
    if (change.position > rows.size()) return fail(damaged("a change beyond the end of the list"));
    if (change.position == rows.size()) {
      rows.push_back(std::move(change.row));
    } else {
      rows[change.position] = std::move(change.row);
    }
  }
  if (adopt) {
    held_ = true;
    base_root_ = *base_root;
    rows_ = rows;
  }
  return rows;
}

template <class T>
typename LoggedList<T>::Draft LoggedList<T>::draft(std::span<const T> rows) const {
  Draft d;
  d.size = rows.size();
  bool fold = !held_ || rows.size() < rows_.size();
  if (!fold) {
    d.fresh = changes_between(rows_, rows);
    fold = log_.rows().size() + d.fresh.size() > std::max<uint64_t>(1024, rows.size() / 16);
  }
  if (fold) {
    d.fresh.clear();
    d.base = base_.draft(rows, 0);
    d.log = log_.draft({}, 0);
    d.whole.emplace(rows.begin(), rows.end());
    d.pages = d.base->pages();
  } else {
    d.base_root = base_root_;
    d.log = log_.draft_appending(d.fresh);
    d.pages = d.log.pages;
  }
  d.pages += run_pages(AppendLog<RowChange<T>>::head_bound(d.log) + 30);
  return d;
}

template <class T>
Result<RunRef> LoggedList<T>::write(Draft& d, RunSink& sink) {
  if (d.base) {
    ORMEL_ASSIGN(d.base_root, d.base->write(sink));
  }
  ORMEL_TRY(log_.write_below(d.log, sink));
  if (d.size == 0) return RunRef{};  // an empty list is no run
  const std::vector<uint8_t> head = pack_to_bytes([&](Packer& pk) {
    pk.pack_array(2);
    pack_ref(pk, d.base_root);
    AppendLog<RowChange<T>>::pack_head(pk, d.log);
  });
  return sink.put(head);
}

template <class T>
void LoggedList<T>::adopt(Draft&& d) {
  held_ = true;
  base_root_ = d.base_root;
  if (d.whole) {
    rows_ = std::move(*d.whole);
  } else {
    for (RowChange<T>& change : d.fresh) {
      if (change.position == rows_.size()) {
        rows_.push_back(std::move(change.row));
      } else {
        rows_[change.position] = std::move(change.row);
      }
    }
  }
  if (d.base) base_.adopt(std::move(*d.base));
  log_.adopt(std::move(d.log));
}

template <class T>
void LoggedList<T>::forget() {
  base_.forget();
  log_.forget();
  base_root_ = RunRef{};
  rows_.clear();
  held_ = false;
}

template class AppendLog<Snapshot>;
template class AppendLog<RowChange<CatalogEntry>>;
template class AppendLog<RowChange<CacheDirectoryEntry>>;
template class LoggedList<CatalogEntry>;
template class LoggedList<CacheDirectoryEntry>;

}  // namespace ormel
