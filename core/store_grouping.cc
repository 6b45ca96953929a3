// Batches: many writes grouped into one transaction (see Ormel::begin_batch).
//
// Invariants:
//   1. While a batch is open nothing is committed: flush() returns at once, and what
//      commits a transaction of its own is refused.
//   2. The outermost batch begins from the committed state (nothing staged): so every staged
//      change, dirty cached page and advanced page_count is the batch's own, and the header
//      in memory still names the committed runs when the batch ends.
//   3. Discarding keeps the header's page_count where the batch's staging took it: a
//      record summary is keyed by its run's start page and a cached page by its number, so
//      none of the numbers the batch used may name anything else later.
#include <string>

#include "core/store_state.h"

namespace ormel {
namespace {

// Leaves one level of the open batch; true when it was the outermost.
Result<bool> leave_batch(StoreState& s) {
  if (s.batch.depth == 0) return fail(OrmelError::invalid_argument(std::string(kNoBatch)));
  return --s.batch.depth == 0;
}

// Invariants 2 and 3: the committed state, read again, replaces what the batch staged.
Status discard_staged(StoreState& s) {
  const Header committed = s.header;
  ORMEL_TRY(load_committed_state(s, committed));
  s.pager->cache().mark_all_clean();  // pages of the batch's runs, which nothing names now
  s.catalog_dirty = s.index_dirty = s.cache_dirty = false;
  return {};
}

}  // namespace

Status Ormel::begin_batch() {
  StoreState& s = *s_;
  if (s.read_only) return fail(OrmelError::read_only());
  if (s.batch.depth == 0) {
    ORMEL_TRY(flush());
    s.batch.failed = false;
  }
  ++s.batch.depth;
  return {};
}

Status Ormel::end_batch() {
  StoreState& s = *s_;
  ORMEL_ASSIGN(bool outermost, leave_batch(s));
  if (!outermost) return {};
  if (s.batch.failed) {
    ORMEL_TRY(discard_staged(s));
    return fail(OrmelError::invalid_argument(std::string(kBatchFailed)));
  }
  return flush();
}

Status Ormel::abandon_batch() {
  StoreState& s = *s_;
  ORMEL_ASSIGN(bool outermost, leave_batch(s));
  if (!outermost) {
    s.batch.failed = true;
    return {};
  }
  return discard_staged(s);
}

bool Ormel::in_batch() const { return s_->batch.depth > 0; }

Status Ormel::outside_batch(std::string_view operation) const {
  if (!in_batch()) return {};
  return fail(OrmelError::invalid_argument(std::string(operation) +
                                           " cannot run inside a batch (it commits a transaction of its own)"));
}

}  // namespace ormel
