// Building, dropping and querying the presence of the approximate index.
#include "core/store_state.h"

namespace ormel {

Status Ormel::build_index() {
  StoreState& s = *s_;
  if (s.read_only) return fail(OrmelError::read_only());
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
  }
  if (ids.empty()) return fail(OrmelError::invalid_argument("cannot build an index over an empty database"));
  s.index = build_ivfpq(ids, vectors, s.dimensions);
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
