#include "python/src/memory_batch.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "python/src/convert.h"
#include "python/src/errors.h"

namespace ormel_py {
namespace {

constexpr const char* kFn = "remember_many";

bool wrong_length(const char* name, Py_ssize_t len, Py_ssize_t n) {
  invalid_format("%s() argument '%s' holds %zd items, expected %zd (one per content)", kFn, name, len,
               n);
  return false;
}

// A sequence column, copied into a tuple: converting an item may run Python code, which must
// not be able to change the items under the walk.
class ItemTuple {
 public:
  ItemTuple() = default;
  ItemTuple(const ItemTuple&) = delete;
  ItemTuple& operator=(const ItemTuple&) = delete;
  ~ItemTuple() { Py_XDECREF(seq_); }

  // False with the exception set when `o` is not a non-str sequence of n items.
  bool open(PyObject* o, const char* name, const char* kind, Py_ssize_t n, const char* fn = kFn) {
    if (PyUnicode_Check(o) || !PySequence_Check(o)) return type_error(o, fn, name, kind);
    seq_ = PySequence_Tuple(o);
    if (seq_ == nullptr) return false;
    const Py_ssize_t len = PySequence_Size(seq_);
    if (len < 0) return false;
    return n < 0 || len == n || wrong_length(name, len, n);
  }
  Py_ssize_t size() const { return PySequence_Size(seq_); }
  // Borrowed.
  PyObject* at(Py_ssize_t i) const { return PyTuple_GetItem(seq_, i); }

 private:
  PyObject* seq_ = nullptr;
};

// One converted value for every item, or one per item.
template <class T>
struct Values {
  std::vector<T> v;
  T& at(size_t i) { return v.size() == 1 ? v[0] : v[i]; }
  bool shared_by_all() const { return v.size() == 1; }
};

// Converts a column: `single` says whether `o` is one value for all items. `convert(o, name,
// out)` converts one value, raising with the column's name on failure.
template <class T, class Convert>
bool column(PyObject* o, const char* name, const char* kind, bool single, Py_ssize_t n, Convert convert,
            Values<T>& out) {
  if (single) {
    out.v.resize(1);
    return convert(o, name, out.v[0]);
  }
  ItemTuple seq;
  if (!seq.open(o, name, kind, n)) return false;
  out.v.resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!convert(seq.at(i), name, out.v[static_cast<size_t>(i)])) return raise_for_item(kFn, static_cast<size_t>(i));
  }
  return true;
}

bool opt_str(PyObject* o, const char* name, std::optional<std::string>& out) { return opt_str_arg(o, kFn, name, out); }

}  // namespace

bool raise_for_item(const char* fn, size_t i) {
  return reraise_prefixed(std::string(fn) + "() item " + std::to_string(i) + ": ", std::string(fn) + "() ");
}

bool memories_from_columns(const BatchColumns& c, bool rows_in_place, std::vector<ormel::Memory>& out,
                           BufferRows& rows) {
  ItemTuple contents;
  if (!contents.open(c.contents, "contents", "a sequence of str", -1)) return false;
  const Py_ssize_t n = contents.size();
  const auto none_or_str = [](PyObject* o) { return o == Py_None || PyUnicode_Check(o); };
  const auto not_sequence = [](PyObject* o) { return PyUnicode_Check(o) || !PySequence_Check(o); };

  Values<ormel::MemoryType> types;
  Values<std::optional<std::string>> agents, sessions;
  Values<std::optional<float>> importances;
  Values<std::optional<int64_t>> ttls;
  Values<ormel::Scope> scopes;
  Values<ormel::Json> metadata;
  Values<ormel::MemoryId> ids;
  const bool ok =
      column(c.memory_type, "memory_type", "str or a sequence of str", PyUnicode_Check(c.memory_type) != 0, n,
             [](PyObject* o, const char* name, ormel::MemoryType& t) { return parse_type(o, kFn, name, t); }, types) &&
      column(c.agent_id, "agent_id", "str, None or a sequence of them", none_or_str(c.agent_id), n,
             opt_str, agents) &&
      column(c.session_id, "session_id", "str, None or a sequence of them", none_or_str(c.session_id),
             n, opt_str, sessions) &&
      column(c.importance, "importance", "a number, None or a sequence of them", not_sequence(c.importance), n,
             [](PyObject* o, const char* name, std::optional<float>& v) {
               if (o == Py_None) return true;
               v.emplace();
               return importance_arg(o, kFn, name, *v);
             },
             importances) &&
      column(c.ttl_secs, "ttl_secs", "int, None or a sequence of them", not_sequence(c.ttl_secs), n,
             [](PyObject* o, const char* name, std::optional<int64_t>& v) { return opt_i64_arg(o, kFn, name, v); },
             ttls) &&
      column(c.shared, "shared", "bool or a sequence of bool", not_sequence(c.shared), n,
             [](PyObject* o, const char* name, ormel::Scope& v) {
               bool shared = false;
               if (!bool_arg(o, kFn, name, shared)) return false;
               v = shared ? ormel::Scope::Shared : ormel::Scope::Private;
               return true;
             },
             scopes) &&
      column(c.metadata, "metadata", "a dict, None or a sequence of them", c.metadata == Py_None || PyDict_Check(c.metadata), n,
             [](PyObject* o, const char* name, ormel::Json& v) {
               v = ormel::Json::object();
               return metadata_arg(o, kFn, name, v);
             },
             metadata) &&
      column(c.ids, "ids", "None or a sequence of str or None", c.ids == Py_None, n,
             [](PyObject* o, const char* name, ormel::MemoryId& v) {
               v = 0;  // a fresh id
               return o == Py_None || memory_id_to_write(o, kFn, name, v);
             },
             ids);
  if (!ok) return false;

  // A 2-D array is read whole, as rows the memories leave to `rows`; anything else row by
  // row into each memory's vector.
  std::vector<std::vector<float>> each;
  if (rows.open(c.vectors, rows_in_place)) {
    const auto count = static_cast<Py_ssize_t>(rows.rows().count);
    if (count != n) return wrong_length("vectors", count, n);
  } else {
    ItemTuple vectors;
    if (!vectors.open(c.vectors, "vectors", "a sequence of vectors", n)) return false;
    each.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!vector_arg(vectors.at(i), kFn, "vectors", each[static_cast<size_t>(i)]))
        return raise_for_item(kFn, static_cast<size_t>(i));
    }
  }
  // One clock reading for the batch; id 0 has the store draw a fresh id, in item order.
  const int64_t now = ormel::now_secs();
  std::vector<ormel::Memory> memories;
  memories.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    const auto at = static_cast<size_t>(i);
    ormel::Memory m;
    if (!str_arg(contents.at(i), kFn, "contents", m.content)) return raise_for_item(kFn, at);
    m.id = ids.at(at);
    m.memory_type = types.at(at);
    if (!each.empty()) m.vector = std::move(each[at]);
    m.created_at = m.accessed_at = now;
    if (agents.at(at)) m.agent_id = *agents.at(at);
    if (importances.at(at)) m.importance = *importances.at(at);
    m.session_id = sessions.at(at);
    m.ttl_secs = ttls.at(at);
    m.scope = scopes.at(at);
    m.metadata = metadata.shared_by_all() ? metadata.at(at) : std::move(metadata.at(at));
    memories.push_back(std::move(m));
  }
  out = std::move(memories);
  return true;
}

namespace {

constexpr const char* kLoadFn = "load_memories";
constexpr const char* kMemoryKeys[] = {"id",         "content",     "memory_type",  "vector",     "metadata",
                                       "agent_id",   "session_id",  "scope",        "created_at", "accessed_at",
                                       "access_count", "importance", "ttl_secs"};

// The value under `key` of a dict the caller cannot change meanwhile (borrowed), or null.
PyObject* field(PyObject* dict, const char* key) { return PyDict_GetItemString(dict, key); }

bool missing_key(const char* key) {
  invalid_format("%s() memory dict has no \"%s\"", kLoadFn, key);
  return false;
}

// Refuses a key that no memory dict has, naming it.
bool only_memory_keys(PyObject* dict) {
  Py_ssize_t known = 0;
  for (const char* key : kMemoryKeys) known += field(dict, key) != nullptr;
  if (PyDict_Size(dict) == known) return true;
  PyObject *key, *value;
  for (Py_ssize_t pos = 0; PyDict_Next(dict, &pos, &key, &value);) {
    const bool is_str = PyUnicode_Check(key);
    const char* text = is_str ? PyUnicode_AsUTF8AndSize(key, nullptr) : nullptr;
    if (is_str && text == nullptr) return false;
    if (text != nullptr && std::ranges::any_of(kMemoryKeys, [&](const char* k) { return std::strcmp(k, text) == 0; }))
      continue;
    invalid_format("%s() unknown memory dict key %R", kLoadFn, key);
    return false;
  }
  return true;
}

bool scope_arg(PyObject* o, ormel::Scope& out) {
  std::string text;
  if (!str_arg(o, kLoadFn, "scope", text)) return false;
  if (text == "private" || text == "shared") {
    out = text == "shared" ? ormel::Scope::Shared : ormel::Scope::Private;
    return true;
  }
  invalid_format("%s() argument 'scope' must be \"private\" or \"shared\", not %R", kLoadFn, o);
  return false;
}

bool access_count_arg(PyObject* o, uint32_t& out) {
  uint64_t count = 0;
  if (!u64_arg(o, kLoadFn, "access_count", count)) return false;
  if (count > UINT32_MAX) {
    invalid_format("%s() argument 'access_count' must be at most 4294967295", kLoadFn);
    return false;
  }
  out = static_cast<uint32_t>(count);
  return true;
}

// One memory from its dict (a private copy), the optional fields applied when present.
bool memory_from_dict(PyObject* dict, int64_t now, ormel::Memory& m) {
  for (const char* key : {"id", "content", "memory_type", "vector"}) {
    if (field(dict, key) == nullptr) return missing_key(key);
  }
  if (!only_memory_keys(dict) || !memory_id_to_write(field(dict, "id"), kLoadFn, "id", m.id) ||
      !str_arg(field(dict, "content"), kLoadFn, "content", m.content) ||
      !parse_type(field(dict, "memory_type"), kLoadFn, "memory_type", m.memory_type) ||
      !vector_arg(field(dict, "vector"), kLoadFn, "vector", m.vector))
    return false;
  m.created_at = now;
  const auto optional = [&](const char* key, auto convert) {
    PyObject* o = field(dict, key);
    return o == nullptr || convert(o);
  };
  m.metadata = ormel::Json::object();
  const bool ok =
      optional("metadata", [&](PyObject* o) { return metadata_arg(o, kLoadFn, "metadata", m.metadata); }) &&
      optional("agent_id", [&](PyObject* o) { return str_arg(o, kLoadFn, "agent_id", m.agent_id); }) &&
      optional("session_id", [&](PyObject* o) { return opt_str_arg(o, kLoadFn, "session_id", m.session_id); }) &&
      optional("scope", [&](PyObject* o) { return scope_arg(o, m.scope); }) &&
      optional("created_at", [&](PyObject* o) { return i64_arg(o, kLoadFn, "created_at", m.created_at); }) &&
      optional("importance", [&](PyObject* o) { return importance_arg(o, kLoadFn, "importance", m.importance); }) &&
      optional("ttl_secs", [&](PyObject* o) { return opt_i64_arg(o, kLoadFn, "ttl_secs", m.ttl_secs); }) &&
      optional("access_count", [&](PyObject* o) { return access_count_arg(o, m.access_count); });
  if (!ok) return false;
  m.accessed_at = m.created_at;
  return optional("accessed_at", [&](PyObject* o) { return i64_arg(o, kLoadFn, "accessed_at", m.accessed_at); });
}

}  // namespace

bool memories_from_dicts(PyObject* items, std::vector<ormel::Memory>& out) {
  ItemTuple seq;
  if (!seq.open(items, "memories", "a sequence of memory dicts", -1, kLoadFn)) return false;
  const int64_t now = ormel::now_secs();
  std::vector<ormel::Memory> memories(static_cast<size_t>(seq.size()));
  for (Py_ssize_t i = 0; i < seq.size(); ++i) {
    PyObject* item = seq.at(i);
    if (!PyDict_Check(item)) {
      type_error(item, kLoadFn, "memories", "a memory dict");
      return raise_for_item(kLoadFn, static_cast<size_t>(i));
    }
    // A copy: converting a value may run Python code, which must not change the dict under us.
    PyObject* dict = PyDict_Copy(item);
    const bool ok = dict != nullptr && memory_from_dict(dict, now, memories[static_cast<size_t>(i)]);
    Py_XDECREF(dict);
    if (!ok) return raise_for_item(kLoadFn, static_cast<size_t>(i));
  }
  out = std::move(memories);
  return true;
}

}  // namespace ormel_py
