// Version 9: the catalog, the snapshot list and the cache directory are RowTrees, so a
// commit writes the leaves whose rows changed and the nodes above them, and shares the
// rest with the commit before and with every snapshot.
#include <optional>

#include "core/layout.h"
#include "core/row_tree.h"

namespace ormel {
namespace {

// Rows per leaf sized so that a leaf of the largest rows fits one page (a catalog row is
// at most 57 bytes, a snapshot 82, a cache-directory row with a 384-wide vector about
// 2,100); 256 references (at most 28 bytes each) fill a node's page.
constexpr TreeShape kCatalogShape{128, 256};
constexpr TreeShape kSnapshotShape{64, 256};
constexpr TreeShape kDirectoryShape{4, 256};

// A structure's tree, the draft of its next write and that draft once written.
template <class T>
struct TreeSlot {
  explicit TreeSlot(TreeShape shape) : tree(shape) {}
  RowTree<T> tree;
  std::optional<RowTreeDraft<T>> draft;
  bool written = false;

  uint64_t prepare(std::span<const T> rows, uint64_t first) {
    draft = tree.draft(rows, first);
    written = false;
    return draft->pages();
  }
  Result<RunRef> write(RunSink& sink) {
    ORMEL_ASSIGN(RunRef root, draft->write(sink));
    written = true;
    return root;
  }
  void commit() {
    if (written) tree.adopt(std::move(*draft));
    draft.reset();
    written = false;
  }
};

class TreeLayout final : public Layout {
 public:
  uint16_t version() const override { return 9; }

  Result<std::vector<CatalogEntry>> read_catalog(Pager& pager, const RunRef& ref, bool adopt) override {
    return catalog_.tree.read(pager, ref, adopt);
  }
  Result<std::vector<Snapshot>> read_snapshots(Pager& pager, const RunRef& ref, bool adopt) override {
    ORMEL_ASSIGN(auto rows, snapshots_.tree.read(pager, ref, adopt));
    if (adopt) {
      committed_snapshots_ = rows;
      snapshots_first_ = 0;
      if (!ref.empty()) {
        // The root's first position: the snapshot list is pruned from the front.
        snapshots_first_ = snapshots_.tree.base_first();
      }
    }
    return rows;
  }
  Result<std::vector<CacheDirectoryEntry>> read_cache_directory(Pager& pager, const RunRef& ref,
                                                                bool adopt) override {
    return directory_.tree.read(pager, ref, adopt);
  }

  uint64_t prepare_catalog(std::span<const CatalogEntry> rows) override { return catalog_.prepare(rows, 0); }
  uint64_t prepare_snapshots(std::span<const Snapshot> rows) override {
    pending_first_ = first_position(rows);
    pending_snapshots_.assign(rows.begin(), rows.end());
    return snapshots_.prepare(rows, pending_first_);
  }
  uint64_t prepare_cache_directory(std::span<const CacheDirectoryEntry> rows) override {
    return directory_.prepare(rows, 0);
  }
  Result<RunRef> write_catalog(RunSink& sink) override { return catalog_.write(sink); }
  Result<RunRef> write_snapshots(RunSink& sink) override { return snapshots_.write(sink); }
  Result<RunRef> write_cache_directory(RunSink& sink) override { return directory_.write(sink); }

  uint64_t snapshot_pages_bound(uint64_t rows) const override { return tree_pages_bound(kSnapshotShape, rows); }

  void commit() override {
    if (snapshots_.written) {
      committed_snapshots_ = std::move(pending_snapshots_);
      snapshots_first_ = pending_first_;
    }
    catalog_.commit();
    snapshots_.commit();
    directory_.commit();
  }
  void forget() override {
    catalog_.tree.forget();
    snapshots_.tree.forget();
    directory_.tree.forget();
    committed_snapshots_.clear();
    snapshots_first_ = 0;
  }

 private:
  // Where `rows` begin among the positions of the committed list: a list pruned from the
  // front and grown at the back keeps the positions of the rows it shares with it; any
  // other list starts after the committed one's positions, sharing nothing.
  uint64_t first_position(std::span<const Snapshot> rows) const {
    const std::vector<Snapshot>& old = committed_snapshots_;
    const uint64_t old_end = snapshots_first_ + old.size();
    if (rows.empty()) return old_end;
    for (size_t i = 0; i < old.size(); ++i) {
      if (old[i] != rows[0]) continue;
      const size_t shared = old.size() - i;
      if (shared <= rows.size() && std::equal(old.begin() + static_cast<ptrdiff_t>(i), old.end(), rows.begin())) {
        return snapshots_first_ + i;
      }
      break;
    }
    return old_end;
  }

  TreeSlot<CatalogEntry> catalog_{kCatalogShape};
  TreeSlot<Snapshot> snapshots_{kSnapshotShape};
  TreeSlot<CacheDirectoryEntry> directory_{kDirectoryShape};
  std::vector<Snapshot> committed_snapshots_;
  uint64_t snapshots_first_ = 0;
  std::vector<Snapshot> pending_snapshots_;
  uint64_t pending_first_ = 0;
};

}  // namespace

std::unique_ptr<Layout> make_tree_layout() { return std::make_unique<TreeLayout>(); }

// A packed record's address: its page times 8192 plus its offset in the page's payload
// (less than 8164, so the offset takes the low 13 bits and addresses are unique).
constexpr uint64_t kAddressStride = 8192;

RecordPlace packed_record_place(const CatalogEntry& row) {
  return {row.start_page / kAddressStride, row.start_page % kAddressStride, row.page_count, row.len};
}

uint64_t packed_record_address(uint64_t page, uint64_t offset) { return page * kAddressStride + offset; }

uint32_t packed_record_pages(uint64_t address, uint64_t len) {
  if (len == 0) return 0;
  return static_cast<uint32_t>((address % kAddressStride + len + PAGE_PAYLOAD - 1) / PAGE_PAYLOAD);
}

}  // namespace ormel
