// Version 8 (and older): every structure is one run, written whole when it changed.
#include <map>
#include <optional>

#include "core/catalog_encoder.h"
#include "core/format.h"
#include "core/layout.h"
#include "core/record_codec.h"
#include "core/row_tree.h"

namespace ormel {
namespace {

template <class T>
std::vector<uint8_t> encode_list(std::span<const T> rows) {
  return pack_to_bytes([&](Packer& pk) {
    pk.pack_array(static_cast<uint32_t>(rows.size()));
    for (const T& row : rows) encode_record(pk, row);
  });
}

class WholeRunLayout final : public Layout {
 public:
  explicit WholeRunLayout(uint16_t version) : version_(version) {}
  uint16_t version() const override { return version_; }

  Result<std::vector<CatalogEntry>> read_catalog(Pager& pager, const RunRef& ref, bool) override {
    if (ref.empty()) return std::vector<CatalogEntry>{};
    ORMEL_ASSIGN(auto bytes, read_run(pager, ref));
    return decode_catalog(bytes);
  }
  Result<std::vector<Snapshot>> read_snapshots(Pager& pager, const RunRef& ref, bool) override {
    if (ref.empty()) return std::vector<Snapshot>{};
    ORMEL_ASSIGN(auto bytes, read_run(pager, ref));
    return decode_manifest(bytes);
  }
  Result<std::vector<CacheDirectoryEntry>> read_cache_directory(Pager& pager, const RunRef& ref, bool) override {
    if (ref.empty()) return std::vector<CacheDirectoryEntry>{};
    ORMEL_ASSIGN(auto bytes, read_run(pager, ref));
    return decode_cache_directory(bytes);
  }

  uint64_t prepare_catalog(std::span<const CatalogEntry> rows) override {
    catalog_ = encoder_.encode(rows);
    return run_pages(catalog_.size());
  }
  uint64_t prepare_snapshots(std::span<const Snapshot> rows) override {
    snapshots_ = encode_list(rows);
    return run_pages(snapshots_.size());
  }
  // An empty directory is no run at all (its header fields zero).
  uint64_t prepare_cache_directory(std::span<const CacheDirectoryEntry> rows) override {
    directory_ = rows.empty() ? std::nullopt : std::optional(encode_list(rows));
    return directory_ ? run_pages(directory_->size()) : 0;
  }
  Result<RunRef> write_catalog(RunSink& sink) override { return sink.put(catalog_); }
  Result<RunRef> write_snapshots(RunSink& sink) override { return sink.put(snapshots_); }
  Result<RunRef> write_cache_directory(RunSink& sink) override {
    return directory_ ? sink.put(*directory_) : Result<RunRef>(RunRef{});
  }
  // Every list whole; a catalog run shared by snapshots once.
  uint64_t kept_list_pages(const Header& h, std::span<const Snapshot> snapshots, uint64_t, uint64_t) const override {
    std::map<uint64_t, uint64_t> catalogs{{h.catalog_start, h.catalog_pages}};
    for (const Snapshot& snap : snapshots) catalogs[snap.catalog_start] = snap.catalog_pages;
    uint64_t pages = h.manifest_pages + h.cache_dir_pages;
    for (const auto& [start, count] : catalogs) pages += start == 0 ? 0 : count;
    return pages;
  }
  // A snapshot takes at most 82 bytes (marker and nine integers of at most 9 bytes).
  uint64_t snapshot_pages_bound(uint64_t rows) const override {
    return 1 + (82 * (rows - 1) + 91) / PAGE_PAYLOAD;
  }
  std::optional<uint64_t> prepared_live_rows() const override { return encoder_.live_rows(); }
  void commit() override {}
  void forget() override {}

 private:
  uint16_t version_;
  CatalogEncoder encoder_;  // the catalog's bytes as last encoded, reused row by row
  std::span<const uint8_t> catalog_;
  std::vector<uint8_t> snapshots_;
  std::optional<std::vector<uint8_t>> directory_;
};

}  // namespace

bool packs_records(uint16_t version) { return version >= PAGED_FORMAT_VERSION; }

RecordPlace record_place(uint16_t version, const CatalogEntry& row) {
  if (packs_records(version)) return packed_record_place(row);
  return {row.start_page, 0, row.page_count, row.len};
}

uint64_t record_address(uint16_t version, uint64_t page, uint64_t offset) {
  return packs_records(version) ? packed_record_address(page, offset) : page;
}

uint32_t record_row_pages(uint16_t version, uint64_t address, uint64_t len) {
  if (packs_records(version)) return packed_record_pages(address, len);
  return static_cast<uint32_t>(run_pages(len));
}

VectorForm record_vector_form(uint16_t version) {
  return packs_records(version) ? VectorForm::Bin : VectorForm::Items;
}

uint64_t record_file_bytes(uint16_t version, const CatalogEntry& row) {
  return packs_records(version) ? row.len : row.page_count * PAGE_SIZE;
}

std::unique_ptr<Layout> make_layout(uint16_t version) {
  if (version >= PAGED_FORMAT_VERSION) return make_tree_layout();
  return std::make_unique<WholeRunLayout>(version);
}

}  // namespace ormel
