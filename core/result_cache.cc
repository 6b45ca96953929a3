// The result cache: exact-key and semantic lookups over the cache directory, with
// time-to-live, hit counting and per-namespace eviction. Writes commit at once, or at the
// end of the batch they are made in (flush() defers while one is open).
#include <cmath>
#include <cstring>
#include <set>

#include "core/crypto.h"
#include "core/store_state.h"

namespace ormel {
namespace {

// The namespace's length, then namespace and model: distinct pairs never share a key, even
// when either text holds NUL characters ("a\0b" + "c" against "a" + "b\0c").
std::string group_key(const std::string& ns, const std::string& model) {
  std::string key = std::to_string(ns.size());
  key.push_back(':');
  key += ns;
  key += model;
  return key;
}

void tombstone(StoreState& s, uint64_t position) {
  CacheDirectoryEntry& row = s.cache_directory[position];
  row.deleted = true;
  s.cache_index.remove(row.namespace_, row.key_hash);
}

// Tombstones the least recently hit live rows of `ns` until it is within its budget.
void evict_to_budget(StoreState& s, const std::string& ns) {
  for (;;) {
    uint64_t count = 0, bytes = 0;
    std::optional<uint64_t> victim;
    for (uint64_t i = 0; i < s.cache_directory.size(); ++i) {
      const CacheDirectoryEntry& row = s.cache_directory[i];
      if (row.deleted || row.namespace_ != ns) continue;
      ++count;
      bytes += row.size_bytes;
      if (!victim || row.accessed_at < s.cache_directory[*victim].accessed_at) victim = i;
    }
    if (count <= CACHE_BUDGET_ENTRIES && bytes <= CACHE_BUDGET_BYTES) return;
    tombstone(s, *victim);
    ++s.cache_evictions;
  }
}

// Stages an entry's run, replaces any live row of its pair, appends and indexes its row.
Status stage_entry(StoreState& s, const CacheEntry& entry) {
  // Refuse what a directory row cannot describe, before paying for the encoding.
  ORMEL_TRY(check_record_length(entry.value.size(), "cache value"));
  std::vector<uint8_t> bytes = encode_cache_entry(entry);
  ORMEL_TRY(check_record_length(bytes.size(), "cache entry"));
  ORMEL_ASSIGN(uint64_t start, stage_run(s, bytes));
  if (auto existing = s.cache_index.get(entry.namespace_, entry.key_hash)) tombstone(s, *existing);
  s.cache_directory.push_back(CacheDirectoryEntry{entry.namespace_, entry.key_hash, start,
                                                  static_cast<uint32_t>(run_pages(bytes.size())),
                                                  static_cast<uint32_t>(bytes.size()), false, entry.created_at, 0,
                                                  entry.size_bytes, entry.ttl_secs, entry.created_at, entry.vector,
                                                  entry.model});
  s.cache_index.insert(entry.namespace_, entry.key_hash, s.cache_directory.size() - 1);
  evict_to_budget(s, entry.namespace_);
  s.cache_dirty = true;
  return {};
}

CacheEntry make_entry(const std::string& ns, std::string_view key, std::vector<uint8_t> value,
                      std::string content_type, std::optional<uint64_t> ttl_secs, int64_t now) {
  CacheEntry entry;
  entry.namespace_ = ns;
  entry.key_hash = hash_key(key);
  entry.key_preview = key_preview(key);
  entry.size_bytes = value.size();
  entry.value = std::move(value);
  entry.content_type = std::move(content_type);
  entry.created_at = entry.accessed_at = now;
  entry.ttl_secs = ttl_secs;
  return entry;
}

// Reads the winning row's entry and records the hit.
Result<CacheHit> take_hit(StoreState& s, uint64_t position, int64_t now) {
  const CacheDirectoryEntry& found = s.cache_directory[position];
  ORMEL_ASSIGN(auto bytes, read_run_bytes(*s.pager, found.start_page, found.page_count, found.len));
  ORMEL_ASSIGN(CacheEntry entry, decode_cache_entry(bytes));
  CacheDirectoryEntry& row = s.cache_directory[position];
  int64_t accessed_at = entry.accessed_at;
  if (!s.read_only) {
    row.accessed_at = accessed_at = now;
    if (row.access_count != UINT32_MAX) ++row.access_count;
    s.cache_dirty = true;
  }
  ++s.cache_hits;
  return CacheHit{std::move(entry.value), std::nullopt, std::move(entry.content_type), row.created_at, accessed_at,
                  row.access_count, row.ttl_secs};
}

}  // namespace

DirectoryIndex DirectoryIndex::build(const std::vector<CacheDirectoryEntry>& rows) {
  DirectoryIndex index;
  for (uint64_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].deleted) index.insert(rows[i].namespace_, rows[i].key_hash, i);
  }
  return index;
}

std::optional<uint64_t> DirectoryIndex::get(const std::string& ns, const KeyHash& key_hash) const {
  auto outer = map_.find(ns);
  if (outer == map_.end()) return std::nullopt;
  auto inner = outer->second.find(key_hash);
  if (inner == outer->second.end()) return std::nullopt;
  return inner->second;
}

void DirectoryIndex::insert(const std::string& ns, const KeyHash& key_hash, uint64_t position) {
  map_[ns][key_hash] = position;
}

void DirectoryIndex::remove(const std::string& ns, const KeyHash& key_hash) {
  auto outer = map_.find(ns);
  if (outer != map_.end()) outer->second.erase(key_hash);
}

size_t DirectoryIndex::KeyHashHasher::operator()(const KeyHash& h) const noexcept {
  size_t v;
  std::memcpy(&v, h.data(), sizeof v);  // a SHA-256 digest is already uniform
  return v;
}

void SemanticGroups::add_rows(const std::vector<CacheDirectoryEntry>& rows, size_t dims) {
  for (; seen_ < rows.size(); ++seen_) {
    const CacheDirectoryEntry& row = rows[seen_];
    if (!row.vector || !row.model) continue;
    auto [it, inserted] = groups_.try_emplace(group_key(row.namespace_, *row.model), dims);
    (void)inserted;
    Group& group = it->second;
    uint32_t slot = row.vector->size() == dims ? group.arena.add(*row.vector) : kNoSlot;
    group.members.push_back({seen_, slot});
  }
}

const SemanticGroups::Group* SemanticGroups::find(const std::string& ns, const std::string& model) const {
  auto it = groups_.find(group_key(ns, model));
  return it == groups_.end() ? nullptr : &it->second;
}

KeyHash hash_key(std::string_view key) {
  return sha256(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(key.data()), key.size()));
}

std::string key_preview(std::string_view key) {
  constexpr size_t kMaxChars = 120;
  size_t chars = 0, cut = key.size();
  for (size_t i = 0; i < key.size(); ++i) {
    if ((static_cast<uint8_t>(key[i]) & 0xC0) == 0x80) continue;  // continuation byte
    if (chars == kMaxChars - 1) cut = i;
    ++chars;
  }
  if (chars <= kMaxChars) return std::string(key);
  return std::string(key.substr(0, cut)) + "…";
}

bool is_expired(std::optional<uint64_t> ttl_secs, int64_t created_at, int64_t now) {
  if (!ttl_secs) return false;
  return *ttl_secs <= static_cast<uint64_t>(age_secs(now, created_at));
}

Status Ormel::cache_put(const std::string& ns, std::string_view key, std::vector<uint8_t> value,
                        std::string content_type, std::optional<uint64_t> ttl_secs) {
  StoreState& s = *s_;
  if (s.read_only) return fail(OrmelError::read_only());
  ORMEL_TRY(stage_entry(s, make_entry(ns, key, std::move(value), std::move(content_type), ttl_secs, now_secs())));
  return flush();
}

Result<std::optional<CacheHit>> Ormel::cache_get(const std::string& ns, std::string_view key) {
  StoreState& s = *s_;
  auto position = s.cache_index.get(ns, hash_key(key));
  const int64_t now = now_secs();
  if (!position || is_expired(s.cache_directory[*position].ttl_secs, s.cache_directory[*position].created_at, now)) {
    ++s.cache_misses;
    return std::optional<CacheHit>{};
  }
  ORMEL_ASSIGN(CacheHit hit, take_hit(s, *position, now));
  return std::optional<CacheHit>(std::move(hit));
}

Status Ormel::cache_delete(const std::string& ns, std::string_view key) {
  StoreState& s = *s_;
  if (s.read_only) return fail(OrmelError::read_only());
  if (auto position = s.cache_index.get(ns, hash_key(key))) {
    tombstone(s, *position);
    s.cache_dirty = true;
  }
  return flush();
}

Result<uint64_t> Ormel::cache_purge(const std::optional<std::string>& ns, bool expired_only) {
  StoreState& s = *s_;
  if (s.read_only) return fail(OrmelError::read_only());
  const int64_t now = now_secs();
  uint64_t purged = 0;
  for (uint64_t i = 0; i < s.cache_directory.size(); ++i) {
    const CacheDirectoryEntry& row = s.cache_directory[i];
    if (row.deleted || (ns && row.namespace_ != *ns)) continue;
    if (expired_only && !is_expired(row.ttl_secs, row.created_at, now)) continue;
    tombstone(s, i);
    ++purged;
  }
  if (purged > 0) s.cache_dirty = true;
  ORMEL_TRY(flush());
  return purged;
}

CacheStats Ormel::cache_stats(const std::optional<std::string>& ns) const {
  const StoreState& s = *s_;
  CacheStats st;
  for (const auto& row : s.cache_directory) {
    if (row.deleted || (ns && row.namespace_ != *ns)) continue;
    ++st.entries;
    st.bytes += row.size_bytes;
  }
  st.hits = s.cache_hits;
  st.misses = s.cache_misses;
  const uint64_t lookups = s.cache_hits + s.cache_misses;
  st.hit_rate = lookups == 0 ? 0.0 : static_cast<double>(s.cache_hits) / static_cast<double>(lookups);
  st.evictions = s.cache_evictions;
  return st;
}

std::vector<std::string> Ormel::cache_namespaces() const {
  std::set<std::string> names;
  for (const auto& row : s_->cache_directory) {
    if (!row.deleted) names.insert(row.namespace_);
  }
  return {names.begin(), names.end()};
}

Status Ormel::cache_put_semantic(const std::string& ns, std::string_view key, std::vector<float> vector,
                                 std::vector<uint8_t> value, std::string model, std::string content_type,
                                 std::optional<uint64_t> ttl_secs) {
  StoreState& s = *s_;
  if (s.read_only) return fail(OrmelError::read_only());
  if (vector.size() != s.dimensions) return fail(OrmelError::dimension_mismatch(s.dimensions, vector.size()));
  ORMEL_TRY(check_finite(vector, "vector"));
  CacheEntry entry = make_entry(ns, key, std::move(value), std::move(content_type), ttl_secs, now_secs());
  entry.vector = std::move(vector);
  entry.model = std::move(model);
  ORMEL_TRY(stage_entry(s, entry));
  return flush();
}

Result<std::optional<CacheHit>> Ormel::cache_get_semantic(const std::string& ns, std::span<const float> query,
                                                          const std::string& model, float threshold) {
  StoreState& s = *s_;
  if (query.size() != s.dimensions) return fail(OrmelError::dimension_mismatch(s.dimensions, query.size()));
  ORMEL_TRY(check_finite(query, "query"));
  if (std::isnan(threshold)) return fail(OrmelError::invalid_argument("semantic threshold is NaN"));
  const int64_t now = now_secs();
  s.semantic_groups.add_rows(s.cache_directory, s.dimensions);

  std::optional<uint64_t> best;
  float best_similarity = 0.0f;
  if (const SemanticGroups::Group* group = s.semantic_groups.find(ns, model)) {
    std::vector<float> dots;
    group->arena.dots(query, dots);
    const float query_norm_sq = sum_of_squares(query);
    for (const SemanticGroups::Member& member : group->members) {
      const CacheDirectoryEntry& row = s.cache_directory[member.row];
      if (row.deleted || is_expired(row.ttl_secs, row.created_at, now)) continue;
      const float sim = member.slot == SemanticGroups::kNoSlot
                            ? similarity(Metric::Cosine, query, *row.vector)
                            : cosine_from_parts(dots[member.slot], query_norm_sq, group->arena.norm_sq(member.slot),
                                                group->arena.dims());
      // The first candidate becomes the best; only a strictly greater one replaces it.
      if (!best || sim > best_similarity) {
        best = member.row;
        best_similarity = sim;
      }
    }
  }
  if (!best || best_similarity < threshold) {
    ++s.cache_misses;
    return std::optional<CacheHit>{};
  }
  ORMEL_ASSIGN(CacheHit hit, take_hit(s, *best, now));
  hit.similarity = best_similarity;
  return std::optional<CacheHit>(std::move(hit));
}

}  // namespace ormel
