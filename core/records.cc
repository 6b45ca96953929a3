#include "core/records.h"

#include "core/record_codec.h"

namespace ormel {

std::vector<uint8_t> encode_catalog(const std::vector<CatalogEntry>& rows) {
  return encode_array(rows, 40 * rows.size() + 5);  // a typical row takes under 40 bytes
}
Result<std::vector<CatalogEntry>> decode_catalog(std::span<const uint8_t> bytes) {
  return decode_array<CatalogEntry>(bytes);
}

std::vector<uint8_t> encode_catalog_v4(const std::vector<CatalogEntryV4>& rows) { return encode_array(rows); }
Result<std::vector<CatalogEntryV4>> decode_catalog_v4(std::span<const uint8_t> bytes) {
  return decode_array<CatalogEntryV4>(bytes);
}

std::vector<uint8_t> encode_manifest(const std::vector<Snapshot>& snapshots) { return encode_array(snapshots); }
Result<std::vector<Snapshot>> decode_manifest(std::span<const uint8_t> bytes) {
  return decode_array<Snapshot>(bytes);
}

}  // namespace ormel
