#include "core/metadata_filter.h"

#include <algorithm>

#include "core/msgpack_cursor.h"
#include "core/record_codec.h"

namespace ormel {

uint32_t MetadataDictionary::intern(Table& table, std::string_view text) {
  if (auto it = table.ids.find(text); it != table.ids.end()) return it->second;
  const auto id = static_cast<uint32_t>(table.texts.size());
  table.texts.emplace_back(text);
  table.ids.emplace(table.texts.back(), id);
  return id;
}

uint32_t MetadataDictionary::find(const Table& table, std::string_view text) {
  auto it = table.ids.find(text);
  return it == table.ids.end() ? kUnknown : it->second;
}

void MetadataDictionary::clear() {
  for (Table* table : {&paths_, &strings_}) {
    table->ids.clear();
    table->texts.clear();
  }
}

namespace {

// The scalar form of a JSON value; arrays and objects keep only their kind.
FlatScalar scalar_of(const Json& v, MetadataDictionary* dictionary) {
  FlatScalar s;
  switch (v.type()) {
    case Json::value_t::boolean:
      s.kind = ValueKind::Bool;
      s.boolean = v.get<bool>();
      break;
    case Json::value_t::number_integer:
      s.kind = ValueKind::Number;
      s.number = static_cast<long double>(v.get<int64_t>());
      break;
    case Json::value_t::number_unsigned:
      s.kind = ValueKind::Number;
      s.number = static_cast<long double>(v.get<uint64_t>());
      break;
    case Json::value_t::number_float:
      s.kind = ValueKind::Number;
      s.number = static_cast<long double>(v.get<double>());
      break;
    case Json::value_t::string:
      s.kind = ValueKind::String;
      if (dictionary) s.string = dictionary->intern_string(v.get_ref<const std::string&>());
      break;
    case Json::value_t::array:
      s.kind = ValueKind::Array;
      break;
    case Json::value_t::object:
      s.kind = ValueKind::Object;
      break;
    default:
      s.kind = ValueKind::Null;
      break;
  }
  return s;
}

// Flattens the `pairs` entries of the map the cursor is in, their paths under `path` (the
// map's own path, empty at the top), which it leaves as it found it.
void flatten_map(MsgCursor& c, uint32_t pairs, std::string& path, MetadataDictionary& dictionary,
                 std::vector<FlatValue>& out) {
  const size_t prefix = path.size();
  for (uint32_t i = 0; i < pairs; ++i) {
    const std::optional<std::string_view> key = c.str();
    if (!key) break;
    path.resize(prefix);
    if (prefix > 0) path += '.';
    path += *key;
    FlatValue entry{dictionary.intern_path(path), {}};
    FlatScalar& s = entry.value;
    bool read = true;
    switch (c.kind()) {
      case MsgKind::Nil: read = c.nil(); break;
      case MsgKind::Bool: {
        const std::optional<bool> b = c.boolean();
        s.kind = ValueKind::Bool;
        s.boolean = b.value_or(false);
        read = b.has_value();
        break;
      }
      case MsgKind::Int: {
        const std::optional<MsgCursor::Integer> n = c.integer();
        s.kind = ValueKind::Number;
        if (n) {
          s.number = n->negative ? static_cast<long double>(static_cast<int64_t>(n->value))
                                 : static_cast<long double>(n->value);
        }
        read = n.has_value();
        break;
      }
      case MsgKind::Float32: {
        const std::optional<float> f = c.f32();
        s.kind = ValueKind::Number;
        s.number = static_cast<long double>(static_cast<double>(f.value_or(0)));
        read = f.has_value();
        break;
      }
      case MsgKind::Float64: {
        const std::optional<double> f = c.f64();
        s.kind = ValueKind::Number;
        s.number = static_cast<long double>(f.value_or(0));
        read = f.has_value();
        break;
      }
      case MsgKind::Str: {
        const std::optional<std::string_view> text = c.str();
        s.kind = ValueKind::String;
        if (text) s.string = dictionary.intern_string(*text);
        read = text.has_value();
        break;
      }
      case MsgKind::Array:
        s.kind = ValueKind::Array;
        read = c.skip();
        break;
      case MsgKind::Map: {
        const std::optional<uint32_t> n = c.map();
        s.kind = ValueKind::Object;
        if (!n) {
          read = false;
          break;
        }
        out.push_back(entry);
        flatten_map(c, *n, path, dictionary, out);
        continue;
      }
      default: read = false;
    }
    if (!read) break;
    out.push_back(entry);
  }
  path.resize(prefix);
}

}  // namespace

void flatten_packed_metadata(std::span<const uint8_t> metadata, MetadataDictionary& dictionary,
                             std::vector<FlatValue>& out) {
  MsgCursor c(metadata);
  const std::optional<uint32_t> pairs = c.map();
  if (!pairs) return;
  const size_t first = out.size();
  std::string path;
  flatten_map(c, *pairs, path, dictionary, out);
  // Stable: where a literal dotted key and a nested path coincide, the earlier one is found.
  std::stable_sort(out.begin() + static_cast<ptrdiff_t>(first), out.end(),
                   [](const FlatValue& a, const FlatValue& b) { return a.path < b.path; });
}

void flatten_metadata(const Json& metadata, MetadataDictionary& dictionary, std::vector<FlatValue>& out) {
  flatten_packed_metadata(pack_json(metadata), dictionary, out);
}

// --- Parsing ---------------------------------------------------------------------------

namespace {

using Op = FilterNode::Op;

struct OperatorName {
  std::string_view name;
  Op op;
};
constexpr OperatorName kFieldOperators[] = {
    {"$eq", Op::Eq}, {"$ne", Op::Ne},   {"$gt", Op::Gt},   {"$gte", Op::Gte},       {"$lt", Op::Lt},
    {"$lte", Op::Lte}, {"$in", Op::In}, {"$nin", Op::Nin}, {"$exists", Op::Exists}, {"$not", Op::Not},
};

OrmelError malformed(const std::string& text) { return OrmelError::invalid_argument(text); }

bool is_scalar(const Json& v) { return !v.is_array() && !v.is_object() && !v.is_discarded() && !v.is_binary(); }

Result<FilterNode> parse_object(const Json& filter, int depth);

// The operators applied to one path: {"$gt": 1, "$lt": 5} (all must hold).
Result<FilterNode> parse_operators(const std::string& path, const Json& ops, int depth) {
  if (ops.empty()) return fail(malformed("key '" + path + "' has an empty operator object"));
  FilterNode all{Op::And, {}, {}, {}};
  for (const auto& [name, operand] : ops.items()) {
    const auto* known = std::find_if(std::begin(kFieldOperators), std::end(kFieldOperators),
                                     [&](const OperatorName& o) { return o.name == name; });
    if (known == std::end(kFieldOperators)) {
      return fail(malformed("unknown operator '" + name + "' on key '" + path + "'"));
    }
    FilterNode node{known->op, path, {}, {}};
    switch (known->op) {
      case Op::Not: {
        if (!operand.is_object()) return fail(malformed("'$not' on key '" + path + "' needs an operator object"));
        if (depth > 64) return fail(malformed("filter nested too deeply"));
        ORMEL_ASSIGN(FilterNode inner, parse_operators(path, operand, depth + 1));
        node.path.clear();
        node.children.push_back(std::move(inner));
        break;
      }
      case Op::In:
      case Op::Nin:
        if (!operand.is_array() || !std::all_of(operand.begin(), operand.end(), is_scalar)) {
          return fail(malformed("'" + name + "' on key '" + path + "' needs a list of scalars"));
        }
        node.operands.assign(operand.begin(), operand.end());
        break;
      case Op::Exists:
        if (!operand.is_boolean()) return fail(malformed("'$exists' on key '" + path + "' needs true or false"));
        node.operands.push_back(operand);
        break;
      case Op::Gt:
      case Op::Gte:
      case Op::Lt:
      case Op::Lte:
        if (!operand.is_number() && !operand.is_string()) {
          return fail(malformed("'" + name + "' on key '" + path + "' needs a number or a string"));
        }
        node.operands.push_back(operand);
        break;
      default:  // $eq, $ne
        if (!is_scalar(operand)) {
          return fail(malformed("'" + name + "' on key '" + path + "' needs a null, bool, number or string"));
        }
        node.operands.push_back(operand);
        break;
    }
    all.children.push_back(std::move(node));
  }
  if (all.children.size() == 1) return std::move(all.children.front());
  return all;
}

Result<FilterNode> parse_object(const Json& filter, int depth) {
  if (!filter.is_object()) return fail(malformed("a filter must be a dict, not " + std::string(filter.type_name())));
  if (depth > 64) return fail(malformed("filter nested too deeply"));
  FilterNode all{Op::And, {}, {}, {}};
  for (const auto& [key, value] : filter.items()) {
    if (key == "$and" || key == "$or") {
      if (!value.is_array()) return fail(malformed("'" + key + "' needs a list of filters"));
      FilterNode node{key == "$and" ? Op::And : Op::Or, {}, {}, {}};
      for (const Json& item : value) {
        if (!item.is_object()) return fail(malformed("'" + key + "' needs a list of filters"));
        ORMEL_ASSIGN(FilterNode child, parse_object(item, depth + 1));
        node.children.push_back(std::move(child));
      }
      all.children.push_back(std::move(node));
    } else if (key == "$not") {
      if (!value.is_object()) return fail(malformed("'$not' needs a filter"));
      ORMEL_ASSIGN(FilterNode child, parse_object(value, depth + 1));
      all.children.push_back({Op::Not, {}, {}, {std::move(child)}});
    } else if (key.starts_with('$')) {
      return fail(malformed("unknown operator '" + key + "'"));
    } else if (key.empty()) {
      return fail(malformed("empty key"));
    } else if (value.is_object()) {
      ORMEL_ASSIGN(FilterNode node, parse_operators(key, value, depth + 1));
      all.children.push_back(std::move(node));
    } else if (value.is_array()) {
      return fail(malformed("key '" + key + "' compares with a list; use '$in'"));
    } else {
      all.children.push_back({Op::Eq, key, {value}, {}});
    }
  }
  if (all.children.size() == 1) return std::move(all.children.front());
  return all;
}

}  // namespace

Result<MetadataFilter> parse_filter(const Json& filter) {
  ORMEL_ASSIGN(FilterNode root, parse_object(filter, 0));
  return MetadataFilter{std::move(root)};
}

// --- Evaluation ------------------------------------------------------------------------

BoundFilter::BoundFilter(const MetadataFilter& filter, const MetadataDictionary& dictionary)
    : dictionary_(&dictionary), root_(bind(filter.root)) {}

BoundFilter::Node BoundFilter::bind(const FilterNode& node) {
  Node bound{node.op, {}, {}, {}, {}};
  if (!node.path.empty()) bound.path = dictionary_->find_path(node.path);
  for (const Json& operand : node.operands) {
    Operand o{scalar_of(operand, nullptr), {}, true};
    if (o.value.kind == ValueKind::String) {
      o.text = operand.get_ref<const std::string&>();
      o.value.string = dictionary_->find_string(o.text);
      o.known = o.value.string != MetadataDictionary::kUnknown;
    }
    bound.operands.push_back(o);
  }
  for (const FilterNode& child : node.children) bound.children.push_back(bind(child));
  if (node.op == Op::In || node.op == Op::Nin) {
    Members& m = bound.members;
    for (const Operand& o : bound.operands) {
      switch (o.value.kind) {
        case ValueKind::Null:
          m.null = true;
          break;
        case ValueKind::Bool:
          (o.value.boolean ? m.yes : m.no) = true;
          break;
        case ValueKind::Number:
          if (o.value.number == o.value.number) m.numbers.push_back(o.value.number);
          break;
        case ValueKind::String:
          if (o.known) m.strings.push_back(o.value.string);
          break;
        default:
          break;
      }
    }
    std::sort(m.numbers.begin(), m.numbers.end());
    std::sort(m.strings.begin(), m.strings.end());
  }
  return bound;
}

bool BoundFilter::Members::contains(const FlatScalar& value) const {
  switch (value.kind) {
    case ValueKind::Null:
      return null;
    case ValueKind::Bool:
      return value.boolean ? yes : no;
    case ValueKind::Number:
      // NaN is equal to nothing; -0 and +0 are equal, as the comparison says.
      return value.number == value.number && std::binary_search(numbers.begin(), numbers.end(), value.number);
    case ValueKind::String:
      return std::binary_search(strings.begin(), strings.end(), value.string);
    default:
      return false;
  }
}

bool BoundFilter::matches(std::span<const FlatValue> record) const { return eval(root_, record); }

bool BoundFilter::compare(Op op, const FlatScalar& value, const Operand& operand) const {
  const FlatScalar& x = operand.value;
  if (value.kind != x.kind) return false;
  // Three-way order of value against operand; unordered (NaN) satisfies nothing.
  int order = 0;
  switch (value.kind) {
    case ValueKind::Null:
      break;
    case ValueKind::Bool:
      order = value.boolean == x.boolean ? 0 : 1;  // only equality is asked of bools
      break;
    case ValueKind::Number:
      // NaN is unequal to itself (x != x spares the library call std::isnan makes for long double).
      if (value.number != value.number || x.number != x.number) return false;
      order = value.number < x.number ? -1 : value.number > x.number ? 1 : 0;
      break;
    case ValueKind::String:
      if (op == Op::Eq || op == Op::Ne || op == Op::In || op == Op::Nin) {
        order = operand.known && value.string == x.string ? 0 : 1;
      } else {
        const int c = dictionary_->string(value.string).compare(operand.text);
        order = c < 0 ? -1 : c > 0 ? 1 : 0;
      }
      break;
    default:
      return false;
  }
  switch (op) {
    case Op::Eq:
    case Op::In:
    case Op::Nin:
      return order == 0;
    case Op::Ne:
      return order != 0;
    case Op::Gt:
      return order > 0;
    case Op::Gte:
      return order >= 0;
    case Op::Lt:
      return order < 0;
    case Op::Lte:
      return order <= 0;
    default:
      return false;
  }
}

bool BoundFilter::eval(const Node& node, std::span<const FlatValue> record) const {
  switch (node.op) {
    case Op::And:
      return std::all_of(node.children.begin(), node.children.end(), [&](const Node& c) { return eval(c, record); });
    case Op::Or:
      return std::any_of(node.children.begin(), node.children.end(), [&](const Node& c) { return eval(c, record); });
    case Op::Not:
      return !eval(node.children.front(), record);
    default:
      break;
  }
  const FlatValue* found = nullptr;
  if (node.path != MetadataDictionary::kUnknown) {
    auto it = std::lower_bound(record.begin(), record.end(), node.path,
                               [](const FlatValue& v, uint32_t path) { return v.path < path; });
    if (it != record.end() && it->path == node.path) found = &*it;
  }
  if (node.op == Op::Exists) return (found != nullptr) == node.operands.front().value.boolean;
  if (found == nullptr) return false;
  const FlatScalar& value = found->value;
  switch (node.op) {
    case Op::In:
      return node.members.contains(value);
    case Op::Nin:
      if (value.kind == ValueKind::Array || value.kind == ValueKind::Object) return false;
      return !node.members.contains(value);
    default:
      return compare(node.op, value, node.operands.front());
  }
}

}  // namespace ormel
