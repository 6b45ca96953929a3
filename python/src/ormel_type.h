// The `Ormel` class (one open, encrypted database) and the module function `open`.
//
// An instance owns one core store (which keeps the path text it was opened with); it has no
// Python constructor. Every method converts its arguments, then takes the instance's borrow (shared
// for the reading methods, exclusive for the others), calls one core operation, and converts
// the result while still holding the borrow. Destroying the instance drops the store, which
// closes the file and releases its lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "core/store.h"
#include "python/src/borrow.h"

namespace ormel_py {

struct OrmelObject {
  PyObject_HEAD
  struct Data {
    std::unique_ptr<ormel::Ormel> store;
    BorrowFlag borrow;
  } d;
};

inline OrmelObject* as_ormel(PyObject* o) { return reinterpret_cast<OrmelObject*>(o); }

extern PyType_Spec ormel_type_spec;

// `open(path, passphrase, dimensions=None, read_only=False)`, a function of the module.
PyObject* ormel_open(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char ormel_open_doc[];

}  // namespace ormel_py
