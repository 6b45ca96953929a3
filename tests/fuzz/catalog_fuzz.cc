// The catalog run, in both layouts (rows with access fields, and the older five-field rows).
#include "core/records.h"
#include "core/store_state.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ormel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (auto rows = decode_catalog({data, size})) {
    fuzz::expect_stable(*rows, encode_catalog, decode_catalog);
    build_id_index(*rows);
  }
  if (auto rows = decode_catalog_v4({data, size})) fuzz::expect_stable(*rows, encode_catalog_v4, decode_catalog_v4);
  return 0;
}
