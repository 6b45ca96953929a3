// The index blob: IvfPqIndex as a MessagePack record.
//
//   IvfPqIndex  array of 7 (0x97)
//     0 dims          uint
//     1 n_partitions  uint
//     2 n_probe       uint
//     3 n_rerank      uint
//     4 centroids     array of float 32 (0xCA), n_partitions * dims values
//     5 pq            PqCodebook
//     6 partitions    array of Posting, in partition order
//   PqCodebook  array of 3 (0x93)
//     0 sub_offsets   array of m + 1 uints
//     1 centroids     array of m arrays of float 32, ks[j] * width_j values each
//     2 ks            array of m uints
//   Posting     array of 2 (0x92)
//     0 ids           array of bin 8 of length 16 (0xC4 0x10), the id big-endian
//     1 codes         array of uints (positive fixint, or 0xCC for 128..255), m per id
//
// partition_of is not stored; decoding rebuilds it (a later occurrence of an id wins).
#include <limits>
#include <string>

#include "core/index.h"
#include "core/record_codec.h"

namespace ormel {

template <>
struct RecordDef<Posting> {
  static constexpr std::string_view kName = "Posting";
  static constexpr size_t kMinFields = std::numeric_limits<size_t>::max();
  template <class V, class R>
  static void fields(V& v, R& r) {
    v("ids", r.ids);
    v("codes", r.codes);
  }
};

template <>
struct RecordDef<PqCodebook> {
  static constexpr std::string_view kName = "PqCodebook";
  static constexpr size_t kMinFields = std::numeric_limits<size_t>::max();
  template <class V, class R>
  static void fields(V& v, R& r) {
    v("sub_offsets", r.sub_offsets);
    v("centroids", r.centroids);
    v("ks", r.ks);
  }
};

template <>
struct RecordDef<IvfPqIndex> {
  static constexpr std::string_view kName = "IvfPqIndex";
  static constexpr size_t kMinFields = std::numeric_limits<size_t>::max();
  template <class V, class R>
  static void fields(V& v, R& r) {
    v("dims", r.dims);
    v("n_partitions", r.n_partitions);
    v("n_probe", r.n_probe);
    v("n_rerank", r.n_rerank);
    v("centroids", r.centroids);
    v("pq", r.pq);
    v("partitions", r.partitions);
  }
};

namespace {

OrmelError invalid_index(const std::string& what) { return OrmelError::serialization("invalid index: " + what); }

// The shape every operation of IvfPqIndex relies on (its invariants 2 and 4, the
// codebook's boundaries, and codes that name existing codewords).
Status check_shape(const IvfPqIndex& x) {
  const bool centroids_fit = x.dims == 0 ? x.centroids.empty()
                                         : x.centroids.size() % x.dims == 0 && x.centroids.size() / x.dims == x.n_partitions;
  if (!centroids_fit)
    return fail(invalid_index("centroids hold " + std::to_string(x.centroids.size()) + " values, expected " +
                              std::to_string(x.n_partitions) + " x " + std::to_string(x.dims)));
  if (x.partitions.size() != x.n_partitions)
    return fail(invalid_index(std::to_string(x.partitions.size()) + " postings for " +
                              std::to_string(x.n_partitions) + " partitions"));
  const PqCodebook& pq = x.pq;
  const size_t m = x.subspaces();
  if (pq.sub_offsets.empty() || pq.sub_offsets.front() != 0 || pq.sub_offsets.back() != x.dims ||
      pq.centroids.size() != m || pq.ks.size() != m)
    return fail(invalid_index("codebook does not describe " + std::to_string(x.dims) + " dimensions"));
  for (size_t j = 0; j < m; ++j) {
    const uint64_t width = pq.sub_offsets[j + 1] - pq.sub_offsets[j], ks = pq.ks[j];
    const size_t values = pq.centroids[j].size();
    const bool fits = ks >= 1 && ks <= 256 && values % ks == 0 && values / ks == width;
    if (pq.sub_offsets[j + 1] < pq.sub_offsets[j] || !fits)
      return fail(invalid_index("codebook of subspace " + std::to_string(j) + " is malformed"));
  }
  for (size_t p = 0; p < x.partitions.size(); ++p) {
    const Posting& posting = x.partitions[p];
    if (posting.codes.size() != posting.ids.size() * m)
      return fail(invalid_index("posting " + std::to_string(p) + " has " + std::to_string(posting.codes.size()) +
                                " code bytes for " + std::to_string(posting.ids.size()) + " ids"));
    for (size_t i = 0; i < posting.codes.size(); ++i) {
      if (posting.codes[i] >= pq.ks[i % m])
        return fail(invalid_index("posting " + std::to_string(p) + " names a missing codeword"));
    }
  }
  return {};
}

}  // namespace

std::vector<uint8_t> encode_index(const IvfPqIndex& index) {
  size_t estimate = index.centroids.size() * 5;
  for (const auto& book : index.pq.centroids) estimate += book.size() * 5;
  for (const Posting& p : index.partitions) estimate += p.ids.size() * 18 + p.codes.size() * 2;
  return encode_record(index, estimate + 64);
}

Result<IvfPqIndex> decode_index(std::span<const uint8_t> blob) {
  ORMEL_ASSIGN(IvfPqIndex index, decode_record<IvfPqIndex>(blob));
  ORMEL_TRY(check_shape(index));
  for (uint64_t p = 0; p < index.partitions.size(); ++p) {
    for (MemoryId id : index.partitions[p].ids) index.partition_of[id] = p;
  }
  return index;
}

}  // namespace ormel
