// Handles that follow a writer: opened without a lock beside it, they see the committed state
// they opened at until refresh() moves them on, through commits, pending log transactions,
// compactions and headers caught half written.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/store.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

using testing::kDbPath;
using testing::MemEnv;
using testing::kPassphrase;
using testing::must_open;
using testing::observe;
using testing::sample_memory;

std::unique_ptr<Ormel> must_follow(Env& env) {
  auto follower = Ormel::open_following(kDbPath, kPassphrase, &env);
  EXPECT_TRUE(follower) << follower.error().message();
  return follower ? std::move(*follower) : nullptr;
}

// Commits memories [first, last) in one transaction, deleting `drop` first when given.
void commit(Ormel& db, uint32_t first, uint32_t last, std::optional<uint32_t> drop = std::nullopt) {
  if (drop) ASSERT_TRUE(db.delete_memory(sample_memory(*drop).id));
  for (uint32_t i = first; i < last; ++i) ASSERT_TRUE(db.remember(sample_memory(i)));
  ASSERT_TRUE(db.flush());
}

// The contents a keyword query for "memory" finds, best first.
std::vector<std::string> keyword_hits(Ormel& db) {
  auto hits = db.search_text(KeywordQuery{.text = "memory", .top_k = 100});
  EXPECT_TRUE(hits) << hits.error().message();
  std::vector<std::string> contents;
  if (hits) {
    for (const KeywordHit& hit : *hits) contents.push_back(hit.memory.content);
  }
  std::sort(contents.begin(), contents.end());
  return contents;
}

testing::ObservedState seen(Ormel& db) {
  auto state = observe(db);
  EXPECT_TRUE(state) << state.error().message();
  return state ? *state : testing::ObservedState{};
}

TEST(Follow, SeesTheStateItOpenedAtUntilRefreshed) {
  MemEnv env;
  auto writer = must_open(env);
  ASSERT_TRUE(writer);
  commit(*writer, 0, 3);
  const testing::ObservedState first = seen(*writer);

  auto follower = must_follow(env);  // beside the writer's exclusive lock
  ASSERT_TRUE(follower);
  EXPECT_TRUE(follower->read_only() && follower->following());
  const std::vector<std::string> first_hits = keyword_hits(*follower);  // builds its keyword index
  EXPECT_EQ(first_hits.size(), 3u);
  commit(*writer, 3, 5, 1);
  commit(*writer, 5, 6);
  EXPECT_EQ(seen(*follower), first);
  EXPECT_EQ(keyword_hits(*follower), first_hits);

  auto moved = follower->refresh();
  ASSERT_TRUE(moved) << moved.error().message();
  EXPECT_TRUE(*moved);
  EXPECT_EQ(seen(*follower), seen(*writer));
  EXPECT_EQ(keyword_hits(*follower), keyword_hits(*writer));  // the index followed too
  EXPECT_EQ(keyword_hits(*follower).size(), 5u);
  moved = follower->refresh();
  ASSERT_TRUE(moved);
  EXPECT_FALSE(*moved);
  EXPECT_EQ(follower->delete_memory(sample_memory(0).id).error().kind(), ErrorKind::ReadOnly);
}

TEST(Follow, NeitherTakesNorMindsLocks) {
  MemEnv env;
  ASSERT_TRUE(must_open(env));
  auto follower = must_follow(env);
  ASSERT_TRUE(follower);
  auto writer = must_open(env);  // a follower holds no lock a writer would wait for
  ASSERT_TRUE(writer);
  auto reader = testing::try_open(env, true);
  EXPECT_EQ(reader.error().kind(), ErrorKind::Locked);  // plain read-only handles keep their lock rules
  EXPECT_TRUE(must_follow(env));
}

TEST(Follow, MovesToTheFileACompactionPutAtThePath) {
  MemEnv env;
  auto writer = must_open(env);
  ASSERT_TRUE(writer);
  commit(*writer, 0, 4);
  commit(*writer, 4, 5, 0);
  auto follower = must_follow(env);
  ASSERT_TRUE(follower);
  const testing::ObservedState before = seen(*follower);
  ASSERT_TRUE(writer->compact(false));  // the old file is renamed over, history dropped
  commit(*writer, 5, 6);
  EXPECT_EQ(seen(*follower), before);  // still reading the file it opened
  auto moved = follower->refresh();
  ASSERT_TRUE(moved) << moved.error().message();
  EXPECT_TRUE(*moved);
  EXPECT_EQ(seen(*follower), seen(*writer));
}

TEST(Follow, RefreshKeepsTheStateWhenThePathNamesAnotherDatabase) {
  MemEnv env;
  auto writer = must_open(env);
  ASSERT_TRUE(writer);
  commit(*writer, 0, 2);
  auto follower = must_follow(env);
  ASSERT_TRUE(follower);
  const testing::ObservedState before = seen(*follower);
  writer.reset();
  ASSERT_TRUE(must_open(env, false, "/other.ormel"));
  ASSERT_TRUE(env.rename("/other.ormel", kDbPath));
  auto moved = follower->refresh();
  ASSERT_FALSE(moved);  // another data key: its header does not authenticate
  EXPECT_EQ(seen(*follower), before);
}

TEST(Follow, OpensAtTheCheckpointedStateWhileACommitWaitsInTheLog) {
  MemEnv env;
  const testing::ObservedState pending = testing::commit_without_checkpoint(env);
  auto follower = must_follow(env);
  ASSERT_TRUE(follower);
  const testing::ObservedState at_open = seen(*follower);
  EXPECT_EQ(at_open.txn_id + 1, pending.txn_id);
  EXPECT_TRUE(follower->get(sample_memory(0).id));
  EXPECT_FALSE(follower->get(sample_memory(7).id));
}

TEST(Follow, AHeaderThatStaysTornIsRefusedAfterBoundedRetries) {
  MemEnv env;
  auto writer = must_open(env);
  ASSERT_TRUE(writer);
  commit(*writer, 0, 2);
  auto follower = must_follow(env);
  ASSERT_TRUE(follower);
  writer.reset();
  testing::corrupt_header(env);
  auto moved = follower->refresh();
  ASSERT_FALSE(moved);
  EXPECT_EQ(moved.error().kind(), ErrorKind::ReadOnlyBlocked);
  EXPECT_TRUE(follower->get(sample_memory(1).id));  // still at its state
  auto late = Ormel::open_following(kDbPath, kPassphrase, &env);
  ASSERT_FALSE(late);
  EXPECT_EQ(late.error().kind(), ErrorKind::ReadOnlyBlocked);
}

TEST(Follow, RefreshIsOnlyForFollowers) {
  MemEnv env;
  auto writer = must_open(env);
  ASSERT_TRUE(writer);
  auto refreshed = writer->refresh();
  ASSERT_FALSE(refreshed);
  EXPECT_EQ(refreshed.error().message(), "invalid argument: refresh() needs a handle opened with follow=True");
  EXPECT_EQ(Ormel::open_following("/missing.ormel", kPassphrase, &env).error().kind(), ErrorKind::InvalidArgument);
}

}  // namespace
}  // namespace ormel
