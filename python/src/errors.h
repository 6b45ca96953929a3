// The one mapping from the core's OrmelError to a Python exception.
//
// Every OrmelError becomes RuntimeError with its display text, except the two creation rules
// of open (InvalidArgument carrying exactly kReadOnlyCreate or kDimensionsRequired), which
// become ValueError with that bare text. Texts are passed whole: a NUL inside one (from a
// quoted path, namespace or key) does not cut the message.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "core/error.h"

namespace ormel_py {

// Sets the Python exception for `error` and returns nullptr, for `return raise_error(e);`.
PyObject* raise_error(const ormel::OrmelError& error);
// Sets `type` with the whole of `text` as its message; returns nullptr.
PyObject* raise_text(PyObject* type, std::string_view text);

}  // namespace ormel_py
