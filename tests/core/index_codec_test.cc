#include <functional>
#include <random>

#include <gtest/gtest.h>

#include "core/index.h"

namespace ormel {
namespace {

using Bytes = std::vector<uint8_t>;

// dims 2, one partition, m = 2 (one-wide subspaces with 1 and 2 codewords), one posting
// of 3 ids: 6 code integers.
IvfPqIndex tiny_index() {
  IvfPqIndex index;
  index.dims = 2;
  index.n_partitions = 1;
  index.centroids = {1.5f, -2.0f};
  index.pq = PqCodebook{{0, 1, 2}, {{0.5f}, {1.0f, 2.0f}}, {1, 2}};
  const MemoryId big = (MemoryId{1} << 127) | 5;
  index.partitions = {Posting{{1, big, 3}, {0, 0, 0, 1, 0, 1}}};
  index.partition_of = {{1, 0}, {big, 0}, {3, 0}};
  return index;
}

Bytes id_bytes(MemoryId id) {
  Bytes out{0xC4, 0x10};
  for (int shift = 120; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(id >> shift));
  return out;
}

TEST(IndexCodec, WritesTheDocumentedLayout) {
  Bytes expected = {0x97, 0x02, 0x01, 0x08, 0x40,              // dims, n_partitions, n_probe, n_rerank
                    0x92, 0xCA, 0x3F, 0xC0, 0x00, 0x00,        // centroids: 1.5
                    0xCA, 0xC0, 0x00, 0x00, 0x00,              //            -2.0
                    0x93,                                      // pq
                    0x93, 0x00, 0x01, 0x02,                    //   sub_offsets
                    0x92, 0x91, 0xCA, 0x3F, 0x00, 0x00, 0x00,  //   centroids [[0.5],
                    0x92, 0xCA, 0x3F, 0x80, 0x00, 0x00,        //              [1.0,
                    0xCA, 0x40, 0x00, 0x00, 0x00,              //               2.0]]
                    0x92, 0x01, 0x02,                          //   ks
                    0x91, 0x92, 0x93};                         // partitions: one posting, 3 ids
  const IvfPqIndex index = tiny_index();
  for (MemoryId id : index.partitions[0].ids) {
    const Bytes b = id_bytes(id);
    expected.insert(expected.end(), b.begin(), b.end());
  }
  expected.insert(expected.end(), {0x96, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01});  // 6 code integers
  EXPECT_EQ(encode_index(index), expected);
}

TEST(IndexCodec, CodesFrom128AreUint8) {
  IvfPqIndex index;
  index.dims = 1;
  index.n_partitions = 1;
  index.centroids = {0.0f};
  index.pq = PqCodebook{{0, 1}, {std::vector<float>(256, 0.0f)}, {256}};
  index.partitions = {Posting{{7, 8}, {127, 200}}};
  const Bytes blob = encode_index(index);
  const Bytes tail(blob.end() - 4, blob.end());
  EXPECT_EQ(tail, (Bytes{0x92, 0x7F, 0xCC, 0xC8}));
}

TEST(IndexCodec, RoundTripsABuiltIndexAndRebuildsPartitionOf) {
  std::mt19937 gen(2);
  std::normal_distribution<float> dist;
  std::vector<MemoryId> ids;
  std::vector<float> vectors;
  for (int i = 0; i < 300; ++i) {
    ids.push_back((MemoryId{0x0191} << 80) | static_cast<MemoryId>(gen()));
    for (int d = 0; d < 24; ++d) vectors.push_back(dist(gen));
  }
  const IvfPqIndex built = build_ivfpq(ids, vectors, 24).value();
  auto decoded = decode_index(encode_index(built));
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  EXPECT_EQ(*decoded, built);  // partition_of included

  IvfPqIndex tiny = tiny_index();
  tiny.n_probe = 3;
  tiny.n_rerank = 1000;  // stored values are kept, not reset to the defaults
  auto again = decode_index(encode_index(tiny));
  ASSERT_TRUE(again.has_value()) << again.error().message();
  EXPECT_EQ(*again, tiny);
}

TEST(IndexCodec, LaterOccurrenceOfADuplicatedIdWins) {
  IvfPqIndex index = tiny_index();
  index.n_partitions = 2;
  index.centroids = {1.5f, -2.0f, 4.0f, 4.0f};
  index.partitions.push_back(Posting{{3}, {0, 1}});  // id 3 also in partition 1
  auto decoded = decode_index(encode_index(index));
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message();
  EXPECT_EQ(decoded->partition_of.at(3), 1u);
  EXPECT_EQ(decoded->partition_of.at(1), 0u);
  EXPECT_EQ(decoded->partition_of.size(), 3u);
}

TEST(IndexCodec, SixElementArrayReportsTheRecordLength) {
  const Bytes blob = {0x96, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0};
  auto decoded = decode_index(blob);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error().kind(), ErrorKind::Serialization);
  EXPECT_EQ(decoded.error().message(), "serialization error: invalid length 6, expected struct IvfPqIndex with 7 elements");
}

TEST(IndexCodec, TruncatedBlobFails) {
  Bytes blob = encode_index(tiny_index());
  blob.resize(blob.size() - 3);
  auto decoded = decode_index(blob);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_EQ(decoded.error().kind(), ErrorKind::Serialization);
}

// Blobs that parse but describe an index the search would read out of bounds.
TEST(IndexCodec, RejectsIndexesOfTheWrongShape) {
  struct Case {
    const char* name;
    std::function<void(IvfPqIndex&)> damage;
  };
  const Case cases[] = {
      {"code bytes not m per id", [](IvfPqIndex& x) { x.partitions[0].codes.pop_back(); }},
      {"code names a missing codeword", [](IvfPqIndex& x) { x.partitions[0].codes[0] = 1; }},
      {"postings differ from n_partitions", [](IvfPqIndex& x) { x.partitions.emplace_back(); }},
      {"centroid count", [](IvfPqIndex& x) { x.centroids.push_back(0.0f); }},
      {"offsets end before dims", [](IvfPqIndex& x) { x.dims = 3; x.centroids.push_back(0.0f); }},
      {"offsets decrease", [](IvfPqIndex& x) { x.pq.sub_offsets = {0, 3, 2}; }},
      {"ks missing", [](IvfPqIndex& x) { x.pq.ks.pop_back(); }},
      {"codebook size", [](IvfPqIndex& x) { x.pq.centroids[1].push_back(3.0f); }},
      {"more than 256 codewords",
       [](IvfPqIndex& x) {
         x.pq.ks[1] = 257;
         x.pq.centroids[1].assign(257, 0.0f);
       }},
  };
  for (const Case& c : cases) {
    IvfPqIndex index = tiny_index();
    c.damage(index);
    auto decoded = decode_index(encode_index(index));
    ASSERT_FALSE(decoded.has_value()) << c.name;
    EXPECT_EQ(decoded.error().kind(), ErrorKind::Serialization) << c.name;
    EXPECT_EQ(decoded.error().text().rfind("invalid index: ", 0), 0u) << c.name << ": " << decoded.error().text();
  }
}

}  // namespace
}  // namespace ormel
