#include "core/wal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "core/byte_order.h"
#include "core/crypto.h"

namespace ormel::wal {
namespace {

constexpr std::string_view kMagic = "OWAL";
constexpr uint8_t kFrameKind = 1;
constexpr uint8_t kCommitKind = 2;
constexpr size_t kReadChunk = size_t{1} << 20;

void put_record(std::vector<uint8_t>& out, uint8_t kind, uint64_t txn_id, uint64_t page,
                std::span<const uint8_t> image, uint32_t crc) {
  size_t at = out.size();
  out.resize(at + COMMIT_RECORD);
  uint8_t* r = out.data() + at;
  std::memcpy(r, kMagic.data(), kMagic.size());
  r[4] = kind;
  store_le(r + 5, txn_id);
  store_le(r + 13, page);
  store_le(r + 21, static_cast<uint32_t>(image.size()));
  store_le(r + 25, crc);
  out.insert(out.end(), image.begin(), image.end());
}

Status check_page_sized(std::span<const uint8_t> images) {
  if (!images.empty() && images.size() % PAGE_SIZE == 0) return {};
  return fail(OrmelError::invalid_argument("WAL frame is not page-sized"));
}

// The number of page images the frames carry.
Result<uint64_t> count_pages(const std::vector<WalFrame>& frames) {
  uint64_t pages = 0;
  for (const WalFrame& f : frames) {
    ORMEL_TRY(check_page_sized(f.image));
    pages += f.image.size() / PAGE_SIZE;
  }
  return pages;
}

// Parses the transaction whose first record starts at byte `pos`, reading no further than
// byte `end` (nor past the end of the file). Returns it when it is complete: records of one
// txn id, every frame CRC matching, a commit record carrying the running CRC, and at least
// one frame. Anything else is nullopt; only read errors are errors.
Result<std::optional<FoundTxn>> parse_txn(File& f, uint64_t pos, uint64_t end) {
  FoundTxn txn{0, {}};
  uint32_t running = 0;
  for (bool first = true;; first = false) {
    if (pos > end || end - pos < COMMIT_RECORD) return std::nullopt;
    std::array<uint8_t, COMMIT_RECORD> head;
    ORMEL_ASSIGN(size_t got, f.read_at(pos, head));
    if (got < head.size() || std::memcmp(head.data(), kMagic.data(), kMagic.size()) != 0) return std::nullopt;
    uint64_t txn_id = load_le<uint64_t>(head.data() + 5);
    if (first) txn.txn_id = txn_id;
    if (txn_id != txn.txn_id) return std::nullopt;
    uint32_t len = load_le<uint32_t>(head.data() + 21);
    uint32_t crc = load_le<uint32_t>(head.data() + 25);
    if (head[4] == kCommitKind) {
      if (crc != running || txn.frames.empty()) return std::nullopt;
      return txn;
    }
    if (head[4] != kFrameKind || len > end - pos - COMMIT_RECORD) return std::nullopt;
    WalFrame frame{load_le<uint64_t>(head.data() + 13), {}};
    // Grown as bytes arrive, so a corrupt length cannot demand a huge buffer up front.
    while (frame.image.size() < len) {
      size_t have = frame.image.size();
      size_t chunk = std::min<size_t>(len - have, kReadChunk);
      frame.image.resize(have + chunk);
      ORMEL_ASSIGN(size_t image_got, f.read_at(pos + COMMIT_RECORD + have, std::span(frame.image).subspan(have)));
      if (image_got < chunk) return std::nullopt;
    }
    if (crc != (len == 0 ? 0 : crc32(frame.image))) return std::nullopt;
    running = crc32(frame.image, running);
    txn.frames.push_back(std::move(frame));
    pos += COMMIT_RECORD + len;
  }
}

}  // namespace

Status commit(File& f, uint64_t wal_start, uint64_t wal_pages, uint64_t txn_id, const std::vector<WalFrame>& frames) {
  ORMEL_ASSIGN(uint64_t pages, count_pages(frames));
  uint64_t needed = pages * FRAME_RECORD + COMMIT_RECORD;
  uint64_t capacity = wal_pages * PAGE_SIZE;
  if (needed > capacity) {
    return fail(OrmelError::invalid_argument("transaction needs " + std::to_string(needed) +
                                             " WAL bytes but the region holds " + std::to_string(capacity)));
  }
  std::vector<uint8_t> log;
  log.reserve(needed);
  uint32_t running = 0;
  for (const WalFrame& frame : frames) {
    for (size_t at = 0; at < frame.image.size(); at += PAGE_SIZE) {
      std::span<const uint8_t> image = std::span(frame.image).subspan(at, PAGE_SIZE);
      const uint32_t crc = crc32(image);
      put_record(log, kFrameKind, txn_id, frame.page + at / PAGE_SIZE, image, crc);
      running = crc32_combine(running, crc, PAGE_SIZE);  // the CRC of every image so far, in order
    }
  }
  put_record(log, kCommitKind, txn_id, 0, {}, running);
  ORMEL_TRY(f.write_at(wal_start * PAGE_SIZE, log));
  return f.sync();
}

// Runs are written uncached: a commit's runs are read back only at the next open.
Status checkpoint(File& f, const std::vector<WalFrame>& frames) {
  ORMEL_TRY(count_pages(frames));
  for (const WalFrame& frame : frames) ORMEL_TRY(f.write_uncached(frame.page * PAGE_SIZE, frame.image));
  return f.sync();
}

Status checkpoint_run(File& f, uint64_t page, std::span<const uint8_t> images) {
  ORMEL_TRY(check_page_sized(images));
  ORMEL_TRY(f.write_uncached(page * PAGE_SIZE, images));
  return f.sync();
}

Result<std::optional<std::vector<WalFrame>>> recover(File& f, uint64_t wal_start, uint64_t wal_pages,
                                                     uint64_t last_applied_txn) {
  if (wal_pages == 0) return std::nullopt;
  uint64_t start = wal_start * PAGE_SIZE;
  ORMEL_ASSIGN(std::optional<FoundTxn> txn, parse_txn(f, start, start + wal_pages * PAGE_SIZE));
  if (!txn || txn->txn_id <= last_applied_txn) return std::nullopt;
  return std::move(txn->frames);
}

Result<std::optional<FoundTxn>> scan_newest(File& f) {
  ORMEL_ASSIGN(uint64_t size, f.size());
  std::optional<FoundTxn> newest;
  uint64_t newest_started = 0;
  for (uint64_t pos = PAGE_SIZE; pos + COMMIT_RECORD <= size; pos += PAGE_SIZE) {
    std::array<uint8_t, 13> head;
    ORMEL_ASSIGN(size_t got, f.read_at(pos, head));
    if (got < head.size() || std::memcmp(head.data(), kMagic.data(), kMagic.size()) != 0) continue;
    newest_started = std::max(newest_started, load_le<uint64_t>(head.data() + 5));
    ORMEL_ASSIGN(std::optional<FoundTxn> txn, parse_txn(f, pos, size));
    if (txn && (!newest || txn->txn_id > newest->txn_id)) newest = std::move(txn);
  }
  if (newest) newest->newest_started = newest_started;
  return newest;
}

std::optional<uint64_t> grown_region_pages(uint64_t estimated_pages, uint64_t current_wal_pages) {
  // The estimate plus the header frame and the commit record.
  uint64_t bytes = (estimated_pages + 1) * FRAME_RECORD + COMMIT_RECORD;
  if (bytes <= current_wal_pages * PAGE_SIZE) return std::nullopt;
  uint64_t need = (bytes + PAGE_SIZE - 1) / PAGE_SIZE;
  return std::max<uint64_t>(need + need / 2, 4) + 4;
}

}  // namespace ormel::wal
