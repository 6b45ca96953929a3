// The lists of version 9 files (catalog, snapshot list, cache directory: trees, append
// logs, logged lists): the input is the plaintext of consecutive pages from page 1, the
// first holding a root or a head. Whatever the reader accepts, adopted as the committed
// state of a writer, must draft and write again.
#include <algorithm>

#include "core/cache_records.h"
#include "core/pager.h"
#include "core/records.h"
#include "core/row_log.h"
#include "core/row_tree.h"
#include "tests/core/support/fault_env.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ormel;

namespace {

// Counts what a write puts, at made-up page numbers.
class CountingSink final : public RunSink {
 public:
  Result<RunRef> put(std::span<const uint8_t> blob) override {
    const RunRef run{next_, run_pages(blob.size()), blob.size()};
    next_ += run.pages;
    return run;
  }

 private:
  uint64_t next_ = 1u << 20;
};

template <class T>
void read_and_rewrite(Pager& pager, const RunRef& root, TreeShape shape) {
  RowTree<T> tree(shape);
  auto rows = tree.read(pager, root, true);
  if (!rows) return;
  RowTreeDraft<T> draft = tree.draft(*rows, tree.base_first());
  CountingSink sink;
  if (!draft.write(sink)) fuzz::fail("a tree read from the file cannot be written again");
}

template <class T>
void read_and_rewrite_log(Pager& pager, const RunRef& head, TreeShape shape) {
  AppendLog<T> log(shape);
  auto rows = log.read(pager, head, true);
  if (!rows) return;
  auto draft = log.draft(*rows, log.first());
  CountingSink sink;
  if (!log.write(draft, sink)) fuzz::fail("an append log read from the file cannot be written again");
}

template <class T>
void read_and_rewrite_list(Pager& pager, const RunRef& head, TreeShape base, TreeShape changes) {
  LoggedList<T> list(base, changes);
  auto rows = list.read(pager, head, true);
  if (!rows) return;
  auto draft = list.draft(*rows);
  CountingSink sink;
  if (!list.write(draft, sink)) fuzz::fail("a logged list read from the file cannot be written again");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kMaxPages = 64;
  if (size == 0 || size > kMaxPages * PAGE_PAYLOAD) return 0;
  testing::MemEnv env;
  auto file = env.open_locked("/tree", {.write = true, .create = true});
  auto key = random_key();
  if (!file || !key) fuzz::fail("fuzz set-up");
  Pager pager(std::move(*file), std::move(*key), 0, 9);
  const size_t pages = (size + PAGE_PAYLOAD - 1) / PAGE_PAYLOAD;
  for (size_t i = 0; i < pages; ++i) {
    const size_t from = i * PAGE_PAYLOAD;
    if (!pager.write_page(1 + i, {data + from, std::min(PAGE_PAYLOAD, size - from)})) fuzz::fail("fuzz set-up");
  }
  const RunRef root{1, 1, std::min(PAGE_PAYLOAD, size)};
  read_and_rewrite<CatalogEntry>(pager, root, {128, 256});
  read_and_rewrite<Snapshot>(pager, root, {64, 256});
  read_and_rewrite<CacheDirectoryEntry>(pager, root, {3, 256});
  read_and_rewrite_log<Snapshot>(pager, root, {64, 256});
  read_and_rewrite_list<CatalogEntry>(pager, root, {128, 256}, {96, 256});
  read_and_rewrite_list<CacheDirectoryEntry>(pager, root, {3, 256}, {3, 256});
  return 0;
}
