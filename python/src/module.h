// Module state of the `ormel` extension: the three heap types, created by the module's exec
// slot and reached from any of their instances through the defining type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ormel_py {

struct ModuleState {
  PyTypeObject* ormel_type = nullptr;
  PyTypeObject* session_type = nullptr;
  PyTypeObject* turn_type = nullptr;
};

// The state of the module that defined `type` (one of the three types above).
inline ModuleState* state_of(PyTypeObject* type) {
  return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

// The `tp_alloc` slot of a heap type: allocates a zero-filled instance (tracked by the
// collector when the type is).
template <class T>
T* alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return reinterpret_cast<T*>(alloc(type, 0));
}

// Releases the memory of a heap-type instance and the reference it held on its type.
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// PyArg_ParseTupleAndKeywords takes its keyword names as `char**`.
inline char** kwlist(const char* const* names) { return const_cast<char**>(names); }

// A function taking (self, args, kwargs) as the PyCFunction of a method table entry.
template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// tp_new of the classes that Python code cannot instantiate.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Sets the Python exception for the C++ exception being handled (MemoryError for a failed
// allocation, RuntimeError otherwise) and returns nullptr. Call only inside a catch block.
PyObject* raise_current_exception();

// An entry point of the module (method, slot, getter) with every C++ exception turned into
// a Python exception: a C++ exception must never unwind through the interpreter, which would
// abort the process. `Guarded<f>::call` has the signature of `f`.
template <auto F>
struct Guarded;

template <class... A, PyObject* (*F)(A...)>
struct Guarded<F> {
  static PyObject* call(A... args) noexcept {
    try {
      return F(args...);
    } catch (...) {
      return raise_current_exception();
    }
  }
};

}  // namespace ormel_py

// The guarded function of an entry point.
#define ORMEL_PY_GUARD(f) (&::ormel_py::Guarded<f>::call)
// The function and flags of a method table entry.
#define ORMEL_PY_KWARGS(f) ::ormel_py::as_cfunction(ORMEL_PY_GUARD(f)), METH_VARARGS | METH_KEYWORDS
#define ORMEL_PY_NOARGS(f) ORMEL_PY_GUARD(f), METH_NOARGS
