// Runs of pages: their size and how one is read back.
#include "core/runs.h"

#include <algorithm>

namespace ormel {

uint64_t run_pages(uint64_t len) { return len == 0 ? 1 : (len + PAGE_PAYLOAD - 1) / PAGE_PAYLOAD; }

Result<std::vector<uint8_t>> read_run_bytes(Pager& pager, uint64_t start, uint64_t count, uint64_t len,
                                            uint64_t offset) {
  // The stated length and page count come from the file; unauthenticated ones (headers of
  // old versions carry no seal) may name terabytes. Reserve at most what a real run could
  // hold; a longer run grows as its pages are read, and fails at the end of the file.
  constexpr uint64_t kMaxReserve = uint64_t{64} << 20;
  std::vector<uint8_t> out;
  out.reserve(std::min({len, count * PAGE_PAYLOAD, kMaxReserve}));
  // Every page of the run is read, so each is authenticated, even those beyond what the
  // length needs (a run may name more pages than its length fills).
  for (uint64_t i = 0; i < count; ++i) {
    ORMEL_ASSIGN(auto payload, pager.read_page(start + i));
    const uint64_t skip = i == 0 ? std::min<uint64_t>(offset, payload.size()) : 0;
    if (out.size() < len) out.insert(out.end(), payload.begin() + static_cast<ptrdiff_t>(skip), payload.end());
  }
  if (out.size() > len) out.resize(len);
  return out;
}

}  // namespace ormel
