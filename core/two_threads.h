// Running independent work on the calling thread and one more.
//
// Contract:
// - run_together(here, there) runs here() on the calling thread while there() runs on a
//   new thread (on the calling thread after here() when no thread can be started), and
//   returns once both are done. An exception thrown by there() is rethrown on the calling
//   thread; here()'s own propagates once the other thread has been joined.
// - run_in_halves(n, minimum, work) calls work(begin, end) so that the calls cover [0, n)
//   exactly once: with n >= minimum, work(0, n / 2) and work(n / 2, n) through
//   run_together; otherwise work(0, n) on the calling thread alone.
// The two calls must be safe to run at once (they touch disjoint data).
#pragma once

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
void run_in_halves(size_t n, size_t minimum, Work work) {
  if (n < minimum || n < 2) return work(0, n);
  run_together([&] { work(0, n / 2); }, [&] { work(n / 2, n); });
}

}  // namespace ormel
