// Splitting read-only work over the processor's cores.
//
// Contract:
// - run_parts(parts, work) calls work(p) exactly once for every p in [0, parts) and returns
//   when all calls have returned. The calling thread runs part 0; each other part runs on a
//   thread of its own. A thread that cannot be started leaves its part to the calling
//   thread, so the work is always done, only less of it side by side.
// - run_chunks(n, chunk, parts, work) calls work(begin, end, part) once for each chunk
//   [k * chunk, min(n, (k + 1) * chunk)) of [0, n), on at most `parts` parts (one per chunk
//   at most) that claim chunks in increasing order; part 0 is the calling thread. The
//   calling thread takes whatever the others have not claimed, so on a busy machine where
//   another part's thread does not get to run, it waits at most for the chunk that part
//   holds.
// - Work must not throw and must not touch state another part writes: parts share only
//   what they read, and write only their own chunk's or part's results.
// - worker_count() is how many parts are worth making: the cores this process may run on,
//   at least 1, at most kMaxParts.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>

namespace ormel {

inline constexpr size_t kMaxParts = 8;

size_t worker_count();
void run_parts(size_t parts, const std::function<void(size_t)>& work);

template <class Work>
void run_chunks(size_t n, size_t chunk, size_t parts, Work&& work) {
  std::atomic<size_t> next{0};
  const size_t chunks = (n + chunk - 1) / chunk;
  run_parts(std::min(parts, chunks), [&](size_t part) {
    for (size_t begin = next.fetch_add(chunk); begin < n; begin = next.fetch_add(chunk)) {
      work(begin, std::min(n, begin + chunk), part);
    }
  });
}

}  // namespace ormel
