// Opening and creating a database: lock, header, crash recovery, keys, loaders, upgrade;
// and following one that another process writes (open_following, refresh).
#include <chrono>
#include <limits>
#include <thread>

#include "core/crypto.h"
#include "core/store_state.h"
#include "core/wal.h"

namespace ormel {
namespace {

constexpr uint64_t kInitialWalStart = 1;
constexpr uint64_t kInitialWalPages = 8;

enum class Access { ReadWrite, ReadOnly, Follow };

// Where an open gets the data key: derived from the passphrase, or (a follower moving to a
// file a compaction put at its path) the key it already holds, which must seal the header.
struct KeySource {
  std::string_view passphrase;
  const SecretKey* dek = nullptr;
};

// A format version that a caller asks for; a file keeps the one it was created with.
Status check_format_choice(uint16_t version) {
  if (version == FORMAT_VERSION || version == PAGED_FORMAT_VERSION) return {};
  return fail(OrmelError::invalid_argument("format_version must be 8 or 9"));
}

std::string format_mismatch(uint16_t asked, uint16_t held) {
  return "format_version " + std::to_string(asked) + " was asked for, but the file is version " +
         std::to_string(held) + " (a file keeps the version it was created with; compact(format_version=" +
         std::to_string(asked) + ") converts it)";
}

Result<Page> read_header_page(File& file) {
  Page page{};
  ORMEL_TRY(read_exact(file, 0, page));
  return page;
}

// What a read-write open finds at page 0: the committed header and, when the log holds a
// committed transaction not yet applied, that transaction's frames.
struct HeaderState {
  Header header;  // the header the open works with: the transaction's own when one is pending
  std::optional<std::vector<wal::WalFrame>> pending;
};

// A frame's image as a whole page; any other length cannot be a genuine image.
Result<std::span<const uint8_t, PAGE_SIZE>> frame_image(const wal::WalFrame& frame) {
  if (frame.image.size() != PAGE_SIZE) return fail(OrmelError::page_auth_failed(frame.page));
  return std::span<const uint8_t, PAGE_SIZE>(frame.image.data(), PAGE_SIZE);
}

// The header a transaction installs: the image of its frame for page 0, which must be a
// well-formed header page. Every transaction the engine commits carries one.
Result<Header> header_frame(const std::vector<wal::WalFrame>& frames) {
  for (const wal::WalFrame& frame : frames) {
    if (frame.page != 0) continue;
    ORMEL_ASSIGN(auto image, frame_image(frame));
    return from_page(image);
  }
  return fail(OrmelError::page_auth_failed(0));
}

// Reads page 0 of a read-write handle and finds what must be replayed before anything is
// read: a torn header is rebuilt from the newest complete transaction anywhere in the file
// (never an older one left in an abandoned log region), and a committed transaction that
// was not yet applied is replayed. Nothing is written here; see replay_pending.
Result<HeaderState> read_header_recovering(File& file) {
  ORMEL_ASSIGN(Page page, read_header_page(file));
  auto parsed = from_page(page);
  if (!parsed) {
    if (parsed.error().kind() != ErrorKind::HeaderChecksum) return fail(parsed.error());
    ORMEL_ASSIGN(auto found, wal::scan_newest(file));
    // An unfinished commit is only ever the one after the last committed transaction; a
    // later one means that transaction's log was overwritten, and replaying an older
    // transaction would silently roll the database back.
    if (!found || found->newest_started > found->txn_id + 1) return fail(OrmelError::header_checksum());
    ORMEL_ASSIGN(Header h, header_frame(found->frames));
    return HeaderState{h, std::move(found->frames)};
  }
  ORMEL_ASSIGN(auto frames, wal::recover(file, parsed->wal_start, parsed->wal_pages, parsed->txn_id));
  if (!frames) return HeaderState{*parsed, std::nullopt};
  ORMEL_ASSIGN(Header h, header_frame(*frames));
  return HeaderState{h, std::move(frames)};
}

// Writes a pending transaction to its home pages, once every frame has shown it is what it
// claims to be: the header frame a header sealed under the DEK, every other frame an image
// that authenticates as the page it names. A frame whose page number was changed would
// otherwise overwrite a live page; on any doubt the open is refused and nothing changes.
Status replay_pending(File& file, const Header& h, const SecretKey& dek, const std::vector<wal::WalFrame>& frames) {
  PageCipher cipher(dek);
  std::vector<uint8_t> payload(PAGE_PAYLOAD);
  for (const wal::WalFrame& frame : frames) {
    ORMEL_ASSIGN(auto image, frame_image(frame));
    if (frame.page == 0) {
      ORMEL_ASSIGN(Header framed, from_page(image));
      ORMEL_TRY(validate_seal(framed, dek));
      continue;
    }
    ORMEL_TRY(open_page_image(cipher, frame.page, h.format_version, image,
                              std::span<uint8_t, PAGE_PAYLOAD>(payload.data(), PAGE_PAYLOAD)));
  }
  return wal::checkpoint(file, frames);
}

// The committed header at page 0 for a read-only handle, or why it cannot be read yet.
Result<Header> read_header_read_only(File& file) {
  ORMEL_ASSIGN(Page page, read_header_page(file));
  auto parsed = from_page(page);
  if (!parsed) {
    if (parsed.error().kind() == ErrorKind::HeaderChecksum) {
      return fail(OrmelError::read_only_blocked(kBlockedTornHeader));
    }
    return fail(parsed.error());
  }
  if (parsed->format_version < FORMAT_VERSION) return fail(OrmelError::read_only_blocked(kBlockedMigration));
  ORMEL_ASSIGN(auto frames, wal::recover(file, parsed->wal_start, parsed->wal_pages, parsed->txn_id));
  if (frames) return fail(OrmelError::read_only_blocked(kBlockedRecovery));
  return *parsed;
}

// The committed header for a handle that follows a writer. The writer rewrites page 0 in
// place, so a read may catch it half written (a checksum that fails, or a file still
// shorter than a page while it is created): read again after a pause, a bounded number of
// times. A transaction in the log but not yet at page 0 is not seen: the header there is
// the last one checkpointed, a committed state whose pages are all written (the writer
// writes the header last and never overwrites what a committed header names).
Result<Header> read_header_following(File& file) {
  constexpr int kAttempts = 400;
  for (int attempt = 1;; ++attempt) {
    Page page{};
    auto read = read_exact(file, 0, page);
    auto parsed = read ? from_page(page) : Result<Header>(fail(read.error()));
    const bool torn = !read || parsed.error().kind() == ErrorKind::HeaderChecksum;
    if (read && parsed) {
      if (parsed->format_version < FORMAT_VERSION) return fail(OrmelError::read_only_blocked(kBlockedMigration));
      return *parsed;
    }
    if (!torn || attempt == kAttempts) {
      return fail(torn ? OrmelError::read_only_blocked(kBlockedTornHeader) : parsed.error());
    }
    std::this_thread::sleep_for(std::chrono::microseconds(attempt < 10 ? 200 : 5000));
  }
}

Result<std::unique_ptr<StoreState>> create(Env* env, const std::string& path, std::string_view passphrase,
                                           uint64_t dimensions, uint16_t format_version) {
  if (dimensions == 0) return fail(OrmelError::invalid_argument("dimensions must be > 0"));
  if (dimensions > std::numeric_limits<uint32_t>::max()) {
    return fail(OrmelError::invalid_argument("dimensions must fit in 32 bits"));
  }
  // Exclusive creation: a process that loses the race to create the path gets an error
  // instead of truncating the file the winner has created (and maybe committed to).
  ORMEL_ASSIGN(auto file, env->open_locked(path, {.write = true, .create = true, .exclusive = true}));

  Header h{};
  ORMEL_ASSIGN(SecretKey dek, random_key());
  ORMEL_TRY(wrap_key(h, passphrase, dek, KdfParams{}));

  h.format_version = format_version;
  h.page_size = PAGE_SIZE;
  h.encrypted = 1;
  h.dimensions = static_cast<uint32_t>(dimensions);
  h.created_at = static_cast<uint64_t>(now_secs());
  h.page_count = kInitialWalStart + kInitialWalPages;
  h.wal_start = kInitialWalStart;
  h.wal_pages = kInitialWalPages;

  ORMEL_ASSIGN(Page page, seal_header(h, dek));
  auto state = std::make_unique<StoreState>();
  state->pager = std::make_unique<Pager>(std::move(file), std::move(dek), 0, format_version);
  state->layout = make_layout(format_version);
  state->disk_format_version = format_version;
  ORMEL_TRY(state->pager->write_raw(page));
  ORMEL_TRY(state->pager->file().sync());
  state->header = h;
  state->dimensions = dimensions;
  return state;
}

Result<std::unique_ptr<StoreState>> open_existing(Env* env, const std::string& path, const KeySource& key,
                                                  Access access) {
  const bool read_only = access != Access::ReadWrite;
  ORMEL_ASSIGN(auto file, env->open_locked(path, {.write = !read_only, .create = false,
                                                  .lock = access != Access::Follow}));
  HeaderState found;
  if (access == Access::Follow) {
    ORMEL_ASSIGN(found.header, read_header_following(*file));
  } else if (read_only) {
    ORMEL_ASSIGN(found.header, read_header_read_only(*file));
  } else {
    ORMEL_ASSIGN(found, read_header_recovering(*file));
  }
  Header h = found.header;

  SecretKey dek;
  if (key.dek != nullptr) {
    dek = SecretKey(key.dek->span());
  } else {
    ORMEL_ASSIGN(SecretKey kek, derive_kek(key.passphrase, h.kdf_salt, {h.kdf_m_cost, h.kdf_t_cost, h.kdf_p_cost}));
    ORMEL_ASSIGN(dek, unwrap_dek(kek, h.dek_nonce, h.wrapped_dek));
  }
  if (found.pending) {
    ORMEL_TRY(replay_pending(*file, h, dek, *found.pending));
    ORMEL_ASSIGN(Page page, read_header_page(*file));
    ORMEL_ASSIGN(h, from_page(page));
  }
  ORMEL_TRY(validate_seal(h, dek));

  if (!read_only) {
    // Pages written by an attempt that never committed may lie beyond the header's
    // page_count; never hand their page numbers out again (their nonces were used).
    ORMEL_ASSIGN(uint64_t size, file->size());
    h.page_count = std::max(h.page_count, (size + PAGE_SIZE - 1) / PAGE_SIZE);
  }

  auto state = std::make_unique<StoreState>();
  state->pager = std::make_unique<Pager>(std::move(file), std::move(dek), h.nonce_counter, h.format_version);
  state->read_only = read_only;
  state->following = access == Access::Follow;
  state->dimensions = h.dimensions;
  state->layout = make_layout(h.format_version);
  state->disk_format_version = h.format_version;
  Pager& pager = *state->pager;
  Layout& layout = *state->layout;

  if (h.format_version == 4) {
    ORMEL_ASSIGN(auto rows, load_catalog_v4(pager, h.catalog_start, h.catalog_pages, h.catalog_len));
    ORMEL_ASSIGN(state->catalog, migrate_v4_catalog(pager, std::move(rows)));
  } else {
    ORMEL_ASSIGN(state->catalog, layout.read_catalog(pager, catalog_run(h), true));
  }
  state->id_index = build_id_index(state->catalog);
  ORMEL_ASSIGN(state->index, load_index(pager, h.index_start, h.index_pages, h.index_len, h.dimensions));
  ORMEL_ASSIGN(state->snapshot_manifest, layout.read_snapshots(pager, snapshot_list_run(h), true));
  state->header = h;
  if (h.format_version < FORMAT_VERSION) ORMEL_TRY(upgrade_in_memory(*state));
  ORMEL_ASSIGN(state->cache_directory, layout.read_cache_directory(pager, cache_directory_run(h), true));
  state->cache_index = DirectoryIndex::build(state->cache_directory);
  return state;
}

}  // namespace

// Moves a follower to header `h` of the file it already reads: its pages and record
// summaries stay (a page of the file never changes once a committed header names it, and
// summaries are found by their record's start page); the catalog, index, snapshot list and
// cache directory are those `h` names. Nothing changes unless every one of them loads.
Status load_committed_state(StoreState& s, const Header& h) {
  Pager& pager = *s.pager;
  // A follower never writes, so what it reads is not adopted as a base for writing.
  ORMEL_ASSIGN(auto catalog, s.layout->read_catalog(pager, catalog_run(h)));
  ORMEL_ASSIGN(auto index, load_index(pager, h.index_start, h.index_pages, h.index_len, h.dimensions));
  ORMEL_ASSIGN(auto manifest, s.layout->read_snapshots(pager, snapshot_list_run(h)));
  ORMEL_ASSIGN(auto directory, s.layout->read_cache_directory(pager, cache_directory_run(h)));
  s.catalog = std::move(catalog);
  s.id_index = build_id_index(s.catalog);
  s.index = std::move(index);
  s.snapshot_manifest = std::move(manifest);
  s.cache_directory = std::move(directory);
  s.cache_index = DirectoryIndex::build(s.cache_directory);
  s.semantic_groups = SemanticGroups{};
  s.keywords.recheck_all = true;  // any row may have changed: compared at the next keyword query
  s.header = h;
  return {};
}

Ormel::Ormel(std::unique_ptr<StoreState> state) : s_(std::move(state)) {
  s_->summaries.reset(s_->dimensions);
}
Ormel::~Ormel() {
  // A failed sync leaves the transaction in the log, where the next open finds it.
  if (s_ && s_->pager) (void)settle_checkpoint(*s_);
}

Result<std::unique_ptr<Ormel>> Ormel::open(const std::string& path, std::string_view passphrase,
                                           std::optional<uint64_t> dimensions, bool read_only, Env* env,
                                           std::optional<uint16_t> format_version) {
  if (format_version) ORMEL_TRY(check_format_choice(*format_version));
  std::unique_ptr<StoreState> state;
  if (!env->exists(path)) {
    if (read_only) return fail(OrmelError::invalid_argument(std::string(kReadOnlyCreate)));
    if (!dimensions) return fail(OrmelError::invalid_argument(std::string(kDimensionsRequired)));
    ORMEL_ASSIGN(state, create(env, path, passphrase, *dimensions, format_version.value_or(FORMAT_VERSION)));
  } else {
    ORMEL_ASSIGN(state, open_existing(env, path, {.passphrase = passphrase},
                                      read_only ? Access::ReadOnly : Access::ReadWrite));
    if (format_version && *format_version != state->header.format_version) {
      return fail(OrmelError::invalid_argument(format_mismatch(*format_version, state->header.format_version)));
    }
  }
  state->path = path;
  state->env = env;
  // What a killed compaction left beside the file goes now that the lock is held; one that
  // cannot be removed only waits for the next compaction or passphrase change, which say why.
  if (!read_only) (void)remove_compaction_leftover(*state);
  return std::unique_ptr<Ormel>(new Ormel(std::move(state)));
}

Result<std::unique_ptr<Ormel>> Ormel::open_following(const std::string& path, std::string_view passphrase, Env* env) {
  if (!env->exists(path)) return fail(OrmelError::invalid_argument(std::string(kReadOnlyCreate)));
  ORMEL_ASSIGN(auto state, open_existing(env, path, {.passphrase = passphrase}, Access::Follow));
  state->path = path;
  state->env = env;
  return std::unique_ptr<Ormel>(new Ormel(std::move(state)));
}

Result<bool> Ormel::refresh() {
  StoreState& s = *s_;
  if (!s.following) return fail(OrmelError::invalid_argument(std::string(kRefreshNeedsFollow)));
  // A compaction renames its new file over the path; the old one stays readable through
  // this handle's descriptor until the handle moves on.
  ORMEL_ASSIGN(FileInfo named, s.env->info(s.path));
  ORMEL_ASSIGN(FileInfo held, s.pager->file().info());
  if (named.same_file(held)) {
    ORMEL_ASSIGN(Header h, read_header_following(s.pager->file()));
    if (h.txn_id == s.header.txn_id) return false;
    ORMEL_TRY(validate_seal(h, s.pager->dek()));
    ORMEL_TRY(load_committed_state(s, h));
    return true;
  }
  ORMEL_ASSIGN(auto fresh, open_existing(s.env, s.path, {.passphrase = {}, .dek = &s.pager->dek()}, Access::Follow));
  fresh->path = s.path;
  fresh->env = s.env;
  fresh->config = s.config;
  fresh->pager->cache().set_capacity(s.pager->cache().capacity());
  s_ = std::move(fresh);
  s_->summaries.reset(s_->dimensions);
  return true;
}

bool Ormel::following() const { return s_->following; }
uint16_t Ormel::format_version() const { return s_->disk_format_version; }

const std::string& Ormel::path() const { return s_->path; }
bool Ormel::read_only() const { return s_->read_only; }
uint64_t Ormel::dimensions() const { return s_->dimensions; }

void Ormel::set_cache_capacity(uint64_t pages) { s_->pager->cache().set_capacity(pages); }
std::pair<uint64_t, uint64_t> Ormel::page_cache_stats() const {
  const PageCache& cache = s_->pager->cache();
  return {cache.size(), cache.capacity()};
}

}  // namespace ormel
