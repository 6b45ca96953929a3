// History: the snapshot list, restore by transaction id or by time, retention.
#include "core/store_state.h"

namespace ormel {
namespace {

SnapshotInfo info_of(const Snapshot& snap) { return {snap.txn_id, snap.created_at, snap.memory_count}; }

}  // namespace

std::vector<SnapshotInfo> Ormel::snapshots() const {
  std::vector<SnapshotInfo> out;
  out.reserve(s_->snapshot_manifest.size());
  for (const Snapshot& snap : s_->snapshot_manifest) out.push_back(info_of(snap));
  std::stable_sort(out.begin(), out.end(), [](const SnapshotInfo& a, const SnapshotInfo& b) { return a.txn_id < b.txn_id; });
  return out;
}

void Ormel::set_max_snapshots(uint64_t max) { s_->config.max_snapshots = max; }

Status apply_snapshot(Ormel& store, const Snapshot& snap) {
  StoreState& s = store.state();
  ORMEL_ASSIGN(auto catalog, s.layout->read_catalog(*s.pager, catalog_run(snap)));
  ORMEL_ASSIGN(auto index, load_index(*s.pager, snap.index_start, snap.index_pages, snap.index_len, s.dimensions));
  s.id_index = build_id_index(catalog);
  s.catalog = std::move(catalog);
  s.keywords.recheck_all = true;
  s.index = std::move(index);
  s.catalog_dirty = true;
  s.index_dirty = true;
  return store.flush();
}

Result<SnapshotInfo> Ormel::restore_to(uint64_t txn_id) {
  if (s_->read_only) return fail(OrmelError::read_only());
  ORMEL_TRY(outside_batch("restore_to"));
  for (const Snapshot& snap : s_->snapshot_manifest) {
    if (snap.txn_id != txn_id) continue;
    const Snapshot chosen = snap;  // the flush below replaces the manifest
    ORMEL_TRY(apply_snapshot(*this, chosen));
    return info_of(chosen);
  }
  return fail(OrmelError::not_found("snapshot for transaction " + std::to_string(txn_id)));
}

Result<SnapshotInfo> Ormel::restore_to_time(int64_t unix_secs) {
  if (s_->read_only) return fail(OrmelError::read_only());
  ORMEL_TRY(outside_batch("restore_to_time"));
  const Snapshot* best = nullptr;
  for (const Snapshot& snap : s_->snapshot_manifest) {
    if (snap.created_at <= unix_secs && (best == nullptr || snap.txn_id >= best->txn_id)) best = &snap;
  }
  if (best == nullptr) return fail(OrmelError::not_found("no snapshot at or before time " + std::to_string(unix_secs)));
  const Snapshot chosen = *best;
  ORMEL_TRY(apply_snapshot(*this, chosen));
  return info_of(chosen);
}

}  // namespace ormel
