// Keyword search: the tokeniser, BM25 against a reference evaluation, the keyword index
// following every kind of change, filters, and hybrid recall.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/keyword_index.h"
#include "core/store.h"
#include "core/store_state.h"
#include "core/tokenizer.h"
#include "tests/core/support/store_fixture.h"

namespace ormel {
namespace {

using Terms = std::vector<std::string>;

Terms tokens_of(std::string_view text, bool stemming = false) {
  Tokenizer tokenizer(stemming);
  const auto& views = tokenizer.tokens(text);
  return Terms(views.begin(), views.end());
}

TEST(Tokenizer, FoldsAndSplitsCompounds) {
  const std::string long_word(kMaxTermBytes + 1, 'a');
  const struct {
    std::string text;
    Terms terms;
  } cases[] = {
      {"INC-4471 broke", {"inc-4471", "inc", "4471", "broke"}},
      {"Upgrade to v2.3.", {"upgrade", "to", "v2.3", "v2", "3"}},
      {"e-mail", {"e-mail", "e", "mail"}},
      {"/usr/lib/libisal.so.2", {"usr/lib/libisal.so.2", "usr", "lib", "libisal", "so", "2"}},
      {"user_id=7", {"user_id", "user", "id", "7"}},
      {"C++ and C#; a--b", {"c", "and", "c", "a", "b"}},
      {"Stra\u00dfe STRASSE", {"strasse", "strasse"}},
      {"\uff2c\uff49\uff53\uff42\uff4f\uff4e \uff14\uff14", {"lisbon", "44"}},  // full width
      {"\u00c9COLE \u00e9cole", {"\u00e9cole", "\u00e9cole"}},
      {"don\u2019t", {"don\u2019t", "don", "t"}},
      {"soft\u00adhyphen", {"softhyphen"}},  // default-ignorable
      {"bad\xff\xfe" "bytes", {"bad", "bytes"}},
      {"  ...  ", {}},
      {"", {}},
      {long_word + " x", {"x"}},
  };
  for (const auto& c : cases) EXPECT_EQ(tokens_of(c.text), c.terms) << c.text;
}

TEST(Tokenizer, StemsEnglishWordsOnly) {
  EXPECT_EQ(tokens_of("Running runs INC-4471 cats2", true),
            (Terms{"run", "run", "inc-4471", "inc", "4471", "cats2"}));
  EXPECT_EQ(tokens_of("Running runs", false), (Terms{"running", "runs"}));
}

// BM25 evaluated straight from the formula over the documents' terms.
std::map<uint32_t, double> reference_bm25(const std::map<uint32_t, Terms>& docs, const Terms& query, Bm25Params p) {
  std::map<uint32_t, double> out;
  if (docs.empty()) return out;
  const double n = static_cast<double>(docs.size());
  double total = 0;
  for (const auto& [row, terms] : docs) total += static_cast<double>(terms.size());
  const double average = total / n;
  for (const std::string& term : query) {
    double df = 0;
    for (const auto& [row, terms] : docs) df += std::count(terms.begin(), terms.end(), term) > 0 ? 1 : 0;
    if (df == 0) continue;
    const double idf = std::log(1.0 + (n - df + 0.5) / (df + 0.5));
    for (const auto& [row, terms] : docs) {
      const auto tf = static_cast<double>(std::count(terms.begin(), terms.end(), term));
      if (tf == 0) continue;
      const double len = static_cast<double>(terms.size());
      out[row] += idf * tf * (p.k1 + 1.0) / (tf + p.k1 * (1.0 - p.b + p.b * len / average));
    }
  }
  return out;
}

void set_doc(KeywordIndex& index, uint32_t row, const Terms& terms, uint64_t version = 0) {
  const std::vector<std::string_view> views(terms.begin(), terms.end());
  index.set(row, version, views);
}

std::map<uint32_t, double> scores_of(KeywordIndex& index, const Terms& query, Bm25Params p) {
  const std::vector<std::string_view> views(query.begin(), query.end());
  std::vector<KeywordScore> scored;
  index.score(views, p, scored);
  std::map<uint32_t, double> out;
  for (const KeywordScore& s : scored) EXPECT_TRUE(out.emplace(s.row, s.score).second) << "row twice: " << s.row;
  return out;
}

void expect_same_scores(const std::map<uint32_t, double>& got, const std::map<uint32_t, double>& want,
                        const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (const auto& [row, score] : want) {
    ASSERT_TRUE(got.contains(row)) << what << " row " << row;
    EXPECT_DOUBLE_EQ(got.at(row), score) << what << " row " << row;
  }
}

TEST(KeywordIndex, ScoresEqualTheReferenceEvaluation) {
  Terms very_long;
  for (int i = 0; i < 20000; ++i) very_long.push_back(i % 97 == 0 ? "lisbon" : "w" + std::to_string(i % 500));
  const std::map<uint32_t, Terms> docs = {
      {0, {"inc-4471", "inc", "4471", "broke", "the", "build"}},
      {1, {"the", "the", "the", "lisbon", "office"}},
      {2, {"lisbon", "lisbon", "libisal"}},
      {5, {"the"}},
      {9, very_long},
      {10, {}},
  };
  KeywordIndex index;
  for (const auto& [row, terms] : docs) set_doc(index, row, terms);
  const struct {
    Terms query;
    Bm25Params params;
  } cases[] = {
      {{"lisbon"}, {}},
      {{"lisbon", "lisbon"}, {}},               // a repeated query term counts twice
      {{"the", "lisbon", "4471"}, {}},
      {{"absent"}, {}},                          // no document has it
      {{"absent", "libisal"}, {}},
      {{}, {}},                                  // empty query
      {{"the"}, {.k1 = 0.0, .b = 0.75}},         // k1 = 0: idf alone
      {{"the", "lisbon"}, {.k1 = 2.0, .b = 0.0}},  // no length normalisation
      {{"the", "lisbon"}, {.k1 = 1.2, .b = 1.0}},
  };
  for (const auto& c : cases) {
    std::string what;
    for (const auto& t : c.query) what += t + " ";
    expect_same_scores(scores_of(index, c.query, c.params), reference_bm25(docs, c.query, c.params), what);
  }
}

TEST(KeywordIndex, RandomChangesMatchAFreshIndex) {
  std::mt19937 rng(7);
  const Terms vocabulary = {"a", "b", "c", "inc-1", "inc", "1", "lisbon", "x", "y", "z"};
  std::map<uint32_t, Terms> docs;
  KeywordIndex index;
  for (int step = 0; step < 6000; ++step) {
    const auto row = static_cast<uint32_t>(rng() % 2500);
    // Erasures dominate the middle of the run, so erased documents outnumber live ones and
    // the postings are compacted.
    const bool erase = step > 2000 && step < 4500 ? rng() % 4 != 0 : rng() % 5 == 0;
    if (erase) {
      index.erase(row);
      docs.erase(row);
    } else {
      Terms terms(rng() % 12);
      for (auto& t : terms) t = vocabulary[rng() % vocabulary.size()];
      set_doc(index, row, terms, step);
      docs[row] = terms;
    }
    if (step % 500 == 0 || step == 5999) {
      KeywordIndex fresh;
      for (const auto& [r, terms] : docs) set_doc(fresh, r, terms, index.version(r).value_or(~0ull));
      ASSERT_TRUE(index.same_content(fresh)) << "step " << step;
      EXPECT_EQ(index.documents(), docs.size());
      const Terms query = {"lisbon", "inc-1", "a"};
      expect_same_scores(scores_of(index, query, {}), reference_bm25(docs, query, {}), "step " + std::to_string(step));
    }
  }
  index.truncate(100);
  for (auto it = docs.lower_bound(100); it != docs.end();) it = docs.erase(it);
  expect_same_scores(scores_of(index, {"a", "z"}, {}), reference_bm25(docs, {"a", "z"}, {}), "truncated");
}

// Through the store.
class KeywordStoreTest : public testing::StoreTest {
 protected:
  MemoryId add(std::string content, std::vector<float> v = {1, 0, 0, 0}, std::string agent = "default",
               Scope scope = Scope::Private, MemoryType type = MemoryType::Semantic) {
    Memory m = Memory::make(std::move(content), type, std::move(v));
    m.agent_id = std::move(agent);
    m.scope = scope;
    auto id = db->remember(std::move(m));
    EXPECT_TRUE(id) << id.error().message();
    return id.value_or(0);
  }

  std::vector<KeywordHit> search(KeywordQuery q) {
    auto hits = db->search_text(q);
    EXPECT_TRUE(hits) << hits.error().message();
    return hits.value_or(std::vector<KeywordHit>{});
  }
  std::vector<MemoryId> ids(const std::string& text, KeywordQuery q = {}) {
    q.text = text;
    std::vector<MemoryId> out;
    for (const KeywordHit& h : search(q)) out.push_back(h.memory.id);
    return out;
  }

  // The index as kept in step, against one built from scratch over the same catalog.
  void expect_index_matches_rebuild(const std::string& when) {
    ids("anything");
    ASSERT_TRUE(db->state().keywords.index) << when;
    const KeywordIndex kept = *db->state().keywords.index;
    db->set_keyword_stemming(true);
    db->set_keyword_stemming(false);
    ids("anything");
    ASSERT_TRUE(db->state().keywords.index) << when;
    EXPECT_TRUE(kept.same_content(*db->state().keywords.index)) << when;
  }
};

TEST_F(KeywordStoreTest, RanksByBm25AndReturnsScores) {
  const MemoryId a = add("ticket INC-4471: the build broke in Lisbon");
  const MemoryId b = add("lisbon lisbon lisbon office notes");
  add("nothing relevant here");
  auto hits = search({.text = "Lisbon"});
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].memory.id, b);
  EXPECT_EQ(hits[1].memory.id, a);
  EXPECT_GT(hits[0].score, hits[1].score);
  EXPECT_EQ(ids("inc-4471"), std::vector<MemoryId>{a});
  EXPECT_EQ(ids("4471"), std::vector<MemoryId>{a});
  EXPECT_TRUE(ids("").empty());
  EXPECT_TRUE(ids("absent").empty());
  EXPECT_EQ(ids("lisbon", {.top_k = 1}), std::vector<MemoryId>{b});
  EXPECT_TRUE(ids("lisbon", {.top_k = 0}).empty());
  // Ties keep catalog order.
  const MemoryId c = add("same words"), d = add("same words");
  EXPECT_EQ(ids("same"), (std::vector<MemoryId>{c, d}));
}

TEST_F(KeywordStoreTest, RefusesBadParameters) {
  add("x");
  for (Bm25Params p : {Bm25Params{-1, 0.75}, Bm25Params{NAN, 0.75}, Bm25Params{1.2, 1.5}, Bm25Params{1.2, NAN}}) {
    auto hits = db->search_text({.text = "x", .params = p});
    ASSERT_FALSE(hits);
    EXPECT_EQ(hits.error().kind(), ErrorKind::InvalidArgument);
  }
  RecallRequest req;
  req.query = {1, 0, 0, 0};
  req.text = "x";
  req.rrf_k = -1;
  auto recalled = db->recall(req);
  ASSERT_FALSE(recalled);
  EXPECT_EQ(recalled.error().kind(), ErrorKind::InvalidArgument);
}

TEST_F(KeywordStoreTest, AppliesTheConditionsRecallApplies) {
  const MemoryId own = add("alpha own", {1, 0, 0, 0}, "a");
  const MemoryId shared = add("alpha shared", {1, 0, 0, 0}, "b", Scope::Shared);
  add("alpha other private", {1, 0, 0, 0}, "b");
  const MemoryId episodic = add("alpha episodic", {1, 0, 0, 0}, "a", Scope::Private, MemoryType::Episodic);
  Memory expiring = Memory::make("alpha expired", MemoryType::Semantic, {1, 0, 0, 0});
  expiring.ttl_secs = 0;
  ASSERT_TRUE(db->remember(expiring));
  Memory in_session = Memory::make("alpha session", MemoryType::Semantic, {1, 0, 0, 0});
  in_session.session_id = "s1";
  in_session.metadata = Json{{"topic", "x"}};
  in_session.created_at = 1000;
  const MemoryId session = *db->remember(in_session);

  const auto as_set = [](std::vector<MemoryId> v) { return std::set<MemoryId>(v.begin(), v.end()); };
  EXPECT_EQ(as_set(ids("alpha", {.agent_id = "a"})), (std::set<MemoryId>{own, shared, episodic}));
  EXPECT_EQ(as_set(ids("alpha", {.memory_types = std::vector{MemoryType::Episodic}})), std::set<MemoryId>{episodic});
  EXPECT_TRUE(ids("alpha", {.memory_types = std::vector<MemoryType>{}}).empty());
  EXPECT_EQ(ids("alpha", {.filter = {.session_id = "s1"}}), std::vector<MemoryId>{session});
  EXPECT_EQ(ids("alpha", {.filter = {.created_before = 2000}}), std::vector<MemoryId>{session});
  EXPECT_EQ(ids("alpha", {.filter = {.where = *parse_filter(Json{{"topic", "x"}})}}), std::vector<MemoryId>{session});
  EXPECT_EQ(ids("expired").size(), 0u);  // expired at once
  EXPECT_EQ(ids("alpha").size(), 5u);
}

TEST_F(KeywordStoreTest, FollowsEveryKindOfChange) {
  std::mt19937 rng(11);
  const std::vector<std::string> words = {"lisbon", "inc-4471", "v2.3", "e-mail", "libisal", "alpha", "beta"};
  const auto text = [&] {
    std::string t;
    for (unsigned n = rng() % 6; n > 0; --n) t += words[rng() % words.size()] + " ";
    return t;
  };
  std::vector<MemoryId> known;
  // Enough memories that building and rebuilding read in bulk, one of them over several pages.
  std::vector<Memory> first;
  for (int i = 0; i < 1200; ++i) first.push_back(Memory::make(text(), MemoryType::Semantic, {1, 0, 0, 0}));
  std::string long_text;
  while (long_text.size() < 3 * PAGE_PAYLOAD) long_text += text() + "long ";
  first[300].content = long_text;
  auto made = db->remember_many(first);
  ASSERT_TRUE(made);
  known = *made;
  expect_index_matches_rebuild("first batch");
  EXPECT_EQ(ids("long", {.top_k = 5}), std::vector<MemoryId>{known[300]});
  for (int step = 0; step < 120; ++step) {
    const unsigned op = rng() % 10;
    if (op <= 2 || known.empty()) {
      known.push_back(add(text()));
    } else if (op == 3) {
      std::vector<Memory> batch;
      // Now and then enough changes that the next query reads them in bulk.
      for (int i = 0, n = rng() % 4 == 0 ? 300 : 3; i < n; ++i) {
        batch.push_back(Memory::make(text(), MemoryType::Semantic, {0, 1, 0, 0}));
      }
      if (rng() % 2) batch[0].id = known[rng() % known.size()];  // an upsert
      auto made = db->remember_many(batch);
      ASSERT_TRUE(made);
      known.insert(known.end(), made->begin(), made->end());
    } else if (op == 4) {
      Memory m = Memory::make(text(), MemoryType::Semantic, {0, 0, 1, 0});
      m.id = known[rng() % known.size()];
      ASSERT_TRUE(db->load_memories({m}));
    } else if (op == 5) {
      (void)db->update(known[rng() % known.size()], MemoryChanges{.content = text()});  // NotFound once deleted
    } else if (op == 6) {
      (void)db->delete_memory(known[rng() % known.size()]);
    } else if (op == 7) {
      ASSERT_TRUE(db->flush());
    } else if (op == 8) {
      const auto snaps = db->snapshots();
      if (!snaps.empty()) ASSERT_TRUE(db->restore_to(snaps[rng() % snaps.size()].txn_id));
    } else {
      ASSERT_TRUE(db->compact(rng() % 2 == 0));
    }
    // Query between some of the changes only, so several accumulate.
    if (rng() % 3 == 0) expect_index_matches_rebuild("step " + std::to_string(step));
  }
  expect_index_matches_rebuild("end");
  reopen();
  expect_index_matches_rebuild("reopened");
}

TEST_F(KeywordStoreTest, MoreChangesThanRowsBetweenQueriesAreCaughtUp) {
  const MemoryId a = add("first words");
  add("second words");
  ids("words");
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(db->update(a, MemoryChanges{.content = "version " + std::to_string(i)}));
  EXPECT_TRUE(db->state().keywords.recheck_all);
  EXPECT_TRUE(db->state().keywords.pending.empty());
  EXPECT_EQ(ids("version"), std::vector<MemoryId>{a});
  EXPECT_EQ(ids("4"), std::vector<MemoryId>{a});
  EXPECT_TRUE(ids("first").empty());
  expect_index_matches_rebuild("after catching up");
}

TEST_F(KeywordStoreTest, HybridRecallFindsKeywordOnlyAndVectorOnlyMemories) {
  const MemoryId keyword_only = add("outage ticket INC-4471", {0, 0, 0, 1});
  const MemoryId vector_only = add("unrelated words", {1, 0, 0, 0});
  for (int i = 0; i < 20; ++i) add("filler note " + std::to_string(i), {0.5f, 0.5f, 0.5f, 0.5f});
  RecallRequest req;
  req.query = {1, 0, 0, 0};
  req.top_k = 2;
  req.track_access = false;
  auto plain = db->recall(req);
  ASSERT_TRUE(plain);
  for (const RecallResult& r : *plain) EXPECT_NE(r.memory.id, keyword_only);
  req.text = "INC-4471";
  for (bool indexed : {false, true}) {
    if (indexed) ASSERT_TRUE(db->build_index());
    auto hybrid = db->recall(req);
    ASSERT_TRUE(hybrid) << hybrid.error().message();
    ASSERT_EQ(hybrid->size(), 2u);
    std::set<MemoryId> got = {(*hybrid)[0].memory.id, (*hybrid)[1].memory.id};
    EXPECT_EQ(got, (std::set<MemoryId>{keyword_only, vector_only})) << "indexed " << indexed;
    for (const RecallResult& r : *hybrid) {
      EXPECT_EQ(r.keyword_score > 0, r.memory.id == keyword_only);
      EXPECT_NEAR(r.similarity, r.memory.id == vector_only ? 1.0f : 0.0f, 1e-6f);
    }
  }
}

TEST_F(KeywordStoreTest, HybridRecallFirstInBothRankingsHasRelevanceOne) {
  const MemoryId both = add("INC-4471", {1, 0, 0, 0});
  RecallRequest req;
  req.query = {1, 0, 0, 0};
  req.text = "inc-4471";
  req.recency_weight = req.importance_weight = req.access_weight = 0;
  req.track_access = false;
  auto hybrid = db->recall(req);
  ASSERT_TRUE(hybrid);
  ASSERT_EQ(hybrid->size(), 1u);
  EXPECT_EQ((*hybrid)[0].memory.id, both);
  EXPECT_FLOAT_EQ((*hybrid)[0].score, 1.0f);
  req.top_k = 0;
  auto none = db->recall(req);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

}  // namespace
}  // namespace ormel
