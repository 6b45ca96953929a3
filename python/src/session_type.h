// The `Session` class: the turns of one conversation of one agent, recorded as Working
// memories, then consolidated into Episodic memories (close) or deleted (discard).
//
// Invariants:
// 1. `db` is a strong reference to the Ormel object for the whole life of the session.
// 2. `turn_ids` only grows, in recording order; closing or discarding keeps it.
// 3. `open` turns false only after a successful close or discard; a failure leaves it true,
//    so the call can be retried.
// 4. A method that uses the database holds the session's exclusive borrow and the database's
//    exclusive borrow for its whole length.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "core/memory.h"
#include "python/src/borrow.h"

namespace ormel_py {

struct SessionObject {
  PyObject_HEAD
  PyObject* db;  // an OrmelObject
  struct Data {
    std::string agent_id;
    std::string id;
    std::vector<ormel::MemoryId> turn_ids;
    bool open = true;
    BorrowFlag borrow;
  } d;
};

extern PyType_Spec session_type_spec;

// A new open session of `agent_id` on `db`, with a fresh id and no turns.
PyObject* session_new(PyTypeObject* type, PyObject* db, std::string agent_id);

}  // namespace ormel_py
