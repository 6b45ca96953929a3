#include "python/src/errors.h"

#include <string>

#include "core/store.h"

namespace ormel_py {

PyObject* raise_error(const ormel::OrmelError& error) {
  if (error.kind() == ormel::ErrorKind::InvalidArgument &&
      (error.text() == ormel::kReadOnlyCreate || error.text() == ormel::kDimensionsRequired)) {
    PyErr_SetString(PyExc_ValueError, error.text().c_str());
    return nullptr;
  }
  const std::string message = error.message();
  PyErr_SetString(PyExc_RuntimeError, message.c_str());
  return nullptr;
}

}  // namespace ormel_py
