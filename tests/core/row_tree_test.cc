// The lists of version 9 files: trees of runs, append logs and logged lists. Every version
// written stays readable as it was (snapshots name old heads), what a commit writes follows
// what changed, and damaged heads and nodes are refused.
#include <gtest/gtest.h>

#include <random>

#include "core/cache_records.h"
#include "core/msgpack_cursor.h"
#include "core/pager.h"
#include "core/record_codec.h"
#include "core/records.h"
#include "core/row_log.h"
#include "core/row_tree.h"
#include "tests/core/support/fault_env.h"

namespace ormel {
namespace {

// Runs staged in a pager's cache, from page 1 on, as a flush stages them.
class PagerSink final : public RunSink {
 public:
  explicit PagerSink(Pager& pager) : pager_(pager) {}
  Result<RunRef> put(std::span<const uint8_t> blob) override {
    const RunRef run{next_, run_pages(blob.size()), blob.size()};
    for (uint64_t i = 0; i < run.pages; ++i) {
      const size_t from = i * PAGE_PAYLOAD;
      ORMEL_TRY(pager_.write_page(run.start + i, blob.subspan(from, std::min(PAGE_PAYLOAD, blob.size() - from))));
    }
    next_ += run.pages;
    ++runs_;
    return run;
  }
  uint64_t pages_written() const { return next_ - 1; }
  uint64_t runs() const { return runs_; }

 private:
  Pager& pager_;
  uint64_t next_ = 1;
  uint64_t runs_ = 0;
};

struct Fixture {
  testing::MemEnv env;
  std::unique_ptr<Pager> pager;
  std::unique_ptr<PagerSink> sink;
  Fixture() {
    auto file = env.open_locked("/lists", {.write = true, .create = true});
    auto key = random_key();
    EXPECT_TRUE(file && key);
    pager = std::make_unique<Pager>(std::move(*file), std::move(*key), 0, 9);
    sink = std::make_unique<PagerSink>(*pager);
  }
};

CatalogEntry row(uint64_t i, int64_t stamp = 0) {
  CatalogEntry r;
  r.id = (MemoryId{i + 1} << 64) | i;
  r.start_page = 1000 + i;
  r.page_count = 1;
  r.len = 100 + static_cast<uint32_t>(i % 50);
  r.accessed_at = stamp;
  return r;
}

std::vector<CatalogEntry> rows(size_t n) {
  std::vector<CatalogEntry> out;
  for (size_t i = 0; i < n; ++i) out.push_back(row(i));
  return out;
}

// One write of a tree: drafted, written, adopted; returns the root and the pages written.
std::pair<RunRef, uint64_t> commit(RowTree<CatalogEntry>& tree, Fixture& f, const std::vector<CatalogEntry>& list,
                                   uint64_t first = 0) {
  const uint64_t before = f.sink->pages_written();
  auto d = tree.draft(list, first);
  const uint64_t planned = d.pages();
  auto root = d.write(*f.sink);
  EXPECT_TRUE(root) << root.error().message();
  EXPECT_EQ(f.sink->pages_written() - before, planned) << "pages() is what write() puts";
  tree.adopt(std::move(d));
  return {*root, planned};
}

TEST(RowTree, ListsOfEveryShapeReadBackExactly) {
  const TreeShape shape{4, 3};
  for (size_t n : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{5}, size_t{12}, size_t{13}, size_t{37},
                   size_t{108}, size_t{109}}) {
    Fixture f;
    RowTree<CatalogEntry> tree(shape);
    const auto list = rows(n);
    const auto [root, pages] = commit(tree, f, list);
    EXPECT_EQ(root.empty(), n == 0) << n;
    RowTree<CatalogEntry> reader(shape);
    auto back = reader.read(*f.pager, root);
    ASSERT_TRUE(back) << n << ": " << back.error().message();
    EXPECT_EQ(*back, list) << n;
  }
}

TEST(RowTree, AChangedRowRewritesItsLeafAndThePathAboveOnly) {
  Fixture f;
  RowTree<CatalogEntry> tree({4, 3});
  auto list = rows(36);  // 9 leaves, 3 nodes, a root: height 2
  const auto [first_root, all] = commit(tree, f, list);
  EXPECT_EQ(all, 9u + 3u + 1u);
  const auto before = list;

  list[17].accessed_at = 99;
  const auto [second_root, changed] = commit(tree, f, list);
  EXPECT_EQ(changed, 3u) << "one leaf, one node, the root";
  const auto [same_root, none] = commit(tree, f, list);
  EXPECT_EQ(none, 0u) << "an unchanged list writes nothing";
  EXPECT_EQ(same_root, second_root);

  list.push_back(row(36));  // a tenth leaf under a fourth node: the tree grows a level
  const auto [third_root, grown] = commit(tree, f, list);
  EXPECT_EQ(grown, 5u) << "the leaf, its node, the two nodes of the old root's level, the new root";

  // Every version stays readable as it was written.
  RowTree<CatalogEntry> reader({4, 3});
  EXPECT_EQ(*reader.read(*f.pager, first_root), before);
  EXPECT_EQ(*reader.read(*f.pager, third_root), list);
}

TEST(RowTree, RowsDroppedFromTheFrontAreNotReadAgain) {
  Fixture f;
  RowTree<CatalogEntry> tree({4, 3});
  const auto list = rows(40);
  commit(tree, f, list);
  const std::vector<CatalogEntry> tail(list.begin() + 13, list.end());
  const auto [root, pages] = commit(tree, f, tail, 13);
  EXPECT_LE(pages, 3u) << "only the nodes that named dropped children change";
  RowTree<CatalogEntry> reader({4, 3});
  std::pair<uint64_t, uint64_t> span;
  auto back = reader.read(*f.pager, root, false, &span);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, tail);
  EXPECT_EQ(span.first, 13u);
  EXPECT_EQ(span.second, 40u);
}

// A root run whose bytes are `build`'s, at page 1 of a fresh pager.
RunRef stage_root(Fixture& f, const std::vector<uint8_t>& bytes) { return *f.sink->put(bytes); }

TEST(RowTree, DamagedRootsAndNodesAreRefused) {
  auto root = [](uint64_t r, uint64_t fan, uint64_t first, uint64_t end, std::vector<RunRef> refs) {
    return pack_to_bytes([&](Packer& pk) {
      pk.pack_array(5);
      for (uint64_t v : {r, fan, first, end}) pk.pack_uint64(v);
      pk.pack_array(static_cast<uint32_t>(refs.size()));
      for (const RunRef& ref : refs) pack_ref(pk, ref);
    });
  };
  const std::vector<uint8_t> leaf = encode_catalog(rows(2));
  const RunRef leaf_of_two{2, 1, leaf.size()};  // staged below as page 2
  auto read_root = [&](const std::vector<uint8_t>& bytes) {
    Fixture f;
    const RunRef at = stage_root(f, bytes);
    EXPECT_EQ(f.sink->put(leaf)->start, 2u);
    RowTree<CatalogEntry> reader({4, 3});
    return reader.read(*f.pager, at);
  };
  ASSERT_TRUE(read_root(root(4, 3, 0, 2, {leaf_of_two}))) << "the fixture's own tree reads";
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"no rows per leaf", root(0, 3, 0, 2, {leaf_of_two})},
      {"one child per node", root(4, 1, 0, 2, {leaf_of_two})},
      {"no positions", root(4, 3, 0, 0, {})},
      {"first at the end", root(4, 3, 2, 2, {leaf_of_two})},
      {"too many children", root(4, 3, 0, 2, {leaf_of_two, leaf_of_two})},
      {"a missing child", root(4, 3, 0, 2, {RunRef{}})},
      {"a leaf short of rows", root(4, 3, 0, 3, {leaf_of_two})},
      {"a leaf with too many rows", root(1, 3, 0, 1, {leaf_of_two})},
      {"bytes after the root", [&] {
         auto b = root(4, 3, 0, 2, {leaf_of_two});
         b.push_back(0xC0);
         return b;
       }()},
      {"not a root", pack_to_bytes([](Packer& pk) { pk.pack_array(0); })},
  };
  for (const Case& c : cases) {
    auto back = read_root(c.bytes);
    ASSERT_FALSE(back) << c.what;
    EXPECT_EQ(back.error().kind(), ErrorKind::Serialization) << c.what << ": " << back.error().message();
  }
}

// A plain vector kept beside an AppendLog and a LoggedList through random changes: after
// every commit the head reads back the vector, and every older head its own version.
TEST(RowLogs, FollowRandomChangesAndKeepEveryVersion) {
  Fixture f;
  LoggedList<CatalogEntry> list({8, 4}, {6, 4});
  AppendLog<Snapshot> log({5, 4});
  std::vector<CatalogEntry> model;
  std::vector<Snapshot> history;
  uint64_t history_first = 0;
  std::vector<std::pair<RunRef, std::vector<CatalogEntry>>> list_versions;
  std::vector<std::pair<RunRef, std::vector<Snapshot>>> log_versions;
  std::mt19937_64 rng(7);
  for (int step = 0; step < 400; ++step) {
    const int op = static_cast<int>(rng() % 10);
    if (op < 4 || model.empty()) {
      model.push_back(row(model.size(), step));
    } else if (op < 9) {
      model[rng() % model.size()].accessed_at = step;
    } else {
      model.resize(model.size() / 2);  // a shorter list folds
    }
    history.push_back(Snapshot{.txn_id = static_cast<uint64_t>(step), .memory_count = model.size()});
    if (history.size() > 12) {
      history.erase(history.begin());
      ++history_first;
    }
    auto d = list.draft(model);
    auto head = list.write(d, *f.sink);
    ASSERT_TRUE(head) << head.error().message();
    list.adopt(std::move(d));
    list_versions.emplace_back(*head, model);

    auto ld = log.draft(history, history_first);
    auto log_head = log.write(ld, *f.sink);
    ASSERT_TRUE(log_head) << log_head.error().message();
    log.adopt(std::move(ld));
    log_versions.emplace_back(*log_head, history);
  }
  LoggedList<CatalogEntry> reader({8, 4}, {6, 4});
  for (const auto& [head, expected] : list_versions) {
    auto back = reader.read(*f.pager, head, false);
    ASSERT_TRUE(back) << back.error().message();
    ASSERT_EQ(*back, expected);
  }
  AppendLog<Snapshot> log_reader({5, 4});
  for (const auto& [head, expected] : log_versions) {
    auto back = log_reader.read(*f.pager, head, false);
    ASSERT_TRUE(back) << back.error().message();
    ASSERT_EQ(*back, expected);
  }
  // A reader that adopts the last version drafts exactly what the writer would.
  LoggedList<CatalogEntry> reopened({8, 4}, {6, 4});
  ASSERT_TRUE(reopened.read(*f.pager, list_versions.back().first, true));
  model[0].accessed_at = -1;
  EXPECT_EQ(reopened.draft(model).pages, list.draft(model).pages);
}

TEST(RowLogs, ACommitOfAFewChangesWritesOnlyTheHead) {
  Fixture f;
  LoggedList<CatalogEntry> list({128, 256}, {96, 256});
  auto model = rows(20'000);
  auto d = list.draft(model);
  ASSERT_TRUE(list.write(d, *f.sink));
  list.adopt(std::move(d));
  for (int turn = 0; turn < 5; ++turn) {
    for (size_t i : {size_t{3}, size_t{5'000}, size_t{12'345}, size_t{19'999}}) model[i].accessed_at = turn + 1;
    model.push_back(row(model.size()));
    const uint64_t runs = f.sink->runs();
    auto next = list.draft(model);
    ASSERT_TRUE(list.write(next, *f.sink));
    list.adopt(std::move(next));
    EXPECT_EQ(f.sink->runs() - runs, 1u) << "turn " << turn << ": the head alone";
  }
}

}  // namespace
}  // namespace ormel
