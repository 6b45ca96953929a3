// Lists of version 9 files that a commit changes by a few rows, kept so that the commit
// writes about one page for them (docs/format-v9.md):
//
// AppendLog: a list that grows at the back and is cut at the front, its positions going
// on (the snapshot list). Its head holds the newest rows inline, up to kTailBytes of them;
// when they outgrow that, they move into a RowTree and the head names its root. Head:
//   [tree root | nil, first, end, [tail rows]]
// holding positions [first, end): the tree's from `first` up to end - len(tail), then the
// tail's.
//
// LoggedList: a list whose rows change anywhere (the catalog, the cache directory). Its
// head names a RowTree of the list as of the last fold (the base) and an AppendLog of
// changes [position, row] since, applied in order (a position equal to the list's length
// appends a row). Head: [base root | nil, <AppendLog head of changes>]. A commit appends its
// changes to the log; when the log would hold more than max(1024, rows / 16) changes, or
// the list got shorter, the commit folds instead: the base is written anew (only its
// changed leaves, as a RowTree writes) and the log starts empty.
//
// Contract (both): read() checks every count and position and refuses anything else as a
// Serialization error; with `adopt` what was read is the committed state that the next
// draft compares with. draft() returns at least the pages write() will put; write() puts
// the runs below the head first and the head last, returning the head's RunRef; adopt()
// makes a written draft the committed state. A draft never adopted changes nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/msgpack_cursor.h"
#include "core/record_codec.h"
#include "core/row_tree.h"

namespace ormel {

// Inline rows of a head, at most (their encoded bytes).
inline constexpr uint64_t kTailBytes = 6000;

template <class T>
class AppendLog {
 public:
  struct Draft {
    uint64_t first = 0, end = 0;  // the new list's positions
    size_t tail = 0;              // its last `tail` rows are inline
    std::optional<RowTreeDraft<T>> tree;
    RunRef tree_root;             // when the tree is not written anew
    uint64_t pages = 0;           // of the tree's runs
    std::vector<uint8_t> tail_bytes;
    // The new rows: the committed ones from `first` on followed by `appended`, or `whole`.
    std::vector<T> appended;
    std::optional<std::vector<T>> whole;
  };

  explicit AppendLog(TreeShape shape) : tree_(shape) {}

  // Reads a head from `c` (the head array itself).
  Result<std::vector<T>> read_head(Pager& pager, MsgCursor& c, bool adopt);
  Result<std::vector<T>> read(Pager& pager, const RunRef& head, bool adopt);
  Draft draft(std::span<const T> rows, uint64_t first) const;
  // The committed list with `appended` after it (a change log's commit), without copying it.
  Draft draft_appending(std::span<const T> appended) const;
  // Writes the draft's tree runs; then pack_head writes its head.
  Status write_below(Draft& d, RunSink& sink);
  static void pack_head(Packer& pk, const Draft& d);
  Result<RunRef> write(Draft& d, RunSink& sink);
  static uint64_t head_bound(const Draft& d) { return 4 * 10 + 30 + d.tail_bytes.size(); }
  void adopt(Draft&& d);
  void forget();
  const std::vector<T>& rows() const { return rows_; }
  uint64_t first() const { return first_; }
  // Committed rows that lie in the tree rather than inline in the head.
  uint64_t tree_rows() const { return rows_.size() - tail_; }

 private:
  // The rows from position `from` on become inline when they fit, else the tree's but a tail.
  Draft place(Draft d, std::span<const T> committed_tail, std::span<const T> appended,
              std::optional<std::span<const T>> everything) const;

  RowTree<T> tree_;
  bool held_ = false;  // a committed state was read or written
  uint64_t first_ = 0;
  std::vector<T> rows_;  // positions [first_, first_ + rows_.size())
  size_t tail_ = 0;
  RunRef tree_root_;
};

template <class T>
class LoggedList {
 public:
  struct Draft {
    std::optional<RowTreeDraft<T>> base;
    RunRef base_root;
    typename AppendLog<RowChange<T>>::Draft log;
    uint64_t size = 0;                    // rows in the new list
    std::vector<RowChange<T>> fresh;      // this commit's changes, when logged
    std::optional<std::vector<T>> whole;  // the new list, when folded
    uint64_t pages = 0;
  };

  LoggedList(TreeShape base_shape, TreeShape log_shape) : base_(base_shape), log_(log_shape) {}

  Result<std::vector<T>> read(Pager& pager, const RunRef& head, bool adopt);
  Draft draft(std::span<const T> rows) const;
  Result<RunRef> write(Draft& d, RunSink& sink);
  void adopt(Draft&& d);
  void forget();
  // Committed changes that lie in the change log's tree rather than inline in the head.
  uint64_t logged_tree_rows() const { return log_.tree_rows(); }

 private:
  RowTree<T> base_;
  AppendLog<RowChange<T>> log_;
  RunRef base_root_;
  std::vector<T> rows_;  // the committed list: the base with the log applied
  bool held_ = false;
};

}  // namespace ormel
