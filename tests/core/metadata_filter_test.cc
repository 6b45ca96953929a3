// Metadata filters: what parsing refuses (and names), and the evaluation rules that a Python
// reference cannot see: exact comparison of large integers with floats, NaN, byte order of
// strings, paths and strings the dictionary has never seen.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/metadata_filter.h"

namespace ormel {
namespace {

TEST(MetadataFilterParse, MalformedFiltersNameTheOperatorOrKey) {
  const struct {
    const char* filter;
    const char* named;
  } cases[] = {
      {R"([1])", "dict"},
      {R"({"a": {"$regex": "x"}})", "'$regex' on key 'a'"},
      {R"({"$xor": []})", "'$xor'"},
      {R"({"a": {"$in": 1}})", "'$in' on key 'a'"},
      {R"({"a": {"$nin": [{"b": 1}]}})", "'$nin' on key 'a'"},
      {R"({"a": {"$exists": "yes"}})", "'$exists' on key 'a'"},
      {R"({"a": {"$gt": false}})", "'$gt' on key 'a'"},
      {R"({"a": {"$ne": [1]}})", "'$ne' on key 'a'"},
      {R"({"a": {"$not": 3}})", "'$not' on key 'a'"},
      {R"({"a": {}})", "key 'a'"},
      {R"({"a": [1]})", "key 'a'"},
      {R"({"$and": [{"a": 1}, 2]})", "'$and'"},
      {R"({"$or": {"a": 1}})", "'$or'"},
      {R"({"$not": 1})", "'$not'"},
      {R"({"": 1})", "empty key"},
  };
  for (const auto& c : cases) {
    auto parsed = parse_filter(Json::parse(c.filter));
    ASSERT_FALSE(parsed) << c.filter;
    EXPECT_EQ(parsed.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_NE(parsed.error().text().find(c.named), std::string::npos) << c.filter << ": " << parsed.error().text();
  }
}

TEST(MetadataFilterParse, DeepNestingIsRefusedNotRecursedWithoutBound) {
  Json filter = {{"a", 1}};
  for (int i = 0; i < 200; ++i) filter = Json{{"$not", filter}};
  auto parsed = parse_filter(filter);
  ASSERT_FALSE(parsed);
  EXPECT_NE(parsed.error().text().find("nested too deeply"), std::string::npos);
}

class MetadataFilterEval : public ::testing::Test {
 protected:
  bool matches(const char* filter, const Json& metadata) {
    auto parsed = parse_filter(Json::parse(filter));
    EXPECT_TRUE(parsed) << filter;
    std::vector<FlatValue> flat;
    flatten_metadata(metadata, dictionary, flat);
    return BoundFilter(*parsed, dictionary).matches(flat);
  }
  MetadataDictionary dictionary;
};

TEST_F(MetadataFilterEval, NumbersCompareExactlyAcrossIntegersAndFloats) {
  const Json big = {{"n", INT64_MAX}};            // 2^63 - 1: no double equals it
  const Json huge = {{"n", UINT64_MAX}};          // 2^64 - 1
  const Json two63 = {{"n", 9223372036854775808.0}};  // 2^63 as a double
  EXPECT_FALSE(matches(R"({"n": 9223372036854775808.0})", big));
  EXPECT_TRUE(matches(R"({"n": {"$lt": 9223372036854775808.0}})", big));
  EXPECT_TRUE(matches(R"({"n": 9223372036854775807})", big));
  EXPECT_TRUE(matches(R"({"n": {"$gt": 18446744073709551614}})", huge));
  EXPECT_TRUE(matches(R"({"n": 9223372036854775808})", two63));
  EXPECT_TRUE(matches(R"({"n": {"$gte": -1e308, "$lte": 1e308}})", {{"n", -3}}));
}

TEST_F(MetadataFilterEval, NanSatisfiesNoComparison) {
  const Json nan = {{"x", std::numeric_limits<double>::quiet_NaN()}};
  for (const char* filter : {R"({"x": {"$gt": 0}})", R"({"x": {"$lte": 0}})", R"({"x": {"$ne": 0}})",
                             R"({"x": {"$in": [0, 1]}})"}) {
    EXPECT_FALSE(matches(filter, nan)) << filter;
  }
  EXPECT_TRUE(matches(R"({"x": {"$exists": true}})", nan));
}

TEST_F(MetadataFilterEval, StringsOrderByBytesAndUnknownStringsMatchNothing) {
  const Json m = {{"s", "\xc3\xa9t\xc3\xa9"}};  // "été": above every ASCII string
  EXPECT_TRUE(matches(R"({"s": {"$gt": "zzz"}})", m));
  EXPECT_FALSE(matches(R"({"s": "never stored"})", m));
  EXPECT_TRUE(matches(R"({"s": {"$ne": "never stored"}})", m));
  EXPECT_TRUE(matches(R"({"s": {"$nin": ["never stored"]}})", m));
  EXPECT_FALSE(matches(R"({"unknown.path": {"$ne": 1}})", m));
  EXPECT_TRUE(matches(R"({"unknown.path": {"$exists": false}})", m));
}

TEST_F(MetadataFilterEval, ArraysAndObjectsOnlyExist) {
  const Json m = {{"tags", {"a", "b"}}, {"o", {{"k", 1}}}};
  EXPECT_FALSE(matches(R"({"tags": "a"})", m));
  EXPECT_FALSE(matches(R"({"tags": {"$nin": ["z"]}})", m));
  EXPECT_FALSE(matches(R"({"o": {"$ne": 1}})", m));
  EXPECT_TRUE(matches(R"({"o": {"$exists": true}, "o.k": 1})", m));
}

}  // namespace
}  // namespace ormel
