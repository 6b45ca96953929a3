#include "python/src/errors.h"

#include <cstdarg>
#include <exception>
#include <new>
#include <stdexcept>

#include "core/store.h"
#include "python/src/module.h"

namespace ormel_py {
namespace {

using ormel::ErrorKind;

const char* kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::WrongPassphrase: return "WrongPassphrase";
    case ErrorKind::Locked: return "Locked";
    case ErrorKind::NotFound: return "NotFound";
    case ErrorKind::BadMagic:
    case ErrorKind::HeaderChecksum:
    case ErrorKind::PageAuthFailed:
    case ErrorKind::HeaderSealInvalid:
    case ErrorKind::Serialization: return "Corrupt";
    case ErrorKind::ReadOnly:
    case ErrorKind::ReadOnlyBlocked: return "ReadOnly";
    case ErrorKind::DimensionMismatch: return "DimensionMismatch";
    case ErrorKind::InvalidArgument: return "InvalidArgument";
    case ErrorKind::Io:
    case ErrorKind::UnsupportedVersion:
    case ErrorKind::Crypto:
    case ErrorKind::KeyDerivation: break;
  }
  return "StorageError";
}

PyObject* raise_as(const char* name, PyObject* fallback, std::string_view text) {
  PyObject* type = error_class(name, fallback);
  raise_text(type, text);
  Py_DECREF(type);
  return nullptr;
}

}  // namespace

PyObject* error_class(const char* name, PyObject* fallback) {
  PyObject* module = PyImport_ImportModule("ormel._errors");
  PyObject* type = module != nullptr ? PyObject_GetAttrString(module, name) : nullptr;
  Py_XDECREF(module);
  if (type != nullptr) return type;
  PyErr_Clear();
  return Py_NewRef(fallback);
}

PyObject* raise_text(PyObject* type, std::string_view text) {
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

PyObject* raise_error(const ormel::OrmelError& error) {
  if (error.kind() == ErrorKind::InvalidArgument &&
      (error.text() == ormel::kReadOnlyCreate || error.text() == ormel::kDimensionsRequired)) {
    return raise_invalid(error.text());
  }
  return raise_as(kind_name(error.kind()), PyExc_RuntimeError, error.message());
}

PyObject* raise_invalid(std::string_view text) { return raise_as("InvalidArgument", PyExc_ValueError, text); }

PyObject* invalid_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyObject* message = PyUnicode_FromFormatV(format, args);
  va_end(args);
  if (message == nullptr) return nullptr;
  PyObject* type = error_class("InvalidArgument", PyExc_ValueError);
  PyErr_SetObject(type, message);
  Py_DECREF(type);
  Py_DECREF(message);
  return nullptr;
}

PyObject* raise_released() {
  return raise_as("Released", PyExc_RuntimeError, "database handle released (open the file again to use it)");
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
