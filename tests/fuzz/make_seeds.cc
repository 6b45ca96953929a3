// Writes the seed corpus of every fuzz target from databases the engine itself writes:
//   fuzz_seeds <out-dir> <legacy-fixture-dir>
// makes <out-dir>/<target>/<name> files: whole files and their header pages (raw targets),
// and the decrypted runs and records those files hold (decoder targets). The databases are
// a fresh one with memories, an index, snapshots and cache entries; the same caught by a
// power loss at every write and sync of a flush (torn logs, unapplied commits, torn
// headers); and the legacy fixtures of older format versions.
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "core/store.h"
#include "core/store_state.h"
#include "tests/core/support/fault_env.h"

using namespace ormel;
using testing::CrashMode;
using testing::MemEnv;

namespace {

constexpr const char* kPassphrase = "correct horse";  // also the legacy fixtures' passphrase
constexpr const char* kDb = "/seed.db";
constexpr uint64_t kDims = 4;

[[noreturn]] void die(const std::string& what, const OrmelError& error) {
  std::fprintf(stderr, "fuzz_seeds: %s: %s\n", what.c_str(), error.message().c_str());
  std::exit(1);
}

template <class T>
T must(Result<T> r, const std::string& what) {
  if (!r) die(what, r.error());
  return std::move(*r);
}

void must(Status s, const std::string& what) {
  if (!s) die(what, s.error());
}

// Seed files, one directory per target; identical bytes are written once per target.
class SeedWriter {
 public:
  explicit SeedWriter(std::string root) : root_(std::move(root)) {}
  void put(const std::string& target, const std::string& name, std::span<const uint8_t> bytes) {
    if (!seen_.insert(target + std::string(bytes.begin(), bytes.end())).second) return;
    std::filesystem::create_directories(root_ + "/" + target);
    auto file = must(posix_env()->open_locked(root_ + "/" + target + "/" + name, {.write = true, .create = true}),
                     "create seed " + name);
    must(file->write_at(0, bytes), "write seed " + name);
  }
  // A whole database file feeds the raw targets: the log scan the whole of it, the header its page 0.
  void put_file(const std::string& name, const std::vector<uint8_t>& bytes) {
    put("wal_fuzz", name, bytes);
    put("header_fuzz", name, std::span(bytes).first(std::min<size_t>(bytes.size(), PAGE_SIZE)));
  }

 private:
  std::string root_;
  std::set<std::string> seen_;
};

Memory seed_memory(uint32_t i) {
  Memory m = Memory::make("seed memory " + std::to_string(i), static_cast<MemoryType>(i % 4),
                          {0.25f * static_cast<float>(i), -1.0f, 1.0f / static_cast<float>(i + 1), 2.5f});
  m.metadata = Json{{"n", i}, {"tags", Json::array({"x", i % 3, nullptr})}, {"w", 0.5 * i}, {"deep", {{"k", true}}}};
  m.agent_id = "agent-" + std::to_string(i % 2);
  if (i % 2 == 1) m.session_id = "s" + std::to_string(i);
  m.scope = i % 3 == 0 ? Scope::Shared : Scope::Private;
  if (i % 4 == 0) m.ttl_secs = 86400 * (i + 1);
  return m;
}

// The decrypted runs a header names, and every record and cache entry its catalog and cache
// directory point to, read through the open store's pager.
void put_runs(SeedWriter& out, Ormel& db, const Header& h, const std::string& tag) {
  Pager& pager = *db.state().pager;
  // An upgrading open has moved the pager to the current page rule; the pages on disk still
  // follow the file's own.
  pager.set_format_version(h.format_version);
  auto run = [&](const char* target, uint64_t start, uint64_t pages, uint64_t len) {
    if (pages == 0) return;
    out.put(target, tag + "-" + std::to_string(start),
            must(read_run_bytes(pager, start, pages, len), std::string("read ") + target));
  };
  // Version 9 names the roots of trees, version 8 whole lists.
  const bool trees = h.format_version >= PAGED_FORMAT_VERSION;
  run(trees ? "row_tree_fuzz" : "catalog_fuzz", h.catalog_start, h.catalog_pages, h.catalog_len);
  run("index_fuzz", h.index_start, h.index_pages, h.index_len);
  run(trees ? "row_tree_fuzz" : "manifest_fuzz", h.manifest_start, h.manifest_pages, h.manifest_len);
  run(trees ? "row_tree_fuzz" : "cache_directory_fuzz", h.cache_dir_start, h.cache_dir_pages, h.cache_dir_len);
  const StoreState& s = db.state();
  for (size_t i = 0; i < s.catalog.size(); ++i) {
    const auto record = must(read_record(pager, s.catalog[i]), "read record");
    out.put("memory_fuzz", tag + "-" + std::to_string(i), record);
    if (auto m = decode_memory(record)) {
      out.put("tokenizer_fuzz", tag + "-" + std::to_string(i),
              std::span(reinterpret_cast<const uint8_t*>(m->content.data()), m->content.size()));
    }
  }
  for (size_t i = 0; i < s.cache_directory.size(); ++i) {
    const CacheDirectoryEntry& row = s.cache_directory[i];
    out.put("cache_entry_fuzz", tag + "-" + std::to_string(i),
            must(read_run_bytes(pager, row.start_page, row.page_count, row.len), "read cache entry"));
  }
}

Header header_of(const std::vector<uint8_t>& file) {
  Page page{};
  std::copy_n(file.begin(), PAGE_SIZE, page.begin());
  return must(from_page(page), "read header");
}

// Opens `bytes` read-write in a fresh in-memory file system and writes its seeds.
void put_database(SeedWriter& out, const std::vector<uint8_t>& bytes, const std::string& tag) {
  out.put_file(tag, bytes);
  MemEnv env;
  env.write_file(kDb, bytes);
  auto db = must(Ormel::open(kDb, kPassphrase, std::nullopt, false, &env), "open " + tag);
  put_runs(out, *db, header_of(bytes), tag);
}

std::vector<uint8_t> fresh_database(uint16_t version) {
  MemEnv env;
  auto db = must(Ormel::open(kDb, kPassphrase, kDims, false, &env, version), "create");
  std::vector<MemoryId> ids;
  for (uint32_t i = 0; i < 12; ++i) ids.push_back(must(db->remember(seed_memory(i)), "remember"));
  must(db->flush(), "flush");
  must(db->build_index(), "build index");
  must(db->flush(), "flush index");
  must(db->delete_memory(ids[3]), "delete");
  must(db->remember(seed_memory(12)), "remember");
  must(db->flush(), "flush delete");
  must(db->cache_put("ns", "exact key", {1, 2, 3}, "application/octet-stream", 3600), "cache put");
  must(db->cache_put("other", "another key", {}, "text/plain", std::nullopt), "cache put");
  must(db->cache_put_semantic("ns", "semantic key", {1.0f, 0.0f, 0.5f, -0.5f}, {9, 9}, "model-a",
                              "application/json", std::nullopt),
       "semantic cache put");
  must(db->cache_delete("other", "another key"), "cache delete");
  db.reset();
  return env.read_file(kDb);
}

// The fresh database caught by a power loss at each write and sync of one more flush.
void put_crashed(SeedWriter& out, const std::vector<uint8_t>& base) {
  for (CrashMode mode : {CrashMode::Torn, CrashMode::Keep}) {
    for (uint64_t n = 1;; ++n) {
      MemEnv env;
      env.write_file(kDb, base);
      auto db = must(Ormel::open(kDb, kPassphrase, std::nullopt, false, &env), "open for a crash");
      must(db->remember(seed_memory(100)), "remember");
      const uint64_t before = env.mutating_calls();
      env.crash_at(before + n, mode);
      const bool flushed = db->flush().has_value();
      db.reset();
      env.power_loss();
      out.put_file(std::string("crash-") + testing::crash_mode_name(mode) + "-" + std::to_string(n),
                   env.read_file(kDb));
      if (flushed) break;
    }
  }
}

std::vector<uint8_t> read_whole(const std::string& path) {
  auto file = must(posix_env()->open_locked(path, {}), "open " + path);
  std::vector<uint8_t> bytes(must(file->size(), "size of " + path));
  must(read_exact(*file, 0, bytes), "read " + path);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fuzz_seeds <out-dir> <legacy-fixture-dir>\n");
    return 2;
  }
  SeedWriter out(argv[1]);
  const std::vector<uint8_t> fresh = fresh_database(FORMAT_VERSION);
  put_database(out, fresh, "fresh");
  put_crashed(out, fresh);
  put_database(out, fresh_database(PAGED_FORMAT_VERSION), "fresh-v9");
  for (const char* legacy : {"legacy_v4.ormel", "legacy_v5.ormel"}) {
    put_database(out, read_whole(std::string(argv[2]) + "/" + legacy), legacy);
  }
  return 0;
}
