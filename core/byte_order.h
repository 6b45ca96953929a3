// Little-endian integer fields of the file's own structures (header page, page image,
// WAL records). store_le writes the low sizeof(T) bytes of `v` at `out`; load_le reads them.
// store_be writes all of `v` big-endian, as MessagePack numbers are.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace ormel {

template <class T>
  requires std::is_unsigned_v<T>
inline void store_le(uint8_t* out, T v) {
  for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

template <class T>
  requires std::is_unsigned_v<T>
inline T load_le(const uint8_t* in) {
  T v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(in[i]) << (8 * i);
  return v;
}

template <class T>
  requires std::is_unsigned_v<T>
inline void store_be(uint8_t* out, T v) {
  if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
  std::memcpy(out, &v, sizeof(T));
}

}  // namespace ormel
