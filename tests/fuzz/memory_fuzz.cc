// The memory record, as read from a decrypted record run.
#include "core/memory.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ormel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto memory = decode_memory({data, size});
  if (memory) fuzz::expect_stable(*memory, encode_memory, decode_memory);
  return 0;
}
