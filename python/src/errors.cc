#include "python/src/errors.h"

#include <exception>
#include <new>
#include <stdexcept>

#include "core/store.h"
#include "python/src/module.h"

namespace ormel_py {

PyObject* raise_text(PyObject* type, std::string_view text) {
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

PyObject* raise_error(const ormel::OrmelError& error) {
  if (error.kind() == ormel::ErrorKind::InvalidArgument &&
      (error.text() == ormel::kReadOnlyCreate || error.text() == ormel::kDimensionsRequired)) {
    return raise_text(PyExc_ValueError, error.text());
  }
  return raise_text(PyExc_RuntimeError, error.message());
}

PyObject* raise_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more than it can ever hold: an allocation failure too.
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    // Formatted by the interpreter: nothing here may throw again.
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error: unknown exception");
  }
  return nullptr;
}

}  // namespace ormel_py
