// Splitting read-only work over the processor's cores.
//
// Contract:
// - run_parts(parts, work) calls work(p) exactly once for every p in [0, parts) and returns
//   when all calls have returned. The calling thread runs part 0; each other part runs on a
//   thread of its own. A thread that cannot be started leaves its part to the calling
//   thread, so the work is always done, only less of it side by side.
// - work must not throw and must not touch state another part writes: parts share only
//   what they read.
// - worker_count() is how many parts are worth making: the cores this process may run on,
//   at least 1, at most kMaxParts.
#pragma once

#include <cstddef>
#include <functional>

namespace ormel {

inline constexpr size_t kMaxParts = 8;

size_t worker_count();
void run_parts(size_t parts, const std::function<void(size_t)>& work);

// [begin, end) of part p when n items are split into `parts` nearly equal ranges.
struct PartRange {
  size_t begin, end;
};
inline PartRange part_range(size_t n, size_t parts, size_t p) {
  return {n * p / parts, n * (p + 1) / parts};
}

}  // namespace ormel
