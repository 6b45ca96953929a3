// Runs of pages and the loaders of the structures they hold.
#include <algorithm>

#include "core/crypto.h"
#include "core/store_state.h"

namespace ormel {

namespace {

// The record's bytes when they lie within one page: from its cached payload in place, or
// nothing (not cached, or the record continues on the next page).
std::optional<std::span<const uint8_t>> cached_record(Pager& pager, const RecordPlace& at) {
  if (at.pages != 1 || at.offset + at.len > PAGE_PAYLOAD) return std::nullopt;
  const auto cached = pager.cached_payload(at.page);
  if (!cached || cached->size() < at.offset + at.len) return std::nullopt;
  return cached->subspan(at.offset, at.len);
}

}  // namespace

Result<std::vector<uint8_t>> read_record(Pager& pager, const CatalogEntry& entry) {
  const RecordPlace at = record_place(pager.format_version(), entry);
  if (at.pages == 0) return std::vector<uint8_t>{};
  if (at.pages == 1 && at.offset + at.len <= PAGE_PAYLOAD) {
    // Most records fit one page: its payload, cut to the record.
    ORMEL_ASSIGN(std::vector<uint8_t> payload, pager.read_page(at.page));
    if (at.offset == 0) {
      payload.resize(at.len);  // without a second copy
      return payload;
    }
    return std::vector<uint8_t>(payload.begin() + static_cast<ptrdiff_t>(at.offset),
                                payload.begin() + static_cast<ptrdiff_t>(at.offset + at.len));
  }
  return read_run_bytes(pager, at.page, at.pages, at.len, at.offset);
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
    // A record in one cached page is decoded where it lies.
    if (const auto cached = cached_record(pager, record_place(pager.format_version(), entry))) {
      return decode_memory(*cached);
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

namespace {

// The heap page records are appended to: the transaction's own while it is the last page
// staged, still dirty and not full; otherwise a fresh page is allocated.
uint64_t heap_page(StoreState& s) {
  StoreState::RecordHeap& heap = s.record_heap;
  const bool own = heap.block != nullptr && heap.page + 1 == s.header.page_count && heap.used < PAGE_PAYLOAD &&
                   s.pager->cache().is_dirty(heap.page);
  if (!own) {
    heap.page = s.header.page_count++;
    heap.block = std::make_shared_for_overwrite<uint8_t[]>(PAGE_PAYLOAD);
    heap.used = 0;
  }
  return heap.page;
}

// Appends `record` to the heap page, spilling over fresh pages; each page touched is
// staged again, as a longer view of its block. Returns where the record begins.
Result<uint64_t> pack_record(StoreState& s, std::span<const uint8_t> record) {
  StoreState::RecordHeap& heap = s.record_heap;
  const uint64_t page = heap_page(s);  // before the offset: a fresh page starts empty
  const uint64_t address = record_address(s.header.format_version, page, heap.used);
  while (true) {
    const size_t take = std::min(record.size(), PAGE_PAYLOAD - heap.used);
    std::copy_n(record.begin(), take, heap.block.get() + heap.used);
    heap.used += take;
    record = record.subspan(take);
    ORMEL_TRY(s.pager->write_shared_page(heap.page, heap.block, std::span<const uint8_t>(heap.block.get(), heap.used)));
    if (record.empty()) return address;
    heap_page(s);
  }
}

}  // namespace

Result<uint64_t> stage_record(StoreState& s, const std::shared_ptr<const uint8_t[]>* block,
                              std::span<const uint8_t> record) {
  if (packs_records(s.header.format_version)) return pack_record(s, record);
  return block != nullptr ? stage_shared_run(s, *block, record) : stage_run(s, record);
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
