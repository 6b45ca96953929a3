// RowTree: a list of records kept as a tree of runs, so that writing a new version of the
// list puts only the runs whose rows changed (and the nodes above them) and shares every
// other run with the version it replaces, and with every snapshot that names that one.
// Format version 9 keeps its catalog, snapshot list and cache directory so
// (docs/format-v9.md).
//
// Shape: row positions run from 0 to `end`; the rows before `first` were dropped from the
// front (a snapshot list pruned). Leaf i covers positions [i*R, min((i+1)*R, end)) and
// holds the rows of a suffix of them, at least every position from max(i*R, first): one
// MessagePack array of records, the form of a version 8 blob. Interior node j of level l
// (level 1 lies just above the leaves) names children [j*F, (j+1)*F) of level l-1, as an
// array of references [start, pages, len]; a child whose positions all lie before `first`
// is nil. The tree's height h is the least h >= 1 with ceil(end / R) <= F^h, and its root,
// the one node of level h, is written as [R, F, first, end, [references]]. An empty list
// is no run at all (an all-zero RunRef).
//
// Contract:
// - read(pager, root) returns the rows of positions [first, end) after checking the
//   shape above: every count, every nil, R and F within [1, 65536] and [2, 65536], end
//   below 2^40; anything else is a Serialization error (a page that fails to
//   authenticate is PageAuthFailed). With `adopt`, what was read becomes the base of the
//   next draft (unless its R and F are not this tree's: then the next draft shares nothing).
// - draft(rows, first) compares the rows with the base (the version last read into it or
//   committed), encodes the leaves that differ and marks the nodes above them; pages() is
//   exactly what write() will put. write(sink) puts the new leaves, then the new nodes
//   level by level, the root last, and returns the root's RunRef; adopt() makes the
//   written tree the base. A draft that is never adopted leaves the base as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/pager.h"
#include "core/runs.h"

namespace ormel {

inline constexpr uint64_t kMaxTreeArity = 65536;
inline constexpr uint64_t kMaxTreeEnd = uint64_t{1} << 40;

// A row of a change log: the row now at `position` (docs/format-v9.md).
template <class T>
struct RowChange {
  static constexpr std::string_view kRecordName = "RowChange";
  uint64_t position = 0;
  T row{};

  template <class V, class R>
  static void fields(V& v, R& r) {
    v("position", r.position);
    v("row", r.row);
  }
  bool operator==(const RowChange&) const = default;
};

// Whether a row is stored as another is: equal fields, float vectors compared bit for bit
// (which also tells -0.0 from 0.0, as their encodings differ, and is much faster).
template <class T>
bool same_row(const T& a, const T& b) { return a == b; }
struct CacheDirectoryEntry;
bool same_row(const CacheDirectoryEntry& a, const CacheDirectoryEntry& b);
template <class T>
bool same_row(const RowChange<T>& a, const RowChange<T>& b) {
  return a.position == b.position && same_row(a.row, b.row);
}

// A reference to a run inside a node or a head: [start, pages, len] (pages >= 1), or nil
// for none. read_ref: nullopt when malformed.
class Packer;
class MsgCursor;
void pack_ref(Packer& pk, const RunRef& ref);
std::optional<RunRef> read_ref(MsgCursor& c);

// The shape of a tree: rows per leaf, children per node.
struct TreeShape {
  uint64_t leaf_rows = 0;
  uint64_t fanout = 0;
};

// What the tree last written (or read) holds: enough to tell unchanged leaves and nodes.
// The most pages a tree of `rows` rows takes when every leaf fits one page.
uint64_t tree_pages_bound(TreeShape shape, uint64_t rows);

template <class T>
struct TreeBase {
  uint64_t first = 0;
  std::vector<T> rows;                      // positions [first, first + rows.size())
  std::vector<uint64_t> leaf_from;          // first position each leaf holds
  std::vector<std::vector<RunRef>> levels;  // levels[0]: leaves; last: the root alone
};

template <class T>
class RowTreeDraft;
struct TreeGeometry;
template <class T>
struct BaseView;

template <class T>
class RowTree {
 public:
  explicit RowTree(TreeShape shape) : shape_(shape) {}

  // Reads the list a root names (see the contract); with adopt, it becomes the base. With
  // `span`, the positions [first, end) the root names are told there.
  Result<std::vector<T>> read(Pager& pager, const RunRef& root, bool adopt = false,
                              std::pair<uint64_t, uint64_t>* span = nullptr);
  RowTreeDraft<T> draft(std::span<const T> rows, uint64_t first) const;
  void adopt(RowTreeDraft<T>&& written);
  void forget() { base_ = TreeBase<T>{}; }
  // The first position of the base (the rows before it were dropped from the front).
  uint64_t base_first() const { return base_.first; }
  const TreeShape& shape() const { return shape_; }

 private:
  // Steps of read: the references of every level below the root, then the leaves' rows.
  Status read_levels(Pager& pager, const TreeGeometry& g, uint64_t fanout, const RunRef& root_ref,
                     std::vector<RunRef> root_refs, TreeBase<T>& base) const;
  Status read_leaves(Pager& pager, const TreeGeometry& g, uint64_t leaf_rows, uint64_t end, TreeBase<T>& base) const;
  // Steps of draft: the leaves, the nodes above them, then whether the base root stands.
  void draft_leaves(RowTreeDraft<T>& d, std::span<const T> rows, const TreeGeometry& g, const BaseView<T>& b) const;
  void draft_nodes(RowTreeDraft<T>& d, const TreeGeometry& g, const BaseView<T>& b) const;
  void keep_unchanged_root(RowTreeDraft<T>& d, uint64_t end, const BaseView<T>& b) const;

  TreeShape shape_;
  TreeBase<T> base_;
};

template <class T>
class RowTreeDraft {
 public:
  uint64_t pages() const { return pages_; }
  // Unchanged since the base (nothing to write; write() returns the base's root).
  bool unchanged() const { return unchanged_; }
  Result<RunRef> write(RunSink& sink);

 private:
  friend class RowTree<T>;
  TreeShape shape_;
  TreeBase<T> next_;                                 // refs of clean parts filled in
  std::vector<std::vector<uint8_t>> leaf_blobs_;     // per leaf: its bytes when it is new
  std::vector<std::vector<bool>> dirty_;             // per level, per node
  uint64_t pages_ = 0;
  bool unchanged_ = false;
  bool written_ = false;
};

}  // namespace ormel
