#include "python/src/progress_callback.h"

#include "python/src/convert.h"
#include "python/src/errors.h"

namespace ormel_py {

ProgressCallback::~ProgressCallback() {
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
}

bool ProgressCallback::parse(PyObject* o, const char* fn) {
  if (o == Py_None) return true;
  if (!PyCallable_Check(o)) return type_error(o, fn, "progress", "callable or None");
  callable_ = o;
  progress_.report = [this](uint64_t done, uint64_t total) { return report(done, total); };
  return true;
}

ormel::Status ProgressCallback::report(uint64_t done, uint64_t total) {
  // Held already by every method today; taken here so that a method that releases it
  // around the core's work stays correct.
  const PyGILState_STATE gil = PyGILState_Ensure();
  PyObject* result = PyObject_CallFunction(callable_, "KK", static_cast<unsigned long long>(done),
                                           static_cast<unsigned long long>(total));
  const bool raised = result == nullptr;
  Py_XDECREF(result);
  // Kept aside until the core has returned: no Python call may run with it pending.
  if (raised) PyErr_Fetch(&type_, &value_, &traceback_);
  PyGILState_Release(gil);
  if (!raised) return {};
  return ormel::fail(ormel::OrmelError::invalid_argument("stopped by the progress callback"));
}

PyObject* ProgressCallback::raise(const ormel::OrmelError& error) {
  if (type_ == nullptr) return raise_error(error);
  PyErr_Restore(type_, value_, traceback_);  // steals the three references
  type_ = value_ = traceback_ = nullptr;
  return nullptr;
}

}  // namespace ormel_py
