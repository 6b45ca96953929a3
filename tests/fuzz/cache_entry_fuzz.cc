// One result-cache entry, as read from its decrypted run.
#include "core/cache_records.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ormel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto entry = decode_cache_entry({data, size});
  if (entry) fuzz::expect_stable(*entry, encode_cache_entry, decode_cache_entry);
  return 0;
}
