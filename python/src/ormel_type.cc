#include "python/src/ormel_type.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "python/src/convert.h"
#include "python/src/errors.h"
#include "python/src/memory_batch.h"
#include "python/src/module.h"
#include "python/src/progress_callback.h"
#include "python/src/session_type.h"

namespace ormel_py {
namespace {

using ormel::Ormel;

Ormel& store(PyObject* self) { return *as_ormel(self)->d.store; }
BorrowFlag& flag(PyObject* self) { return as_ormel(self)->d.borrow; }

PyObject* none_or_raise(const ormel::Status& status) {
  if (!status) return raise_error(status.error());
  Py_RETURN_NONE;
}

template <class T, class F>
PyObject* convert_or_raise(const ormel::Result<T>& result, F convert) {
  if (!result) return raise_error(result.error());
  return convert(*result);
}

// --- Memories -------------------------------------------------------------------------

PyObject* remember(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"content", "memory_type", "vector", "agent_id", "importance",
                                      "session_id", "ttl_secs", "shared", "metadata", "id", nullptr};
  PyObject *content_obj, *type_obj, *vector_obj;
  PyObject *agent_obj = Py_None, *importance_obj = Py_None, *session_obj = Py_None, *ttl_obj = Py_None,
           *shared_obj = Py_False, *metadata_obj = Py_None, *id_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OOOOOOO:remember", kwlist(names), &content_obj, &type_obj,
                                   &vector_obj, &agent_obj, &importance_obj, &session_obj, &ttl_obj,
                                   &shared_obj, &metadata_obj, &id_obj))
    return nullptr;
  const char* fn = "remember";
  ormel::MemoryType type;
  std::string content;
  std::vector<float> vector;
  std::optional<std::string> agent_id, session_id;
  std::optional<int64_t> ttl_secs;
  bool shared = false;
  float importance = 0.5f;
  ormel::Json metadata = ormel::Json::object();
  ormel::MemoryId id = 0;
  if (!parse_type(type_obj, fn, "memory_type", type) || !str_arg(content_obj, fn, "content", content) ||
      !vector_arg(vector_obj, fn, "vector", vector) || !opt_str_arg(agent_obj, fn, "agent_id", agent_id) ||
      (importance_obj != Py_None && !importance_arg(importance_obj, fn, "importance", importance)) ||
      !opt_str_arg(session_obj, fn, "session_id", session_id) ||
      !opt_i64_arg(ttl_obj, fn, "ttl_secs", ttl_secs) || !bool_arg(shared_obj, fn, "shared", shared) ||
      !metadata_arg(metadata_obj, fn, "metadata", metadata) ||
      (id_obj != Py_None && !memory_id_to_write(id_obj, fn, "id", id)))
    return nullptr;

  ormel::Memory memory = ormel::Memory::make(std::move(content), type, std::move(vector));
  if (id != 0) memory.id = id;
  if (agent_id) memory.agent_id = std::move(*agent_id);
  memory.importance = importance;
  memory.session_id = std::move(session_id);
  memory.ttl_secs = ttl_secs;
  if (shared) memory.scope = ormel::Scope::Shared;
  memory.metadata = std::move(metadata);

  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return convert_or_raise(store(self).remember(std::move(memory)), id_to_py);
}

PyObject* remember_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"contents", "memory_type", "vectors", "agent_id", "importance", "session_id",
                                      "ttl_secs", "shared", "metadata", "ids", "progress", nullptr};
  BatchColumns c{nullptr, nullptr, nullptr, Py_None, Py_None, Py_None, Py_None, Py_False, Py_None, Py_None};
  PyObject* progress_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OOOOOOOO:remember_many", kwlist(names), &c.contents,
                                   &c.memory_type, &c.vectors, &c.agent_id, &c.importance, &c.session_id,
                                   &c.ttl_secs, &c.shared, &c.metadata, &c.ids, &progress_obj))
    return nullptr;
  std::vector<ormel::Memory> memories;
  BufferRows rows;
  ProgressCallback progress;
  // A progress callback runs Python code during the call, which could change an array the
  // store reads in place: its rows are then copied first.
  if (!memories_from_columns(c, progress_obj == Py_None, memories, rows) ||
      !progress.parse(progress_obj, "remember_many"))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  auto ids = rows.opened()
                 ? without_gil([&] {
                     return store(self).remember_many(std::move(memories), rows.rows(), progress.progress());
                   })
                 : without_gil([&] { return store(self).remember_many(std::move(memories), progress.progress()); });
  if (ids) return ids_to_list(*ids);
  // Without an item the whole call was refused, or stopped by the progress callback.
  if (!ids.error().item) return progress.raise(ids.error().error);
  raise_error(ids.error().error);
  raise_for_item("remember_many", *ids.error().item);
  return nullptr;
}

PyObject* load_memories(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"memories", nullptr};
  PyObject* items;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:load_memories", kwlist(names), &items)) return nullptr;
  std::vector<ormel::Memory> memories;
  if (!memories_from_dicts(items, memories)) return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  auto ids = without_gil([&] { return store(self).load_memories(std::move(memories)); });
  if (ids) return ids_to_list(*ids);
  raise_error(ids.error().error);
  if (ids.error().item) raise_for_item("load_memories", *ids.error().item);
  return nullptr;
}

// True when an optional keyword of update() was left out (absent or given as ...).
bool given(PyObject* o) { return o != nullptr && o != Py_Ellipsis; }

PyObject* update(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"id",       "content",  "memory_type", "vector",     "importance",
                                      "metadata", "ttl_secs", "shared",      "session_id", nullptr};
  PyObject *id_obj, *content_obj = nullptr, *type_obj = nullptr, *vector_obj = nullptr, *importance_obj = nullptr,
                    *metadata_obj = nullptr, *ttl_obj = nullptr, *shared_obj = nullptr, *session_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOOO:update", kwlist(names), &id_obj, &content_obj,
                                   &type_obj, &vector_obj, &importance_obj, &metadata_obj, &ttl_obj, &shared_obj,
                                   &session_obj))
    return nullptr;
  const char* fn = "update";
  ormel::MemoryId id = 0;
  ormel::MemoryChanges c;
  bool ok = parse_id(id_obj, fn, "id", id);
  if (ok && given(content_obj)) ok = str_arg(content_obj, fn, "content", c.content.emplace());
  if (ok && given(type_obj)) ok = parse_type(type_obj, fn, "memory_type", c.memory_type.emplace());
  if (ok && given(vector_obj)) ok = vector_arg(vector_obj, fn, "vector", c.vector.emplace());
  if (ok && given(importance_obj)) ok = importance_arg(importance_obj, fn, "importance", c.importance.emplace());
  if (ok && given(metadata_obj)) ok = metadata_arg(metadata_obj, fn, "metadata", c.metadata.emplace(ormel::Json::object()));
  if (ok && given(ttl_obj)) ok = opt_i64_arg(ttl_obj, fn, "ttl_secs", c.ttl_secs.emplace());
  if (ok && given(shared_obj)) {
    bool shared = false;
    ok = bool_arg(shared_obj, fn, "shared", shared);
    c.scope = shared ? ormel::Scope::Shared : ormel::Scope::Private;
  }
  if (ok && given(session_obj)) ok = opt_str_arg(session_obj, fn, "session_id", c.session_id.emplace());
  if (!ok) return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return none_or_raise(store(self).update(id, std::move(c)));
}

// A scoring weight or half-life: any finite number, converted to float32; a half-life must
// also be positive (zero or less would make every recency NaN or infinite).
bool scoring_arg(PyObject* o, const char* name, bool positive, float& out) {
  if (o == nullptr) return true;
  double value = 0;
  if (!f64_arg(o, "recall", name, value)) return false;
  if (!std::isfinite(value) || (positive && !(value > 0))) {
    invalid_format("recall() argument '%s' must be a finite%s number", name,
                 positive ? " positive" : "");
    return false;
  }
  out = static_cast<float>(value);
  return true;
}

// A keyword-search number: finite and within [low, high] (high may be infinite).
bool keyword_number_arg(PyObject* o, const char* fn, const char* name, double low, double high, double& out) {
  if (o == nullptr) return true;
  double value = 0;
  if (!f64_arg(o, fn, name, value)) return false;
  if (!std::isfinite(value) || value < low || value > high) {
    if (std::isinf(high)) {
      invalid_format("%s() argument '%s' must be a finite number >= %g", fn, name, low);
    } else {
      invalid_format("%s() argument '%s' must be between %g and %g", fn, name, low, high);
    }
    return false;
  }
  out = value;
  return true;
}

bool bm25_args(PyObject* k1, PyObject* b, const char* fn, ormel::Bm25Params& out) {
  return keyword_number_arg(k1, fn, "k1", 0, INFINITY, out.k1) && keyword_number_arg(b, fn, "b", 0, 1, out.b);
}

PyObject* recall(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"query", "top_k", "memory_types", "agent_id", "track_access", "where",
                                      "session_id", "created_after", "created_before", "n_probe", "n_rerank",
                                      "similarity_weight", "recency_weight", "importance_weight", "access_weight",
                                      "recency_half_life_secs", "text", "rrf_k", "k1", "b", nullptr};
  PyObject *query_obj, *types_obj = Py_None, *agent_obj = Py_None, *track_obj = Py_True;
  PyObject* top_k_obj = nullptr;
  PyObject *where_obj = Py_None, *session_obj = Py_None, *after_obj = Py_None, *before_obj = Py_None;
  PyObject *probe_obj = Py_None, *rerank_obj = Py_None;
  PyObject *similarity_obj = nullptr, *recency_obj = nullptr, *importance_obj = nullptr, *access_obj = nullptr,
           *half_life_obj = nullptr;
  PyObject *text_obj = Py_None, *rrf_obj = nullptr, *k1_obj = nullptr, *b_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOO$OOOOOOOOOOOOOOO:recall", kwlist(names), &query_obj,
                                   &top_k_obj, &types_obj, &agent_obj, &track_obj, &where_obj, &session_obj,
                                   &after_obj, &before_obj, &probe_obj, &rerank_obj, &similarity_obj, &recency_obj,
                                   &importance_obj, &access_obj, &half_life_obj, &text_obj, &rrf_obj, &k1_obj,
                                   &b_obj))
    return nullptr;
  ormel::RecallRequest request;
  const bool ok = recall_args(query_obj, top_k_obj, types_obj, "recall", request) &&
                  opt_str_arg(agent_obj, "recall", "agent_id", request.agent_id) &&
                  bool_arg(track_obj, "recall", "track_access", request.track_access) &&
                  memory_filter_args(where_obj, session_obj, after_obj, before_obj, "recall", request.filter) &&
                  opt_u64_arg(probe_obj, "recall", "n_probe", request.n_probe) &&
                  opt_u64_arg(rerank_obj, "recall", "n_rerank", request.n_rerank) &&
                  scoring_arg(similarity_obj, "similarity_weight", false, request.similarity_weight) &&
                  scoring_arg(recency_obj, "recency_weight", false, request.recency_weight) &&
                  scoring_arg(importance_obj, "importance_weight", false, request.importance_weight) &&
                  scoring_arg(access_obj, "access_weight", false, request.access_weight) &&
                  scoring_arg(half_life_obj, "recency_half_life_secs", true, request.recency_half_life_secs) &&
                  opt_str_arg(text_obj, "recall", "text", request.text) &&
                  keyword_number_arg(rrf_obj, "recall", "rrf_k", 0, INFINITY, request.rrf_k) &&
                  bm25_args(k1_obj, b_obj, "recall", request.keyword_params);
  if (!ok) return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  const bool hybrid = request.text.has_value();
  return convert_or_raise(without_gil([&] { return store(self).recall(request); }),
                          [hybrid](const auto& results) { return recall_results_to_list(results, hybrid); });
}

// --- Keyword search -------------------------------------------------------------------

PyObject* search_text(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"text", "top_k", "agent_id", "memory_types", "where", "session_id",
                                      "created_after", "created_before", "k1", "b", nullptr};
  PyObject *text_obj, *top_k_obj = nullptr, *agent_obj = Py_None, *types_obj = Py_None;
  PyObject *where_obj = Py_None, *session_obj = Py_None, *after_obj = Py_None, *before_obj = Py_None;
  PyObject *k1_obj = nullptr, *b_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OOOOOOOO:search_text", kwlist(names), &text_obj, &top_k_obj,
                                   &agent_obj, &types_obj, &where_obj, &session_obj, &after_obj, &before_obj,
                                   &k1_obj, &b_obj))
    return nullptr;
  const char* fn = "search_text";
  ormel::KeywordQuery query;
  if (!str_arg(text_obj, fn, "text", query.text) ||
      (top_k_obj != nullptr && !u64_arg(top_k_obj, fn, "top_k", query.top_k)) ||
      !opt_str_arg(agent_obj, fn, "agent_id", query.agent_id) ||
      !memory_types_arg(types_obj, fn, "memory_types", query.memory_types) ||
      !memory_filter_args(where_obj, session_obj, after_obj, before_obj, fn, query.filter) ||
      !bm25_args(k1_obj, b_obj, fn, query.params))
    return nullptr;
  // Exclusive: the first call builds the keyword index, later ones bring it up to date.
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return convert_or_raise(without_gil([&] { return store(self).search_text(query); }), keyword_hits_to_list);
}

PyObject* keyword_index_stats(PyObject* self, PyObject*) {
  Borrow borrow(flag(self), Borrow::Shared);
  if (!borrow) return nullptr;
  return keyword_index_stats_to_py(store(self).keyword_index_stats());
}

PyObject* set_keyword_stemming(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"on", nullptr};
  PyObject* on_obj;
  bool on = false;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:set_keyword_stemming", kwlist(names), &on_obj) ||
      !bool_arg(on_obj, "set_keyword_stemming", "on", on))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  store(self).set_keyword_stemming(on);
  Py_RETURN_NONE;
}

PyObject* search(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"query",      "top_k",         "where", "session_id", "created_after",
                                      "created_before", nullptr};
  PyObject *query_obj, *top_k_obj = nullptr;
  PyObject *where_obj = Py_None, *session_obj = Py_None, *after_obj = Py_None, *before_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OOOO:search", kwlist(names), &query_obj, &top_k_obj, &where_obj,
                                   &session_obj, &after_obj, &before_obj))
    return nullptr;
  std::vector<float> query;
  uint64_t top_k = 10;
  ormel::MemoryFilter filter;
  if (!vector_arg(query_obj, "search", "query", query) ||
      (top_k_obj != nullptr && !u64_arg(top_k_obj, "search", "top_k", top_k)) ||
      !memory_filter_args(where_obj, session_obj, after_obj, before_obj, "search", filter))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return convert_or_raise(without_gil([&] { return store(self).search(query, top_k, filter); }), search_hits_to_list);
}

// The one argument of get/delete, parsed as an id.
bool id_argument(PyObject* args, PyObject* kwargs, const char* format, const char* fn, ormel::MemoryId& id) {
  static const char* const names[] = {"id", nullptr};
  PyObject* id_obj;
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, kwlist(names), &id_obj) && parse_id(id_obj, fn, "id", id);
}

PyObject* get(PyObject* self, PyObject* args, PyObject* kwargs) {
  ormel::MemoryId id;
  if (!id_argument(args, kwargs, "O:get", "get", id)) return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return convert_or_raise(without_gil([&] { return store(self).get(id); }), memory_to_dict);
}

PyObject* delete_(PyObject* self, PyObject* args, PyObject* kwargs) {
  ormel::MemoryId id;
  if (!id_argument(args, kwargs, "O:delete", "delete", id)) return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return none_or_raise(store(self).delete_memory(id));
}

PyObject* flush(PyObject* self, PyObject*) {
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return none_or_raise(without_gil([&] { return store(self).flush(); }));
}

PyObject* refresh(PyObject* self, PyObject*) {
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  auto moved = without_gil([&] { return store(self).refresh(); });
  if (!moved) return raise_error(moved.error());
  return PyBool_FromLong(*moved);
}

// Flushes, then drops the store, which closes the file, releases its lock and wipes the key.
// A failed flush keeps everything as it was: nothing staged is lost.
PyObject* release(PyObject* self, PyObject*) {
  if (flag(self).released) Py_RETURN_NONE;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  if (auto refused = store(self).outside_batch("release"); !refused) return raise_error(refused.error());
  if (!store(self).read_only()) {
    if (auto flushed = without_gil([&] { return store(self).flush(); }); !flushed) return raise_error(flushed.error());
  }
  as_ormel(self)->d.store.reset();
  flag(self).released = true;
  Py_RETURN_NONE;
}

PyObject* verify(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"all_errors", "progress", nullptr};
  PyObject *all_obj = Py_False, *progress_obj = Py_None;
  bool all_errors = false;
  ProgressCallback progress;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OO:verify", kwlist(names), &all_obj, &progress_obj) ||
      !bool_arg(all_obj, "verify", "all_errors", all_errors) || !progress.parse(progress_obj, "verify"))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  if (all_errors) {
    auto report = without_gil([&] { return store(self).verify_all(progress.progress()); });
    return report ? verify_report_to_dict(*report) : progress.raise(report.error());
  }
  auto checked = without_gil([&] { return store(self).verify(progress.progress()); });
  return checked ? PyLong_FromUnsignedLongLong(*checked) : progress.raise(checked.error());
}

PyObject* ids(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"agent_id", "memory_type", nullptr};
  PyObject *agent_obj = Py_None, *type_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OO:ids", kwlist(names), &agent_obj, &type_obj)) return nullptr;
  std::optional<std::string> agent_id;
  std::optional<ormel::MemoryType> memory_type;
  if (!opt_str_arg(agent_obj, "ids", "agent_id", agent_id)) return nullptr;
  if (type_obj != Py_None) {
    ormel::MemoryType type;
    if (!parse_type(type_obj, "ids", "memory_type", type)) return nullptr;
    memory_type = type;
  }
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return listings_to_list(without_gil([&] { return store(self).list_memories(agent_id, memory_type); }));
}

PyObject* about(PyObject* self, PyObject*) {
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return convert_or_raise(without_gil([&] { return store(self).about(); }), memories_to_list);
}

PyObject* insert_default_manifest(PyObject* self, PyObject*) {
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return convert_or_raise(store(self).insert_default_manifest(), id_to_py);
}

// --- Index ----------------------------------------------------------------------------

PyObject* build_index(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"progress", nullptr};
  PyObject* progress_obj = Py_None;
  ProgressCallback progress;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$O:build_index", kwlist(names), &progress_obj) ||
      !progress.parse(progress_obj, "build_index"))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  auto built = without_gil([&] { return store(self).build_index(progress.progress()); });
  if (!built) return progress.raise(built.error());
  Py_RETURN_NONE;
}

PyObject* drop_index(PyObject* self, PyObject*) {
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  store(self).drop_index();
  Py_RETURN_NONE;
}

PyObject* has_index(PyObject* self, PyObject*) {
  Borrow borrow(flag(self), Borrow::Shared);
  if (!borrow) return nullptr;
  return PyBool_FromLong(store(self).has_index());
}

// --- History --------------------------------------------------------------------------

PyObject* snapshots(PyObject* self, PyObject*) {
  Borrow borrow(flag(self), Borrow::Shared);
  if (!borrow) return nullptr;
  return snapshots_to_list(store(self).snapshots());
}

PyObject* history(PyObject* self, PyObject* args, PyObject* kwargs) {
  ormel::MemoryId id;
  if (!id_argument(args, kwargs, "O:history", "history", id)) return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return convert_or_raise(without_gil([&] { return store(self).history(id); }), versions_to_list);
}

PyObject* restore_to(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"txn_id", nullptr};
  PyObject* txn_obj;
  uint64_t txn_id = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:restore_to", kwlist(names), &txn_obj) ||
      !u64_arg(txn_obj, "restore_to", "txn_id", txn_id))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return convert_or_raise(without_gil([&] { return store(self).restore_to(txn_id); }), snapshot_to_dict);
}

PyObject* restore_to_time(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"unix_secs", nullptr};
  PyObject* secs_obj;
  int64_t secs = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:restore_to_time", kwlist(names), &secs_obj) ||
      !i64_arg(secs_obj, "restore_to_time", "unix_secs", secs))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return convert_or_raise(without_gil([&] { return store(self).restore_to_time(secs); }), snapshot_to_dict);
}

PyObject* set_max_snapshots(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"max", nullptr};
  PyObject* max_obj;
  uint64_t max = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:set_max_snapshots", kwlist(names), &max_obj) ||
      !u64_arg(max_obj, "set_max_snapshots", "max", max))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  store(self).set_max_snapshots(max);
  Py_RETURN_NONE;
}

// --- Space --------------------------------------------------------------------------------

PyObject* compact(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"keep_history", "progress", "format_version", nullptr};
  PyObject *keep_obj = Py_True, *progress_obj = Py_None, *version_obj = Py_None;
  bool keep_history = true;
  std::optional<uint16_t> format_version;
  ProgressCallback progress;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OO:compact", kwlist(names), &keep_obj, &progress_obj,
                                   &version_obj) ||
      !bool_arg(keep_obj, "compact", "keep_history", keep_history) || !progress.parse(progress_obj, "compact") ||
      !opt_format_version_arg(version_obj, "compact", format_version))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  auto reclaimed =
      without_gil([&] { return store(self).compact(keep_history, progress.progress(), format_version); });
  return reclaimed ? PyLong_FromUnsignedLongLong(*reclaimed) : progress.raise(reclaimed.error());
}

PyObject* space(PyObject* self, PyObject*) {
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  Ormel& db = store(self);
  return convert_or_raise(without_gil([&] { return db.space(); }),
                          [&](const ormel::SpaceReport& r) { return space_to_dict(r, db.format_version()); });
}

PyObject* set_auto_compact(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"min_bytes", "ratio", nullptr};
  const ormel::AutoCompactPolicy defaults;
  PyObject *min_obj = nullptr, *ratio_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:set_auto_compact", kwlist(names), &min_obj, &ratio_obj))
    return nullptr;
  std::optional<ormel::AutoCompactPolicy> policy;
  if (min_obj != Py_None) {
    policy = defaults;
    if ((min_obj != nullptr && !u64_arg(min_obj, "set_auto_compact", "min_bytes", policy->min_bytes)) ||
        (ratio_obj != nullptr && !f64_arg(ratio_obj, "set_auto_compact", "ratio", policy->ratio)))
      return nullptr;
    if (!std::isfinite(policy->ratio) || policy->ratio < 0) {
      invalid_format("ratio must be a finite number >= 0");
      return nullptr;
    }
  } else if (ratio_obj != nullptr) {
    PyErr_SetString(PyExc_TypeError, "set_auto_compact() takes no ratio when min_bytes is None");
    return nullptr;
  }
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  store(self).set_auto_compact(policy);
  Py_RETURN_NONE;
}

// --- Keys -----------------------------------------------------------------------------

PyObject* change_passphrase(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"new_passphrase", nullptr};
  PyObject* pass_obj;
  std::string passphrase;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:change_passphrase", kwlist(names), &pass_obj) ||
      !str_arg(pass_obj, "change_passphrase", "new_passphrase", passphrase))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return none_or_raise(without_gil([&] { return store(self).change_passphrase(passphrase); }));
}

// --- Page cache, statistics, export -----------------------------------------------------

PyObject* set_cache_capacity(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"pages", nullptr};
  PyObject* pages_obj;
  uint64_t pages = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:set_cache_capacity", kwlist(names), &pages_obj) ||
      !u64_arg(pages_obj, "set_cache_capacity", "pages", pages))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  store(self).set_cache_capacity(pages);
  Py_RETURN_NONE;
}

PyObject* page_cache_stats(PyObject* self, PyObject*) {
  Borrow borrow(flag(self), Borrow::Shared);
  if (!borrow) return nullptr;
  const auto [cached, capacity] = store(self).page_cache_stats();
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(cached), static_cast<unsigned long long>(capacity));
}

PyObject* stats(PyObject* self, PyObject*) {
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  Ormel& db = store(self);
  return convert_or_raise(without_gil([&] { return db.stats(); }),
                          [&](const ormel::Stats& s) {
                            return stats_to_dict(s, db.snapshots().size(), db.format_version());
                          });
}

PyObject* export_encrypted(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"dest", nullptr};
  PyObject* dest_obj;
  std::string dest;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:export_encrypted", kwlist(names), &dest_obj) ||
      !path_arg(dest_obj, "export_encrypted", "dest", dest))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  if (auto refused = store(self).outside_batch("export_encrypted"); !refused) return raise_error(refused.error());
  if (auto flushed = without_gil([&] { return store(self).flush(); }); !flushed) return raise_error(flushed.error());
  if (auto copied = without_gil([&] { return ormel::copy_file_contents(store(self).path(), dest); }); !copied) {
    return raise_text(PyExc_RuntimeError, "export failed: " + copied.error());
  }
  Py_RETURN_NONE;
}

// --- Result cache ---------------------------------------------------------------------

PyObject* cache_put(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"namespace", "key", "value", "content_type", "ttl_secs", nullptr};
  PyObject *ns_obj, *key_obj, *value_obj, *type_obj = nullptr, *ttl_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|OO:cache_put", kwlist(names), &ns_obj, &key_obj, &value_obj,
                                   &type_obj, &ttl_obj))
    return nullptr;
  const char* fn = "cache_put";
  std::string ns, key, content_type = "text";
  std::optional<uint64_t> ttl;
  std::vector<uint8_t> value;
  if (!str_arg(ns_obj, fn, "namespace", ns) || !str_arg(key_obj, fn, "key", key) ||
      (type_obj != nullptr && !str_arg(type_obj, fn, "content_type", content_type)) ||
      !opt_u64_arg(ttl_obj, fn, "ttl_secs", ttl) || !py_value_to_bytes(value_obj, value))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return none_or_raise(without_gil(
      [&] { return store(self).cache_put(ns, key, std::move(value), std::move(content_type), ttl); }));
}

// The (namespace, key) pair of cache_get/cache_delete.
bool cache_key_args(PyObject* args, PyObject* kwargs, const char* format, const char* fn, std::string& ns,
                    std::string& key) {
  static const char* const names[] = {"namespace", "key", nullptr};
  PyObject *ns_obj, *key_obj;
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, kwlist(names), &ns_obj, &key_obj) &&
         str_arg(ns_obj, fn, "namespace", ns) && str_arg(key_obj, fn, "key", key);
}

PyObject* cache_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  std::string ns, key;
  if (!cache_key_args(args, kwargs, "OO:cache_get", "cache_get", ns, key)) return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return convert_or_raise(without_gil([&] { return store(self).cache_get(ns, key); }), cache_hit_to_py);
}

PyObject* cache_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  std::string ns, key;
  if (!cache_key_args(args, kwargs, "OO:cache_delete", "cache_delete", ns, key)) return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return none_or_raise(without_gil([&] { return store(self).cache_delete(ns, key); }));
}

PyObject* cache_purge(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"namespace", "expired_only", nullptr};
  PyObject *ns_obj = Py_None, *expired_obj = Py_False;
  std::optional<std::string> ns;
  bool expired_only = false;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:cache_purge", kwlist(names), &ns_obj, &expired_obj) ||
      !opt_str_arg(ns_obj, "cache_purge", "namespace", ns) ||
      !bool_arg(expired_obj, "cache_purge", "expired_only", expired_only))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return convert_or_raise(without_gil([&] { return store(self).cache_purge(ns, expired_only); }),
                          [](uint64_t n) { return PyLong_FromUnsignedLongLong(n); });
}

PyObject* cache_stats(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"namespace", nullptr};
  PyObject* ns_obj = Py_None;
  std::optional<std::string> ns;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:cache_stats", kwlist(names), &ns_obj) ||
      !opt_str_arg(ns_obj, "cache_stats", "namespace", ns))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Shared);
  if (!borrow) return nullptr;
  return cache_stats_to_dict(store(self).cache_stats(ns));
}

PyObject* cache_namespaces(PyObject* self, PyObject*) {
  Borrow borrow(flag(self), Borrow::Shared);
  if (!borrow) return nullptr;
  return strs_to_list(store(self).cache_namespaces());
}

PyObject* cache_put_semantic(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"namespace", "key", "vector", "value", "model", "content_type", "ttl_secs",
                                      nullptr};
  PyObject *ns_obj, *key_obj, *vector_obj, *value_obj, *model_obj, *type_obj = nullptr, *ttl_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OO:cache_put_semantic", kwlist(names), &ns_obj, &key_obj,
                                   &vector_obj, &value_obj, &model_obj, &type_obj, &ttl_obj))
    return nullptr;
  const char* fn = "cache_put_semantic";
  std::string ns, key, model, content_type = "text";
  std::vector<float> vector;
  std::optional<uint64_t> ttl;
  std::vector<uint8_t> value;
  if (!str_arg(ns_obj, fn, "namespace", ns) || !str_arg(key_obj, fn, "key", key) ||
      !vector_arg(vector_obj, fn, "vector", vector) || !str_arg(model_obj, fn, "model", model) ||
      (type_obj != nullptr && !str_arg(type_obj, fn, "content_type", content_type)) ||
      !opt_u64_arg(ttl_obj, fn, "ttl_secs", ttl) || !py_value_to_bytes(value_obj, value))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return none_or_raise(without_gil([&] {
    return store(self).cache_put_semantic(ns, key, std::move(vector), std::move(value), std::move(model),
                                          std::move(content_type), ttl);
  }));
}

PyObject* cache_get_semantic(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"namespace", "query", "model", "threshold", nullptr};
  PyObject *ns_obj, *query_obj, *model_obj, *threshold_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O:cache_get_semantic", kwlist(names), &ns_obj, &query_obj,
                                   &model_obj, &threshold_obj))
    return nullptr;
  const char* fn = "cache_get_semantic";
  std::string ns, model;
  std::vector<float> query;
  double threshold = ormel::kDefaultSemanticThreshold;
  if (!str_arg(ns_obj, fn, "namespace", ns) || !vector_arg(query_obj, fn, "query", query) ||
      !str_arg(model_obj, fn, "model", model) ||
      (threshold_obj != nullptr && !f64_arg(threshold_obj, fn, "threshold", threshold)))
    return nullptr;
  if (std::isnan(threshold)) {
    invalid_format("cache_get_semantic() argument 'threshold' must not be NaN");
    return nullptr;
  }
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return convert_or_raise(without_gil([&] {
                            return store(self).cache_get_semantic(ns, query, model, static_cast<float>(threshold));
                          }),
                          cache_hit_to_py);
}

// --- Batches ----------------------------------------------------------------------------

// The context manager lives in Python (ormel._batch); it calls the two methods below.
PyObject* batch(PyObject* self, PyObject*) {
  PyObject* module = PyImport_ImportModule("ormel._batch");
  if (module == nullptr) return nullptr;
  PyObject* type = PyObject_GetAttrString(module, "Batch");
  Py_DECREF(module);
  if (type == nullptr) return nullptr;
  PyObject* scope = PyObject_CallFunctionObjArgs(type, self, nullptr);
  Py_DECREF(type);
  return scope;
}

PyObject* begin_batch(PyObject* self, PyObject*) {
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  return none_or_raise(without_gil([&] { return store(self).begin_batch(); }));
}

PyObject* end_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"commit", nullptr};
  PyObject* commit_obj;
  bool commit = false;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_end_batch", kwlist(names), &commit_obj) ||
      !bool_arg(commit_obj, "_end_batch", "commit", commit))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  Ormel& db = store(self);
  return none_or_raise(without_gil([&] { return commit ? db.end_batch() : db.abandon_batch(); }));
}

// --- Sessions, context manager, repr, path -----------------------------------------------

PyObject* session(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"agent_id", nullptr};
  PyObject* agent_obj;
  std::string agent_id;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:session", kwlist(names), &agent_obj) ||
      !str_arg(agent_obj, "session", "agent_id", agent_id))
    return nullptr;
  return session_new(state_of(Py_TYPE(self))->session_type, self, std::move(agent_id));
}

PyObject* enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* exit_(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"_exc_type", "_exc_value", "_traceback", nullptr};
  PyObject *type, *value, *traceback;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:__exit__", kwlist(names), &type, &value, &traceback))
    return nullptr;
  Borrow borrow(flag(self), Borrow::Exclusive);
  if (!borrow) return nullptr;
  if (auto flushed = without_gil([&] { return store(self).flush(); }); !flushed) return raise_error(flushed.error());
  Py_RETURN_FALSE;
}

PyObject* repr(PyObject* self) {
  Borrow borrow(flag(self), Borrow::Shared);
  if (!borrow) return nullptr;
  const std::string text = "<ormel.Ormel path='" + store(self).path() +
                           "' memories=" + std::to_string(store(self).live_count()) + ">";
  return str_to_py(text);
}

PyObject* get_path(PyObject* self, void*) {
  Borrow borrow(flag(self), Borrow::Shared);
  if (!borrow) return nullptr;
  return str_to_py(store(self).path());
}

PyObject* get_format_version(PyObject* self, void*) {
  Borrow borrow(flag(self), Borrow::Shared);
  if (!borrow) return nullptr;
  return PyLong_FromUnsignedLong(store(self).format_version());
}

void dealloc(PyObject* self) {
  as_ormel(self)->d.~Data();
  free_instance(self);
}

PyMethodDef methods[] = {
    {"remember", ORMEL_PY_KWARGS(remember),
     "remember($self, content, memory_type, vector, *, agent_id=None, importance=None, session_id=None, "
     "ttl_secs=None, shared=False, metadata=None, id=None)\n--\n\n"
     "Store a memory and return its id (26-character ULID text).\n\n"
     "`memory_type` is one of episodic, semantic, procedural, working (any case). The vector must\n"
     "have the database's dimensionality. `importance` is clamped to [0, 1] (NaN gives 0; default\n"
     "0.5); `shared=True` makes the memory visible to every agent. The memory is staged: it reaches\n"
     "the file at the next flush.\n\n"
     "Without `id` the memory gets a fresh id. With `id` (ULID text, any case; the all-zero id is\n"
     "refused) it is written under that id: a memory that already has it, live or deleted, is\n"
     "replaced. The replaced memory keeps its place in catalog order, so listings and ties in\n"
     "rankings stay where they were, and keeps its access count and last-access time; every other\n"
     "field comes from this call. Earlier snapshots keep the old version (see history())."},
    {"remember_many", ORMEL_PY_KWARGS(remember_many),
     "remember_many($self, contents, memory_type, vectors, *, agent_id=None, importance=None, "
     "session_id=None, ttl_secs=None, shared=False, metadata=None, ids=None, progress=None)\n--\n\n"
     "Store many memories in one call, as remember() would one by one, and return their ids in\n"
     "order.\n\n"
     "`contents` is a sequence of str; `vectors` a 2-D array (one row per content) or a sequence of\n"
     "vectors. Every other argument is one value for all memories or a sequence with one value per\n"
     "content; `ids` is None or a sequence of id texts or None (a fresh id). All or nothing: when\n"
     "one item is refused nothing is staged, and the error names the item (\"remember_many() item\n"
     "<i>: ...\"). The memories are staged until the next flush. A float32 array's rows are read\n"
     "where they lie, without a copy, so it must not change (from another thread) until the call\n"
     "returns; with `progress` given they are copied first.\n\n"
     "`progress`, when given, is called as progress(done, total): the memories checked and\n"
     "encoded so far, and their number; a few times a second at most, and last with done == total.\n"
     "An exception it raises stops the call with nothing staged and propagates unchanged."},
    {"load_memories", ORMEL_PY_KWARGS(load_memories),
     "load_memories($self, memories)\n--\n\n"
     "Store whole memories exactly as given, for restoring a backup; return their ids in order.\n\n"
     "Each item is a memory dict as get() returns it: \"id\", \"content\", \"memory_type\" and\n"
     "\"vector\" are required; \"metadata\", \"agent_id\", \"session_id\", \"scope\", \"created_at\",\n"
     "\"accessed_at\", \"access_count\", \"importance\" and \"ttl_secs\" default as remember() sets\n"
     "them (\"accessed_at\" to \"created_at\"); any other key is refused. Unlike remember(), the\n"
     "timestamps and the access count are kept, and a memory that already has the id is replaced\n"
     "with its access count and last-access time too. All or nothing: a refused item raises, naming\n"
     "its position (\"load_memories() item <i>: ...\"), and nothing of the call is staged. The\n"
     "memories reach the file at the next flush."},
    {"update", ORMEL_PY_KWARGS(update),
     "update($self, id, *, content=..., memory_type=..., vector=..., importance=..., metadata=..., "
     "ttl_secs=..., shared=..., session_id=...)\n--\n\n"
     "Change the given fields of a live memory; the others (and its id, created_at, access count and\n"
     "last-access time, and catalog position) stay as they are.\n\n"
     "Each field takes what remember() takes for it; `ttl_secs=None` and `session_id=None` clear\n"
     "them and `metadata=None` empties it. An unknown or deleted id raises RuntimeError\n"
     "\"memory '<ID>' not found\". The new version is staged until the next flush; earlier\n"
     "snapshots keep the old one."},
    {"recall", ORMEL_PY_KWARGS(recall),
     "recall($self, query, top_k=10, memory_types=None, agent_id=None, track_access=True, *, where=None, "
     "session_id=None, created_after=None, created_before=None, n_probe=None, n_rerank=None, "
     "similarity_weight=1.0, recency_weight=0.3, importance_weight=0.2, access_weight=0.1, "
     "recency_half_life_secs=604800.0, text=None, rrf_k=60.0, k1=1.2, b=0.75)\n--\n\n"
     "Return up to `top_k` memories ranked by similarity, recency, importance and access frequency,\n"
     "best first, each a memory dict with added \"score\" and \"similarity\" keys.\n\n"
     "`memory_types` restricts the types; `agent_id` restricts to that agent's memories plus shared\n"
     "ones. With `track_access` the returned memories get their access recorded, which a read-only\n"
     "handle refuses.\n\n"
     "`where` filters on metadata: {\"key\": value} for equality, or operators $eq $ne $gt $gte $lt\n"
     "$lte $in $nin $exists per key and $and $or $not to combine filters; dotted keys reach into\n"
     "nested dicts. A missing key and a value of another kind (numbers, strings, bools, None) never\n"
     "satisfy a comparison; $nin matches a present value equal to no element; use $not to include\n"
     "memories without the key. `session_id` keeps that session's memories; `created_after` and\n"
     "`created_before` (unix seconds, exclusive) bound the creation time. A malformed filter raises\n"
     "ValueError before anything is read. Filters apply before ranking, so the results are the best\n"
     "among the memories that match.\n\n"
     "With an index, `n_probe` partitions are probed and `n_rerank` candidates scored exactly (None:\n"
     "the index's own settings). The index path is approximate. When a filter (where, session_id,\n"
     "created_after or created_before) is given, only matching memories are candidates, and when\n"
     "the probed partitions hold fewer than `top_k` of them the exact scan answers, so a filtered\n"
     "indexed recall returns as many results as the exact filtered recall whenever `n_rerank` is\n"
     "at least `top_k`. The weights and the recency half-life (seconds) set the score:\n"
     "similarity_weight * similarity + recency_weight * 2^(-age / half_life) + importance_weight *\n"
     "importance + access_weight * ln(1 + access_count).\n\n"
     "Hybrid recall: with `text`, the similarity signal is replaced by the reciprocal rank fusion\n"
     "of the vector ranking and the BM25 keyword ranking of `text` (see search_text; `k1` and `b`\n"
     "are its parameters), each taken to its best max(top_k, 100), over the union of both, so a\n"
     "memory found only by its keywords can win: relevance = (rrf_k + 1) / 2 * (1 / (rrf_k +\n"
     "vector rank) + 1 / (rrf_k + keyword rank)), a ranking the memory is absent from adding\n"
     "nothing; first place in both gives 1.0. The results then carry a \"bm25\" key too (0.0 when\n"
     "the memory matched no term), and \"similarity\" is still the vector similarity. With an\n"
     "index, the vector ranking comes from the probed partitions. Without `text` recall is\n"
     "unchanged."},
    {"search_text", ORMEL_PY_KWARGS(search_text),
     "search_text($self, text, top_k=10, *, agent_id=None, memory_types=None, where=None, "
     "session_id=None, created_after=None, created_before=None, k1=1.2, b=0.75)\n--\n\n"
     "Keyword search: the memories whose content holds a term of `text`, ranked by BM25 (k1 and b\n"
     "settable), as a list of up to `top_k` (memory dict, bm25 score) tuples, best first, ties in\n"
     "catalog order; records no access. The agent view, types and filters are those of recall.\n\n"
     "Text is case folded (Unicode); words joined by - . / \\ : _ @ + # ' are also kept whole, so\n"
     "\"INC-4471\" matches inc-4471, inc and 4471. The keyword index lives in memory only: the first\n"
     "call reads every live memory to build it, later calls bring it up to date with the changes\n"
     "since. Out-of-range k1 (>= 0) or b (0 to 1) raises InvalidArgument."},
    {"keyword_index_stats", reinterpret_cast<PyCFunction>(keyword_index_stats), METH_NOARGS,
     "keyword_index_stats($self)\n--\n\n"
     "The keyword index's size once a keyword query has built it: {\"documents\", \"terms\",\n"
     "\"bytes\"} (live memories indexed, distinct terms, bytes held in memory); None before, and\n"
     "after a compaction until the next keyword query. The index is never written to the file."},
    {"set_keyword_stemming", ORMEL_PY_KWARGS(set_keyword_stemming),
     "set_keyword_stemming($self, on)\n--\n\n"
     "Whether keyword terms are English Snowball stems (\"running\" matches \"run\"); off by default\n"
     "so identifiers and names match verbatim. A change rebuilds the keyword index at the next\n"
     "keyword query."},
    {"search", ORMEL_PY_KWARGS(search),
     "search($self, query, top_k=10, *, where=None, session_id=None, created_after=None, "
     "created_before=None)\n--\n\n"
     "Exact nearest-neighbour search by cosine similarity over every live, unexpired memory.\n\n"
     "Returns up to `top_k` (memory dict, similarity) tuples, best first; records no access. The\n"
     "filters are those of recall, applied before ranking."},
    {"get", ORMEL_PY_KWARGS(get),
     "get($self, id)\n--\n\n"
     "Return the memory with this id as a dict; RuntimeError if there is none."},
    {"delete", ORMEL_PY_KWARGS(delete_),
     "delete($self, id)\n--\n\n"
     "Soft-delete the memory with this id (staged until the next flush). Deleting an already\n"
     "deleted memory succeeds; an unknown id raises RuntimeError."},
    {"flush", ORMEL_PY_NOARGS(flush),
     "flush($self)\n--\n\n"
     "Make every staged change durable as one atomic transaction.\n\n"
     "With automatic compaction on (the default, see set_auto_compact), a flush that finds enough\n"
     "unreachable bytes in the file compacts it afterwards, so a flush may take longer once in a\n"
     "while. A failed automatic compaction leaves the file as it was; the flush still succeeds."},
    {"close", ORMEL_PY_NOARGS(flush),
     "close($self)\n--\n\n"
     "Flush and release; the object should not be used afterwards.\n\n"
     "It flushes, as flush() does, and nothing more: close() and leaving a `with` block keep the\n"
     "file open and locked until the object is destroyed; until then no other handle, in this\n"
     "process or another, can open it read-write. Call release() to let the file go at once."},
    {"release", ORMEL_PY_NOARGS(release),
     "release($self)\n--\n\n"
     "Flush, then close the file: its lock is released and the key wiped from memory.\n\n"
     "Afterwards the path can be opened again, here or by another process; every later call on\n"
     "this object raises ormel.Released (release() itself does nothing). If the flush fails the\n"
     "error is raised and the handle stays as it was. A read-only handle is closed without a flush."},
    {"refresh", ORMEL_PY_NOARGS(refresh),
     "refresh($self)\n--\n\n"
     "Move a handle opened with follow=True to the newest committed state; True when it changed.\n\n"
     "The writer may have committed, restored or compacted meanwhile (a compaction puts a new file\n"
     "at the path: the handle moves to it). On an error the handle stays at its state. Other\n"
     "handles raise ormel.InvalidArgument."},
    {"verify", ORMEL_PY_KWARGS(verify),
     "verify($self, *, all_errors=False, progress=None)\n--\n\n"
     "Authenticate, decrypt and decode every live record, read from the file (not from pages the\n"
     "handle holds in memory); return how many were checked.\n\n"
     "The first bad record raises RuntimeError. With `all_errors=True` nothing is raised for a\n"
     "damaged part: return {\"checked\": live memories examined, \"memories\": [{\"id\", \"error\"}]\n"
     "for every damaged memory, \"structures\": [{\"structure\", \"error\"}] for damaged result-cache\n"
     "entries and older snapshots' catalogs and indexes}. Deleting the damaged ids and flushing\n"
     "makes the rest of the database readable again.\n\n"
     "`progress`, when given, is called as progress(done, total), a few times a second at most and\n"
     "last with done == total: the live memories checked and their number (with `all_errors`, the\n"
     "live result-cache entries and retained snapshots count too). An exception it raises stops\n"
     "the check and propagates unchanged."},
    {"ids", ORMEL_PY_KWARGS(ids),
     "ids($self, *, agent_id=None, memory_type=None)\n--\n\n"
     "List the live memories in catalog order as {\"id\", \"agent_id\", \"memory_type\", \"scope\"}\n"
     "dicts (the keys and values of memory dicts), optionally only those of `agent_id` (its own\n"
     "memories, not the shared ones of others) and of `memory_type`. A memory whose record cannot\n"
     "be read is listed, with None for the other three keys, only when no filter is given.\n"
     "Records already read by recall or search are not read again."},
    {"about", ORMEL_PY_NOARGS(about),
     "about($self)\n--\n\n"
     "Return the database's onboarding memories as memory dicts, manifests first."},
    {"insert_default_manifest", ORMEL_PY_NOARGS(insert_default_manifest),
     "insert_default_manifest($self)\n--\n\n"
     "Store the default scaffold manifest as a memory and return its id."},
    {"build_index", ORMEL_PY_KWARGS(build_index),
     "build_index($self, *, progress=None)\n--\n\n"
     "Train and load an IVF+PQ approximate index over every live memory, replacing any loaded one.\n\n"
     "Recall uses it from then on; it is persisted by the next flush. Recall through the index\n"
     "keeps a second, contiguous copy of every vector in memory (4 bytes per dimension per\n"
     "memory), so that scoring its candidates reads only their own vectors.\n\n"
     "`progress`, when given, is called as progress(done, total), a few times a second at most and\n"
     "last with done == total, in units of work: reading each memory's vector, then the training\n"
     "and encoding arithmetic, each weighted by its estimated cost, so that done / total tracks\n"
     "the time spent. An exception it raises stops the build and propagates unchanged; the index\n"
     "loaded before (or none) stays, with nothing new to flush."},
    {"drop_index", ORMEL_PY_NOARGS(drop_index),
     "drop_index($self)\n--\n\n"
     "Discard the loaded approximate index; does nothing on a read-only handle or without an index."},
    {"has_index", ORMEL_PY_NOARGS(has_index),
     "has_index($self)\n--\n\n"
     "Whether an approximate index is loaded."},
    {"snapshots", ORMEL_PY_NOARGS(snapshots),
     "snapshots($self)\n--\n\n"
     "List the restorable snapshots, one dict per committed transaction, ascending by \"txn_id\",\n"
     "with the keys \"txn_id\", \"created_at\" and \"memory_count\"."},
    {"history", ORMEL_PY_KWARGS(history),
     "history($self, id)\n--\n\n"
     "The versions of a memory in the retained snapshots, newest first: dicts with \"txn_id\" and\n"
     "\"created_at\" of the snapshot that committed the version and \"memory\", the memory dict as\n"
     "that snapshot held it.\n\n"
     "A version is listed once, however many later snapshots still hold it; snapshots in which the\n"
     "memory is deleted list nothing. Changes not yet flushed are not included. An id that neither\n"
     "the database nor any retained snapshot knows raises RuntimeError \"memory '<ID>' not found\"."},
    {"restore_to", ORMEL_PY_KWARGS(restore_to),
     "restore_to($self, txn_id)\n--\n\n"
     "Make the snapshot of transaction `txn_id` the live state again; return its dict."},
    {"restore_to_time", ORMEL_PY_KWARGS(restore_to_time),
     "restore_to_time($self, unix_secs)\n--\n\n"
     "Restore the latest snapshot created at or before `unix_secs`; return its dict."},
    {"change_passphrase", ORMEL_PY_KWARGS(change_passphrase),
     "change_passphrase($self, new_passphrase)\n--\n\n"
     "Flush, then make `new_passphrase` the only passphrase that opens the file.\n\n"
     "The data key is wrapped anew under a key derived from `new_passphrase` (a fresh salt, the\n"
     "same Argon2id cost), in one atomic transaction whose snapshot repeats the current state;\n"
     "no snapshot is pruned and every one stays restorable. Every copy of the key wrapped under\n"
     "an earlier passphrase is wiped from the file, log regions included, so a copy made\n"
     "afterwards does not open with the old one. Copies made before still do, and the data key\n"
     "they hold is the same. After a crash the file opens with exactly one of the two\n"
     "passphrases; after an error, call it again."},
    {"set_cache_capacity", ORMEL_PY_KWARGS(set_cache_capacity),
     "set_cache_capacity($self, pages)\n--\n\n"
     "Bound the page cache to max(`pages`, 1) pages, evicting clean pages beyond it."},
    {"page_cache_stats", ORMEL_PY_NOARGS(page_cache_stats),
     "page_cache_stats($self)\n--\n\n"
     "Return (pages currently cached, capacity) of the page cache."},
    {"set_max_snapshots", ORMEL_PY_KWARGS(set_max_snapshots),
     "set_max_snapshots($self, max)\n--\n\n"
     "Keep at most `max` snapshots (0 keeps all), from the next flush on."},
    {"compact", ORMEL_PY_KWARGS(compact),
     "compact($self, keep_history=True, *, progress=None, format_version=None)\n--\n\n"
     "Flush, then rewrite the database into a fresh file holding only what is still reachable and\n"
     "put it in place of the old one atomically; return the number of bytes given back.\n\n"
     "With keep_history=True every memory, access counter, the index, the live result-cache\n"
     "entries and every retained snapshot survive; each snapshot stays restorable. With\n"
     "keep_history=False only the current state is kept: all earlier snapshots are dropped for\n"
     "good (restore_to can no longer reach them), deleted memories are dropped, and the current\n"
     "state remains as the one snapshot. Replaced or deleted result-cache entries are always\n"
     "dropped. A read-only handle refuses.\n\n"
     "`progress`, when given, is called as progress(done, total) after the flush: the pages of the\n"
     "new file written so far and their number, a few times a second at most and last with\n"
     "done == total, before the new file takes the old one's place. Sizing the new file first\n"
     "reads every retained snapshot's catalog, as space() does. An exception it raises stops the\n"
     "compaction and propagates unchanged: the database stays as the flush left it, in the same\n"
     "file, with no new file beside it, and the handle keeps working.\n\n"
     "`format_version` is the format of the new file: None keeps the file's own; 9 converts a\n"
     "version 8 file to the paged layout. A file is never converted back: a lower version than\n"
     "the file's, or one that is no format version, raises ormel.InvalidArgument before anything\n"
     "is flushed."},
    {"space", ORMEL_PY_NOARGS(space),
     "space($self)\n--\n\n"
     "Return a dict about the committed file, in bytes: \"file_bytes\" (its size),\n"
     "\"current_bytes\" (a file holding the current state alone), \"history_bytes\" (what the\n"
     "retained snapshots add to that) and \"reclaimable_bytes\" (what compact() would give back);\n"
     "also \"auto_compact_error\" (None, or why the last automatic compaction failed) and\n"
     "\"format_version\" (the file's).\n\n"
     "It reads the catalog of every retained snapshot, so it costs about what reading them does."},
    {"set_auto_compact", ORMEL_PY_KWARGS(set_auto_compact),
     "set_auto_compact($self, min_bytes=67108864, ratio=1.0)\n--\n\n"
     "Compact automatically at the end of a flush once the bytes compaction would give back exceed\n"
     "both `min_bytes` and `ratio` times the bytes the kept state needs (history kept). On by\n"
     "default with these values; set_auto_compact(None) turns it off. For this handle only."},
    {"stats", ORMEL_PY_NOARGS(stats),
     "stats($self)\n--\n\n"
     "Return the database's statistics as a dict: memories, deleted, dimensions, file_bytes,\n"
     "agents, encrypted, created_at, wal_pages, snapshots, index (None without one) and\n"
     "format_version."},
    {"export_encrypted", ORMEL_PY_KWARGS(export_encrypted),
     "export_encrypted($self, dest)\n--\n\n"
     "Flush, then copy the encrypted file byte for byte to `dest` (created or replaced).\n\n"
     "The copy opens with the same passphrase. A copy failure raises RuntimeError\n"
     "\"export failed: ...\"."},
    {"cache_put", ORMEL_PY_KWARGS(cache_put),
     "cache_put($self, namespace, key, value, content_type=\"text\", ttl_secs=None)\n--\n\n"
     "Store `value` (str or bytes) under (`namespace`, `key`), replacing any entry there, and flush."},
    {"cache_get", ORMEL_PY_KWARGS(cache_get),
     "cache_get($self, namespace, key)\n--\n\n"
     "Look up (`namespace`, `key`): None on a miss, otherwise a dict with \"value\" (bytes),\n"
     "\"content_type\", \"created_at\", \"accessed_at\", \"access_count\" and, when set, \"ttl_secs\"."},
    {"cache_delete", ORMEL_PY_KWARGS(cache_delete),
     "cache_delete($self, namespace, key)\n--\n\n"
     "Remove the entry under (`namespace`, `key`) if there is one, and flush."},
    {"cache_purge", ORMEL_PY_KWARGS(cache_purge),
     "cache_purge($self, namespace=None, expired_only=False)\n--\n\n"
     "Remove the entries of `namespace` (every namespace when None), only the expired ones with\n"
     "`expired_only`; flush and return how many were removed."},
    {"cache_stats", ORMEL_PY_KWARGS(cache_stats),
     "cache_stats($self, namespace=None)\n--\n\n"
     "Return the result cache's counters: entries, bytes (of `namespace`, or of all), hits,\n"
     "misses, hit_rate and evictions (of this handle)."},
    {"cache_namespaces", ORMEL_PY_NOARGS(cache_namespaces),
     "cache_namespaces($self)\n--\n\n"
     "Return the names of the result cache's namespaces that hold live entries, sorted."},
    {"cache_put_semantic", ORMEL_PY_KWARGS(cache_put_semantic),
     "cache_put_semantic($self, namespace, key, vector, value, model, content_type=\"text\", "
     "ttl_secs=None)\n--\n\n"
     "Store `value` under (`namespace`, `key`) with the embedding `vector` of the key made by\n"
     "`model`, for lookups by similarity; flush."},
    {"cache_get_semantic", ORMEL_PY_KWARGS(cache_get_semantic),
     "cache_get_semantic($self, namespace, query, model, threshold=0.97)\n--\n\n"
     "Return the entry of `namespace` and `model` most similar to `query` when its similarity\n"
     "reaches `threshold`: a dict like cache_get's with \"similarity\" after \"value\"; else None."},
    {"batch", ORMEL_PY_NOARGS(batch),
     "batch($self)\n--\n\n"
     "A context manager grouping the writes of its block into one transaction.\n\n"
     "Inside `with db.batch():` nothing is committed: cache writes, flush(), close() and the end of\n"
     "sessions or `with db:` blocks only stage, and every read sees what the block staged. Leaving\n"
     "the block commits it all as one transaction (a failed commit raises and keeps it staged for\n"
     "flush()); leaving it by an exception discards it, back to the committed state. Entering first\n"
     "commits what was staged before. Nested blocks join the outermost; one left by an exception\n"
     "makes the outermost discard everything and raise ormel.InvalidArgument. restore_to,\n"
     "restore_to_time, compact, change_passphrase, export_encrypted and release raise\n"
     "ormel.InvalidArgument inside a block. Entering returns the database."},
    {"_begin_batch", ORMEL_PY_NOARGS(begin_batch),
     "_begin_batch($self)\n--\n\n"
     "Open a batch (or join the open one); what batch() enters."},
    {"_end_batch", ORMEL_PY_KWARGS(end_batch),
     "_end_batch($self, commit)\n--\n\n"
     "Leave the batch: commit it (`commit` true) or abandon it; what batch() exits."},
    {"session", ORMEL_PY_KWARGS(session),
     "session($self, agent_id)\n--\n\n"
     "Start a conversation Session of `agent_id` on this database."},
    {"__enter__", ORMEL_PY_NOARGS(enter),
     "__enter__($self)\n--\n\n"
     "Return the database itself."},
    {"__exit__", ORMEL_PY_KWARGS(exit_),
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"
     "Flush and return False, so that an exception of the block propagates."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"path", ORMEL_PY_GUARD(get_path), nullptr, "Filesystem path of this database.", nullptr},
    {"format_version", ORMEL_PY_GUARD(get_format_version), nullptr,
     "Format version of the file as committed (8 or 9); a compaction may convert it.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("An open, encrypted Ormel database.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(ORMEL_PY_GUARD(repr))},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec ormel_type_spec = {
    "ormel.Ormel",
    sizeof(OrmelObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

const char ormel_open_doc[] =
    "open(path, passphrase, dimensions=None, read_only=False, *, timeout=None, follow=False, "
    "format_version=None)\n--\n\n"
    "Open an existing database, or create one if `path` does not yet exist.\n\n"
    "`path` and `passphrase` are str. Creating needs `dimensions` (the vector dimensionality) and a\n"
    "read-write open; on an existing file `dimensions` is ignored. A read-only handle takes a shared\n"
    "lock, a read-write one an exclusive lock; a lock held elsewhere raises RuntimeError at once\n"
    "(ormel.Locked), unless `timeout` gives the seconds to wait for it to be let go.\n\n"
    "`follow=True` (with read_only=True) opens beside a writer in another process, taking no lock:\n"
    "the handle sees the state of the last commit when it opened, consistently, however the\n"
    "writer goes on, until refresh() moves it to the newest.\n\n"
    "`format_version` chooses the format of a file this call creates: 8 (the default) or 9, the\n"
    "paged layout. An existing file keeps the version it was created with; given for one, it\n"
    "must be that version (ormel.InvalidArgument otherwise; compact(format_version=9) converts a\n"
    "version 8 file). A follower takes none: it reads the file as it is.";

namespace {

// Opens, and while another handle holds the lock tries again every few milliseconds until
// `timeout` seconds have passed (no waiting without one). Runs without the interpreter lock
// except to let a signal handler (Ctrl-C) stop the wait.
ormel::Result<std::unique_ptr<Ormel>> open_waiting(const std::string& path, const std::string& passphrase,
                                                   std::optional<uint64_t> dimensions, bool read_only,
                                                   std::optional<uint16_t> format_version,
                                                   std::optional<double> timeout, bool& interrupted) {
  const auto open_once = [&] {
    return Ormel::open(path, passphrase, dimensions, read_only, ormel::posix_env(), format_version);
  };
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(std::min(timeout.value_or(0), 1e9)));
  for (auto pause = std::chrono::milliseconds(2);; pause = std::min(pause * 2, std::chrono::milliseconds(100))) {
    auto opened = without_gil(open_once);
    if (opened || opened.error().kind() != ormel::ErrorKind::Locked || Clock::now() >= deadline) return opened;
    if (PyErr_CheckSignals() != 0) {
      interrupted = true;
      return opened;
    }
    without_gil([&] { std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - Clock::now())); });
  }
}

bool timeout_arg(PyObject* o, std::optional<double>& out) {
  if (o == Py_None) return true;
  double seconds = 0;
  if (!f64_arg(o, "open", "timeout", seconds)) return false;
  if (!(seconds >= 0) || !std::isfinite(seconds)) {
    invalid_format("open() argument 'timeout' must be None or a finite number of seconds >= 0");
    return false;
  }
  out = seconds;
  return true;
}

}  // namespace

PyObject* ormel_open(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"path",    "passphrase", "dimensions",     "read_only",
                                      "timeout", "follow",     "format_version", nullptr};
  PyObject *path_obj, *pass_obj, *dims_obj = Py_None, *ro_obj = Py_False, *timeout_obj = Py_None,
                                 *follow_obj = Py_False, *version_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO$OOO:open", kwlist(names), &path_obj, &pass_obj, &dims_obj,
                                   &ro_obj, &timeout_obj, &follow_obj, &version_obj))
    return nullptr;
  std::string path, passphrase;
  std::optional<uint64_t> dimensions;
  bool read_only = false, follow = false;
  std::optional<double> timeout;
  std::optional<uint16_t> format_version;
  if (!path_arg(path_obj, "open", "path", path) || !str_arg(pass_obj, "open", "passphrase", passphrase) ||
      !opt_u64_arg(dims_obj, "open", "dimensions", dimensions) || !bool_arg(ro_obj, "open", "read_only", read_only) ||
      !timeout_arg(timeout_obj, timeout) || !bool_arg(follow_obj, "open", "follow", follow) ||
      !opt_format_version_arg(version_obj, "open", format_version))
    return nullptr;
  if (follow && !read_only) return invalid_format("open() argument 'follow' needs read_only=True");
  if (follow && format_version) {
    return invalid_format("open() argument 'format_version' is not taken with follow=True (see the handle's "
                          "format_version)");
  }
  // The key derivation takes a good part of a second: other threads run meanwhile.
  bool interrupted = false;
  auto opened = follow ? without_gil([&] { return Ormel::open_following(path, passphrase); })
                       : open_waiting(path, passphrase, dimensions, read_only, format_version, timeout, interrupted);
  if (interrupted) return nullptr;
  if (!opened) return raise_error(opened.error());
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  OrmelObject* self = alloc_instance<OrmelObject>(state->ormel_type);
  if (self == nullptr) return nullptr;
  new (&self->d) OrmelObject::Data{std::move(*opened), {}};
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace ormel_py
