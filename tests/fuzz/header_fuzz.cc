// The header page, the one page read before any key exists: the input is page 0 (shorter
// inputs are zero-padded, longer ones cut).
#include <algorithm>
#include <cstring>

#include "core/format.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ormel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Page page{};
  std::memcpy(page.data(), data, std::min(size, page.size()));
  auto header = from_page(page);
  if (!header) return 0;
  header_seal_aad(*header);
  // A header read is written back as the same header. to_page leaves the seal to
  // apply_seal, so the seal bytes are carried over by hand.
  Page again = to_page(*header);
  std::copy(page.begin() + 242, page.begin() + 270, again.begin() + 242);
  auto reread = from_page(again);
  if (!reread) fuzz::fail("a header the decoder accepted does not read back", &reread.error());
  if (*reread != *header) fuzz::fail("a header written back reads as a different header");
  const SecretKey key;  // all zero: the seal check must refuse cleanly, never crash
  (void)validate_seal(*header, key);
  return 0;
}
