#include "tests/fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace ormel::fuzz {

void fail(std::string_view what, const OrmelError* error) {
  std::fprintf(stderr, "fuzz check failed: %.*s%s%s\n", static_cast<int>(what.size()), what.data(),
               error ? ": " : "", error ? error->message().c_str() : "");
  std::abort();
}

}  // namespace ormel::fuzz
