// Remember, get, delete and list memories: staging into dirty pages and the catalog.
#include "core/store_state.h"

namespace ormel {

Status check_memory(const StoreState& s, const Memory& memory, std::span<const float> vector) {
  if (vector.size() != s.dimensions) return fail(OrmelError::dimension_mismatch(s.dimensions, vector.size()));
  ORMEL_TRY(check_finite(vector, "vector"));
  // Refuse what a catalog row cannot describe, before paying for the encoding.
  return check_record_length(memory.content.size(), "memory content");
}

Status encode_for_staging(const StoreState& s, Memory& memory, std::span<const float> vector,
                          std::vector<uint8_t>& out) {
  if (memory.id == 0) memory.id = new_ulid();
  const size_t before = out.size();
  ORMEL_TRY(append_memory(memory, vector, out, record_vector_form(s.header.format_version)));
  if (auto length = check_record_length(out.size() - before, "memory record"); !length) {
    out.resize(before);
    return length;
  }
  return {};
}

void link_catalog_row(StoreState& s, const Memory& memory, uint64_t start, uint64_t len, bool restore_counters) {
  const uint32_t pages = record_row_pages(s.header.format_version, start, len);
  // One hash lookup finds an existing row or makes room for a new one.
  auto [it, fresh] = s.id_index.try_emplace(memory.id, s.catalog.size());
  if (fresh) {
    s.catalog.push_back(
        CatalogEntry{memory.id, start, pages, static_cast<uint32_t>(len), false, memory.accessed_at, memory.access_count});
  } else {
    // A replacement keeps the row, hence its catalog position and access counters.
    CatalogEntry& row = s.catalog[it->second];
    row.start_page = start;
    row.page_count = pages;
    row.len = static_cast<uint32_t>(len);
    row.deleted = false;
    if (restore_counters) {
      row.accessed_at = memory.accessed_at;
      row.access_count = memory.access_count;
    }
  }
  note_keyword_row(s, it->second);
  s.catalog_dirty = true;
}

void index_staged_memory(StoreState& s, MemoryId id, std::span<const float> vector) {
  if (s.index) {
    s.index->add(id, vector);
    s.index_dirty = true;
  }
}

void link_staged_memory(StoreState& s, const Memory& memory, uint64_t start, uint64_t len) {
  link_catalog_row(s, memory, start, len);
  s.summaries.add(start, memory);
  index_staged_memory(s, memory.id, memory.vector);
}

Status stage_memory(StoreState& s, const Memory& memory, std::span<const uint8_t> record) {
  ORMEL_ASSIGN(uint64_t start, stage_record(s, nullptr, record));
  link_staged_memory(s, memory, start, record.size());
  return {};
}

Result<MemoryId> Ormel::remember(Memory memory) {
  StoreState& s = *s_;
  if (s.read_only) return fail(OrmelError::read_only());
  ORMEL_TRY(check_memory(s, memory, memory.vector));
  std::vector<uint8_t> record;
  ORMEL_TRY(encode_for_staging(s, memory, memory.vector, record));
  ORMEL_TRY(stage_memory(s, memory, record));
  return memory.id;
}

Status Ormel::update(MemoryId id, MemoryChanges changes) {
  StoreState& s = *s_;
  if (s.read_only) return fail(OrmelError::read_only());
  auto it = s.id_index.find(id);
  if (it == s.id_index.end() || s.catalog[it->second].deleted) return fail(OrmelError::not_found(ulid_to_text(id)));
  const MemoryChanges& c = changes;
  if (!c.content && !c.memory_type && !c.vector && !c.importance && !c.metadata && !c.ttl_secs && !c.scope &&
      !c.session_id)
    return {};  // nothing to change: no new version
  ORMEL_ASSIGN(Memory memory, read_memory(*s.pager, s.catalog[it->second], s.dimensions));
  if (changes.content) memory.content = std::move(*changes.content);
  if (changes.memory_type) memory.memory_type = *changes.memory_type;
  if (changes.vector) memory.vector = std::move(*changes.vector);
  if (changes.importance) memory.importance = *changes.importance;
  if (changes.metadata) memory.metadata = std::move(*changes.metadata);
  if (changes.ttl_secs) memory.ttl_secs = *changes.ttl_secs;
  if (changes.scope) memory.scope = *changes.scope;
  if (changes.session_id) memory.session_id = std::move(*changes.session_id);
  ORMEL_TRY(check_memory(s, memory, memory.vector));
  std::vector<uint8_t> record;
  ORMEL_TRY(encode_for_staging(s, memory, memory.vector, record));
  return stage_memory(s, memory, record);
}

Result<Memory> Ormel::get(MemoryId id) {
  StoreState& s = *s_;
  auto it = s.id_index.find(id);
  if (it == s.id_index.end() || s.catalog[it->second].deleted) return fail(OrmelError::not_found(ulid_to_text(id)));
  return read_memory(*s.pager, s.catalog[it->second], s.dimensions);
}

Status Ormel::delete_memory(MemoryId id) {
  StoreState& s = *s_;
  if (s.read_only) return fail(OrmelError::read_only());
  auto it = s.id_index.find(id);
  if (it == s.id_index.end()) return fail(OrmelError::not_found(ulid_to_text(id)));
  CatalogEntry& row = s.catalog[it->second];
  if (!row.deleted) {
    row.deleted = true;
    note_keyword_row(s, it->second);
    s.catalog_dirty = true;
  }
  if (s.index) {
    s.index->remove(id);
    s.index_dirty = true;
  }
  return {};
}

Result<std::vector<Memory>> Ormel::memories() {
  StoreState& s = *s_;
  std::vector<Memory> out;
  for (const auto& row : s.catalog) {
    if (row.deleted) continue;
    ORMEL_ASSIGN(Memory m, read_memory(*s.pager, row, s.dimensions));
    out.push_back(std::move(m));
  }
  return out;
}

uint64_t Ormel::live_count() const {
  uint64_t n = 0;
  for (const auto& row : s_->catalog) n += row.deleted ? 0 : 1;
  return n;
}

}  // namespace ormel
