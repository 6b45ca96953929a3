#include "core/cache_records.h"

#include "core/record_codec.h"

namespace ormel {

std::vector<uint8_t> encode_cache_entry(const CacheEntry& entry) {
  return encode_record(entry, 96 + entry.namespace_.size() + entry.key_preview.size() + 2 * entry.value.size() +
                                 (entry.vector ? 5 * entry.vector->size() : 0));
}

Result<CacheEntry> decode_cache_entry(std::span<const uint8_t> bytes) { return decode_record<CacheEntry>(bytes); }

std::vector<uint8_t> encode_cache_directory(const std::vector<CacheDirectoryEntry>& rows) {
  return encode_array(rows, 80 * rows.size() + 5);  // size hint: a row without a vector
}

Result<std::vector<CacheDirectoryEntry>> decode_cache_directory(std::span<const uint8_t> bytes) {
  return decode_array<CacheDirectoryEntry>(bytes);
}

}  // namespace ormel
