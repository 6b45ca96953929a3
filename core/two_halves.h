// Splitting a loop over independent items between the calling thread and one more.
//
// Contract: run_in_halves(n, minimum, work) calls work(begin, end) so that the calls cover
// [0, n) exactly once. With n >= minimum, work(0, n / 2) runs on the calling thread while
// work(n / 2, n) runs on a new one; otherwise, or when no thread can be started, the
// calling thread does work(0, n) alone. It returns once every call is done; an exception
// thrown by the other thread's call is rethrown on the calling thread (the first half's
// own propagates after the other thread has been joined). `work` must be safe to run on
// two threads for disjoint ranges.
#pragma once

#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>

namespace ormel {

template <class Work>
void run_in_halves(size_t n, size_t minimum, Work work) {
  const size_t half = n / 2;
  std::exception_ptr thrown;
  {
    std::jthread other;
    size_t split = n;
    if (n >= minimum && half > 0) {
      try {
        other = std::jthread([&] {
          try {
            work(half, n);
          } catch (...) {
            thrown = std::current_exception();
          }
        });
        split = half;
      } catch (const std::system_error&) {
      }
    }
    work(0, split);
  }  // joins the other thread
  if (thrown) std::rethrow_exception(thrown);
}

}  // namespace ormel
