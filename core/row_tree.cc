#include "core/row_tree.h"

#include <algorithm>
#include <cstring>

#include "core/cache_records.h"
#include "core/msgpack_cursor.h"
#include "core/record_codec.h"
#include "core/records.h"

namespace ormel {
namespace {

// The most bytes one reference takes: an array marker and three uint 64.
constexpr uint64_t kRefBound = 1 + 3 * 9;
// A root's fields before its references, at most: marker, four uint 64, array marker.
constexpr uint64_t kRootBound = 1 + 4 * 9 + 5;

OrmelError damaged(const std::string& what) { return OrmelError::serialization("invalid tree: " + what); }

uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

uint64_t saturating_mul(uint64_t a, uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; }

}  // namespace

// Node counts and spans of a tree of `end` positions: counts[l] nodes at level l (0 = leaves,
// the last level holds the root alone), each covering span[l] positions; off[l] is the
// first node of level l holding a position from `first` on (every one before lies wholly
// before it).
struct TreeGeometry {
  std::vector<uint64_t> counts, span, off;
  size_t height() const { return counts.size() - 1; }

  TreeGeometry(TreeShape shape, uint64_t first, uint64_t end) {
    uint64_t nodes = ceil_div(end, shape.leaf_rows);
    uint64_t covered = shape.leaf_rows;
    counts.push_back(nodes);
    span.push_back(covered);
    do {
      nodes = ceil_div(nodes, shape.fanout);
      covered = saturating_mul(covered, shape.fanout);
      counts.push_back(nodes);
      span.push_back(covered);
    } while (nodes > 1);
    for (uint64_t s : span) off.push_back(first / s);
  }
};

// The committed tree a draft compares with.
template <class T>
struct BaseView {
  const TreeBase<T>& b;
  bool held;
  uint64_t end;
  TreeGeometry g;

  BaseView(const TreeBase<T>& base, TreeShape shape)
      : b(base), held(!base.levels.empty()), end(base.first + base.rows.size()),
        g(shape, base.first, held ? end : 1) {}

  // The base's reference of node j of level l, when the base holds that node (a base root
  // is written in the root's own form, so no level is shared as a plain node from it).
  std::optional<RunRef> ref(size_t l, uint64_t j) const {
    if (!held || l + 1 >= b.levels.size() || j < g.off[l]) return std::nullopt;
    const uint64_t i = j - g.off[l];
    if (i >= b.levels[l].size()) return std::nullopt;
    return b.levels[l][i];
  }
};

namespace {


Result<std::vector<RunRef>> read_refs(MsgCursor& c, uint64_t expected) {
  const auto n = c.array();
  if (!n || *n != expected) return fail(damaged("a node names the wrong number of children"));
  std::vector<RunRef> refs;
  refs.reserve(*n);
  for (uint32_t i = 0; i < *n; ++i) {
    const auto ref = read_ref(c);
    if (!ref) return fail(damaged("a child reference is malformed"));
    refs.push_back(*ref);
  }
  return refs;
}

struct Root {
  TreeShape shape;
  uint64_t first = 0, end = 0;
  std::vector<RunRef> refs;
};

Result<Root> read_root(std::span<const uint8_t> bytes) {
  MsgCursor c(bytes);
  if (c.array() != 5u) return fail(damaged("the root is not [R, F, first, end, children]"));
  uint64_t fields[4];
  for (uint64_t& f : fields) {
    const auto v = c.integer();
    if (!v || v->negative) return fail(damaged("a root field is not a count"));
    f = v->value;
  }
  Root r{{fields[0], fields[1]}, fields[2], fields[3], {}};
  if (r.shape.leaf_rows < 1 || r.shape.leaf_rows > kMaxTreeArity || r.shape.fanout < 2 ||
      r.shape.fanout > kMaxTreeArity) {
    return fail(damaged("rows per leaf or children per node out of range"));
  }
  if (r.end == 0 || r.end >= kMaxTreeEnd || r.first >= r.end) return fail(damaged("the row range is invalid"));
  const TreeGeometry g(r.shape, r.first, r.end);
  ORMEL_ASSIGN(r.refs, read_refs(c, g.counts[g.height() - 1]));
  if (!c.at_end()) return fail(damaged("bytes after the root"));
  return r;
}

template <class T>
std::vector<uint8_t> encode_rows(std::span<const T> rows) {
  return pack_to_bytes([&](Packer& pk) {
    pk.pack_array(static_cast<uint32_t>(rows.size()));
    for (const T& row : rows) encode_record(pk, row);
  });
}

template <class T>
Result<std::vector<T>> decode_rows(std::span<const uint8_t> bytes) {
  return decode_array<T>(bytes);
}

}  // namespace

void pack_ref(Packer& pk, const RunRef& ref) {
  if (ref.empty()) {
    pk.pack_nil();
    return;
  }
  pk.pack_array(3);
  pk.pack_uint64(ref.start);
  pk.pack_uint64(ref.pages);
  pk.pack_uint64(ref.len);
}

std::optional<RunRef> read_ref(MsgCursor& c) {
  if (c.nil()) return RunRef{};
  if (c.array() != 3u) return std::nullopt;
  RunRef ref;
  for (uint64_t* field : {&ref.start, &ref.pages, &ref.len}) {
    const auto v = c.integer();
    if (!v || v->negative) return std::nullopt;
    *field = v->value;
  }
  if (ref.pages == 0) return std::nullopt;  // a run has at least one page
  return ref;
}

bool same_row(const CacheDirectoryEntry& a, const CacheDirectoryEntry& b) {
  // Fields that change on every write of an entry first; the vector last, as bytes.
  if (a.start_page != b.start_page || a.len != b.len || a.accessed_at != b.accessed_at ||
      a.access_count != b.access_count || a.deleted != b.deleted || a.page_count != b.page_count ||
      a.size_bytes != b.size_bytes || a.created_at != b.created_at || a.ttl_secs != b.ttl_secs ||
      a.key_hash != b.key_hash || a.namespace_ != b.namespace_ || a.model != b.model ||
      a.vector.has_value() != b.vector.has_value()) {
    return false;
  }
  if (!a.vector) return true;
  return a.vector->size() == b.vector->size() &&
         std::memcmp(a.vector->data(), b.vector->data(), a.vector->size() * sizeof(float)) == 0;
}

uint64_t tree_pages_bound(TreeShape shape, uint64_t rows) {
  uint64_t nodes = ceil_div(std::max<uint64_t>(rows, 1), shape.leaf_rows), total = nodes;
  do {
    nodes = ceil_div(nodes, shape.fanout);
    total += nodes;
  } while (nodes > 1);
  return total;
}

template <class T>
Result<std::vector<T>> RowTree<T>::read(Pager& pager, const RunRef& root_ref, bool adopt,
                                        std::pair<uint64_t, uint64_t>* span) {
  if (root_ref.empty()) {
    if (adopt) base_ = TreeBase<T>{};
    if (span != nullptr) *span = {0, 0};
    return std::vector<T>{};
  }
  ORMEL_ASSIGN(auto root_bytes, read_run(pager, root_ref));
  ORMEL_ASSIGN(Root root, read_root(root_bytes));
  if (span != nullptr) *span = {root.first, root.end};
  const TreeGeometry g(root.shape, root.first, root.end);
  TreeBase<T> base;
  base.first = root.first;
  ORMEL_TRY(read_levels(pager, g, root.shape.fanout, root_ref, std::move(root.refs), base));
  ORMEL_TRY(read_leaves(pager, g, root.shape.leaf_rows, root.end, base));
  std::vector<T> out = base.rows;
  // A tree of another shape reads all the same, but is not one a draft can compare with.
  const bool same_shape = root.shape.leaf_rows == shape_.leaf_rows && root.shape.fanout == shape_.fanout;
  if (adopt) base_ = same_shape ? std::move(base) : TreeBase<T>{};
  return out;
}

// Level by level down from the root: each node's references name the level below; the
// children of a node that lie wholly before `first` are not read (nor held).
template <class T>
Status RowTree<T>::read_levels(Pager& pager, const TreeGeometry& g, uint64_t fanout, const RunRef& root_ref,
                               std::vector<RunRef> root_refs, TreeBase<T>& base) const {
  const size_t h = g.height();
  base.levels.resize(h + 1);
  base.levels[h] = {root_ref};
  std::vector<std::vector<RunRef>> child_lists{std::move(root_refs)};
  for (size_t l = h; l-- > 0;) {
    std::vector<RunRef>& level = base.levels[l];
    for (size_t p = 0; p < child_lists.size(); ++p) {
      const uint64_t parent = g.off[l + 1] + p;
      for (size_t k = 0; k < child_lists[p].size(); ++k) {
        if (parent * fanout + k < g.off[l]) continue;
        if (child_lists[p][k].empty()) return fail(damaged("a child holding rows is missing"));
        level.push_back(child_lists[p][k]);
      }
    }
    if (level.size() != g.counts[l] - g.off[l]) return fail(damaged("a level has the wrong number of nodes"));
    if (l == 0) break;
    std::vector<std::vector<RunRef>> next;
    next.reserve(level.size());
    for (size_t i = 0; i < level.size(); ++i) {
      const uint64_t node = g.off[l] + i;
      const uint64_t children = std::min((node + 1) * fanout, g.counts[l - 1]) - node * fanout;
      ORMEL_ASSIGN(auto bytes, read_run(pager, level[i]));
      MsgCursor c(bytes);
      ORMEL_ASSIGN(auto refs, read_refs(c, children));
      if (!c.at_end()) return fail(damaged("bytes after a node"));
      next.push_back(std::move(refs));
    }
    child_lists = std::move(next);
  }
  return {};
}

template <class T>
Status RowTree<T>::read_leaves(Pager& pager, const TreeGeometry& g, uint64_t leaf_rows, uint64_t end,
                               TreeBase<T>& base) const {
  base.rows.reserve(std::min<uint64_t>(end - base.first, uint64_t{1} << 20));
  for (size_t i = 0; i < base.levels[0].size(); ++i) {
    const uint64_t lo = (g.off[0] + i) * leaf_rows, hi = std::min(lo + leaf_rows, end);
    ORMEL_ASSIGN(auto bytes, read_run(pager, base.levels[0][i]));
    ORMEL_ASSIGN(auto rows, decode_rows<T>(bytes));
    const uint64_t from = hi - std::min<uint64_t>(rows.size(), hi);
    if (rows.size() > hi - lo || from > std::max(lo, base.first)) {
      return fail(damaged("a leaf holds the wrong number of rows"));
    }
    base.leaf_from.push_back(from);
    const uint64_t skip = base.first > from ? base.first - from : 0;
    base.rows.insert(base.rows.end(), std::make_move_iterator(rows.begin() + static_cast<ptrdiff_t>(skip)),
                     std::make_move_iterator(rows.end()));
  }
  return {};
}

template <class T>
RowTreeDraft<T> RowTree<T>::draft(std::span<const T> rows, uint64_t first) const {
  RowTreeDraft<T> d;
  d.shape_ = shape_;
  if (rows.empty()) {
    d.unchanged_ = base_.levels.empty();
    return d;
  }
  const uint64_t end = first + rows.size();
  const TreeGeometry g(shape_, first, end);
  const BaseView<T> b(base_, shape_);
  d.next_.first = first;
  d.next_.rows.assign(rows.begin(), rows.end());
  d.next_.levels.resize(g.height() + 1);
  d.dirty_.resize(g.height() + 1);
  draft_leaves(d, rows, g, b);
  draft_nodes(d, g, b);
  d.unchanged_ = b.held && !d.dirty_.back()[0] && first == b.b.first && end == b.end;
  keep_unchanged_root(d, end, b);
  return d;
}

// A leaf is clean when the base holds it with the same last position and the same rows
// from where the new one must start; a dirty one is encoded now (its pages are counted).
template <class T>
void RowTree<T>::draft_leaves(RowTreeDraft<T>& d, std::span<const T> rows, const TreeGeometry& g,
                              const BaseView<T>& b) const {
  const uint64_t r = shape_.leaf_rows, first = d.next_.first, end = first + rows.size();
  for (uint64_t leaf = g.off[0]; leaf < g.counts[0]; ++leaf) {
    const uint64_t lo = leaf * r, hi = std::min(lo + r, end), need = std::max(lo, first);
    const auto ref = b.ref(0, leaf);
    bool clean = ref && std::min(lo + r, b.end) == hi && need >= b.b.first && b.b.leaf_from[leaf - b.g.off[0]] <= need;
    for (uint64_t p = need; clean && p < hi; ++p) clean = same_row(rows[p - first], b.b.rows[p - b.b.first]);
    d.next_.levels[0].push_back(clean ? *ref : RunRef{});
    d.next_.leaf_from.push_back(clean ? b.b.leaf_from[leaf - b.g.off[0]] : need);
    d.dirty_[0].push_back(!clean);
    if (clean) {
      d.leaf_blobs_.emplace_back();
    } else {
      d.leaf_blobs_.push_back(encode_rows<T>(rows.subspan(need - first, hi - need)));
      d.pages_ += run_pages(d.leaf_blobs_.back().size());
    }
  }
}

// A node is clean when the base holds it (not as its root) naming the same children, none
// of them new; a dirty one takes a page.
template <class T>
void RowTree<T>::draft_nodes(RowTreeDraft<T>& d, const TreeGeometry& g, const BaseView<T>& b) const {
  const uint64_t f = shape_.fanout;
  const size_t h = g.height();
  for (size_t l = 1; l <= h; ++l) {
    for (uint64_t node = g.off[l]; node < g.counts[l]; ++node) {
      const auto ref = b.ref(l, node);
      const uint64_t from = std::max(node * f, g.off[l - 1]), to = std::min((node + 1) * f, g.counts[l - 1]);
      bool clean =
          l < h && ref.has_value() && to <= b.g.counts[l - 1] && to == std::min((node + 1) * f, b.g.counts[l - 1]);
      for (uint64_t c = from; clean && c < to; ++c) {
        const auto child = b.ref(l - 1, c);
        clean = !d.dirty_[l - 1][c - g.off[l - 1]] && child && *child == d.next_.levels[l - 1][c - g.off[l - 1]];
      }
      // A node whose children before `first` were named and are now dropped changes too.
      if (clean && node * f < g.off[l - 1] && g.off[l - 1] != b.g.off[l - 1]) clean = false;
      d.next_.levels[l].push_back(clean ? *ref : RunRef{});
      d.dirty_[l].push_back(!clean);
      if (!clean) ++d.pages_;
    }
  }
}

// When every child is the base's, over the same positions, the base root stands as it is.
template <class T>
void RowTree<T>::keep_unchanged_root(RowTreeDraft<T>& d, uint64_t end, const BaseView<T>& b) const {
  const size_t h = d.next_.levels.size() - 1;
  if (!d.dirty_[h][0] || !b.held || b.b.levels.size() != h + 1 || d.next_.first != b.b.first || end != b.end) return;
  for (size_t i = 0; i < d.dirty_[h - 1].size(); ++i) {
    if (d.dirty_[h - 1][i]) return;
  }
  if (d.next_.levels[h - 1] != b.b.levels[h - 1]) return;
  d.next_.levels[h][0] = b.b.levels[h][0];
  d.dirty_[h][0] = false;
  d.unchanged_ = true;
  d.pages_ -= 1;
}

template <class T>
void RowTree<T>::adopt(RowTreeDraft<T>&& written) {
  base_ = std::move(written.next_);
}

template <class T>
Result<RunRef> RowTreeDraft<T>::write(RunSink& sink) {
  if (next_.levels.empty()) return RunRef{};
  const size_t h = next_.levels.size() - 1;
  if (!written_) {
    for (size_t i = 0; i < leaf_blobs_.size(); ++i) {
      if (!dirty_[0][i]) continue;
      ORMEL_ASSIGN(next_.levels[0][i], sink.put(leaf_blobs_[i]));
    }
    const TreeGeometry g(shape_, next_.first, next_.first + next_.rows.size());
    for (size_t l = 1; l <= h; ++l) {
      for (size_t i = 0; i < next_.levels[l].size(); ++i) {
        if (!dirty_[l][i]) continue;
        const uint64_t node = g.off[l] + i;
        const uint64_t from = node * shape_.fanout, to = std::min((node + 1) * shape_.fanout, g.counts[l - 1]);
        std::vector<uint8_t> blob = pack_to_bytes([&](Packer& pk) {
          if (l == h) {
            pk.pack_array(5);
            pk.pack_uint64(shape_.leaf_rows);
            pk.pack_uint64(shape_.fanout);
            pk.pack_uint64(next_.first);
            pk.pack_uint64(next_.first + next_.rows.size());
          }
          pk.pack_array(static_cast<uint32_t>(to - from));
          for (uint64_t c = from; c < to; ++c) {
            pack_ref(pk, c < g.off[l - 1] ? RunRef{} : next_.levels[l - 1][c - g.off[l - 1]]);
          }
        });
        if (blob.size() > PAGE_PAYLOAD) return fail(OrmelError::io("internal error: a tree node outgrew its page"));
        ORMEL_ASSIGN(next_.levels[l][i], sink.put(blob));
      }
    }
    written_ = true;
  }
  return next_.levels[h][0];
}

template class RowTree<CatalogEntry>;
template class RowTree<Snapshot>;
template class RowTree<CacheDirectoryEntry>;
template class RowTreeDraft<CatalogEntry>;
template class RowTreeDraft<Snapshot>;
template class RowTreeDraft<CacheDirectoryEntry>;
template class RowTree<RowChange<CatalogEntry>>;
template class RowTree<RowChange<CacheDirectoryEntry>>;
template class RowTreeDraft<RowChange<CatalogEntry>>;
template class RowTreeDraft<RowChange<CacheDirectoryEntry>>;

}  // namespace ormel
