// Ranking helpers: the IEEE 754 total order on floats, used by every stable sort that ranks
// by score, similarity or importance (ties keep their input order).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ormel {

// An integer that orders floats by the total order (-NaN < -inf < ... < -0 < +0 < ... < +NaN).
inline int32_t total_order_key(float f) {
  int32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits ^ static_cast<int32_t>(static_cast<uint32_t>(bits >> 31) >> 1);
}

// Stable sort, greatest key(item) first under the total order.
template <class T, class Key>
void sort_descending(std::vector<T>& items, Key key) {
  std::stable_sort(items.begin(), items.end(),
                   [&](const T& a, const T& b) { return total_order_key(key(a)) > total_order_key(key(b)); });
}

}  // namespace ormel
