// Building, dropping and querying the presence of the approximate index.
#include "core/store_state.h"

namespace ormel {
namespace {

// Progress units a memory's vector is worth while it is gathered: about what comparing it
// with this many centroids costs when its record still has to be read and decoded.
constexpr uint64_t kGatherCentroids = 64;

}  // namespace

// Invariant: the loaded index and index_dirty change only once the whole build, its last
// progress report included, has succeeded.
Status Ormel::build_index(const Progress& progress) {
  StoreState& s = *s_;
  if (s.read_only) return fail(OrmelError::read_only());
  const uint64_t live = live_count();
  const uint64_t gather_work = kGatherCentroids * s.dimensions;
  ORMEL_ASSIGN(ProgressMeter meter,
               ProgressMeter::start(progress, live * gather_work + build_ivfpq_work(live, s.dimensions)));
  std::vector<MemoryId> ids;
  std::vector<float> vectors;
  std::vector<float> scratch;
  for (size_t i = 0; i < s.catalog.size(); ++i) {
    const CatalogEntry& row = s.catalog[i];
    if (row.deleted) continue;
    ORMEL_ASSIGN(uint32_t position, summary_of(s, i));
    const uint32_t slot = s.summaries[position].slot;
    std::span<const float> v = s.summaries.odd_vector(position);
    if (slot != RecordSummary::kNoSlot) {
      s.summaries.vectors().copy_vector(slot, scratch);
      v = scratch;
    }
    if (v.size() != s.dimensions) {
      return fail(OrmelError::dimension_mismatch(s.dimensions, v.size()));
    }
    ids.push_back(row.id);
    vectors.insert(vectors.end(), v.begin(), v.end());
    ORMEL_TRY(meter.advance(gather_work));
  }
  if (ids.empty()) return fail(OrmelError::invalid_argument("cannot build an index over an empty database"));
  ORMEL_ASSIGN(IvfPqIndex built, build_ivfpq(ids, vectors, s.dimensions, &meter));
  ORMEL_TRY(meter.finish());
  s.index = std::move(built);
  s.index_dirty = true;
  return {};
}

void Ormel::drop_index() {
  StoreState& s = *s_;
  if (s.read_only || !s.index) return;
  s.index.reset();
  s.index_dirty = true;
}

bool Ormel::has_index() const { return s_->index.has_value(); }

}  // namespace ormel
