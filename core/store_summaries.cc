// Record summaries: reading and decoding the records that recall and search score, one at
// a time, or all missing ones at once (the first scan after opening) on every core.
//
// The bulk path runs in rounds of consecutive missing records, two rounds in flight: while
// worker threads decrypt and decode one round, the calling thread reads the next one from
// the file, helps finish the decoding, then adds the round's summaries while the workers
// decode the next.
//
// Invariants:
//   1. Summaries of missing rows are added in catalog order, so arena slots follow the
//      order in which scans visit the catalog.
//   2. The bulk path gives exactly what summary_of gives row by row: the same payloads
//      (a cached page first, else the file's page, authenticated under the same rule) and
//      the same decoder. A record that fails to authenticate or decode fails the call with
//      the error of the first such row in catalog order, the rows before it summarised; a
//      round that cannot be read fails it once the rounds before it are summarised.
//   3. Only the calling thread touches the file, the cache and the summaries; worker
//      threads decrypt and decode into the buffers of the round they work on, which the
//      calling thread does not touch until they are done with it.
//   4. No round's workers outlive the call.
#include <algorithm>
#include <atomic>
#include <thread>

#include "core/parallel.h"
#include "core/store_state.h"

namespace ormel {
namespace {

constexpr size_t kBulkMinimum = 256;     // fewer missing records are read one by one
constexpr uint64_t kRoundPages = 1024;   // pages fetched per round (8 MiB of images)
constexpr size_t kChunk = 16;            // records a thread claims at a time
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
// least 4 bytes each (5 as float 32 items), so a shorter record needs none (the header's width is unauthenticated
// and must not size an allocation on its own).
uint64_t vector_room(uint64_t len, uint64_t dims) { return len / 4 >= dims ? dims : 0; }

// Adds the summary of a decoded record; its error when the record could not be decoded.
Result<uint32_t> add_decoded(RecordSummaries& summaries, uint64_t start_page, Decoded& d,
                             std::span<const float> vector) {
  if (!d.general) return summaries.add(start_page, d.fields, vector, d.norm_sq);
  ORMEL_ASSIGN(const Memory& m, std::move(*d.general));
  return summaries.add(start_page, m);
}

// One round: its records, the buffers they are read and decoded into, and the threads
// decoding it.
struct Round {
  std::vector<Pending> records;
  std::vector<uint8_t> images, payloads;
  std::vector<bool> sealed, part;
  std::vector<float> vectors;
  std::vector<Decoded> decoded;
  Status fetched;                  // the failure to read the round, if any
  std::atomic<size_t> claimed{0};  // records handed out to decoding threads
  std::vector<std::thread> workers;
};

// Opens the sealed pages of each record of the round and decodes it, claiming records a
// chunk at a time until none remain.
void decode_claimed(const StoreState& s, Round& r) {
  PageCipher cipher(s.pager->dek());
  const std::span<const uint8_t> images(r.images);
  const std::span<uint8_t> payloads(r.payloads);
  for (size_t begin = r.claimed.fetch_add(kChunk); begin < r.records.size(); begin = r.claimed.fetch_add(kChunk)) {
    for (size_t k = begin; k < std::min(begin + kChunk, r.records.size()); ++k) {
      const Pending& pending = r.records[k];
      const RecordPlace at = record_place(s.header.format_version, s.catalog[pending.row]);
      Status opened;
      for (uint64_t p = 0; p < at.pages && opened; ++p) {
        const uint64_t i = pending.at + p;
        if (!r.sealed[i]) continue;
        opened = s.pager->open_image(cipher, at.page + p, images.subspan(i * PAGE_SIZE).first<PAGE_SIZE>(),
                                     payloads.subspan(i * PAGE_PAYLOAD).first<PAGE_PAYLOAD>());
      }
      if (!opened) {
        r.decoded[k].general = fail(opened.error());
        continue;
      }
      const auto bytes = placed_bytes(payloads.subspan(pending.at * PAGE_PAYLOAD, at.pages * PAGE_PAYLOAD), at);
      const auto vector = std::span(r.vectors).subspan(pending.vector_at, vector_room(at.len, s.dimensions));
      decode_for_summary(bytes, s.dimensions, vector, r.decoded[k]);
    }
  }
}

// Plans the next round from missing[next] on and reads its pages (runs that follow each
// other on disk in one read); a failed read is kept in r.fetched.
void fill_round(StoreState& s, const std::vector<size_t>& missing, size_t& next, Round& r) {
  r.records.clear();
  uint64_t pages = 0, floats = 0;
  const auto place = [&](size_t row) { return record_place(s.header.format_version, s.catalog[row]); };
  while (next < missing.size() && (r.records.empty() || pages + place(missing[next]).pages <= kRoundPages)) {
    const RecordPlace at = place(missing[next]);
    r.records.push_back({missing[next], pages, floats});
    pages += at.pages;
    floats += vector_room(at.len, s.dimensions);
    ++next;
  }
  r.images.resize(pages * PAGE_SIZE);
  r.payloads.resize(pages * PAGE_PAYLOAD);
  r.sealed.assign(pages, false);
  r.vectors.resize(floats);
  r.decoded.assign(r.records.size(), Decoded{});
  r.fetched = {};
  // Records whose pages follow each other are fetched in one read; each record has pages of
  // its own in the buffers, so a page that packed records share is fetched once for each.
  for (size_t k = 0; k < r.records.size() && r.fetched;) {
    const RecordPlace first = place(r.records[k].row);
    uint64_t count = first.pages;
    size_t j = k + 1;
    for (; j < r.records.size(); ++j) {
      const RecordPlace e = place(r.records[j].row);
      if (e.page != first.page + count) break;
      count += e.pages;
    }
    if (count > 0) {
      const uint64_t at = r.records[k].at;
      r.fetched = s.pager->fetch_pages(first.page, count,
                                       std::span(r.images).subspan(at * PAGE_SIZE, count * PAGE_SIZE),
                                       std::span(r.payloads).subspan(at * PAGE_PAYLOAD, count * PAGE_PAYLOAD), r.part);
      std::copy(r.part.begin(), r.part.end(), r.sealed.begin() + static_cast<ptrdiff_t>(at));
    }
    k = j;
  }
}

// Starts `threads` workers on a read round (none for a round that could not be read). A
// thread that cannot be started leaves its share to the others and to finish_round.
void start_round(const StoreState& s, Round& r, unsigned threads) {
  r.claimed = 0;
  if (!r.fetched) return;
  for (unsigned t = 0; t < threads; ++t) {
    try {
      r.workers.emplace_back([&s, &r] { decode_claimed(s, r); });
    } catch (...) {
      break;
    }
  }
}

void join_workers(Round& r) {
  for (std::thread& t : r.workers) t.join();
  r.workers.clear();
}

// The calling thread decodes what is left of the round, then waits for its workers.
void finish_round(const StoreState& s, Round& r) {
  if (r.fetched) decode_claimed(s, r);
  join_workers(r);
}

// Waits for the workers of both rounds however the bulk load ends (invariant 4).
struct JoinRounds {
  Round (&rounds)[2];
  ~JoinRounds() {
    for (Round& r : rounds) join_workers(r);
  }
};

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
  // Rows whose remembered position holds, found side by side on a large catalog; the rest
  // are looked up (and remembered) on this thread.
  const size_t parts = s.catalog.size() >= kSplitRows ? worker_count() : 1;
  std::vector<std::vector<size_t>> unhinted((s.catalog.size() + kChunkRows - 1) / kChunkRows);  // by chunk
  run_chunks(s.catalog.size(), kChunkRows, parts, [&](size_t begin, size_t end, size_t) {
    for (size_t i = begin; i < end; ++i) {
      if (s.catalog[i].deleted) continue;
      positions[i] = s.summaries.find_hinted(i, s.catalog[i].start_page);
      if (positions[i] == RecordSummaries::kNone) unhinted[begin / kChunkRows].push_back(i);
    }
  });
  std::vector<size_t> missing;
  for (const std::vector<size_t>& rows : unhinted) {
    for (size_t i : rows) {
      positions[i] = s.summaries.find(i, s.catalog[i].start_page);
      if (positions[i] == RecordSummaries::kNone) missing.push_back(i);
    }
  }
  if (missing.size() < kBulkMinimum) {
    for (size_t row : missing) {
      ORMEL_ASSIGN(positions[row], summary_of(s, row));
    }
    return positions;
  }
  s.summaries.reserve(missing.size());
  // The calling thread reads the file and adds the summaries; the rest decode.
  const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 2u, kMaxWorkers) - 1;
  Round rounds[2];
  const JoinRounds join{rounds};
  Round* current = &rounds[0];
  Round* following = &rounds[1];
  size_t next = 0;
  fill_round(s, missing, next, *current);
  start_round(s, *current, workers);
  fill_round(s, missing, next, *following);
  while (!current->records.empty()) {
    finish_round(s, *current);
    if (!following->records.empty()) start_round(s, *following, workers);
    ORMEL_TRY(current->fetched);
    for (size_t k = 0; k < current->records.size(); ++k) {
      const Pending& pending = current->records[k];
      const CatalogEntry& entry = s.catalog[pending.row];
      const auto vector =
          std::span<const float>(current->vectors).subspan(pending.vector_at, vector_room(entry.len, s.dimensions));
      ORMEL_TRY(add_decoded(s.summaries, entry.start_page, current->decoded[k], vector));
      positions[pending.row] = s.summaries.find(pending.row, entry.start_page);
    }
    // The next round but one reuses the buffers just added from.
    fill_round(s, missing, next, *current);
    std::swap(current, following);
  }
  return positions;
}

}  // namespace ormel
