// Metadata filters: a parsed condition on a memory's metadata, the flattened form in which
// metadata is kept in memory for filtering, and the evaluation of one against the other.
//
// Contract:
// - parse_filter accepts a JSON object. A key not starting with '$' is a dotted path into
//   nested objects ("a.b" reaches {"a": {"b": ...}}); its value is either a scalar (equality)
//   or an object of operators on that path: $eq $ne $gt $gte $lt $lte (scalar operand; the
//   four orderings take a number or a string), $in $nin (a list of scalars), $exists (a
//   bool), $not (an operator object). Top-level $and and $or take a list of filters, $not one
//   filter. Several entries in one object must all hold. Anything else fails with
//   InvalidArgument naming the operator or key.
// - Values fall into kinds: null, bool, number (integers and floats alike, compared
//   exactly), string (compared by bytes, which is code point order), array, object. A missing
//   path never satisfies a comparison; a comparison across kinds never holds, so $ne holds
//   only for a present value of the operand's kind that differs from it. $in holds when the
//   value equals an element; $nin when the path is present with a scalar value equal to no
//   element. $exists tests presence; $not negates, so it is the way to include absences.
// - A record's metadata is flattened into FlatValues, one per path (objects also give one
//   per member path), sorted by path id. Paths and strings are interned in a
//   MetadataDictionary, so evaluation compares integers and never decodes a record.
// - bind() resolves a filter's paths and strings against a dictionary once per query; a
//   path or string the dictionary has never seen simply matches nothing.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/error.h"
#include "core/memory.h"

namespace ormel {

enum class ValueKind : uint8_t { Null, Bool, Number, String, Array, Object };

// A scalar operand or metadata value. Numbers are held as long double, which represents
// every 64-bit integer and every double exactly, so comparisons between them are exact.
struct FlatScalar {
  ValueKind kind = ValueKind::Null;
  bool boolean = false;
  long double number = 0;
  uint32_t string = 0;  // interned id, for kind String
};

struct FlatValue {
  uint32_t path = 0;
  FlatScalar value;
};

// Interned paths and strings; ids are dense and stable for the dictionary's lifetime.
class MetadataDictionary {
 public:
  static constexpr uint32_t kUnknown = UINT32_MAX;
  MetadataDictionary() = default;
  // Copies would keep views into the source's strings.
  MetadataDictionary(const MetadataDictionary&) = delete;
  MetadataDictionary& operator=(const MetadataDictionary&) = delete;
  MetadataDictionary(MetadataDictionary&&) = default;
  MetadataDictionary& operator=(MetadataDictionary&&) = default;
  uint32_t intern_path(std::string_view path) { return intern(paths_, path); }
  uint32_t intern_string(std::string_view text) { return intern(strings_, text); }
  uint32_t find_path(std::string_view path) const { return find(paths_, path); }
  uint32_t find_string(std::string_view text) const { return find(strings_, text); }
  std::string_view string(uint32_t id) const { return strings_.texts[id]; }
  // Grows with every new path or string, so a filter bound earlier knows to bind again.
  uint64_t generation() const { return paths_.texts.size() + strings_.texts.size(); }
  void clear();

 private:
  struct Table {
    std::deque<std::string> texts;  // a deque keeps the views in `ids` valid
    std::unordered_map<std::string_view, uint32_t> ids;
  };
  static uint32_t intern(Table& table, std::string_view text);
  static uint32_t find(const Table& table, std::string_view text);
  Table paths_, strings_;
};

// Appends the flattened metadata of one record to `out`, sorted by path id; only an object
// gives entries.
void flatten_metadata(const Json& metadata, MetadataDictionary& dictionary, std::vector<FlatValue>& out);
// The same from the metadata's MessagePack form with each map's keys ascending, as the
// engine writes it (a value that departs from that form is flattened up to where it does).
void flatten_packed_metadata(std::span<const uint8_t> metadata, MetadataDictionary& dictionary,
                             std::vector<FlatValue>& out);

struct FilterNode {
  enum class Op : uint8_t { And, Or, Not, Eq, Ne, Gt, Gte, Lt, Lte, In, Nin, Exists };
  Op op = Op::And;
  std::string path;              // comparisons and $exists
  std::vector<Json> operands;    // one for comparisons and $exists, the list for $in/$nin
  std::vector<FilterNode> children;  // $and, $or (any number), $not (one)
};

struct MetadataFilter {
  FilterNode root;
};

// InvalidArgument whose text names the operator or key at fault, e.g. "unknown operator
// '$foo' on key 'a'".
Result<MetadataFilter> parse_filter(const Json& filter);

// A filter resolved against one dictionary, ready to evaluate against flattened records.
class BoundFilter {
 public:
  BoundFilter(const MetadataFilter& filter, const MetadataDictionary& dictionary);
  bool matches(std::span<const FlatValue> record) const;

 private:
  struct Operand {
    FlatScalar value;
    std::string_view text;  // strings: the operand's bytes, for orderings
    bool known = true;      // false: a string the dictionary lacks, equal to no value
  };
  // The operands of $in / $nin sorted by kind, so that membership is a binary search
  // instead of a comparison with every operand (the same answers).
  struct Members {
    std::vector<long double> numbers;  // ascending, without NaN (equal to nothing)
    std::vector<uint32_t> strings;     // interned ids of the known strings, ascending
    bool null = false, no = false, yes = false;
    bool contains(const FlatScalar& value) const;
  };
  struct Node {
    FilterNode::Op op;
    uint32_t path = MetadataDictionary::kUnknown;
    std::vector<Operand> operands;
    std::vector<Node> children;
    Members members;  // $in and $nin
  };
  Node bind(const FilterNode& node);
  bool eval(const Node& node, std::span<const FlatValue> record) const;
  bool compare(FilterNode::Op op, const FlatScalar& value, const Operand& operand) const;

  const MetadataDictionary* dictionary_;
  Node root_;
};

}  // namespace ormel
