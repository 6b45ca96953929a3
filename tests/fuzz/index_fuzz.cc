// The index blob. Whatever it accepts must then serve what the store asks of a loaded index:
// candidates for a query, and adding and removing a memory, all of its own width.
#include "core/index.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ormel;

namespace {

// Wider indexes cannot come from inputs of the sizes fuzzed; the bound keeps queries cheap.
constexpr uint64_t kMaxQueryDims = 1 << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto index = decode_index({data, size});
  if (!index) return 0;
  fuzz::expect_stable(*index, encode_index, decode_index);
  if (index->dims == 0 || index->dims > kMaxQueryDims) return 0;
  std::vector<float> query(index->dims, 0.5f);
  index->candidates(query, std::nullopt, std::nullopt);
  index->candidates(query, 1, 1);
  const MemoryId id = 42;
  index->add(id, query);
  index->candidates(query, std::nullopt, std::nullopt);
  index->remove(id);
  return 0;
}
