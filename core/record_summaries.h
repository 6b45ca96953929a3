// Decoded scoring fields of memory records, kept in memory for recall and search.
//
// Contract: a record run never changes once written (a replaced memory gets a new start
// page, a restore points the catalog at existing runs), so a summary keyed by the run's
// start page never needs invalidation. Vectors of the database's width live in a
// VectorArena (interleaved for lane-per-record scans); a vector of another width (only
// possible in a damaged or foreign file) is kept aside and scored by the scalar path.
// Agent ids are interned so the agent filter compares integers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/memory.h"
#include "core/vector_scan.h"

namespace ormel {

struct RecordSummary {
  static constexpr uint32_t kNoSlot = UINT32_MAX;
  uint32_t slot = kNoSlot;  // VectorArena slot, or kNoSlot when the width differs
  uint32_t agent = 0;       // interned agent id
  MemoryType type = MemoryType::Episodic;
  Scope scope = Scope::Private;
  float importance = 0;
  int64_t created_at = 0;
  std::optional<int64_t> ttl_secs;
  std::vector<float> odd_vector;  // only when slot == kNoSlot
};

class RecordSummaries {
 public:
  void reset(size_t dims);
  const RecordSummary* find(uint64_t start_page) const;
  const RecordSummary& add(uint64_t start_page, const Memory& m);
  // The interned id of an agent, or nullopt when no summarised record has it.
  std::optional<uint32_t> agent_of(std::string_view agent_id) const;
  // The agent id interned as `agent` (a value of RecordSummary::agent).
  const std::string& agent_name(uint32_t agent) const { return agent_names_[agent]; }
  const VectorArena& vectors() const { return *arena_; }

 private:
  std::optional<VectorArena> arena_;
  std::unordered_map<uint64_t, RecordSummary> by_page_;
  std::unordered_map<std::string, uint32_t> agents_;
  std::vector<std::string> agent_names_;  // by interned id
};

}  // namespace ormel
