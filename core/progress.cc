#include "core/progress.h"

namespace ormel {

Result<ProgressMeter> ProgressMeter::start(const Progress& progress, uint64_t total) {
  if (!progress.report) return ProgressMeter();
  ProgressMeter meter(&progress, total);
  if (total > 0) {
    ORMEL_TRY(progress.report(0, total));
    meter.last_ = Progress::Clock::now();
  }
  return meter;
}

// Only counts short of the total are reported here: the total is finish()'s, which comes
// once the operation is sure to complete.
Status ProgressMeter::maybe_report() {
  if (done_ == reported_ || done_ == total_) return {};
  const auto now = Progress::Clock::now();
  if (now - last_ < progress_->interval) return {};
  last_ = now;
  reported_ = done_;
  return progress_->report(done_, total_);
}

Status ProgressMeter::finish() {
  if (progress_ == nullptr) return {};
  done_ = reported_ = total_;
  return progress_->report(total_, total_);
}

}  // namespace ormel
