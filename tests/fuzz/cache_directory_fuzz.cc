// The result cache's directory run, and the lookup structures built from it at open and at
// the first semantic lookup.
#include "core/cache_records.h"
#include "core/result_cache.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ormel;

namespace {

// The width of the databases the seeds come from; rows of other widths must be skipped.
constexpr size_t kDims = 4;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto rows = decode_cache_directory({data, size});
  if (!rows) return 0;
  fuzz::expect_stable(*rows, encode_cache_directory, decode_cache_directory);
  DirectoryIndex::build(*rows);
  SemanticGroups groups;
  groups.add_rows(*rows, kDims);
  for (const CacheDirectoryEntry& row : *rows) {
    if (row.model) groups.find(row.namespace_, *row.model);
  }
  return 0;
}
