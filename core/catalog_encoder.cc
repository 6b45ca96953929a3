#include "core/catalog_encoder.h"

#include <algorithm>
#include <cstring>

#include "core/record_codec.h"

namespace ormel {
namespace {

constexpr size_t kBlockRows = 64;

}  // namespace

std::span<const uint8_t> CatalogEncoder::encode(std::span<const CatalogEntry> rows) {
  const std::vector<uint8_t> head =
      pack_to_bytes([&](Packer& pk) { pk.pack_array(static_cast<uint32_t>(rows.size())); });
  const size_t old_head = starts_.empty() ? bytes_.size() : starts_[0];
  if (bytes_.empty() || head.size() != old_head) {
    // The array marker changed width: every row moves (invariant 2), so start afresh.
    bytes_ = head;
    starts_.clear();
    encode_from(0, rows);
    return bytes_;
  }
  std::copy(head.begin(), head.end(), bytes_.begin());

  const size_t common = std::min(rows.size(), rows_.size());
  std::vector<uint8_t> row_bytes;
  for (size_t block = 0; block < common; block += kBlockRows) {
    const size_t end = std::min(common, block + kBlockRows);
    // Rows equal byte for byte are equal field by field: most blocks are passed at memcmp's
    // pace, and only a block that differs (in a field, or only in padding) is looked into.
    if (std::memcmp(rows.data() + block, rows_.data() + block, (end - block) * sizeof(CatalogEntry)) == 0) continue;
    for (size_t i = block; i < end; ++i) {
      if (rows[i] == rows_[i]) continue;
      row_bytes.clear();
      ByteSink sink{&row_bytes};
      Packer pk(sink);
      encode_record(pk, rows[i]);
      if (row_bytes.size() != row_end(i) - starts_[i]) {
        // A field crossed an integer-width boundary: the rows after it shift.
        encode_from(i, rows);
        return bytes_;
      }
      std::memcpy(bytes_.data() + starts_[i], row_bytes.data(), row_bytes.size());
      live_ += static_cast<uint64_t>(!rows[i].deleted) - static_cast<uint64_t>(!rows_[i].deleted);
      rows_[i] = rows[i];
    }
  }
  encode_from(common, rows);  // appended rows, or the tail of a shorter list dropped
  return bytes_;
}

void CatalogEncoder::encode_from(size_t i, std::span<const CatalogEntry> rows) {
  if (i < starts_.size()) bytes_.resize(starts_[i]);
  for (size_t j = i; j < rows_.size(); ++j) live_ -= rows_[j].deleted ? 0 : 1;
  rows_.resize(i);
  starts_.resize(i);
  ByteSink sink{&bytes_};
  Packer pk(sink);
  for (size_t j = i; j < rows.size(); ++j) {
    starts_.push_back(bytes_.size());
    encode_record(pk, rows[j]);
    rows_.push_back(rows[j]);
    live_ += rows[j].deleted ? 0 : 1;
  }
}

}  // namespace ormel
