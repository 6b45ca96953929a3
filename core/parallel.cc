#include "core/parallel.h"

#include <sched.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace ormel {

size_t worker_count() {
  static const size_t count = [] {
#ifdef __linux__
    // The cores this process may run on (taskset, cpusets), not every core of the machine.
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
      return std::clamp<size_t>(static_cast<size_t>(CPU_COUNT(&allowed)), 1, kMaxParts);
    }
#endif
    return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kMaxParts);
  }();
  return count;
}

void run_parts(size_t parts, const std::function<void(size_t)>& work) {
  std::vector<std::thread> threads;
  std::vector<size_t> left;  // parts whose thread could not be started
  if (parts > 1) threads.reserve(parts - 1);
  for (size_t p = 1; p < parts; ++p) {
    try {
      threads.emplace_back(work, p);
    } catch (...) {
      left.push_back(p);
    }
  }
  if (parts > 0) work(0);
  for (size_t p : left) work(p);
  for (std::thread& t : threads) t.join();
}

}  // namespace ormel
