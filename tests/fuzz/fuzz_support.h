// Shared checks of the fuzz targets.
//
// Contract:
// - A decoder under fuzzing may refuse its input (any error value) but must never crash,
//   read out of bounds or hit undefined behaviour; the sanitizers catch those.
// - expect_stable: whatever a decoder accepts, the engine can write back, and what it writes
//   back reads again and writes the very same bytes. A failure aborts with a message, which
//   libFuzzer reports as a crash and saves the input.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace ormel::fuzz {

[[noreturn]] void fail(std::string_view what, const OrmelError* error = nullptr);

template <class T, class Encode, class Decode>
void expect_stable(const T& decoded, Encode encode, Decode decode) {
  const std::vector<uint8_t> written = encode(decoded);
  auto again = decode(std::span<const uint8_t>(written));
  if (!again) fail("the engine writes a value its own decoder refuses", &again.error());
  if (encode(*again) != written) fail("a decoded value does not write back to the same bytes");
}

}  // namespace ormel::fuzz
