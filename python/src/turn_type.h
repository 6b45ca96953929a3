// The `Turn` class: one immutable conversation turn (role, text, the caller's embedding).
// The role is exactly "user", "assistant" or "system"; the vector must be finite (like every
// vector argument), its length is not checked.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

namespace ormel_py {

struct TurnObject {
  PyObject_HEAD
  struct Data {
    std::string role;
    std::string content;
    std::vector<float> vector;
  } d;
};

extern PyType_Spec turn_type_spec;

}  // namespace ormel_py
