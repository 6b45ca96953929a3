// Splitting work over the processor's cores.
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
// - run_together(here, there) runs here() on the calling thread while there() runs on a
//   new thread (on the calling thread after here() when no thread can be started), and
//   returns once both are done. An exception thrown by there() is rethrown on the calling
//   thread; here()'s own propagates once the other thread has been joined.
// - Work run_parts and run_chunks are given must not throw. No work may touch state that
//   work running beside it writes: they share only what they read, and each writes only
//   its own chunk's or part's results.
// - Claims hands out chunk numbers for work that claims its own chunks.
// - worker_count() is how many parts are worth making: the cores this process may run on,
//   at least 1, at most kMaxParts.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>

namespace ormel {

inline constexpr size_t kMaxParts = 8;

size_t worker_count();
void run_parts(size_t parts, const std::function<void(size_t)>& work);

// Hands out 0, 1, 2, ... up to n - 1, each once, in increasing order, to whichever thread
// asks first.
class Claims {
 public:
  explicit Claims(size_t n) : n_(n) {}
  // The next unclaimed index in `i`; false once all are claimed.
  bool next(size_t& i) {
    i = next_.fetch_add(1);
    return i < n_;
  }

 private:
  std::atomic<size_t> next_{0};
  size_t n_;
};

template <class Work>
void run_chunks(size_t n, size_t chunk, size_t parts, Work&& work) {
  const size_t chunks = (n + chunk - 1) / chunk;
  Claims claims(chunks);
  run_parts(std::min(parts, chunks), [&](size_t part) {
    for (size_t c; claims.next(c);) work(c * chunk, std::min(n, (c + 1) * chunk), part);
  });
}

template <class Here, class There>
void run_together(Here here, There there) {
  std::exception_ptr thrown;
  bool started = false;
  {
    std::jthread other;
    try {
      other = std::jthread([&] {
        try {
          there();
        } catch (...) {
          thrown = std::current_exception();
        }
      });
      started = true;
    } catch (const std::system_error&) {
    }
    here();
  }  // joins the other thread
  if (!started) there();
  if (thrown) std::rethrow_exception(thrown);
}

}  // namespace ormel
