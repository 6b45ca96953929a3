#include "tests/core/support/earlier_release_log.h"

#include <vector>

#include "core/format.h"
#include "core/store_state.h"
#include "core/wal.h"

namespace ormel::testing {

Status move_log_region(Ormel& db, uint64_t pages) {
  StoreState& s = db.state();
  Header h = s.header;
  h.wal_start = h.page_count;
  h.wal_pages = pages;
  h.page_count += pages;
  ORMEL_TRY(write_header_in_place(*s.pager, h, s.disk_format_version));
  s.header = h;
  return {};
}

Status log_runs_like_earlier_release(Ormel& db) {
  StoreState& s = db.state();
  File& file = s.pager->file();
  std::vector<wal::WalFrame> frames;
  auto add = [&](uint64_t start, uint64_t pages) -> Status {
    if (pages == 0) return {};
    wal::WalFrame frame{start, std::vector<uint8_t>(pages * PAGE_SIZE)};
    ORMEL_ASSIGN(const size_t read, file.read_at(start * PAGE_SIZE, frame.image));
    if (read != frame.image.size()) return fail(OrmelError::io("a run is cut short by the end of the file"));
    frames.push_back(std::move(frame));
    return {};
  };
  ORMEL_TRY(add(s.header.catalog_start, s.header.catalog_pages));
  ORMEL_TRY(add(s.header.manifest_start, s.header.manifest_pages));
  if (auto grown = wal::grown_region_pages(s.header.catalog_pages + s.header.manifest_pages, s.header.wal_pages)) {
    ORMEL_TRY(move_log_region(db, *grown));
  }
  ORMEL_TRY(add(0, 1));
  return wal::commit(file, s.header.wal_start, s.header.wal_pages, s.header.txn_id, frames);
}

}  // namespace ormel::testing
