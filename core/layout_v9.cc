// Version 9: the catalog and the cache directory are LoggedLists (a tree of the list as of
// its last fold and a log of the changes since), the snapshot list an AppendLog, so a
// commit writes about a page for each and shares the rest with the commit before and with
// every snapshot (docs/format-v9.md).
#include <algorithm>
#include <optional>
#include <set>

#include "core/layout.h"
#include "core/row_log.h"

namespace ormel {
namespace {

// Rows per leaf sized so that a leaf of the largest rows fits one page (a catalog row is
// at most 57 bytes and a change of one 67, a snapshot 82, a cache-directory row with a
// 384-wide vector about 2,100); 256 references (at most 28 bytes each) fill a node's page.
constexpr TreeShape kCatalogShape{128, 256};
constexpr TreeShape kCatalogChangeShape{96, 256};
constexpr TreeShape kSnapshotShape{64, 256};
constexpr TreeShape kDirectoryShape{3, 256};

// A list, the draft of its next write and whether that draft was written.
template <class List, class Draft>
struct Slot {
  template <class... Shapes>
  explicit Slot(Shapes... shapes) : list(shapes...) {}
  List list;
  std::optional<Draft> draft;
  bool written = false;

  void commit() {
    if (written) list.adopt(std::move(*draft));
    draft.reset();
    written = false;
  }
};

class TreeLayout final : public Layout {
 public:
  uint16_t version() const override { return 9; }

  Result<std::vector<CatalogEntry>> read_catalog(Pager& pager, const RunRef& ref, bool adopt) override {
    return catalog_.list.read(pager, ref, adopt);
  }
  Result<std::vector<Snapshot>> read_snapshots(Pager& pager, const RunRef& ref, bool adopt) override {
    return snapshots_.list.read(pager, ref, adopt);
  }
  Result<std::vector<CacheDirectoryEntry>> read_cache_directory(Pager& pager, const RunRef& ref,
                                                                bool adopt) override {
    return directory_.list.read(pager, ref, adopt);
  }

  uint64_t prepare_catalog(std::span<const CatalogEntry> rows) override {
    catalog_.draft = catalog_.list.draft(rows);
    return catalog_.draft->pages;
  }
  uint64_t prepare_snapshots(std::span<const Snapshot> rows) override {
    snapshots_.draft = snapshots_.list.draft(rows, first_position(rows));
    return snapshots_.draft->pages + run_pages(AppendLog<Snapshot>::head_bound(*snapshots_.draft));
  }
  uint64_t prepare_cache_directory(std::span<const CacheDirectoryEntry> rows) override {
    directory_.draft = directory_.list.draft(rows);
    return directory_.draft->pages;
  }
  Result<RunRef> write_catalog(RunSink& sink) override { return write(catalog_, sink); }
  Result<RunRef> write_snapshots(RunSink& sink) override {
    ORMEL_ASSIGN(RunRef head, snapshots_.list.write(*snapshots_.draft, sink));
    snapshots_.written = true;
    return head;
  }
  Result<RunRef> write_cache_directory(RunSink& sink) override { return write(directory_, sink); }

  // The trees as a full write lays them out (the committed change logs' and snapshot
  // list's, the base trees at the lists' sizes), the three heads, and a catalog head for
  // each snapshot that names one of its own.
  uint64_t kept_list_pages(const Header& h, std::span<const Snapshot> snapshots, uint64_t catalog_rows,
                           uint64_t directory_rows) const override {
    auto tree = [](TreeShape shape, uint64_t rows) { return rows == 0 ? 0 : tree_pages_bound(shape, rows); };
    std::set<uint64_t> heads{h.catalog_start};
    for (const Snapshot& snap : snapshots) heads.insert(snap.catalog_start);
    return tree(kCatalogShape, catalog_rows) + tree(kCatalogChangeShape, catalog_.list.logged_tree_rows()) +
           tree(kDirectoryShape, directory_rows) + tree(kDirectoryShape, directory_.list.logged_tree_rows()) +
           tree(kSnapshotShape, snapshots_.list.tree_rows()) + h.manifest_pages + h.cache_dir_pages + heads.size();
  }

  // A full rewrite of the list: its tree and a head holding a tail.
  uint64_t snapshot_pages_bound(uint64_t rows) const override {
    return tree_pages_bound(kSnapshotShape, rows) + run_pages(kTailBytes + 100);
  }

  void commit() override {
    catalog_.commit();
    snapshots_.commit();
    directory_.commit();
  }
  void forget() override {
    catalog_.list.forget();
    snapshots_.list.forget();
    directory_.list.forget();
  }

 private:
  template <class S>
  static Result<RunRef> write(S& slot, RunSink& sink) {
    ORMEL_ASSIGN(RunRef head, slot.list.write(*slot.draft, sink));
    slot.written = true;
    return head;
  }

  // Where `rows` begin among the positions of the committed list: a list pruned from the
  // front and grown at the back keeps the positions of the rows it shares with it; any
  // other list starts after the committed one's positions, sharing nothing.
  uint64_t first_position(std::span<const Snapshot> rows) const {
    const std::vector<Snapshot>& old = snapshots_.list.rows();
    const uint64_t old_end = snapshots_.list.first() + old.size();
    if (rows.empty()) return old_end;
    const auto at = std::find(old.begin(), old.end(), rows[0]);
    if (at == old.end()) return old_end;
    const size_t shared = static_cast<size_t>(old.end() - at);
    if (shared > rows.size() || !std::equal(at, old.end(), rows.begin())) return old_end;
    return snapshots_.list.first() + static_cast<uint64_t>(at - old.begin());
  }

  Slot<LoggedList<CatalogEntry>, LoggedList<CatalogEntry>::Draft> catalog_{kCatalogShape, kCatalogChangeShape};
  Slot<AppendLog<Snapshot>, AppendLog<Snapshot>::Draft> snapshots_{kSnapshotShape};
  Slot<LoggedList<CacheDirectoryEntry>, LoggedList<CacheDirectoryEntry>::Draft> directory_{kDirectoryShape,
                                                                                           kDirectoryShape};
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
