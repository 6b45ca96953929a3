// remember_many: stages a batch of memories, all or none.
//
// Invariants:
//  1. Nothing is staged until every item has passed the store's checks and been encoded;
//     staging an encoded memory cannot fail, so a batch is staged whole or not at all.
//  2. Every progress report, the last included, comes before the first item is staged, so
//     a batch stopped by its progress callback stages nothing.
//  3. Items are staged in their order, exactly as a loop of remember() would stage them:
//     an id repeated within the batch ends pointing at its last item.
#include "core/store_state.h"

namespace ormel {

std::expected<std::vector<MemoryId>, BatchError> Ormel::remember_many(std::vector<Memory> memories,
                                                                      const Progress& progress) {
  StoreState& s = *s_;
  if (s.read_only) return std::unexpected(BatchError{std::nullopt, OrmelError::read_only()});
  auto stopped = [](OrmelError e) { return std::unexpected(BatchError{std::nullopt, std::move(e)}); };
  auto meter = ProgressMeter::start(progress, memories.size());
  if (!meter) return stopped(meter.error());
  std::vector<EncodedMemory> encoded;
  encoded.reserve(memories.size());
  for (size_t i = 0; i < memories.size(); ++i) {
    if (auto checked = check_memory(s, memories[i]); !checked) return std::unexpected(BatchError{i, checked.error()});
    auto ready = encode_for_staging(std::move(memories[i]));
    if (!ready) return std::unexpected(BatchError{i, ready.error()});
    encoded.push_back(std::move(*ready));
    if (auto reported = meter->advance(); !reported) return stopped(reported.error());
  }
  if (auto reported = meter->finish(); !reported) return stopped(reported.error());
  s.catalog.reserve(s.catalog.size() + encoded.size());
  s.id_index.reserve(s.id_index.size() + encoded.size());
  std::vector<MemoryId> ids;
  ids.reserve(encoded.size());
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (auto staged = stage_memory(s, encoded[i]); !staged) return std::unexpected(BatchError{i, staged.error()});
    ids.push_back(encoded[i].memory.id);
  }
  return ids;
}

}  // namespace ormel
