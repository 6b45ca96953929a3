// history: the versions of one memory across the retained snapshots.
//
// A version is a record run: consecutive snapshots whose catalog rows for the id point at
// the same run hold the same version, which is reported once, with the oldest transaction
// of that run of snapshots (the one that committed it) and the memory as that
// transaction's catalog held it. Snapshots that repeat a catalog run (cache-only
// transactions) reuse the row found for the previous one instead of reading the catalog
// again.
#include "core/store_state.h"

namespace ormel {
namespace {

// The id's row in a catalog, the later one when it occurs twice (as build_id_index does).
std::optional<CatalogEntry> row_of(const std::vector<CatalogEntry>& catalog, MemoryId id) {
  for (size_t i = catalog.size(); i-- > 0;) {
    if (catalog[i].id == id) return catalog[i];
  }
  return std::nullopt;
}

}  // namespace

Result<std::vector<MemoryVersion>> Ormel::history(MemoryId id) {
  StoreState& s = *s_;
  std::vector<const Snapshot*> oldest_first;
  oldest_first.reserve(s.snapshot_manifest.size());
  for (const Snapshot& snap : s.snapshot_manifest) oldest_first.push_back(&snap);
  std::stable_sort(oldest_first.begin(), oldest_first.end(),
                   [](const Snapshot* a, const Snapshot* b) { return a->txn_id < b->txn_id; });

  std::vector<MemoryVersion> versions;  // oldest first until the end
  bool known = s.id_index.contains(id);
  std::optional<CatalogEntry> row;
  const Snapshot* previous = nullptr;
  // Start page of the version the previous snapshot held; 0 for none (page 0 is the header).
  uint64_t current_run = 0;
  for (const Snapshot* snap : oldest_first) {
    const bool same_catalog = previous != nullptr && previous->catalog_start == snap->catalog_start &&
                              previous->catalog_pages == snap->catalog_pages &&
                              previous->catalog_len == snap->catalog_len;
    if (!same_catalog) {
      ORMEL_ASSIGN(auto catalog, s.layout->read_catalog(*s.pager, catalog_run(*snap)));
      row = row_of(catalog, id);
    }
    previous = snap;
    known = known || row.has_value();
    if (!row || row->deleted) {
      current_run = 0;
      continue;
    }
    if (current_run == row->start_page) continue;
    current_run = row->start_page;
    ORMEL_ASSIGN(Memory memory, read_memory(*s.pager, *row, s.dimensions));
    versions.push_back(MemoryVersion{snap->txn_id, snap->created_at, std::move(memory)});
  }
  if (!known) return fail(OrmelError::not_found(ulid_to_text(id)));
  std::reverse(versions.begin(), versions.end());
  return versions;
}

}  // namespace ormel
