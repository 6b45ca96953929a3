// Opening and creating a database: lock, header, crash recovery, keys, loaders, upgrade.
#include <limits>

#include "core/crypto.h"
#include "core/store_state.h"
#include "core/wal.h"

namespace ormel {
namespace {

constexpr uint64_t kInitialWalStart = 1;
constexpr uint64_t kInitialWalPages = 8;

Result<Page> read_header_page(File& file) {
  Page page{};
  ORMEL_TRY(read_exact(file, 0, page));
  return page;
}

// Reads page 0 of a read-write handle, repairing it from the log when needed:
// a torn header is rebuilt from the newest complete transaction anywhere in the file
// (never an older one left in an abandoned log region), and a committed transaction that
// was not yet applied is replayed (checkpointed to its home pages).
Result<Header> read_header_recovering(File& file) {
  ORMEL_ASSIGN(Page page, read_header_page(file));
  auto parsed = from_page(page);
  if (!parsed) {
    if (parsed.error().kind() != ErrorKind::HeaderChecksum) return fail(parsed.error());
    ORMEL_ASSIGN(auto found, wal::scan_newest(file));
    // An unfinished commit is only ever the one after the last committed transaction; a
    // later one means that transaction's log was overwritten, and replaying an older
    // transaction would silently roll the database back.
    if (!found || found->newest_started > found->txn_id + 1) return fail(OrmelError::header_checksum());
    ORMEL_TRY(wal::checkpoint(file, found->frames));
  } else {
    ORMEL_ASSIGN(auto frames, wal::recover(file, parsed->wal_start, parsed->wal_pages, parsed->txn_id));
    if (!frames) return *parsed;
    ORMEL_TRY(wal::checkpoint(file, *frames));
  }
  ORMEL_ASSIGN(page, read_header_page(file));
  return from_page(page);
}

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

Result<std::unique_ptr<StoreState>> create(Env* env, const std::string& path, std::string_view passphrase,
                                           uint64_t dimensions) {
  if (dimensions == 0) return fail(OrmelError::invalid_argument("dimensions must be > 0"));
  if (dimensions > std::numeric_limits<uint32_t>::max()) {
    return fail(OrmelError::invalid_argument("dimensions must fit in 32 bits"));
  }
  ORMEL_ASSIGN(auto file, env->open_locked(path, {.write = true, .create = true}));

  Header h{};
  ORMEL_ASSIGN(SecretKey dek, random_key());
  ORMEL_TRY(wrap_key(h, passphrase, dek, KdfParams{}));

  h.format_version = FORMAT_VERSION;
  h.page_size = PAGE_SIZE;
  h.encrypted = 1;
  h.dimensions = static_cast<uint32_t>(dimensions);
  h.created_at = static_cast<uint64_t>(now_secs());
  h.page_count = kInitialWalStart + kInitialWalPages;
  h.wal_start = kInitialWalStart;
  h.wal_pages = kInitialWalPages;

  ORMEL_ASSIGN(Page page, seal_header(h, dek));
  auto state = std::make_unique<StoreState>();
  state->pager = std::make_unique<Pager>(std::move(file), std::move(dek), 0, FORMAT_VERSION);
  ORMEL_TRY(state->pager->write_raw(page));
  ORMEL_TRY(state->pager->file().sync());
  state->header = h;
  state->dimensions = dimensions;
  return state;
}

Result<std::unique_ptr<StoreState>> open_existing(Env* env, const std::string& path, std::string_view passphrase,
                                                  bool read_only) {
  ORMEL_ASSIGN(auto file, env->open_locked(path, {.write = !read_only, .create = false}));
  ORMEL_ASSIGN(Header h, read_only ? read_header_read_only(*file) : read_header_recovering(*file));

  SecretKey dek;
  {
    ORMEL_ASSIGN(SecretKey kek, derive_kek(passphrase, h.kdf_salt, {h.kdf_m_cost, h.kdf_t_cost, h.kdf_p_cost}));
    ORMEL_ASSIGN(dek, unwrap_dek(kek, h.dek_nonce, h.wrapped_dek));
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
  state->dimensions = h.dimensions;
  Pager& pager = *state->pager;

  if (h.format_version == 4) {
    ORMEL_ASSIGN(auto rows, load_catalog_v4(pager, h.catalog_start, h.catalog_pages, h.catalog_len));
    ORMEL_ASSIGN(state->catalog, migrate_v4_catalog(pager, std::move(rows)));
  } else {
    ORMEL_ASSIGN(state->catalog, load_catalog(pager, h.catalog_start, h.catalog_pages, h.catalog_len));
  }
  state->id_index = build_id_index(state->catalog);
  ORMEL_ASSIGN(state->index, load_index(pager, h.index_start, h.index_pages, h.index_len));
  ORMEL_ASSIGN(state->snapshot_manifest, load_manifest(pager, h.manifest_start, h.manifest_pages, h.manifest_len));
  state->header = h;
  if (h.format_version < FORMAT_VERSION) ORMEL_TRY(upgrade_in_memory(*state));
  ORMEL_ASSIGN(state->cache_directory,
               load_cache_directory(pager, h.cache_dir_start, h.cache_dir_pages, h.cache_dir_len));
  state->cache_index = DirectoryIndex::build(state->cache_directory);
  return state;
}

}  // namespace

Ormel::Ormel(std::unique_ptr<StoreState> state) : s_(std::move(state)) {
  s_->summaries.reset(s_->dimensions);
}
Ormel::~Ormel() = default;

Result<std::unique_ptr<Ormel>> Ormel::open(const std::string& path, std::string_view passphrase,
                                           std::optional<uint64_t> dimensions, bool read_only, Env* env) {
  std::unique_ptr<StoreState> state;
  if (!env->exists(path)) {
    if (read_only) return fail(OrmelError::invalid_argument(std::string(kReadOnlyCreate)));
    if (!dimensions) return fail(OrmelError::invalid_argument(std::string(kDimensionsRequired)));
    ORMEL_ASSIGN(state, create(env, path, passphrase, *dimensions));
  } else {
    ORMEL_ASSIGN(state, open_existing(env, path, passphrase, read_only));
  }
  state->path = path;
  return std::unique_ptr<Ormel>(new Ormel(std::move(state)));
}

const std::string& Ormel::path() const { return s_->path; }
bool Ormel::read_only() const { return s_->read_only; }
uint64_t Ormel::dimensions() const { return s_->dimensions; }

void Ormel::set_cache_capacity(uint64_t pages) { s_->pager->cache().set_capacity(pages); }
std::pair<uint64_t, uint64_t> Ormel::page_cache_stats() const {
  const PageCache& cache = s_->pager->cache();
  return {cache.size(), cache.capacity()};
}

}  // namespace ormel
