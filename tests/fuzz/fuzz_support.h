// Shared checks of the fuzz targets.
//
// Contract:
// - A decoder under fuzzing may refuse its input (any error value) but must never crash,
//   read out of bounds or hit undefined behaviour; the sanitizers catch those.
// - expect_stable: whatever a decoder accepts, the engine can write back (an encoder may
//   return its bytes or a Result of them), and what it writes back reads again and writes
//   the very same bytes. A failure aborts with a message, which
//   libFuzzer reports as a crash and saves the input.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"

namespace ormel::fuzz {

[[noreturn]] void fail(std::string_view what, const OrmelError* error = nullptr);

// The bytes an encoder wrote; encoders that may refuse a value return them in a Result, and
// refusing a value the decoder accepted is a failure.
inline std::vector<uint8_t> written(std::vector<uint8_t> bytes) { return bytes; }
inline std::vector<uint8_t> written(Result<std::vector<uint8_t>> bytes) {
  if (!bytes) fail("the engine refuses to write a value its own decoder accepts", &bytes.error());
  return std::move(*bytes);
}

template <class T, class Encode, class Decode>
void expect_stable(const T& decoded, Encode encode, Decode decode) {
  const std::vector<uint8_t> bytes = written(encode(decoded));
  auto again = decode(std::span<const uint8_t>(bytes));
  if (!again) fail("the engine writes a value its own decoder refuses", &again.error());
  if (written(encode(*again)) != bytes) fail("a decoded value does not write back to the same bytes");
}

}  // namespace ormel::fuzz
