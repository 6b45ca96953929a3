#include "python/src/session_type.h"

#include <new>
#include <utility>

#include "core/store.h"
#include "python/src/convert.h"
#include "python/src/errors.h"
#include "python/src/module.h"
#include "python/src/ormel_type.h"
#include "python/src/turn_type.h"

namespace ormel_py {
namespace {

SessionObject* as_session(PyObject* o) { return reinterpret_cast<SessionObject*>(o); }
SessionObject::Data& data(PyObject* self) { return as_session(self)->d; }
OrmelObject* db_of(PyObject* self) { return as_ormel(as_session(self)->db); }

PyObject* already_closed() {
  PyErr_SetString(PyExc_RuntimeError, "session is already closed");
  return nullptr;
}

// The borrows of a method that uses the database: the session's, then the database's, both
// exclusive. False (with the exception set) when either is refused.
class UseBorrows {
 public:
  explicit UseBorrows(PyObject* self)
      : session_(data(self).borrow, Borrow::Exclusive),
        // Always the session's turn first, then its database's: waiting here closes no cycle.
        db_(session_ ? db_of(self)->d.borrow : unused_, Borrow::Exclusive, Borrow::Wait::Always) {}
  explicit operator bool() const { return session_ && db_; }

 private:
  BorrowFlag unused_;
  Borrow session_;
  Borrow db_;
};

PyObject* id(PyObject* self, PyObject*) {
  Borrow borrow(data(self).borrow, Borrow::Shared);
  if (!borrow) return nullptr;
  return str_to_py(data(self).id);
}

PyObject* agent(PyObject* self, PyObject*) {
  Borrow borrow(data(self).borrow, Borrow::Shared);
  if (!borrow) return nullptr;
  return str_to_py(data(self).agent_id);
}

PyObject* turn_ids(PyObject* self, PyObject*) {
  Borrow borrow(data(self).borrow, Borrow::Shared);
  if (!borrow) return nullptr;
  return ids_to_list(data(self).turn_ids);
}

PyObject* turn_count(PyObject* self, PyObject*) {
  Borrow borrow(data(self).borrow, Borrow::Shared);
  if (!borrow) return nullptr;
  return PyLong_FromSize_t(data(self).turn_ids.size());
}

PyObject* add_turn(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"turn", nullptr};
  PyObject* turn_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:add_turn", kwlist(names), &turn_obj)) return nullptr;
  if (!PyObject_TypeCheck(turn_obj, state_of(Py_TYPE(self))->turn_type)) {
    type_error(turn_obj, "add_turn", "turn", "Turn");
    return nullptr;
  }
  const TurnObject::Data& turn = reinterpret_cast<TurnObject*>(turn_obj)->d;
  UseBorrows borrows(self);
  if (!borrows) return nullptr;
  SessionObject::Data& s = data(self);
  if (!s.open) return already_closed();
  ormel::Memory memory = ormel::Memory::make(turn.content, ormel::MemoryType::Working, turn.vector);
  memory.agent_id = s.agent_id;
  memory.session_id = s.id;
  memory.metadata["role"] = turn.role;
  auto remembered = db_of(self)->d.store->remember(std::move(memory));
  if (!remembered) return raise_error(remembered.error());
  s.turn_ids.push_back(*remembered);
  return id_to_py(*remembered);
}

PyObject* recall(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"query", "top_k", "memory_types", "where", "session_id", "created_after",
                                      "created_before", nullptr};
  PyObject *query_obj, *top_k_obj = nullptr, *types_obj = Py_None;
  PyObject *where_obj = Py_None, *session_obj = Py_None, *after_obj = Py_None, *before_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO$OOOO:recall", kwlist(names), &query_obj, &top_k_obj,
                                   &types_obj, &where_obj, &session_obj, &after_obj, &before_obj))
    return nullptr;
  ormel::RecallRequest request;
  if (!recall_args(query_obj, top_k_obj, types_obj, "recall", request) ||
      !memory_filter_args(where_obj, session_obj, after_obj, before_obj, "recall", request.filter))
    return nullptr;
  UseBorrows borrows(self);
  if (!borrows) return nullptr;
  if (!data(self).open) return already_closed();
  request.agent_id = data(self).agent_id;
  auto results = without_gil([&] { return db_of(self)->d.store->recall(request); });
  if (!results) return raise_error(results.error());
  return recall_results_to_list(*results);
}

// Promotes every recorded Working turn to Episodic (turns that cannot be read are skipped),
// flushes, and ends the session. Caller holds the borrows and has checked that it is open.
PyObject* consolidate(PyObject* self) {
  ormel::Ormel& db = *db_of(self)->d.store;
  SessionObject::Data& s = data(self);
  uint64_t promoted = 0;
  for (ormel::MemoryId turn_id : s.turn_ids) {
    auto memory = db.get(turn_id);
    if (!memory || memory->memory_type != ormel::MemoryType::Working) continue;
    memory->memory_type = ormel::MemoryType::Episodic;
    if (auto stored = db.remember(std::move(*memory)); !stored) return raise_error(stored.error());
    ++promoted;
  }
  if (auto flushed = without_gil([&] { return db.flush(); }); !flushed) return raise_error(flushed.error());
  s.open = false;
  return PyLong_FromUnsignedLongLong(promoted);
}

PyObject* close(PyObject* self, PyObject*) {
  UseBorrows borrows(self);
  if (!borrows) return nullptr;
  if (!data(self).open) return already_closed();
  return consolidate(self);
}

PyObject* discard(PyObject* self, PyObject*) {
  UseBorrows borrows(self);
  if (!borrows) return nullptr;
  SessionObject::Data& s = data(self);
  if (!s.open) return already_closed();
  ormel::Ormel& db = *db_of(self)->d.store;
  uint64_t deleted = 0;
  for (ormel::MemoryId turn_id : s.turn_ids) {
    if (db.delete_memory(turn_id)) ++deleted;
  }
  if (auto flushed = without_gil([&] { return db.flush(); }); !flushed) return raise_error(flushed.error());
  s.open = false;
  return PyLong_FromUnsignedLongLong(deleted);
}

PyObject* enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* exit_(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"_exc_type", "_exc_value", "_traceback", nullptr};
  PyObject *type, *value, *traceback;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:__exit__", kwlist(names), &type, &value, &traceback))
    return nullptr;
  UseBorrows borrows(self);
  if (!borrows) return nullptr;
  if (data(self).open) {
    PyObject* promoted = consolidate(self);
    if (promoted == nullptr) return nullptr;
    Py_DECREF(promoted);
  }
  Py_RETURN_FALSE;
}

PyObject* repr(PyObject* self) {
  Borrow borrow(data(self).borrow, Borrow::Shared);
  if (!borrow) return nullptr;
  const SessionObject::Data& s = data(self);
  const std::string text = "<ormel.Session id='" + s.id + "' agent='" + s.agent_id +
                           "' turns=" + std::to_string(s.turn_ids.size()) + " open=" + (s.open ? "true" : "false") + ">";
  return str_to_py(text);
}

void dealloc(PyObject* self) {
  Py_CLEAR(as_session(self)->db);
  as_session(self)->d.~Data();
  free_instance(self);
}

PyMethodDef methods[] = {
    {"id", ORMEL_PY_NOARGS(id), "id($self)\n--\n\nThe session id: a 26-character ULID text made when the session began."},
    {"agent", ORMEL_PY_NOARGS(agent), "agent($self)\n--\n\nThe agent this session belongs to."},
    {"turn_ids", ORMEL_PY_NOARGS(turn_ids),
     "turn_ids($self)\n--\n\nThe ids of the memories recorded by add_turn, in recording order (a copy)."},
    {"turn_count", ORMEL_PY_NOARGS(turn_count), "turn_count($self)\n--\n\nThe number of turns recorded."},
    {"add_turn", ORMEL_PY_KWARGS(add_turn),
     "add_turn($self, turn)\n--\n\n"
     "Store `turn` as a Working memory of this session's agent, tagged with the session id and a\n"
     "\"role\" metadata key; return the new memory's id. Staged until the session ends or the\n"
     "database flushes."},
    {"recall", ORMEL_PY_KWARGS(recall),
     "recall($self, query, top_k=10, memory_types=None, *, where=None, session_id=None, "
     "created_after=None, created_before=None)\n--\n\n"
     "Recall within this session's agent's view (its own memories plus shared ones), recording\n"
     "access; the same result dicts and filters as Ormel.recall."},
    {"close", ORMEL_PY_NOARGS(close),
     "close($self)\n--\n\n"
     "Promote the recorded Working turns to Episodic memories, flush, and end the session; return\n"
     "the number promoted. Turns that can no longer be read are skipped. On failure the session\n"
     "stays open."},
    {"discard", ORMEL_PY_NOARGS(discard),
     "discard($self)\n--\n\n"
     "Delete the recorded turns, flush, and end the session; return the number deleted. On a flush\n"
     "failure the session stays open."},
    {"__enter__", ORMEL_PY_NOARGS(enter), "__enter__($self)\n--\n\nReturn the session itself."},
    {"__exit__", ORMEL_PY_KWARGS(exit_),
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"
     "Close the session if it is still open, and return False so that an exception of the block\n"
     "propagates."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A conversation of one agent, recorded as working memories of its database.\n\n"
                                  "Made by Ormel.session(agent_id); it keeps the database alive.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(ORMEL_PY_GUARD(repr))},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec session_type_spec = {
    "ormel.Session",
    sizeof(SessionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

PyObject* session_new(PyTypeObject* type, PyObject* db, std::string agent_id) {
  SessionObject* self = alloc_instance<SessionObject>(type);
  if (self == nullptr) return nullptr;
  self->db = Py_NewRef(db);
  new (&self->d) SessionObject::Data{std::move(agent_id), ormel::ulid_to_text(ormel::new_ulid()), {}, true, {}};
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace ormel_py
