// Write-ahead log: makes a transaction's page images atomic.
//
// Contract:
// - commit writes the whole transaction (frame records, then the commit record) at the
//   start of the region in one write and syncs; once it returns the transaction is durable.
//   A transaction that does not fit fails with InvalidArgument and writes nothing.
// - checkpoint writes each frame's images at their home pages and syncs; once it returns
//   the transaction is applied. checkpoint_run does the same for the images of consecutive
//   pages from `page` on, held in one buffer.
// - recover never writes. It returns the frames of the region's transaction when that
//   transaction is complete (commit record present, every CRC matching, at least one frame)
//   and newer than last_applied_txn; otherwise none. A region cut short by the end of the
//   file is read as far as it goes.
// - A frame carries one page image, or the images of consecutive pages from `page` on (a
//   whole run, written home in one piece); commit logs one frame record per page, so the
//   log holds the same records either way. Frames must carry whole page images
//   (InvalidArgument "WAL frame is not page-sized"); recovered frames hold one page each.
//
// Record layout (integers little-endian, no padding):
//   offset size  field   frame record            commit record
//   0      4     magic   "OWAL"                  "OWAL"
//   4      1     kind    1                       2
//   5      8     txn_id  the transaction's id    the same id
//   13     8     page    home page number        0
//   21     4     length  image length (8192)     0
//   25     4     crc     CRC-32 of the image     CRC-32 of all images in order
//   29     len   image   page image              -
// A transaction of n frames takes n * 8221 + 29 bytes from the region's first byte; bytes
// after its commit record are stale and never read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/file.h"

namespace ormel::wal {

struct WalFrame {
  uint64_t page;               // home page of the first image
  std::vector<uint8_t> image;  // one or more 8192-byte page images
};

inline constexpr uint64_t FRAME_RECORD = 29 + 8192, COMMIT_RECORD = 29;

Status commit(File& f, uint64_t wal_start, uint64_t wal_pages, uint64_t txn_id, const std::vector<WalFrame>& frames);
Status checkpoint(File& f, const std::vector<WalFrame>& frames);
Status checkpoint_run(File& f, uint64_t page, std::span<const uint8_t> images);
Result<std::optional<std::vector<WalFrame>>> recover(File& f, uint64_t wal_start, uint64_t wal_pages,
                                                     uint64_t last_applied_txn);

// Torn-header fallback: the newest complete transaction found anywhere in the file (a
// transaction may start at any page boundary); returns its txn id and frames, or nullopt.
// newest_started is the highest txn id at any log start, complete or not.
struct FoundTxn {
  uint64_t txn_id;
  std::vector<WalFrame> frames;
  uint64_t newest_started = 0;
};
Result<std::optional<FoundTxn>> scan_newest(File& f);

// Region growth for an estimated transaction of `pages` frames: nullopt when the current
// region suffices, else the new region's page count
// (need = ceil((pages*8221+8250)/8192); grow = max(need + need/2, 4) + 4 pages).
std::optional<uint64_t> grown_region_pages(uint64_t estimated_pages, uint64_t current_wal_pages);

}  // namespace ormel::wal
