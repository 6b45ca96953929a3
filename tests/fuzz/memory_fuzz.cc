// The memory record, as read from a decrypted record run: the in-place reader and the
// general decoder must agree on everything the reader accepts.
#include "core/memory.h"
#include "core/memory_fields.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ormel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  auto memory = decode_memory(bytes);
  MemoryFields fields;
  if (read_memory_fields(bytes, fields)) {
    auto general = unpack_memory(bytes);
    if (!general) fuzz::fail("the general decoder refuses a record the in-place reader accepts", &general.error());
    // Written back, floats compare bit for bit and JSON numbers by value.
    if (!memory || encode_memory(*memory) != encode_memory(*general))
      fuzz::fail("the in-place reader and the general decoder read different values");
  }
  if (memory) {
    // Each vector form's encoder on its own: what it writes decodes to what re-encodes alike.
    for (const VectorForm form : {VectorForm::Items, VectorForm::Bin}) {
      fuzz::expect_stable(*memory, [form](const Memory& m) { return encode_memory(m, form); }, decode_memory);
    }
  }
  return 0;
}
