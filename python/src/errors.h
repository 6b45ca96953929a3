// The one mapping from the core's OrmelError to a Python exception.
//
// Every OrmelError becomes RuntimeError with its display text, except the two creation rules
// of open (InvalidArgument carrying exactly kReadOnlyCreate or kDimensionsRequired), which
// become ValueError with that bare text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/error.h"

namespace ormel_py {

// Sets the Python exception for `error` and returns nullptr, for `return raise_error(e);`.
PyObject* raise_error(const ormel::OrmelError& error);

}  // namespace ormel_py
