// Verification and the repair tools: checking every live record (stopping at the first
// failure, or collecting them all), and listing memories from the catalog so that damaged
// ones can be found and deleted while the rest of the database stays usable.
#include <algorithm>
#include <cstdio>

#include "core/store_state.h"

namespace ormel {
namespace {

// Reads every page of the record's run (authenticating each one the file holds) and decodes it.
Status check_record(Pager& pager, const CatalogEntry& row) {
  ORMEL_ASSIGN(auto bytes, read_record(pager, row));
  ORMEL_TRY(decode_memory(bytes));
  return {};
}

Status check_cache_entry(Pager& pager, const CacheDirectoryEntry& row) {
  ORMEL_ASSIGN(auto bytes, read_run_bytes(pager, row.start_page, row.page_count, row.len));
  ORMEL_TRY(decode_cache_entry(bytes));
  return {};
}

// "cache entry in namespace '<ns>' (key hash 0123abcd…)": the directory keeps only the hash
// of the key; the namespace is what cache_purge takes.
std::string describe_cache_entry(const CacheDirectoryEntry& row) {
  char hash[9];
  std::snprintf(hash, sizeof hash, "%02x%02x%02x%02x", row.key_hash[0], row.key_hash[1], row.key_hash[2],
                row.key_hash[3]);
  return "cache entry in namespace '" + row.namespace_ + "' (key hash " + hash + "...)";
}

}  // namespace

Result<uint64_t> Ormel::verify(const Progress& progress) {
  StoreState& s = *s_;
  // What is checked is the file: pages cached earlier may no longer be what it holds.
  const Pager::FileReads from_file(*s.pager);
  ORMEL_ASSIGN(ProgressMeter meter, ProgressMeter::start(progress, live_count()));
  uint64_t checked = 0;
  for (const auto& row : s.catalog) {
    if (row.deleted) continue;
    ORMEL_TRY(check_record(*s.pager, row));
    ++checked;
    ORMEL_TRY(meter.advance());
  }
  ORMEL_TRY(meter.finish());
  return checked;
}

Result<VerifyReport> Ormel::verify_all(const Progress& progress) {
  StoreState& s = *s_;
  const Pager::FileReads from_file(*s.pager);  // as verify
  const auto live_entries = std::ranges::count_if(s.cache_directory, [](const auto& row) { return !row.deleted; });
  ORMEL_ASSIGN(ProgressMeter meter,
               ProgressMeter::start(progress, live_count() + live_entries + s.snapshot_manifest.size()));
  VerifyReport report;
  for (const auto& row : s.catalog) {
    if (row.deleted) continue;
    ++report.checked;
    if (auto checked = check_record(*s.pager, row); !checked) {
      report.memories.push_back({row.id, std::move(checked).error()});
    }
    ORMEL_TRY(meter.advance());
  }
  for (const auto& row : s.cache_directory) {
    if (row.deleted) continue;
    if (auto checked = check_cache_entry(*s.pager, row); !checked) {
      report.structures.push_back({describe_cache_entry(row), std::move(checked).error()});
    }
    ORMEL_TRY(meter.advance());
  }
  // Older snapshots: what restore_to would load.
  for (const Snapshot& snap : s.snapshot_manifest) {
    const std::string name = "snapshot of transaction " + std::to_string(snap.txn_id);
    if (auto catalog = s.layout->read_catalog(*s.pager, catalog_run(snap)); !catalog) {
      report.structures.push_back({name + " (catalog)", std::move(catalog).error()});
    }
    if (auto index = load_index(*s.pager, snap.index_start, snap.index_pages, snap.index_len, s.dimensions);
        !index) {
      report.structures.push_back({name + " (index)", std::move(index).error()});
    }
    ORMEL_TRY(meter.advance());
  }
  ORMEL_TRY(meter.finish());
  return report;
}

std::vector<MemoryListing> Ormel::list_memories(const std::optional<std::string>& agent_id,
                                                std::optional<MemoryType> memory_type) {
  StoreState& s = *s_;
  const bool filtered = agent_id || memory_type;
  std::vector<MemoryListing> out;
  for (size_t i = 0; i < s.catalog.size(); ++i) {
    const CatalogEntry& row = s.catalog[i];
    if (row.deleted) continue;
    auto position = summary_of(s, i);
    if (!position) {
      if (!filtered) out.push_back({row.id, std::nullopt});
      continue;
    }
    const RecordSummary& r = s.summaries[*position];
    const std::string_view agent = s.summaries.agent_name(r.agent);
    if ((agent_id && agent != *agent_id) || (memory_type && r.type != *memory_type)) continue;
    out.push_back({row.id, MemoryListing::Kind{std::string(agent), r.type, r.scope}});
  }
  return out;
}

}  // namespace ormel
