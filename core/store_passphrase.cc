// change_passphrase: the data key, wrapped anew under a key derived from a new passphrase.
//
// The data key stays the same, so no page is re-encrypted: the header's key material
// (kdf_salt, dek_nonce, wrapped_dek) is replaced in a transaction of its own, which, like
// every transaction, appends a snapshot (of the unchanged state; none is pruned). A copy of
// the old key material lies wherever a header image was ever written: page 0, the frames
// of the log region's last transaction, stale frames of longer transactions beyond it, and
// log regions abandoned when the log moved. The change destroys every one of them.
//
// Invariants (each holds at every crash point):
//  1. Before the new header is durable in the log, page 0 is written only with the old key
//     material (the reservation of invariant 3), so it opens with the old passphrase; once
//     the commit is durable, both recovery paths (replay of the region's transaction, and
//     the rebuild of a torn page 0 from the newest transaction in the file) yield the new
//     header.
//  2. The region's last transaction stays whole until the new transaction replaces it: it
//     is the copy that rebuilds a torn page 0 while page 0 names it. Every other header
//     copy has its key material zeroed, and that is durable before the log commit.
//  3. As in a flush, a reservation header covering the manifest run's page numbers and
//     nonce counters is durable before the run's images reach the log.
//  4. The new transaction is at least as long as the one it replaces (its header frame is
//     repeated at the end as needed), so its commit record, written last, completes it only
//     together with the overwriting of every byte of the old one, the old header frame
//     included. A commit cut short leaves an incomplete transaction; the header frames
//     follow the manifest frames, so a replay writes the run before the header naming it.
//  5. The transaction changes the key material, txn_id and the manifest only: the catalog,
//     index and cache directory stay as they were, and every snapshot stays restorable.
//  6. The handle adopts the new header and manifest only after the checkpoint's sync; a
//     failure leaves it on the old ones, keeping only the pages it allocated, as a failed
//     flush does.
//  7. A copy of the database that a killed compaction left beside it (<path>.compacting),
//     which opens with the old passphrase and holds the same data key, is removed, and
//     that removal is durable, before the new key material is written.
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
  ORMEL_TRY(outside_batch("change_passphrase"));
  ORMEL_TRY(flush());
  ORMEL_TRY(settle_checkpoint(s));  // the key scrub overwrites log regions
  ORMEL_TRY(remove_compaction_leftover(s));  // invariant 7
  Pager& pager = *s.pager;

  Header h = s.header;
  ORMEL_TRY(wrap_key(h, new_passphrase, pager.dek(), {h.kdf_m_cost, h.kdf_t_cost, h.kdf_p_cost}));
  h.txn_id += 1;
  std::vector<Snapshot> manifest = s.snapshot_manifest;
  manifest.push_back(Snapshot{h.txn_id, now_secs(), h.catalog_start, h.catalog_pages, h.catalog_len,
                              h.index_start, h.index_pages, h.index_len, h.memory_count});

  s.layout->prepare_snapshots(manifest);
  auto attempt = [&]() -> Status {
    std::vector<wal::WalFrame> frames;
    LoggedRuns sink(pager, h, frames);
    ORMEL_ASSIGN(const RunRef list, s.layout->write_snapshots(sink));
    std::tie(h.manifest_start, h.manifest_pages, h.manifest_len) = std::tuple(list.start, list.pages, list.len);
    // Never below what the durable header already covers (the pager's limit).
    h.nonce_counter = std::max(pager.nonce_counter(), pager.nonce_limit());
    ORMEL_ASSIGN(const uint64_t replaced_frames, scrub_key_copies(pager.file(), s.header));

    Header reservation = s.header;
    reservation.page_count = h.page_count;
    reservation.nonce_counter = h.nonce_counter;
    ORMEL_TRY(write_header_in_place(pager, reservation, s.disk_format_version));
    pager.set_nonce_limit(h.nonce_counter);

    ORMEL_ASSIGN(Page page, seal_header(h, pager.dek()));
    const wal::WalFrame header_frame{0, std::vector<uint8_t>(page.begin(), page.end())};
    const size_t run_frames = frames.size();
    frames.resize(std::max<uint64_t>(run_frames + 1, replaced_frames), header_frame);
    ORMEL_TRY(wal::commit(pager.file(), h.wal_start, h.wal_pages, h.txn_id, frames));
    frames.resize(run_frames + 1);
    return wal::checkpoint(pager.file(), frames);
  };
  if (Status done = attempt(); !done) {
    s.header.page_count = h.page_count;
    return done;
  }
  s.layout->commit();
  s.header = h;
  s.snapshot_manifest = std::move(manifest);
  return {};
}

}  // namespace ormel
