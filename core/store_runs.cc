// Runs of pages and the loaders of the structures they hold.
#include <algorithm>

#include "core/crypto.h"
#include "core/store_state.h"

namespace ormel {

Result<std::vector<uint8_t>> read_record(Pager& pager, const CatalogEntry& entry) {
  if (entry.page_count == 0) return std::vector<uint8_t>{};
  if (entry.page_count == 1 && entry.len <= PAGE_PAYLOAD) {
    // Most records fit one page: its payload, cut to the record, without a second copy.
    ORMEL_ASSIGN(std::vector<uint8_t> payload, pager.read_page(entry.start_page));
    payload.resize(entry.len);
    return payload;
  }
  return read_run_bytes(pager, entry.start_page, entry.page_count, entry.len);
}

Status check_vector_width(const Memory& m, uint64_t dimensions) {
  // The header's dimensionality is not authenticated; a record that disagrees with it must
  // not reach the similarity kernels, which read `dimensions` values of every vector.
  if (m.vector.size() == dimensions) return {};
  return fail(OrmelError::serialization("memory " + ulid_to_text(m.id) + " holds a vector of " +
                                        std::to_string(m.vector.size()) + " values, but the database's dimensionality is " +
                                        std::to_string(dimensions)));
}

Result<Memory> read_memory(Pager& pager, const CatalogEntry& entry, uint64_t dimensions) {
  const auto decoded = [&]() -> Result<Memory> {
    if (entry.page_count == 1 && entry.len <= PAGE_PAYLOAD) {
      // A record in one cached page is decoded where it lies.
      const auto cached = pager.cached_payload(entry.start_page);
      if (cached && cached->size() >= entry.len) return decode_memory(cached->first(entry.len));
    }
    ORMEL_ASSIGN(auto bytes, read_record(pager, entry));
    return decode_memory(bytes);
  };
  ORMEL_ASSIGN(Memory m, decoded());
  ORMEL_TRY(check_vector_width(m, dimensions));
  m.accessed_at = entry.accessed_at;
  m.access_count = entry.access_count;
  return m;
}

Status check_record_length(uint64_t len, std::string_view what) {
  if (len <= UINT32_MAX) return {};
  return fail(OrmelError::invalid_argument(std::string(what) + " of " + std::to_string(len) +
                                           " bytes exceeds the 4294967295-byte limit of a record"));
}

namespace {

// Allocates a run for `blob` and stages each page's slice of it with `write(page, slice)`.
template <class WritePage>
Result<uint64_t> stage_pages(StoreState& s, std::span<const uint8_t> blob, WritePage write) {
  const uint64_t pages = run_pages(blob.size());
  const uint64_t start = s.header.page_count;
  for (uint64_t i = 0; i < pages; ++i) {
    size_t from = static_cast<size_t>(i * PAGE_PAYLOAD);
    size_t to = std::min(blob.size(), from + PAGE_PAYLOAD);
    ORMEL_TRY(write(start + i, blob.subspan(from, to - from)));
  }
  s.header.page_count = start + pages;
  return start;
}

}  // namespace

Result<uint64_t> stage_run(StoreState& s, std::span<const uint8_t> blob) {
  return stage_pages(s, blob, [&](uint64_t page, std::span<const uint8_t> slice) {
    return s.pager->write_page(page, slice);
  });
}

Result<uint64_t> stage_shared_run(StoreState& s, const std::shared_ptr<const uint8_t[]>& block,
                                  std::span<const uint8_t> blob) {
  return stage_pages(s, blob, [&](uint64_t page, std::span<const uint8_t> slice) {
    return s.pager->write_shared_page(page, block, slice);
  });
}

IdIndex build_id_index(const std::vector<CatalogEntry>& catalog) {
  IdIndex index;
  index.reserve(catalog.size());
  for (size_t i = 0; i < catalog.size(); ++i) index[catalog[i].id] = i;  // a later row wins
  return index;
}

Result<std::optional<IvfPqIndex>> load_index(Pager& pager, uint64_t start, uint64_t pages, uint64_t len,
                                             uint64_t dimensions) {
  if (pages == 0) return std::optional<IvfPqIndex>{};
  ORMEL_ASSIGN(auto bytes, read_run_bytes(pager, start, pages, len));
  ORMEL_ASSIGN(IvfPqIndex index, decode_index(bytes));
  // Queries of the database's width are run against the index's centroids and codebooks.
  if (index.dims != dimensions) {
    return fail(OrmelError::serialization("invalid index: its vectors have " + std::to_string(index.dims) +
                                          " values, but the database's dimensionality is " +
                                          std::to_string(dimensions)));
  }
  return std::optional<IvfPqIndex>(std::move(index));
}

}  // namespace ormel
