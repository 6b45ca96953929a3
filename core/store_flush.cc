// flush: everything staged becomes one atomic, durable transaction.
//
// Invariants of a flush (each holds at every crash point):
//  1. Nothing the committed header at offset 0 refers to is overwritten; headers written
//     in place before the commit keep the version on disk, so an upgrade that has not
//     committed leaves the file readable as its old version.
//  2. Every page of the transaction is sealed under a nonce counter that a durable header
//     already covers. A committed header reserves counters ahead of those used, so a flush
//     that fits in the reserve writes no header before its pages; a larger one first makes
//     a reservation header durable. Pages written by an attempt that never committed lie
//     beyond the committed page_count, and the next open never hands them out again.
//  3. Staged record pages and the new catalog, index, cache-directory and manifest runs
//     are written at their home pages, which no committed state refers to, and are durable
//     before the log commit that makes them reachable.
//  4. Only the new header goes through the log: a crash before the commit record is
//     durable leaves the previous state; after it, the next read-write open replays it.
//  5. The in-memory state switches to the new transaction only after the checkpoint's
//     write; a failure leaves every staged change in place for a retry, and the in-memory
//     header keeps naming the last committed runs (only its page_count and log region
//     advance, since pages and a moved region may already be on disk).
//  6. The checkpoint is not synced by its flush: until the next commit overwrites the log,
//     the log keeps the transaction for recovery, and the next flush syncs its pages (and
//     with them page 0) before it commits. Anything else that writes a log region settles
//     the checkpoint first, and so does dropping the handle.
#include <span>
#include <vector>

#include "core/crypto.h"
#include "core/store_state.h"
#include "core/wal.h"

namespace ormel {
namespace {

// Largest write issued when flushing consecutive staged pages.
constexpr size_t kMaxWriteBytes = 1 << 20;
// Counters a committed header reserves beyond those its transaction used: enough for a
// next flush of the same size, so an agent's small flushes write no reservation header.
uint64_t nonce_reserve(uint64_t sealed) { return 2 * sealed + 1024; }

// What a flush writes besides staged pages: the structures that changed, prepared by the
// layout (which holds their bytes), and the index run.
struct FlushPrelude {
  uint64_t structure_pages = 0;
  std::optional<std::vector<uint8_t>> index;
};

FlushPrelude prepare_for_flush(StoreState& s) {
  FlushPrelude p;
  if (s.catalog_dirty) p.structure_pages += s.layout->prepare_catalog(s.catalog);
  if (s.index_dirty && s.index) p.index = encode_index(*s.index);
  if (s.cache_dirty) p.structure_pages += s.layout->prepare_cache_directory(s.cache_directory);
  return p;
}

// An upper bound of the pages a flush's runs take; the snapshot list is prepared only once
// the catalog's run is known, so its bound stands in for it.
uint64_t estimate_pages(const StoreState& s, const FlushPrelude& p, uint64_t snapshots) {
  uint64_t t = p.structure_pages + s.layout->snapshot_pages_bound(snapshots + 1);
  if (p.index) t += run_pages(p.index->size());
  return t;
}

// Seals and writes every dirty cache page at its home position, in ascending page order,
// sealing straight into writes of consecutive pages; the caller syncs and marks the cache
// clean.
Status write_staged_pages(Pager& pager) {
  const std::vector<uint64_t> dirty = pager.cache().dirty_pages();
  std::vector<uint8_t> buffer;
  buffer.reserve(std::min(dirty.size() * PAGE_SIZE, kMaxWriteBytes + PAGE_SIZE));
  uint64_t buffer_start = 0;
  auto drain = [&]() -> Status {
    if (buffer.empty()) return {};
    ORMEL_TRY(pager.file().write_at(buffer_start * PAGE_SIZE, buffer));
    buffer.clear();
    return {};
  };
  std::vector<uint8_t> payload(PAGE_PAYLOAD);
  for (uint64_t page : dirty) {
    if (!pager.cache().copy_payload(page, payload)) {
      return fail(OrmelError::io("internal error: staged page " + std::to_string(page) + " is missing"));
    }
    if (!buffer.empty() && (page != buffer_start + buffer.size() / PAGE_SIZE || buffer.size() >= kMaxWriteBytes)) {
      ORMEL_TRY(drain());
    }
    if (buffer.empty()) buffer_start = page;
    buffer.resize(buffer.size() + PAGE_SIZE);
    ORMEL_TRY(pager.seal_page(page, std::span<const uint8_t, PAGE_PAYLOAD>(payload.data(), PAGE_PAYLOAD),
                              std::span<uint8_t, PAGE_SIZE>(buffer.data() + buffer.size() - PAGE_SIZE, PAGE_SIZE)));
  }
  return drain();
}

// Allocates a run for `len` bytes at the header's page_count and names it in the three
// header fields; returns its start page.
uint64_t claim_run(Header& h, uint64_t len, uint64_t& start_field, uint64_t& pages_field, uint64_t& len_field) {
  start_field = h.page_count;
  pages_field = run_pages(len);
  len_field = len;
  h.page_count += pages_field;
  return start_field;
}

// The runs of one flush, which lie in consecutive pages from the first one's start, sealed
// into one buffer that the store keeps from flush to flush: a multi-megabyte catalog run
// then costs no fresh allocation, zero-fill and page faults each time. No run's plaintext
// is cached: the in-memory state is authoritative, and a reader of an old run (restore,
// history, compaction) decrypts it from the file.
class RunImages final : public RunSink {
 public:
  RunImages(Header& h, std::vector<uint8_t>& buffer, uint64_t estimated_pages)
      : h_(h), buffer_(buffer), first_(h.page_count) {
    if (buffer_.size() < estimated_pages * PAGE_SIZE) buffer_.resize(estimated_pages * PAGE_SIZE);
  }

  RunImages(Header& h, std::vector<uint8_t>& buffer, uint64_t estimated_pages, Pager& pager)
      : RunImages(h, buffer, estimated_pages) {
    pager_ = &pager;
  }

  Result<RunRef> put(std::span<const uint8_t> blob) override {
    RunRef run;
    ORMEL_TRY(add(*pager_, blob, run.start, run.pages, run.len));
    return run;
  }

  Status add(Pager& pager, std::span<const uint8_t> blob, uint64_t& start_field, uint64_t& pages_field,
             uint64_t& len_field) {
    const uint64_t start = claim_run(h_, blob.size(), start_field, pages_field, len_field);
    const size_t at = used_;
    used_ += pages_field * PAGE_SIZE;
    if (buffer_.size() < used_) buffer_.resize(used_);
    return pager.seal_run(start, blob, std::span(buffer_).subspan(at, used_ - at));
  }

  // Writes the runs at home and syncs once.
  Status checkpoint(File& f) const {
    return wal::checkpoint_run(f, first_, std::span(buffer_).first(used_));
  }

 private:
  Header& h_;
  std::vector<uint8_t>& buffer_;
  uint64_t first_;
  size_t used_ = 0;
  Pager* pager_ = nullptr;
};

void set_run(const RunRef& run, uint64_t& start_field, uint64_t& pages_field, uint64_t& len_field) {
  std::tie(start_field, pages_field, len_field) = std::tuple(run.start, run.pages, run.len);
}

}  // namespace

// Writes `h` at offset 0 under the version on disk: until an upgrade commits, the file
// must stay readable as its old version (its catalog layout and page rule).
Status write_header_in_place(Pager& pager, Header h, uint16_t disk_version) {
  h.format_version = disk_version;
  ORMEL_ASSIGN(Page page, seal_header(h, pager.dek()));
  ORMEL_TRY(pager.write_raw(page));
  return pager.file().sync();
}

Status settle_checkpoint(StoreState& s) {
  if (!s.checkpoint_unsynced) return {};
  ORMEL_TRY(s.pager->file().sync());
  s.checkpoint_unsynced = false;
  return {};
}

Result<RunRef> LoggedRuns::put(std::span<const uint8_t> blob) {
  RunRef run;
  claim_run(h_, blob.size(), run.start, run.pages, run.len);
  wal::WalFrame frame{run.start, std::vector<uint8_t>(run.pages * PAGE_SIZE)};
  ORMEL_TRY(pager_.seal_run(run.start, blob, frame.image));
  frames_.push_back(std::move(frame));
  return run;
}

Status Ormel::flush() {
  StoreState& s = *s_;
  if (s.read_only) return fail(OrmelError::read_only());
  if (s.batch.depth > 0) return {};  // an open batch commits once, at its end
  if (!s.catalog_dirty && !s.index_dirty && !s.cache_dirty) return {};
  ORMEL_TRY(settle_compaction(s));
  Pager& pager = *s.pager;

  FlushPrelude prelude = prepare_for_flush(s);
  const uint64_t estimate = estimate_pages(s, prelude, s.snapshot_manifest.size());

  // The transaction works on a copy of the header; see invariant 5.
  Header h = s.header;
  auto keep_allocations = [&] {
    s.header.page_count = h.page_count;
    s.header.wal_start = h.wal_start;
    s.header.wal_pages = h.wal_pages;
  };
  auto attempt = [&]() -> Status {
    if (auto grown = wal::grown_region_pages(0, h.wal_pages)) {
      h.wal_start = h.page_count;
      h.wal_pages = *grown;
      h.page_count += *grown;
      h.nonce_counter = pager.nonce_limit();
      ORMEL_TRY(write_header_in_place(pager, h, s.disk_format_version));
    }

    const uint64_t first_counter = pager.nonce_counter();
    const uint64_t needed = first_counter + pager.cache().dirty_count() + estimate;
    if (needed > pager.nonce_limit()) {
      Header reservation = h;
      reservation.nonce_counter = needed;
      reservation.page_count = h.page_count + estimate;
      ORMEL_TRY(write_header_in_place(pager, reservation, s.disk_format_version));
      pager.set_nonce_limit(needed);
    }

    const uint64_t runs_first = h.page_count;
    RunImages runs(h, s.run_images, estimate, pager);
    if (s.catalog_dirty) {
      ORMEL_ASSIGN(const RunRef catalog, s.layout->write_catalog(runs));
      set_run(catalog, h.catalog_start, h.catalog_pages, h.catalog_len);
    }
    if (s.index_dirty) {
      h.index_start = h.index_pages = h.index_len = 0;
      if (prelude.index) ORMEL_TRY(runs.add(pager, *prelude.index, h.index_start, h.index_pages, h.index_len));
    }
    if (s.cache_dirty) {
      ORMEL_ASSIGN(const RunRef directory, s.layout->write_cache_directory(runs));
      set_run(directory, h.cache_dir_start, h.cache_dir_pages, h.cache_dir_len);
    }

    // A layout may have counted the live rows of what it prepared; otherwise they are counted.
    const std::optional<uint64_t> counted = s.catalog_dirty ? s.layout->prepared_live_rows() : std::nullopt;
    const uint64_t live = counted ? *counted : live_count();
    const uint64_t txn = s.header.txn_id + 1;

    std::vector<Snapshot> manifest = s.snapshot_manifest;
    const uint64_t cap = s.config.max_snapshots;
    if (cap != 0 && manifest.size() >= cap) manifest.erase(manifest.begin(), manifest.end() - (cap - 1));
    manifest.push_back(Snapshot{txn, now_secs(), h.catalog_start, h.catalog_pages, h.catalog_len, h.index_start,
                                h.index_pages, h.index_len, live});
    s.layout->prepare_snapshots(manifest);
    ORMEL_ASSIGN(const RunRef list, s.layout->write_snapshots(runs));
    set_run(list, h.manifest_start, h.manifest_pages, h.manifest_len);
    if (h.page_count - runs_first > estimate) {
      return fail(OrmelError::io("internal error: the flush's runs outgrew their estimate"));
    }

    // Invariant 2: the staged pages are sealed below, so count them in.
    if (pager.nonce_counter() + pager.cache().dirty_count() > pager.nonce_limit()) {
      return fail(OrmelError::io("internal error: the flush sealed more pages than it reserved"));
    }
    ORMEL_TRY(write_staged_pages(pager));
    ORMEL_TRY(runs.checkpoint(pager.file()));  // the runs at home, and one sync for all
    s.checkpoint_unsynced = false;
    pager.cache().mark_all_clean();

    h.memory_count = live;
    h.nonce_counter = pager.nonce_counter() + nonce_reserve(pager.nonce_counter() - first_counter);
    h.txn_id = txn;
    ORMEL_ASSIGN(Page header_page, seal_header(h, pager.dek()));
    const std::vector<wal::WalFrame> log{{0, std::vector<uint8_t>(header_page.begin(), header_page.end())}};
    ORMEL_TRY(wal::commit(pager.file(), h.wal_start, h.wal_pages, txn, log));
    // Invariant 6: the log covers this header, and its nonce reserve, until it is synced.
    ORMEL_TRY(pager.write_raw(header_page));
    s.checkpoint_unsynced = true;
    pager.set_nonce_limit(h.nonce_counter);

    s.snapshot_manifest = std::move(manifest);
    return {};
  };

  Status result = attempt();
  if (!result) {
    keep_allocations();
    return result;
  }
  s.layout->commit();
  s.header = h;
  s.disk_format_version = h.format_version;
  s.catalog_dirty = s.index_dirty = s.cache_dirty = false;
  compact_if_due(s);
  return {};
}

}  // namespace ormel
