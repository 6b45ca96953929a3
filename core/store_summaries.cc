// Record summaries: reading and decoding the records that recall and search score, one at
// a time, or all missing ones at once (the first scan after opening) on every core.
//
// Invariants:
//   1. Summaries of missing rows are added in catalog order, so arena slots follow the
//      order in which scans visit the catalog.
//   2. The bulk path gives exactly what summary_of gives row by row: the same payloads
//      (a cached page first, else the file's page, authenticated under the same rule) and
//      the same decoder. A record that fails to authenticate or decode fails the call with
//      the error of the first such row in catalog order, the rows before it summarised.
//   3. Only the calling thread touches the file, the cache and the summaries; worker
//      threads decrypt and decode into buffers they alone write.
#include <algorithm>
#include <thread>

#include "core/store_state.h"

namespace ormel {
namespace {

constexpr size_t kBulkMinimum = 256;     // fewer missing records are read one by one
constexpr uint64_t kRoundPages = 2048;   // pages fetched per round (16 MiB of images)
constexpr unsigned kMaxWorkers = 8;

// One missing record of a round: its catalog row and where its pages sit in the buffers.
struct Pending {
  size_t row;
  uint64_t at;         // index of its first page in the round's buffers
  uint64_t vector_at;  // where its vector goes in the round's vector buffer
};

// A record decoded for its summary: read in place when it has the form the engine writes
// and a vector of the database's width, its vector into `vector`; otherwise by
// decode_memory (with the width check), whose result `general` holds.
struct Decoded {
  std::optional<Result<Memory>> general;
  MemoryFields fields;
  float norm_sq = 0;
};

void decode_for_summary(std::span<const uint8_t> bytes, uint64_t dims, std::span<float> vector, Decoded& out) {
  if (read_memory_fields(bytes, out.fields) && vector_size(out.fields) == dims && vector.size() == dims) {
    read_vector(out.fields, vector);
    out.norm_sq = sum_of_squares(vector);
    out.general.reset();
    return;
  }
  Result<Memory> m = decode_memory(bytes);
  if (m) {
    if (Status width = check_vector_width(*m, dims); !width) m = fail(width.error());
  }
  out.general = std::move(m);
}

// Room for the vector of a record of `len` bytes: a vector of `dims` components takes at
// least 5 bytes each, so a shorter record needs none (the header's width is unauthenticated
// and must not size an allocation on its own).
uint64_t vector_room(uint64_t len, uint64_t dims) { return len / 5 >= dims ? dims : 0; }

// Adds the summary of a decoded record; its error when the record could not be decoded.
Result<uint32_t> add_decoded(RecordSummaries& summaries, uint64_t start_page, Decoded& d,
                             std::span<const float> vector) {
  if (!d.general) return summaries.add(start_page, d.fields, vector, d.norm_sq);
  ORMEL_ASSIGN(const Memory& m, std::move(*d.general));
  return summaries.add(start_page, m);
}

// Opens the sealed pages of records [begin, end) of a round and decodes each record.
void open_and_decode(const Pager& pager, const StoreState& s, std::span<const Pending> round, size_t begin,
                     size_t end, std::span<const uint8_t> images, std::span<uint8_t> payloads,
                     const std::vector<bool>& sealed, std::span<float> vectors, std::vector<Decoded>& out) {
  PageCipher cipher(pager.dek());
  for (size_t k = begin; k < end; ++k) {
    const CatalogEntry& entry = s.catalog[round[k].row];
    Status opened;
    for (uint64_t p = 0; p < entry.page_count && opened; ++p) {
      const uint64_t i = round[k].at + p;
      if (!sealed[i]) continue;
      opened = pager.open_image(cipher, entry.start_page + p,
                                images.subspan(i * PAGE_SIZE).first<PAGE_SIZE>(),
                                payloads.subspan(i * PAGE_PAYLOAD).first<PAGE_PAYLOAD>());
    }
    if (!opened) {
      out[k].general = fail(opened.error());
      continue;
    }
    // A run's payloads lie back to back, so the record is their first `len` bytes (the
    // run holds at least that many unless the catalog is damaged).
    const uint64_t available = entry.page_count * PAGE_PAYLOAD;
    const auto bytes = payloads.subspan(round[k].at * PAGE_PAYLOAD, std::min<uint64_t>(entry.len, available));
    const uint64_t room = vector_room(entry.len, s.dimensions);
    decode_for_summary(bytes, s.dimensions, vectors.subspan(round[k].vector_at, room), out[k]);
  }
}

// Runs `work(begin, end)` over [0, n) split among up to `workers` threads, the caller
// taking the first share. If a thread cannot be started, the caller does its share too.
template <class Work>
void in_parallel(size_t n, unsigned workers, Work work) {
  const size_t share = (n + workers - 1) / workers;
  std::vector<std::thread> threads;
  std::vector<std::pair<size_t, size_t>> undone;
  for (size_t begin = share; begin < n; begin += share) {
    const size_t end = std::min(n, begin + share);
    try {
      threads.emplace_back([=] { work(begin, end); });
    } catch (...) {
      undone.emplace_back(begin, end);
    }
  }
  work(0, std::min(n, share));
  for (auto [begin, end] : undone) work(begin, end);
  for (std::thread& t : threads) t.join();
}

}  // namespace

Result<uint32_t> summary_of(StoreState& s, size_t row) {
  const CatalogEntry& entry = s.catalog[row];
  const uint32_t found = s.summaries.find(row, entry.start_page);
  if (found != RecordSummaries::kNone) return found;
  ORMEL_ASSIGN(const std::vector<uint8_t> bytes, read_record(*s.pager, entry));
  std::vector<float> vector(vector_room(bytes.size(), s.dimensions));
  Decoded decoded;
  decode_for_summary(bytes, s.dimensions, vector, decoded);
  ORMEL_TRY(add_decoded(s.summaries, entry.start_page, decoded, vector));
  return s.summaries.find(row, entry.start_page);
}

Result<std::vector<uint32_t>> live_summaries(StoreState& s) {
  std::vector<uint32_t> positions(s.catalog.size(), RecordSummaries::kNone);
  std::vector<size_t> missing;
  for (size_t i = 0; i < s.catalog.size(); ++i) {
    if (s.catalog[i].deleted) continue;
    positions[i] = s.summaries.find(i, s.catalog[i].start_page);
    if (positions[i] == RecordSummaries::kNone) missing.push_back(i);
  }
  if (missing.size() < kBulkMinimum) {
    for (size_t row : missing) {
      ORMEL_ASSIGN(positions[row], summary_of(s, row));
    }
    return positions;
  }
  s.summaries.reserve(missing.size());
  const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxWorkers);
  std::vector<uint8_t> images, payloads;
  std::vector<bool> sealed, part;
  std::vector<Pending> round;
  std::vector<Decoded> decoded;
  std::vector<float> vectors;
  for (size_t next = 0; next < missing.size();) {
    // A round: records until their pages fill the buffers (at least one record).
    round.clear();
    uint64_t pages = 0, floats = 0;
    while (next < missing.size() && (round.empty() || pages + s.catalog[missing[next]].page_count <= kRoundPages)) {
      const CatalogEntry& entry = s.catalog[missing[next]];
      round.push_back({missing[next], pages, floats});
      pages += entry.page_count;
      floats += vector_room(entry.len, s.dimensions);
      ++next;
    }
    images.resize(pages * PAGE_SIZE);
    payloads.resize(pages * PAGE_PAYLOAD);
    sealed.assign(pages, false);
    // Fetch runs that follow each other on disk together.
    for (size_t k = 0; k < round.size();) {
      const CatalogEntry& first = s.catalog[round[k].row];
      uint64_t count = first.page_count;
      size_t j = k + 1;
      for (; j < round.size(); ++j) {
        const CatalogEntry& e = s.catalog[round[j].row];
        if (e.start_page != first.start_page + count) break;
        count += e.page_count;
      }
      if (count > 0) {
        const uint64_t at = round[k].at;
        ORMEL_TRY(s.pager->fetch_pages(first.start_page, count,
                                       std::span(images).subspan(at * PAGE_SIZE, count * PAGE_SIZE),
                                       std::span(payloads).subspan(at * PAGE_PAYLOAD, count * PAGE_PAYLOAD), part));
        std::copy(part.begin(), part.end(), sealed.begin() + static_cast<ptrdiff_t>(at));
      }
      k = j;
    }
    decoded.assign(round.size(), Decoded{});
    vectors.resize(floats);
    in_parallel(round.size(), workers, [&](size_t begin, size_t end) {
      open_and_decode(*s.pager, s, round, begin, end, images, payloads, sealed, vectors, decoded);
    });
    for (size_t k = 0; k < round.size(); ++k) {
      const CatalogEntry& entry = s.catalog[round[k].row];
      const uint64_t start = entry.start_page;
      const auto vector =
          std::span<const float>(vectors).subspan(round[k].vector_at, vector_room(entry.len, s.dimensions));
      ORMEL_TRY(add_decoded(s.summaries, start, decoded[k], vector));
      positions[round[k].row] = s.summaries.find(round[k].row, start);
    }
  }
  return positions;
}

}  // namespace ormel
