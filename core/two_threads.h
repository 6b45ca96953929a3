// Running independent work on the calling thread and one more.
//
// Contract:
// - run_together(here, there) runs here() on the calling thread while there() runs on a
//   new thread (on the calling thread after here() when no thread can be started), and
//   returns once both are done. An exception thrown by there() is rethrown on the calling
//   thread; here()'s own propagates once the other thread has been joined.
// - run_in_chunks(n, chunk, minimum, work) calls work(begin, end, here) once for each chunk
//   [k * chunk, min(n, (k + 1) * chunk)) of [0, n). Chunks are claimed in increasing order
//   by the calling thread (here = true) and, when n >= minimum, by one more thread through
//   run_together (here = false). The calling thread takes whatever the other has not
//   claimed, so on a busy machine where the other thread does not get to run it waits at
//   most for the one chunk that thread holds.
// The two calls must be safe to run at once (they touch disjoint data).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>

namespace ormel {

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

template <class Work>
void run_in_chunks(size_t n, size_t chunk, size_t minimum, Work work) {
  std::atomic<size_t> next{0};
  const auto claim = [&](bool here) {
    for (size_t begin = next.fetch_add(chunk); begin < n; begin = next.fetch_add(chunk)) {
      work(begin, std::min(n, begin + chunk), here);
    }
  };
  if (n < minimum) return claim(true);
  run_together([&] { claim(true); }, [&] { claim(false); });
}

}  // namespace ormel
