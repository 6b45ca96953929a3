// CatalogEncoder: the catalog blob, kept between flushes so that a flush re-encodes only the
// rows that changed.
//
// Contract:
// - encode(rows) returns exactly encode_catalog(rows), whatever happened to the rows since
//   the previous call (rows changed, appended, removed or the whole list replaced): every
//   row is compared with the copy taken when its bytes were last written.
// - The returned bytes stay valid until the next call to encode.
// - live_rows() is the number of rows not marked deleted among those last encoded, kept as
//   rows change so that a flush need not count the whole catalog again.
//
// Invariants (between calls):
//   1. bytes_ is encode_catalog(rows_).
//   2. starts_[i] is the offset in bytes_ of row i's encoding; starts_.size() == rows_.size().
//   3. live_ is the number of rows of rows_ not marked deleted.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/records.h"

namespace ormel {

class CatalogEncoder {
 public:
  std::span<const uint8_t> encode(std::span<const CatalogEntry> rows);
  uint64_t live_rows() const { return live_; }

 private:
  size_t row_end(size_t i) const { return i + 1 < starts_.size() ? starts_[i + 1] : bytes_.size(); }
  // Drops rows i.. and appends the encodings of rows[i..].
  void encode_from(size_t i, std::span<const CatalogEntry> rows);

  std::vector<CatalogEntry> rows_;
  std::vector<uint8_t> bytes_;
  std::vector<size_t> starts_;
  uint64_t live_ = 0;
};

}  // namespace ormel
