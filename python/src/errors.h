// The one mapping from the core's OrmelError to a Python exception.
//
// Every OrmelError becomes the kind of python/ormel/_errors.py that matches its variant (each
// kind derives from RuntimeError) with its display text, except the two creation rules of
// open (InvalidArgument carrying exactly kReadOnlyCreate or kDimensionsRequired), which
// carry their bare text (InvalidArgument derives from ValueError too). Texts are passed
// whole: a NUL inside one (from a quoted path, namespace or key) does not cut the message.
// Should the kinds' module be unloadable, the built-in base type is raised instead.
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
// The exception class `name` of ormel's kinds (a new reference), or a new reference to
// `fallback` when it cannot be had. Call with no exception set.
PyObject* error_class(const char* name, PyObject* fallback);
// Raises ormel.InvalidArgument (a ValueError) with `text`; returns nullptr.
PyObject* raise_invalid(std::string_view text);
// Raises ormel.InvalidArgument with a message formatted as PyUnicode_FromFormat does;
// returns nullptr.
PyObject* invalid_format(const char* format, ...);
// Raises ormel.Released: the handle let its file go; returns nullptr.
PyObject* raise_released();

}  // namespace ormel_py
