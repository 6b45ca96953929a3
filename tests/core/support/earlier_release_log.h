// Log shapes that files written by earlier releases hold, made from a handle's committed
// state. Those releases logged every run of a transaction, not only its header, and moved
// the log region to the end of the file before a transaction that did not fit; recovery
// and the passphrase change must keep handling such files.
//
// Contract:
// - move_log_region gives the committed header a region of `pages` new pages at the end
//   of the file, written in place and synced; nothing is logged in the new region yet.
// - log_runs_like_earlier_release commits the handle's last transaction again (same txn
//   id) as its catalog and manifest runs, as they are at home, followed by its header; when
//   they do not fit the region, it first moves the region as those releases did. It writes
//   the log only, never the home pages.
#pragma once

#include <cstdint>

#include "core/error.h"
#include "core/store.h"

namespace ormel::testing {

Status move_log_region(Ormel& db, uint64_t pages);
Status log_runs_like_earlier_release(Ormel& db);

}  // namespace ormel::testing
