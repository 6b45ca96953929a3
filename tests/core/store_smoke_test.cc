#include <gtest/gtest.h>

#include "core/store.h"
#include "core/store_state.h"
#include "tests/core/support/fault_env.h"

namespace ormel {
namespace {

TEST(StoreSmoke, RememberFlushReopen) {
  testing::MemEnv env;
  MemoryId id;
  {
    auto db = Ormel::open("/db", "pw", 4, false, &env);
    ASSERT_TRUE(db) << db.error().message();
    auto r = (*db)->remember(Memory::make("hello", MemoryType::Semantic, {1, 2, 3, 4}));
    ASSERT_TRUE(r) << r.error().message();
    id = *r;
    auto f = (*db)->flush();
    ASSERT_TRUE(f) << f.error().message();
  }
  auto db = Ormel::open("/db", "pw", std::nullopt, false, &env);
  ASSERT_TRUE(db) << db.error().message();
  auto m = (*db)->get(id);
  ASSERT_TRUE(m) << m.error().message();
  EXPECT_EQ(m->content, "hello");
  RecallRequest req;
  req.query = {1, 2, 3, 4};
  auto hits = (*db)->recall(req);
  ASSERT_TRUE(hits) << hits.error().message();
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_NEAR((*hits)[0].score, 1.4f, 1e-5);
  EXPECT_EQ((*db)->snapshots().size(), 1u);
}

}  // namespace
}  // namespace ormel
