// remember_many and load_memories: stage a batch of memories, all or none.
//
// Invariants:
//  1. Nothing is staged until every item has passed the store's checks and been encoded;
//     staging an encoded memory cannot fail, so a batch is staged whole or not at all.
//  2. Every progress report, the last included, comes before the first item is staged, so
//     a batch stopped by its progress callback stages nothing.
//  3. Items are staged in their order, exactly as a loop of remember() would stage them:
//     an id repeated within the batch ends pointing at its last item.
//  4. The records are packed back to back into blocks of about kBlockBytes, one allocation
//     each, and their pages keep spans of the blocks instead of copies. A block is freed
//     once the cache has let go of its last page, so after the commit a batch holds little
//     more than the cache's capacity.
//  5. Every staged item is linked as remember() links it (catalog row, vector index,
//     summary); the summaries are added together once the rows are linked, in item order,
//     so their arena slots follow the items as remember()'s would.
//  6. A large batch is checked and encoded on two threads: the calling thread takes the
//     first half, then helps with the second, which is cut into chunks claimed in order by
//     either thread; each touches only its own items and records (the store is only read).
//     Fresh ids are drawn beforehand in item order, as a loop would draw them. The error
//     returned is the first failing item's by position: a failure in the first half
//     abandons the second, and a chunk is skipped only when one before it has failed, so
//     every chunk before the first failed one was encoded whole. Progress is reported from
//     the calling thread alone, item by item over the first half and the second in one step.
#include <atomic>
#include <cstdint>

#include "core/parallel.h"
#include "core/store_state.h"

namespace ormel {
namespace {

constexpr size_t kBlockBytes = size_t{1} << 20;
// Smaller batches are checked and encoded on the calling thread alone; the second half of
// larger ones a chunk of kChunkItems at a time.
constexpr size_t kSplitMinimum = 512;
constexpr size_t kChunkItems = 256;

// Records packed back to back into shared blocks.
class RecordBlocks {
 public:
  // Copies `record` after the previous ones, into a new block when it does not fit.
  void add(std::span<const uint8_t> record) {
    if (blocks_.empty() || used_ + record.size() > capacity_) {
      capacity_ = std::max(kBlockBytes, record.size());
      blocks_.push_back(std::make_shared_for_overwrite<uint8_t[]>(capacity_));
      used_ = 0;
    }
    uint8_t* at = blocks_.back().get() + used_;
    std::copy(record.begin(), record.end(), at);
    records_.push_back({blocks_.size() - 1, std::span<const uint8_t>(at, record.size())});
    used_ += record.size();
  }
  // Moves `other`'s records after these, keeping their blocks.
  void append(RecordBlocks&& other) {
    const size_t offset = blocks_.size();
    blocks_.insert(blocks_.end(), std::make_move_iterator(other.blocks_.begin()),
                   std::make_move_iterator(other.blocks_.end()));
    for (Placed r : other.records_) records_.push_back({r.block + offset, r.bytes});
    if (!other.blocks_.empty()) {
      used_ = other.used_;
      capacity_ = other.capacity_;
    }
    other = RecordBlocks();
  }
  size_t size() const { return records_.size(); }
  std::span<const uint8_t> record(size_t i) const { return records_[i].bytes; }
  std::shared_ptr<const uint8_t[]> block_of(size_t i) const { return blocks_[records_[i].block]; }
  uint64_t pages() const {
    uint64_t n = 0;
    for (const Placed& r : records_) n += run_pages(r.bytes.size());
    return n;
  }

 private:
  struct Placed {
    size_t block;
    std::span<const uint8_t> bytes;
  };
  std::vector<std::shared_ptr<uint8_t[]>> blocks_;
  std::vector<Placed> records_;
  size_t used_ = 0;
  size_t capacity_ = 0;
};

// Checks and encodes items[k] (item first + k of the batch, its vector vectors[k]) into
// `records`, in order, calling after_each() after each; stops at the first refused item (its
// error) or failed after_each() (an error without an item).
template <class AfterEach>
std::optional<BatchError> encode_items(const StoreState& s, std::span<Memory> items,
                                       std::span<const std::span<const float>> vectors, size_t first,
                                       RecordBlocks& records, AfterEach after_each) {
  std::vector<uint8_t> scratch;  // one item's record, reused
  for (size_t k = 0; k < items.size(); ++k) {
    if (auto checked = check_memory(s, items[k], vectors[k]); !checked) return BatchError{first + k, checked.error()};
    scratch.clear();
    if (auto encoded = encode_for_staging(s, items[k], vectors[k], scratch); !encoded)
      return BatchError{first + k, encoded.error()};
    records.add(scratch);
    if (auto more = after_each(); !more) return BatchError{std::nullopt, more.error()};
  }
  return std::nullopt;
}

// Each memory's own vector.
std::vector<std::span<const float>> own_vectors(const std::vector<Memory>& memories) {
  std::vector<std::span<const float>> vectors;
  vectors.reserve(memories.size());
  for (const Memory& m : memories) vectors.emplace_back(m.vector);
  return vectors;
}

}  // namespace

std::expected<std::vector<MemoryId>, BatchError> Ormel::remember_many(std::vector<Memory> memories,
                                                                      const Progress& progress) {
  const std::vector<std::span<const float>> vectors = own_vectors(memories);
  return stage_batch(std::move(memories), vectors, false, Arrival::Remembered, progress);
}

std::expected<std::vector<MemoryId>, BatchError> Ormel::load_memories(std::vector<Memory> memories,
                                                                      const Progress& progress) {
  const std::vector<std::span<const float>> vectors = own_vectors(memories);
  return stage_batch(std::move(memories), vectors, false, Arrival::Restored, progress);
}

std::expected<std::vector<MemoryId>, BatchError> Ormel::remember_many(std::vector<Memory> memories, VectorRows rows,
                                                                      const Progress& progress) {
  if (rows.count != memories.size()) {
    return std::unexpected(BatchError{std::nullopt, OrmelError::invalid_argument(
                                                        "remember_many got " + std::to_string(rows.count) +
                                                        " vectors for " + std::to_string(memories.size()) + " memories")});
  }
  std::vector<std::span<const float>> vectors(rows.count);
  for (size_t i = 0; i < rows.count; ++i) vectors[i] = rows.row(i);
  return stage_batch(std::move(memories), vectors, true, Arrival::Remembered, progress);
}

std::expected<std::vector<MemoryId>, BatchError> Ormel::stage_batch(std::vector<Memory> memories,
                                                                    std::span<const std::span<const float>> vectors,
                                                                    bool vectors_are_rows, Arrival arrival,
                                                                    const Progress& progress) {
  StoreState& s = *s_;
  if (s.read_only) return std::unexpected(BatchError{std::nullopt, OrmelError::read_only()});
  auto stopped = [](OrmelError e) { return std::unexpected(BatchError{std::nullopt, std::move(e)}); };
  auto meter = ProgressMeter::start(progress, memories.size());
  if (!meter) return stopped(meter.error());
  for (Memory& m : memories) {
    if (m.id == 0) m.id = new_ulid();
  }
  const std::span<Memory> items(memories);
  // The first half is the calling thread's, reported item by item. The second half is cut
  // into chunks claimed by another thread and, once done with its half, the calling thread.
  const size_t split = items.size() >= kSplitMinimum ? items.size() / 2 : items.size();
  struct Chunk {
    RecordBlocks records;
    std::optional<BatchError> failed;
  };
  std::vector<Chunk> chunks((items.size() - split + kChunkItems - 1) / kChunkItems);
  Claims claims(chunks.size());
  std::atomic<size_t> first_failed_chunk{SIZE_MAX};
  std::atomic<bool> abandon{false};
  const auto claim_chunks = [&] {
    for (size_t c; claims.next(c);) {
      // A chunk after a refused item cannot change the outcome.
      if (abandon || c > first_failed_chunk) continue;
      const size_t begin = split + c * kChunkItems;
      const size_t count = std::min(kChunkItems, items.size() - begin);
      chunks[c].failed = encode_items(s, items.subspan(begin, count), vectors.subspan(begin, count), begin,
                                      chunks[c].records, [&]() -> Status {
        // Abandoned: the first half's error is the one returned, and this one is never looked at.
        if (abandon) return fail(OrmelError::invalid_argument("remember_many abandoned"));
        return {};
      });
      if (chunks[c].failed) {
        size_t seen = first_failed_chunk;
        while (c < seen && !first_failed_chunk.compare_exchange_weak(seen, c)) {
        }
      }
    }
  };
  RecordBlocks records;
  std::optional<BatchError> failed;
  const auto first_half = [&] {
    failed = encode_items(s, items.first(split), vectors.first(split), 0, records, [&] { return meter->advance(); });
    if (failed) {
      abandon = true;
    } else {
      claim_chunks();
    }
  };
  if (chunks.empty()) {
    first_half();
  } else {
    run_together(first_half, claim_chunks);
  }
  if (failed) return std::unexpected(std::move(*failed));
  for (Chunk& chunk : chunks) {
    // Every chunk before the first with a refused item was encoded whole.
    if (chunk.failed) return std::unexpected(std::move(*chunk.failed));
    records.append(std::move(chunk.records));
  }
  if (auto reported = meter->advance(items.size() - split); !reported) return stopped(reported.error());
  if (auto reported = meter->finish(); !reported) return stopped(reported.error());
  s.catalog.reserve(s.catalog.size() + memories.size());
  s.id_index.reserve(s.id_index.size() + memories.size());
  s.summaries.reserve(memories.size());
  s.pager->cache().reserve(records.pages());
  std::vector<uint64_t> starts;
  starts.reserve(memories.size());
  for (size_t i = 0; i < memories.size(); ++i) {
    const auto block = records.block_of(i);
    auto start = stage_record(s, &block, records.record(i));
    if (!start) {
      // The rows linked so far still get their summaries (invariant 5).
      s.summaries.add_many(starts, std::span(memories).first(i), vectors.first(i));
      return std::unexpected(BatchError{i, start.error()});
    }
    link_catalog_row(s, memories[i], *start, records.record(i).size(), arrival == Arrival::Restored);
    index_staged_memory(s, memories[i].id, vectors[i]);
    starts.push_back(*start);
  }
  std::vector<MemoryId> ids;
  ids.reserve(memories.size());
  for (const Memory& m : memories) ids.push_back(m.id);
  // Freeing ten thousand memories' strings and metadata takes about as long as filling the
  // arena with their vectors: done beside it, unless the vectors are the memories' own.
  const auto free_memories = [&] { std::vector<Memory>().swap(memories); };
  s.summaries.add_many(starts, memories, vectors,
                       vectors_are_rows ? std::function<void()>(free_memories) : std::function<void()>());
  return ids;
}

}  // namespace ormel
