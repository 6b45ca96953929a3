// change_passphrase: the data key, wrapped anew under a key derived from a new passphrase.
//
// The data key stays the same, so no page is re-encrypted: only the header's key material
// (kdf_salt, dek_nonce, wrapped_dek) is replaced, in a transaction of its own. A copy of
// the old key material lies wherever a header image was ever written: page 0, the frames
// of the log region's last transaction, stale frames of longer transactions beyond it, and
// log regions abandoned when the log moved. The change destroys every one of them.
//
// Invariants (each holds at every crash point):
//  1. Page 0 is written only by the checkpoint, after the new header is durable in the log.
//     Until then page 0 is the committed header and opens with the old passphrase; from
//     then on, both recovery paths (replay of the region's transaction, and the rebuild of
//     a torn page 0 from the newest transaction in the file) yield the new header.
//  2. The region's last transaction stays whole until the new transaction replaces it: it
//     is the copy that rebuilds a torn page 0 while page 0 names it. Every other header
//     copy has its key material zeroed, and that is durable before the log commit.
//  3. The new transaction fills exactly the bytes of the one it replaces (the new header
//     frame repeated as many times as that one had frames), so its commit record, written
//     last, completes it only together with the overwriting of every byte of the old one,
//     the old header frame included. A commit cut short leaves an incomplete transaction
//     and the old header at page 0.
//  4. The transaction changes the key material and txn_id only: the catalog, index, cache
//     directory and snapshot manifest stay as they were, so every snapshot stays
//     restorable; no snapshot is added.
//  5. The handle adopts the new header only after the checkpoint's sync; a failure leaves
//     it on the old one, as a failed flush does.
#include <algorithm>

#include "core/store_state.h"
#include "core/wal.h"

namespace ormel {
namespace {

constexpr uint64_t kScanChunk = uint64_t{1} << 20;

// File offsets of every header signature after page 0.
Result<std::vector<uint64_t>> find_header_copies(File& file) {
  ORMEL_ASSIGN(const uint64_t size, file.size());
  std::vector<uint64_t> copies;
  std::vector<uint8_t> chunk;
  // Consecutive chunks overlap by a signature's length less one byte, so a signature that
  // crosses a chunk boundary is seen whole once.
  for (uint64_t pos = PAGE_SIZE; pos < size; pos += kScanChunk) {
    chunk.resize(static_cast<size_t>(std::min(size - pos, kScanChunk + HEADER_SIGNATURE_LEN - 1)));
    ORMEL_TRY(read_exact(file, pos, chunk));
    for (size_t at : header_signatures(chunk)) {
      if (at < kScanChunk) copies.push_back(pos + at);
    }
  }
  return copies;
}

// Zeroes the key material of every header copy outside page 0 and the log region's last
// transaction, then syncs (invariant 2). Returns the number of frames of that transaction
// (0 when the region holds none).
Result<uint64_t> scrub_key_copies(File& file, const Header& h) {
  ORMEL_ASSIGN(auto live, wal::recover(file, h.wal_start, h.wal_pages, 0));
  const uint64_t live_begin = h.wal_start * PAGE_SIZE;
  uint64_t live_end = live_begin;
  if (live) {
    for (const wal::WalFrame& frame : *live) live_end += wal::COMMIT_RECORD + frame.image.size();
    live_end += wal::COMMIT_RECORD;
  }

  ORMEL_ASSIGN(const uint64_t size, file.size());
  ORMEL_ASSIGN(const std::vector<uint64_t> copies, find_header_copies(file));
  const std::vector<uint8_t> zeros(KEY_MATERIAL_LEN, 0);
  bool wrote = false;
  for (uint64_t copy : copies) {
    const uint64_t from = copy + KEY_MATERIAL_OFFSET;
    if (from >= size) continue;  // cut off by the end of the file before its key material
    const uint64_t to = std::min<uint64_t>(from + KEY_MATERIAL_LEN, size);
    if (from < live_end && to > live_begin) continue;
    ORMEL_TRY(file.write_at(from, std::span(zeros).first(static_cast<size_t>(to - from))));
    wrote = true;
  }
  if (wrote) ORMEL_TRY(file.sync());
  return live ? live->size() : 0;
}

}  // namespace

Status Ormel::change_passphrase(std::string_view new_passphrase) {
  StoreState& s = *s_;
  if (s.read_only) return fail(OrmelError::read_only());
  ORMEL_TRY(flush());
  Pager& pager = *s.pager;

  Header h = s.header;
  ORMEL_TRY(wrap_key(h, new_passphrase, pager.dek(), {h.kdf_m_cost, h.kdf_t_cost, h.kdf_p_cost}));
  h.txn_id += 1;
  ORMEL_ASSIGN(Page page, seal_header(h, pager.dek()));
  const wal::WalFrame frame{0, std::vector<uint8_t>(page.begin(), page.end())};

  ORMEL_ASSIGN(const uint64_t replaced_frames, scrub_key_copies(pager.file(), s.header));
  const std::vector<wal::WalFrame> frames(std::max<uint64_t>(replaced_frames, 1), frame);
  ORMEL_TRY(wal::commit(pager.file(), h.wal_start, h.wal_pages, h.txn_id, frames));
  ORMEL_TRY(wal::checkpoint(pager.file(), {frame}));
  s.header = h;
  return {};
}

}  // namespace ormel
