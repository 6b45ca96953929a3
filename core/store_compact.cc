// compact: the database rewritten into a fresh file that holds only what is still
// reachable, put in place of the old one; space: what that would give back; and the
// automatic compaction that runs at the end of a flush.
//
// The new file is laid out as: header page, an empty log region as large as the old one,
// then, for each kept snapshot in manifest order and last for the current state, the
// record runs its catalog's live rows name that are not yet copied, its rewritten catalog
// run and its index run (runs shared between snapshots are written once), then the live
// result-cache entries, the cache directory and the manifest. A dry run walks the same
// steps without reading records or writing, so space() predicts the new size exactly.
//
// Invariants of a compaction (each holds at every crash point):
//  1. The path always names a complete database: the old file until the rename, the new
//     one after it. The new file is complete and durable before it is renamed into place.
//  2. No (page, nonce counter) pair is ever used twice under the data key: before the new
//     file uses a counter value, a header written in place in the old file reserves it,
//     so the old file, if it stays, never hands it out again; the new file continues from
//     the old file's counter.
//  3. No other handle can open the path at any moment: the new file is locked before it
//     is renamed into place, and the old file's lock is released only after.
//  4. Nothing is committed to the new file until its directory entry is durable, so a
//     power loss cannot bring the old file back with later commits missing from it.
//  5. The new file's log region holds one complete transaction, the header itself, so a
//     torn header write at a later flush can be recovered from it as from any commit.
//  6. A compaction stopped by its progress callback is one that failed before the rename:
//     every report, the last included, comes before it.
//  7. The committed state survives exactly: txn_id, every kept snapshot's txn_id,
//     created_at and memory_count, every live catalog row (only its run position changes),
//     every deleted row's id and counters, the index bytes, the live result-cache rows and
//     their entries. Dropped are pages nothing reachable names, tombstoned cache rows, the
//     records of deleted rows (their runs become empty: a record is kept only while some
//     kept catalog holds it live) and, without history, deleted catalog rows.
//  8. The path is replaced only while it names the file this handle has locked: a file
//     renamed over it since is someone else's database and stays as it is. The new file
//     is created afresh at <path>.compacting (a leftover entry there, a symbolic link
//     included, is removed first, never followed) and gets the old file's permission bits,
//     owner and group (as far as the process may set them) before anything is written.
//  9. A retained snapshot that reaches a damaged page cannot be restored as it was; when
//     copying fails on such a page, the compaction starts again without those snapshots
//     (it still fails when the current state reaches one). Only then is every record
//     read twice; space(), which reads no record, does not foresee the snapshots dropped.
#include <algorithm>
#include <array>
#include <map>
#include <tuple>
#include <utility>

#include "core/crypto.h"
#include "core/store_state.h"
#include "core/wal.h"

namespace ormel {
namespace {

constexpr std::string_view kTempSuffix = ".compacting";
// Largest write issued while appending pages to the new file.
constexpr size_t kMaxWriteBytes = 1 << 20;

// An Io error about a file names its path; the other kinds say what they concern already.
template <class T>
std::expected<T, OrmelError> naming(const std::string& path, std::expected<T, OrmelError> done) {
  if (!done && done.error().kind() == ErrorKind::Io) return fail(OrmelError::io(path + ": " + done.error().text()));
  return done;
}

// Everything the new file commits, for the handle to switch to it.
struct Compacted {
  Header header;
  std::vector<CatalogEntry> catalog;
  std::vector<Snapshot> manifest;
  std::vector<CacheDirectoryEntry> cache_directory;
  std::unique_ptr<Layout> layout;  // its version's layout, holding what it wrote as committed
};

// The new file's page sink: pages are appended in order, sealed under the data key with
// counters reserved in the old file first (invariant 2). Without a pager it only counts.
// Each page appended advances the meter.
class PageSink {
 public:
  PageSink(uint64_t first_page, Pager* out, StoreState* old, ProgressMeter* meter = nullptr)
      : next_(first_page), out_(out), old_(old), meter_(meter) {}

  uint64_t next_page() const { return next_; }
  bool writing() const { return out_ != nullptr; }

  // Allocates `pages` pages without writing them (dry run).
  uint64_t skip(uint64_t pages) {
    const uint64_t start = next_;
    next_ += pages;
    return start;
  }

  Status append(std::span<const uint8_t, PAGE_PAYLOAD> payload) {
    ORMEL_TRY(reserve_counter());
    if (buffer_.empty()) buffer_start_ = next_;
    ORMEL_ASSIGN(Page image, out_->encrypt_page(next_, payload));
    buffer_.insert(buffer_.end(), image.begin(), image.end());
    ++next_;
    if (buffer_.size() >= kMaxWriteBytes) ORMEL_TRY(drain());
    return meter_ != nullptr ? meter_->advance() : Status{};
  }

  Status drain() {
    if (buffer_.empty()) return {};
    ORMEL_TRY(out_->file().write_at(buffer_start_ * PAGE_SIZE, buffer_));
    buffer_.clear();
    return {};
  }

 private:
  // The old file's header reserves counters in steps as large as the old file, so a
  // compaction usually writes one reservation. The old pager skips past every counter the
  // reservation covers, so the old file never seals with one the new file may have used.
  Status reserve_counter() {
    Pager& old = *old_->pager;
    if (out_->nonce_counter() < old.nonce_counter()) return {};
    Header h = old_->header;
    h.nonce_counter = std::max(old.nonce_counter() + std::max<uint64_t>(old_->header.page_count, 1024),
                               old.nonce_limit());
    ORMEL_TRY(write_header_in_place(old, h, old_->disk_format_version));
    old.set_nonce_counter(h.nonce_counter);
    old.set_nonce_limit(h.nonce_counter);
    return {};
  }

  uint64_t next_;
  Pager* out_;
  StoreState* old_;
  ProgressMeter* meter_;
  std::vector<uint8_t> buffer_;
  uint64_t buffer_start_ = 0;
};

// Walks the committed state of the old file and lays it out in a PageSink.
class Rewriter {
 public:
  Rewriter(StoreState& s, PageSink& sink, uint16_t version) : s_(s), sink_(sink), version_(version) {}

  // Lays out the `kept` snapshots and the current state; `drop_deleted` drops deleted
  // catalog rows altogether (only when the current state is the one snapshot kept).
  Result<Compacted> run(const std::vector<Snapshot>& kept, bool drop_deleted) {
    const Header& h = s_.header;
    Compacted out;
    out.layout = make_layout(version_);
    Layout& layout = *out.layout;
    for (const Snapshot& snap : kept) {
      ORMEL_ASSIGN(RunRef catalog, rewrite_catalog(layout, catalog_run(snap), drop_deleted, nullptr));
      ORMEL_ASSIGN(RunRef index, copy_shared({snap.index_start, snap.index_pages, snap.index_len}));
      Snapshot moved = snap;
      std::tie(moved.catalog_start, moved.catalog_pages, moved.catalog_len) =
          std::tuple(catalog.start, catalog.pages, catalog.len);
      std::tie(moved.index_start, moved.index_pages, moved.index_len) = std::tuple(index.start, index.pages, index.len);
      out.manifest.push_back(moved);
    }
    ORMEL_ASSIGN(RunRef catalog, rewrite_catalog(layout, catalog_run(h), drop_deleted, &out.catalog));
    ORMEL_ASSIGN(RunRef index, copy_shared({h.index_start, h.index_pages, h.index_len}));

    for (const CacheDirectoryEntry& row : s_.cache_directory) {
      if (row.deleted) continue;
      CacheDirectoryEntry moved = row;
      ORMEL_ASSIGN(moved.start_page, copy_run(row.start_page, row.page_count));
      out.cache_directory.push_back(std::move(moved));
    }
    BlobSink blobs(*this);
    layout.prepare_cache_directory(out.cache_directory);
    ORMEL_ASSIGN(const RunRef cache_dir, layout.write_cache_directory(blobs));
    RunRef manifest;
    if (!out.manifest.empty()) {
      layout.prepare_snapshots(out.manifest);
      ORMEL_ASSIGN(manifest, layout.write_snapshots(blobs));
    }
    layout.commit();
    ORMEL_TRY(close_heap());

    Header& nh = out.header;
    nh = h;
    nh.format_version = version_;
    nh.wal_start = 1;
    std::tie(nh.catalog_start, nh.catalog_pages, nh.catalog_len) = std::tuple(catalog.start, catalog.pages, catalog.len);
    std::tie(nh.index_start, nh.index_pages, nh.index_len) = std::tuple(index.start, index.pages, index.len);
    std::tie(nh.cache_dir_start, nh.cache_dir_pages, nh.cache_dir_len) =
        std::tuple(cache_dir.start, cache_dir.pages, cache_dir.len);
    std::tie(nh.manifest_start, nh.manifest_pages, nh.manifest_len) =
        std::tuple(manifest.start, manifest.pages, manifest.len);
    nh.page_count = sink_.next_page();
    return out;
  }

 private:
  // A catalog run rewritten once per distinct old run (when `rows` asks for the rows too,
  // it is decoded again), with every record its live rows name copied and those rows
  // pointing at the copies. A deleted row keeps its id and counters and names no record
  // (invariant 7); with `drop_deleted` it goes.
  // The new file's runs, put where the sink is.
  class BlobSink final : public RunSink {
   public:
    explicit BlobSink(Rewriter& r) : r_(r) {}
    Result<RunRef> put(std::span<const uint8_t> blob) override { return r_.write_blob(blob); }

   private:
    Rewriter& r_;
  };

  // In the new file's layout, each catalog is compared with the one written before it, so
  // snapshots that share rows share the runs holding them.
  Result<RunRef> rewrite_catalog(Layout& layout, RunRef old, bool drop_deleted, std::vector<CatalogEntry>* rows) {
    if (old.pages == 0) return RunRef{};
    auto done = catalogs_.find(old);
    if (done != catalogs_.end() && rows == nullptr) return done->second;
    ORMEL_ASSIGN(auto catalog, s_.layout->read_catalog(*s_.pager, old));
    if (drop_deleted) std::erase_if(catalog, [](const CatalogEntry& row) { return row.deleted; });
    for (CatalogEntry& row : catalog) {
      if (row.deleted) std::tie(row.start_page, row.page_count, row.len) = std::tuple(0, 0, 0);
      if (row.page_count == 0) continue;  // an empty record names no page
      ORMEL_TRY(copy_record(row));
    }
    if (done == catalogs_.end()) {
      BlobSink blobs(*this);
      layout.prepare_catalog(catalog);
      ORMEL_ASSIGN(RunRef fresh, layout.write_catalog(blobs));
      layout.commit();
      done = catalogs_.emplace(old, fresh).first;
    }
    if (rows != nullptr) *rows = std::move(catalog);
    return done->second;
  }

  // A run copied page for page, once per distinct old run.
  Result<RunRef> copy_shared(RunRef old) {
    if (old.pages == 0) return RunRef{};
    auto done = shared_.find(old);
    if (done != shared_.end()) return done->second;
    ORMEL_ASSIGN(uint64_t start, copy_run(old.start, old.pages));
    return shared_.emplace(old, RunRef{start, old.pages, old.len}).first->second;
  }

  // Points the row at its record in the new file, copied once however many catalogs name
  // it: page for page where each record has a run of its own, else packed after the record
  // packed before it.
  Status copy_record(CatalogEntry& row) {
    if (!packs_records(version_)) {
      ORMEL_ASSIGN(row.start_page, copy_run(row.start_page, row.page_count));
      return {};
    }
    const std::pair key(row.start_page, uint64_t{row.page_count});
    auto done = packed_.find(key);
    if (done == packed_.end()) {
      ORMEL_ASSIGN(const uint64_t address, pack_record(row));
      done = packed_.emplace(key, address).first;
    }
    row.start_page = done->second;
    row.page_count = record_row_pages(version_, row.start_page, row.len);
    return {};
  }

  // Appends the row's record to the page being packed (a dry run counts its length alone);
  // a full page goes to the sink. Returns the record's address.
  Result<uint64_t> pack_record(const CatalogEntry& row) {
    std::vector<uint8_t> bytes;
    if (sink_.writing()) {
      ORMEL_ASSIGN(bytes, read_record(*s_.pager, row));
      if (bytes.size() != row.len) {
        return fail(OrmelError::serialization("the record of memory " + ulid_to_text(row.id) + " holds " +
                                              std::to_string(bytes.size()) + " of its " +
                                              std::to_string(row.len) + " bytes"));
      }
    }
    const uint64_t address = record_address(version_, sink_.next_page(), heap_used_);
    for (uint64_t from = 0, left = row.len; left > 0;) {
      const uint64_t take = std::min<uint64_t>(left, PAGE_PAYLOAD - heap_used_);
      if (sink_.writing()) std::copy_n(bytes.begin() + static_cast<ptrdiff_t>(from), take, heap_.begin() + heap_used_);
      heap_used_ += take;
      from += take;
      left -= take;
      if (heap_used_ == PAGE_PAYLOAD) ORMEL_TRY(close_heap());
    }
    return address;
  }

  // Appends the page records are being packed into, if any: the sink's next page is the
  // packed page's number until then, so anything else appended closes it first.
  Status close_heap() {
    if (heap_used_ == 0) return {};
    if (sink_.writing()) {
      std::fill(heap_.begin() + heap_used_, heap_.end(), uint8_t{0});
      ORMEL_TRY(sink_.append(heap_));
    } else {
      sink_.skip(1);
    }
    heap_used_ = 0;
    return {};
  }

  // Copies the pages of a record or cache-entry run once; returns the new start page.
  Result<uint64_t> copy_run(uint64_t start, uint64_t pages) {
    auto done = records_.find({start, pages});
    if (done != records_.end()) return done->second;
    ORMEL_TRY(close_heap());
    const uint64_t fresh = sink_.next_page();
    if (!sink_.writing()) {
      sink_.skip(pages);
    } else {
      for (uint64_t i = 0; i < pages; ++i) {
        ORMEL_ASSIGN(auto payload, s_.pager->read_page(start + i));
        ORMEL_TRY(sink_.append(std::span<const uint8_t, PAGE_PAYLOAD>(payload.data(), PAGE_PAYLOAD)));
      }
    }
    records_.emplace(std::pair(start, pages), fresh);
    return fresh;
  }

  Result<RunRef> write_blob(std::span<const uint8_t> blob) {
    ORMEL_TRY(close_heap());
    const uint64_t pages = run_pages(blob.size());
    if (!sink_.writing()) return RunRef{sink_.skip(pages), pages, blob.size()};
    const uint64_t start = sink_.next_page();
    for (uint64_t i = 0; i < pages; ++i) {
      std::array<uint8_t, PAGE_PAYLOAD> payload{};
      const size_t from = static_cast<size_t>(i * PAGE_PAYLOAD);
      const size_t to = std::min(blob.size(), from + PAGE_PAYLOAD);
      std::copy(blob.begin() + from, blob.begin() + to, payload.begin());
      ORMEL_TRY(sink_.append(payload));
    }
    return RunRef{start, pages, blob.size()};
  }

  StoreState& s_;
  PageSink& sink_;
  uint16_t version_;
  std::map<RunRef, RunRef> catalogs_;
  std::map<RunRef, RunRef> shared_;
  std::map<std::pair<uint64_t, uint64_t>, uint64_t> records_;
  // Packed records: the new address of each old (start_page, page_count), and the page
  // being filled (its first heap_used_ bytes).
  std::map<std::pair<uint64_t, uint64_t>, uint64_t> packed_;
  std::array<uint8_t, PAGE_PAYLOAD> heap_{};
  uint64_t heap_used_ = 0;
};

uint64_t first_free_page(const StoreState& s) { return 1 + s.header.wal_pages; }

// A compaction writes the file's own version (an older one is upgraded to 8).
uint16_t own_version(const StoreState& s) { return std::max(s.header.format_version, FORMAT_VERSION); }

// A compaction may convert a file to the paged version, never back.
Status check_conversion(const StoreState& s, uint16_t target) {
  if (target != FORMAT_VERSION && target != PAGED_FORMAT_VERSION) {
    return fail(OrmelError::invalid_argument("format_version must be 8 or 9"));
  }
  if (target < s.header.format_version) {
    return fail(OrmelError::invalid_argument("compaction cannot convert a version " +
                                             std::to_string(s.header.format_version) + " file to version " +
                                             std::to_string(target)));
  }
  return {};
}

// The current state as a snapshot: the manifest's entry for the header's transaction (for
// its commit time), or one made now; none before the first transaction.
std::optional<Snapshot> current_snapshot(const StoreState& s) {
  const Header& h = s.header;
  for (const Snapshot& snap : s.snapshot_manifest) {
    if (snap.txn_id == h.txn_id) return snap;
  }
  if (h.txn_id == 0) return std::nullopt;
  return Snapshot{h.txn_id, now_secs(), h.catalog_start, h.catalog_pages, h.catalog_len, h.index_start,
                  h.index_pages, h.index_len, h.memory_count};
}

// The snapshots a compaction keeps: every retained one, or the current state alone.
std::vector<Snapshot> kept_snapshots(const StoreState& s, bool keep_history) {
  if (keep_history) return s.snapshot_manifest;
  std::optional<Snapshot> current = current_snapshot(s);
  return current ? std::vector<Snapshot>{*current} : std::vector<Snapshot>{};
}

// The size of a compacted file: up to its last run, or, with no run at all, up to the end
// of the log region's one transaction.
uint64_t file_bytes_of(const Header& compacted) {
  if (compacted.page_count > 1 + compacted.wal_pages) return compacted.page_count * PAGE_SIZE;
  return PAGE_SIZE + wal::FRAME_RECORD + wal::COMMIT_RECORD;
}

// The header a compaction would give the new file, found without reading records or writing.
Result<Header> planned_header(StoreState& s, const std::vector<Snapshot>& kept, bool drop_deleted,
                              uint16_t version) {
  PageSink sink(first_free_page(s), nullptr, nullptr);
  ORMEL_ASSIGN(Compacted layout, Rewriter(s, sink, version).run(kept, drop_deleted));
  return layout.header;
}

Result<uint64_t> compacted_bytes(StoreState& s, bool keep_history) {
  ORMEL_ASSIGN(const Header planned,
               planned_header(s, kept_snapshots(s, keep_history), !keep_history, own_version(s)));
  return file_bytes_of(planned);
}

// Writes the whole new file through `out` and makes it durable, advancing `meter` a page
// at a time.
Result<Compacted> write_new_file(StoreState& s, Pager& out, const std::vector<Snapshot>& kept, bool drop_deleted,
                                 uint16_t version,
                              ProgressMeter& meter) {
  PageSink sink(first_free_page(s), &out, &s, &meter);
  ORMEL_ASSIGN(Compacted layout, Rewriter(s, sink, version).run(kept, drop_deleted));
  ORMEL_TRY(sink.drain());
  layout.header.nonce_counter = out.nonce_counter();
  ORMEL_ASSIGN(Page header_page, seal_header(layout.header, out.dek()));
  const std::vector<wal::WalFrame> frames{{0, std::vector<uint8_t>(header_page.begin(), header_page.end())}};
  ORMEL_TRY(wal::commit(out.file(), layout.header.wal_start, layout.header.wal_pages, layout.header.txn_id, frames));
  ORMEL_TRY(out.write_raw(header_page));
  ORMEL_TRY(out.file().sync());
  return layout;
}

// The handle's state after the switch is what opening the new file would give.
void switch_to(StoreState& s, std::unique_ptr<Pager> pager, Compacted layout) {
  pager->cache().set_capacity(s.pager->cache().capacity());
  s.pager = std::move(pager);  // closes the old file, releasing its lock
  s.checkpoint_unsynced = false;  // the new file's header is synced
  s.header = layout.header;
  s.disk_format_version = layout.header.format_version;
  s.layout = std::move(layout.layout);
  s.catalog = std::move(layout.catalog);
  s.id_index = build_id_index(s.catalog);
  s.snapshot_manifest = std::move(layout.manifest);
  s.cache_directory = std::move(layout.cache_directory);
  s.cache_index = DirectoryIndex::build(s.cache_directory);
  s.semantic_groups = SemanticGroups{};
  s.summaries.reset(s.dimensions);
  s.keywords.index.reset();  // every record moved: rebuilt by the next keyword query
}

// Whether the path, links followed, still names the file this handle has locked; a path
// that names nothing does not.
Result<bool> path_is_ours(StoreState& s) {
  ORMEL_ASSIGN(const FileInfo ours, s.pager->file().info());
  auto named = s.env->info(s.path);
  return named && named->same_file(ours);
}

// Invariant 8.
Status check_path_is_ours(StoreState& s) {
  ORMEL_ASSIGN(const bool ours, path_is_ours(s));
  if (ours) return {};
  return fail(OrmelError::io(s.path +
                             ": the path no longer names the file this handle opened (it was replaced, moved or "
                             "removed since); compaction refused, the path is left as it is"));
}

// The new file, created afresh beside the database with the database's access (invariant 8).
Result<std::unique_ptr<File>> create_new_file(StoreState& s, const std::string& temp) {
  ORMEL_TRY(naming(temp, s.env->discard(temp)));
  ORMEL_ASSIGN(auto file, naming(temp, s.env->open_locked(temp, {.write = true, .create = true, .exclusive = true})));
  ORMEL_ASSIGN(const FileInfo original, s.pager->file().info());
  if (Status copied = naming(temp, file->copy_access(original)); !copied) {
    file.reset();
    (void)s.env->remove(temp);
    return fail(copied.error());
  }
  return file;
}

// One compaction keeping `kept` (see Rewriter::run); returns the bytes given back.
Result<uint64_t> compact_keeping(StoreState& s, const std::vector<Snapshot>& kept, bool drop_deleted,
                                 const Progress& progress, uint16_t version) {
  ORMEL_ASSIGN(const uint64_t old_bytes, s.pager->file().size());
  // The pages to write are counted first only when someone listens: it reads every catalog.
  uint64_t pages = 0;
  if (progress.report) {
    ORMEL_ASSIGN(const Header planned, planned_header(s, kept, drop_deleted, version));
    pages = planned.page_count - first_free_page(s);
  }
  ORMEL_ASSIGN(ProgressMeter meter, ProgressMeter::start(progress, pages));
  // A path that is a symbolic link keeps being one: the new file replaces its target.
  ORMEL_ASSIGN(const std::string target, naming(s.path, s.env->resolve(s.path)));
  const std::string temp = target + std::string(kTempSuffix);
  ORMEL_ASSIGN(auto file, create_new_file(s, temp));
  auto out = std::make_unique<Pager>(std::move(file), SecretKey(s.pager->dek().span()), s.pager->nonce_counter(),
                                     version);
  auto written = write_new_file(s, *out, kept, drop_deleted, version, meter);
  Status ready = written ? meter.finish() : Status(fail(written.error()));  // invariant 6
  if (ready) ready = check_path_is_ours(s);
  Status renamed = ready ? naming(temp, s.env->rename(temp, target)) : ready;
  if (!renamed) {
    out.reset();
    (void)s.env->remove(temp);  // else a leftover stays beside the database
    return fail(renamed.error());
  }
  // Past the rename nothing may fail before the handle holds the new file (invariant 3).
  const uint64_t new_bytes = file_bytes_of(written->header);
  switch_to(s, std::move(out), std::move(*written));
  s.unsynced_rename = target;
  ORMEL_TRY(naming(target, settle_compaction(s)));
  return old_bytes > new_bytes ? old_bytes - new_bytes : 0;
}

// Reads everything a snapshot reaches (its catalog, its index, the records of its live
// rows), each record once over all the snapshots checked.
class ReachCheck {
 public:
  explicit ReachCheck(StoreState& s) : s_(s) {}

  bool intact(const Snapshot& snap) {
    Pager& pager = *s_.pager;
    auto catalog = s_.layout->read_catalog(pager, catalog_run(snap));
    if (!catalog) return false;
    if (snap.index_pages != 0 && !read_run_bytes(pager, snap.index_start, snap.index_pages, snap.index_len)) {
      return false;
    }
    return std::ranges::all_of(*catalog, [&](const CatalogEntry& row) { return row.deleted || readable(row); });
  }

 private:
  bool readable(const CatalogEntry& row) {
    auto [known, fresh] = records_.try_emplace(row.start_page, true);
    if (fresh) {
      const RecordPlace at = record_place(s_.header.format_version, row);
      for (uint64_t i = 0; i < at.pages && known->second; ++i) {
        known->second = s_.pager->read_page(at.page + i).has_value();
      }
    }
    return known->second;
  }

  StoreState& s_;
  std::map<uint64_t, bool> records_;  // by the row's start_page, unique per record
};

// Invariant 9: the retained snapshots that reach no damaged page, or nullopt when the
// current state reaches one (no compaction can keep it).
std::optional<std::vector<Snapshot>> intact_snapshots(StoreState& s) {
  ReachCheck check(s);
  std::optional<Snapshot> current = current_snapshot(s);
  if (current && !check.intact(*current)) return std::nullopt;
  std::vector<Snapshot> intact;
  for (const Snapshot& snap : s.snapshot_manifest) {
    if (check.intact(snap)) intact.push_back(snap);
  }
  return intact;
}

// Compacts a store with nothing staged; returns the bytes given back.
Result<uint64_t> compact_committed(StoreState& s, bool keep_history, const Progress& progress,
                                   uint16_t version) {
  if (s.catalog_dirty || s.index_dirty || s.cache_dirty || s.pager->cache().dirty_count() != 0) {
    return fail(OrmelError::io("internal error: compaction with staged changes"));
  }
  ORMEL_TRY(check_path_is_ours(s));
  const std::vector<Snapshot> kept = kept_snapshots(s, keep_history);
  auto done = compact_keeping(s, kept, !keep_history, progress, version);
  const bool damaged = !done && (done.error().kind() == ErrorKind::PageAuthFailed ||
                                 done.error().kind() == ErrorKind::Serialization);
  if (!damaged || !keep_history) return done;
  std::optional<std::vector<Snapshot>> intact = intact_snapshots(s);
  if (!intact || intact->size() == kept.size()) return done;
  return compact_keeping(s, *intact, false, progress, version);
}

// The bytes the kept state needs, estimated from memory without reading the file: for
// version 8 exact but for records that only older snapshots still reach, which it leaves
// out; version 9's lists are estimated from their row counts.
uint64_t estimated_kept_bytes(const StoreState& s) {
  uint64_t pages = first_free_page(s) + s.layout->kept_list_pages(s.header, s.snapshot_manifest, s.catalog.size(),
                                                                  s.cache_directory.size());
  uint64_t record_bytes = 0;
  for (const CatalogEntry& row : s.catalog) record_bytes += row.deleted ? 0 : record_file_bytes(s.header.format_version, row);
  for (const CacheDirectoryEntry& row : s.cache_directory) pages += row.deleted ? 0 : row.page_count;
  std::map<uint64_t, uint64_t> runs;  // index runs by start page, each once
  runs[s.header.index_start] = s.header.index_pages;
  for (const Snapshot& snap : s.snapshot_manifest) runs[snap.index_start] = snap.index_pages;
  for (const auto& [start, count] : runs) pages += start == 0 ? 0 : count;
  return pages * PAGE_SIZE + record_bytes;
}

}  // namespace

Status settle_compaction(StoreState& s) {
  if (!s.unsynced_rename) return {};
  ORMEL_TRY(s.env->sync_dir(*s.unsynced_rename));
  s.unsynced_rename.reset();
  return {};
}

Status remove_compaction_leftover(StoreState& s) {
  // A path renamed over names another database, whose own compaction may be writing there.
  ORMEL_ASSIGN(const bool ours, path_is_ours(s));
  if (!ours) return {};
  ORMEL_ASSIGN(const std::string target, naming(s.path, s.env->resolve(s.path)));
  const std::string temp = target + std::string(kTempSuffix);
  ORMEL_ASSIGN(const bool removed, naming(temp, s.env->discard(temp)));
  if (removed) ORMEL_TRY(naming(temp, s.env->sync_dir(temp)));
  return {};
}

void compact_if_due(StoreState& s) {
  if (!s.auto_compact) return;
  const AutoCompactPolicy& policy = *s.auto_compact;
  const uint64_t file = s.header.page_count * PAGE_SIZE;
  if (file <= s.auto_compact_baseline || file - s.auto_compact_baseline <= policy.min_bytes) return;
  if (file < s.auto_compact_next_check) return;
  const uint64_t kept = estimated_kept_bytes(s);
  // The walk above is paid again once the file has grown by an eighth of the garbage that
  // makes a compaction due: the file overshoots that point by at most an eighth, and a
  // large catalog is not walked on every few flushes.
  const double due_at = std::max(static_cast<double>(policy.min_bytes), policy.ratio * static_cast<double>(kept));
  s.auto_compact_next_check = file + static_cast<uint64_t>(std::min(due_at / 8, 0x1p62));
  if (file <= kept) return;
  const uint64_t reclaimable = file - kept;
  if (reclaimable <= policy.min_bytes || static_cast<double>(reclaimable) <= policy.ratio * static_cast<double>(kept)) {
    return;
  }
  // The flush that called this has committed; a failed compaction leaves the old file in
  // place (or, past the rename, a pending directory sync that the next flush retries), so
  // its error is not the flush's: space() reports it until a compaction succeeds.
  Result<uint64_t> done = compact_committed(s, true, {}, own_version(s));
  s.auto_compact_failure = done ? std::nullopt : std::optional(done.error());
  s.auto_compact_baseline = s.header.page_count * PAGE_SIZE;
  s.auto_compact_next_check = 0;
}

Result<uint64_t> Ormel::compact(bool keep_history, const Progress& progress, std::optional<uint16_t> format_version) {
  StoreState& s = *s_;
  if (s.read_only) return fail(OrmelError::read_only());
  ORMEL_TRY(outside_batch("compact"));
  if (format_version) ORMEL_TRY(check_conversion(s, *format_version));
  std::optional<AutoCompactPolicy> policy = std::exchange(s.auto_compact, std::nullopt);
  Status flushed = flush();
  s.auto_compact = policy;
  ORMEL_TRY(flushed);
  ORMEL_TRY(settle_compaction(s));
  ORMEL_ASSIGN(const uint64_t given_back,
               compact_committed(s, keep_history, progress, format_version.value_or(own_version(s))));
  s.auto_compact_failure.reset();
  return given_back;
}

Result<SpaceReport> Ormel::space() {
  StoreState& s = *s_;
  SpaceReport r;
  ORMEL_ASSIGN(r.file_bytes, s.pager->file().size());
  ORMEL_ASSIGN(r.current_bytes, compacted_bytes(s, false));
  ORMEL_ASSIGN(const uint64_t kept, compacted_bytes(s, true));
  r.history_bytes = kept > r.current_bytes ? kept - r.current_bytes : 0;
  r.reclaimable_bytes = r.file_bytes > kept ? r.file_bytes - kept : 0;
  r.auto_compact_failure = s.auto_compact_failure;
  return r;
}

void Ormel::set_auto_compact(std::optional<AutoCompactPolicy> policy) { s_->auto_compact = policy; }

}  // namespace ormel
