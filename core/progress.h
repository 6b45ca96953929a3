// Progress of long operations (building the index, verifying, compacting, staging a batch):
// a callback told how much of a known amount of work is done, which can stop the work.
//
// Contract:
// - The callback is called as report(done, total). An operation fixes total before its
//   first report; done grows strictly from one report to the next and never exceeds total.
//   An operation that completes ends with exactly one report of done == total (an empty
//   job reports (0, 0) once). The units of done and total are the operation's own.
// - Reports are throttled by wall-clock time: (0, total) at the start when total > 0, then
//   at most one per `interval`, then the final one.
// - An error returned by the callback stops the operation at once; the operation returns
//   that very error. Every report comes before the operation commits anything, the final
//   one included, so a stopped operation leaves nothing of itself behind.
// - A meter without a callback reports nothing and costs a branch per step.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "core/error.h"

namespace ormel {

struct Progress {
  using Clock = std::chrono::steady_clock;
  std::function<Status(uint64_t done, uint64_t total)> report;  // empty: no reports
  Clock::duration interval = std::chrono::milliseconds(200);
};

// Counts the steps of one operation against its total and reports them through a Progress.
class ProgressMeter {
 public:
  // A meter that reports nothing.
  ProgressMeter() = default;
  // Reports (0, total) at once when total > 0; its error is the callback's.
  static Result<ProgressMeter> start(const Progress& progress, uint64_t total);

  // Adds `steps` (done stays at most total) and reports when the interval has passed.
  Status advance(uint64_t steps = 1) {
    if (progress_ == nullptr) return {};
    done_ = steps < total_ - done_ ? done_ + steps : total_;
    return maybe_report();
  }
  // Reports (total, total): the last report of a completed operation.
  Status finish();

  uint64_t done() const { return done_; }
  uint64_t total() const { return total_; }

 private:
  ProgressMeter(const Progress* progress, uint64_t total) : progress_(progress), total_(total) {}
  Status maybe_report();

  const Progress* progress_ = nullptr;
  uint64_t total_ = 0;
  uint64_t done_ = 0;
  uint64_t reported_ = 0;  // done at the last report
  Progress::Clock::time_point last_{};
};

}  // namespace ormel
