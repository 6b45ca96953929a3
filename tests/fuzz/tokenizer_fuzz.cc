// The tokeniser, fed a memory's content (any bytes a record may hold, valid UTF-8 or not):
// every term is non-empty, at most kMaxTermBytes long and valid UTF-8, with stemming or not.
#include <utf8proc.h>

#include <string_view>

#include "core/tokenizer.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ormel;

namespace {

bool valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    utf8proc_int32_t cp = 0;
    const auto len = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + i),
                                      static_cast<utf8proc_ssize_t>(s.size() - i), &cp);
    if (len <= 0) return false;
    i += static_cast<size_t>(len);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (bool stemming : {false, true}) {
    Tokenizer tokenizer(stemming);
    for (std::string_view term : tokenizer.tokens(text)) {
      if (term.empty() || term.size() > kMaxTermBytes) fuzz::fail("a term is empty or too long");
      if (!valid_utf8(term)) fuzz::fail("a term is not valid UTF-8");
    }
  }
  return 0;
}
