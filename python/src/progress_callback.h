// The `progress` argument of the long methods: a Python callable adapted to the core's
// progress reports.
//
// Contract:
// - parse() accepts None (no reports) or a callable; anything else is TypeError
//   "<fn>() argument 'progress' must be callable or None, not <type>".
// - Each report calls the callable as progress(done, total) with two ints, on the thread
//   that called the method, taking the GIL for the call (so a method may release it around
//   the core's work); its return value is ignored.
// - An exception raised by the callable stops the operation: the core gets an error value,
//   and raise() then sets that very exception (same object, traceback kept) instead of the
//   core's error. Python code in the callable cannot re-enter the database: the method's
//   borrow is held, so such a call raises RuntimeError, which stops the operation like any
//   other exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/error.h"
#include "core/progress.h"

namespace ormel_py {

class ProgressCallback {
 public:
  ProgressCallback() = default;
  ~ProgressCallback();
  ProgressCallback(const ProgressCallback&) = delete;
  ProgressCallback& operator=(const ProgressCallback&) = delete;

  // False, with TypeError set, unless `o` is None or callable. `o` must outlive the call.
  bool parse(PyObject* o, const char* fn);
  // What the core is given; reports nothing without a callable.
  const ormel::Progress& progress() const { return progress_; }
  // Sets the exception the callable raised, or else the one for `error`; returns nullptr.
  PyObject* raise(const ormel::OrmelError& error);

 private:
  ormel::Status report(uint64_t done, uint64_t total);

  PyObject* callable_ = nullptr;  // borrowed: the method's argument
  PyObject* type_ = nullptr;      // the exception it raised, as fetched
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
  ormel::Progress progress_;
};

}  // namespace ormel_py
