// The snapshot manifest run.
#include "core/records.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ormel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto snapshots = decode_manifest({data, size});
  if (snapshots) fuzz::expect_stable(*snapshots, encode_manifest, decode_manifest);
  return 0;
}
