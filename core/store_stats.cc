// Statistics, and the onboarding memories that let a database describe itself.
#include <algorithm>

#include "core/float_order.h"
#include "core/store_state.h"

namespace ormel {
namespace {

constexpr std::string_view kEngineVersion = "0.4.0";

// ASCII case-insensitive equality with a JSON string value.
bool json_string_is(const Json& metadata, const char* key, std::string_view expected) {
  if (!metadata.is_object()) return false;
  auto it = metadata.find(key);
  if (it == metadata.end() || !it->is_string()) return false;
  const std::string& value = it->get_ref<const std::string&>();
  if (value.size() != expected.size()) return false;
  for (size_t i = 0; i < value.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(value[i]) != lower(expected[i])) return false;
  }
  return true;
}

bool is_onboarding(const Json& metadata) { return json_string_is(metadata, "area", "onboarding"); }

}  // namespace

bool is_manifest(const Json& metadata) { return json_string_is(metadata, "topic", "manifest"); }

Result<Stats> Ormel::stats() {
  StoreState& s = *s_;
  Stats st;
  for (const auto& row : s.catalog) (row.deleted ? st.deleted : st.live) += 1;
  ORMEL_ASSIGN(auto live, memories());
  for (const Memory& m : live) st.agents.push_back(m.agent_id);
  std::sort(st.agents.begin(), st.agents.end());
  st.agents.erase(std::unique(st.agents.begin(), st.agents.end()), st.agents.end());
  st.dimensions = s.dimensions;
  st.file_bytes = s.header.page_count * PAGE_SIZE;
  st.created_at = static_cast<int64_t>(s.header.created_at);
  st.wal_pages = s.header.wal_pages;
  st.encrypted = (s.header.encrypted & 1) != 0;
  if (s.index) st.index = IndexSummary{s.index->vector_count(), s.index->n_partitions, s.index->subspaces()};
  return st;
}

Result<std::vector<Memory>> Ormel::about() {
  ORMEL_ASSIGN(auto live, memories());
  std::vector<Memory> onboarding;
  for (Memory& m : live) {
    if (is_onboarding(m.metadata)) onboarding.push_back(std::move(m));
  }
  std::stable_sort(onboarding.begin(), onboarding.end(), [](const Memory& a, const Memory& b) {
    const bool ma = is_manifest(a.metadata), mb = is_manifest(b.metadata);
    if (ma != mb) return ma;
    const int32_t ia = total_order_key(a.importance), ib = total_order_key(b.importance);
    if (ia != ib) return ia > ib;
    return a.created_at < b.created_at;
  });
  return onboarding;
}

Result<MemoryId> Ormel::insert_default_manifest() {
  // Through the statistics, so a database whose records cannot be read is reported, not
  // given one more memory.
  ORMEL_ASSIGN(const Stats st, stats());
  const uint64_t n = st.dimensions;
  Memory m = Memory::make(
      "ORMEL MANIFEST (scaffold) — Fresh " + std::to_string(n) +
          "-dimensional database created by `ormel init`. This is a placeholder. Replace it with a memory that "
          "records your project's embedder (name, dimensions, normalize), default agent_id, and metadata "
          "conventions; keep the metadata keys `area=\"onboarding\"` and `topic=\"manifest\"` so `ormel about` "
          "continues to surface it as the headline orientation point. Drop `metadata.scaffold` once you've "
          "replaced this entry so tooling knows the manifest has been curated.",
      MemoryType::Semantic, std::vector<float>(n, 0.0f));
  m.metadata = Json::object({{"area", "onboarding"},
                             {"topic", "manifest"},
                             {"scaffold", true},
                             {"engine_version", std::string(kEngineVersion)},
                             {"dimensions", n}});
  m.agent_id = "ormel";
  m.scope = Scope::Shared;
  m.importance = 1.0f;
  return remember(std::move(m));
}

}  // namespace ormel
