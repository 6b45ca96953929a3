// Upgrade of files of format versions 4 to 7, done in memory at a read-write open and made
// durable by the next flush.
#include "core/crypto.h"
#include "core/store_state.h"

namespace ormel {

Result<std::vector<CatalogEntryV4>> load_catalog_v4(Pager& pager, uint64_t start, uint64_t pages, uint64_t len) {
  if (pages == 0) return std::vector<CatalogEntryV4>{};
  ORMEL_ASSIGN(auto bytes, read_run_bytes(pager, start, pages, len));
  return decode_catalog_v4(bytes);
}

// Version 4 rows lack the access fields: they come from each live record.
Result<std::vector<CatalogEntry>> migrate_v4_catalog(Pager& pager, std::vector<CatalogEntryV4> rows) {
  std::vector<CatalogEntry> out;
  out.reserve(rows.size());
  for (const CatalogEntryV4& row : rows) {
    CatalogEntry entry{row.id, row.start_page, row.page_count, row.len, row.deleted, 0, 0};
    if (!row.deleted) {
      ORMEL_ASSIGN(auto bytes, read_record(pager, entry));
      ORMEL_ASSIGN(Memory m, decode_memory(bytes));
      entry.accessed_at = m.accessed_at;
      entry.access_count = m.access_count;
    }
    out.push_back(entry);
  }
  return out;
}

Status upgrade_in_memory(StoreState& s) {
  const uint16_t old_version = s.header.format_version;
  Pager& pager = *s.pager;
  if (old_version < PAGE_AAD_FORMAT_VERSION) {
    // Copy each live record into a fresh run, which the next flush seals with the page
    // number bound. Moving the records, rather than re-sealing their pages in place, keeps
    // every page the old header names intact until the upgrade commits: a write torn by a
    // power loss then hits only pages nothing refers to yet.
    for (CatalogEntry& row : s.catalog) {
      if (row.deleted || row.page_count == 0) continue;
      ORMEL_ASSIGN(auto bytes, read_record(pager, row));
      ORMEL_ASSIGN(row.start_page, stage_run(s, bytes));
      row.page_count = static_cast<uint32_t>(run_pages(bytes.size()));
    }
  }
  s.disk_format_version = old_version;
  pager.set_format_version(FORMAT_VERSION);
  s.header.format_version = FORMAT_VERSION;
  s.catalog_dirty = true;
  if (old_version < PAGE_AAD_FORMAT_VERSION && s.index) s.index_dirty = true;
  s.snapshot_manifest.clear();
  return {};
}

}  // namespace ormel
