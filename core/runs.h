// Runs: a blob of L bytes in max(1, ceil(L / PAGE_PAYLOAD)) consecutive pages from a start
// page, page i carrying bytes [i * PAGE_PAYLOAD, (i + 1) * PAGE_PAYLOAD) zero-padded.
//
// Contract:
// - A run is named by a RunRef; an all-zero RunRef names nothing (an empty structure).
// - read_run_bytes reads and authenticates every page the run names (through the pager)
//   and returns its first `len` bytes (from `offset` on); it never reserves more than a real run could hold.
// - A RunSink places blobs in the file one after another; what it returns names the run.
#pragma once

#include <compare>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/pager.h"

namespace ormel {

struct RunRef {
  uint64_t start = 0;
  uint64_t pages = 0;
  uint64_t len = 0;
  bool empty() const { return pages == 0; }
  auto operator<=>(const RunRef&) const = default;
};

uint64_t run_pages(uint64_t len);
// With an `offset`, the bytes begin that far into the first page's payload (a record that
// shares its first page with others).
Result<std::vector<uint8_t>> read_run_bytes(Pager& pager, uint64_t start, uint64_t count, uint64_t len,
                                            uint64_t offset = 0);
inline Result<std::vector<uint8_t>> read_run(Pager& pager, const RunRef& run) {
  return read_run_bytes(pager, run.start, run.pages, run.len);
}

class RunSink {
 public:
  virtual ~RunSink() = default;
  virtual Result<RunRef> put(std::span<const uint8_t> blob) = 0;
};

}  // namespace ormel
