#include "python/src/turn_type.h"

#include <new>
#include <utility>

#include "python/src/convert.h"
#include "python/src/errors.h"
#include "python/src/module.h"

namespace ormel_py {
namespace {

TurnObject::Data& data(PyObject* self) { return reinterpret_cast<TurnObject*>(self)->d; }

PyObject* make_turn(PyTypeObject* type, std::string role, PyObject* content_obj, PyObject* vector_obj,
                    const char* fn) {
  std::string content;
  std::vector<float> vector;
  if (!str_arg(content_obj, fn, "content", content) || !vector_arg(vector_obj, fn, "vector", vector)) return nullptr;
  TurnObject* self = alloc_instance<TurnObject>(type);
  if (self == nullptr) return nullptr;
  new (&self->d) TurnObject::Data{std::move(role), std::move(content), std::move(vector)};
  return reinterpret_cast<PyObject*>(self);
}

PyObject* turn_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"role", "content", "vector", nullptr};
  PyObject *role_obj, *content_obj, *vector_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:Turn", kwlist(names), &role_obj, &content_obj, &vector_obj))
    return nullptr;
  std::string role;
  if (!str_arg(role_obj, "Turn", "role", role)) return nullptr;
  if (role != "user" && role != "assistant" && role != "system") {
    invalid_format("unknown role '%U' (expected user, assistant, or system)", role_obj);
    return nullptr;
  }
  return make_turn(type, std::move(role), content_obj, vector_obj, "Turn");
}

// The body of the constructors with a fixed role.
PyObject* with_role(PyObject* cls, PyObject* args, PyObject* kwargs, const char* role, const char* format) {
  static const char* const names[] = {"content", "vector", nullptr};
  PyObject *content_obj, *vector_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, kwlist(names), &content_obj, &vector_obj)) return nullptr;
  return make_turn(reinterpret_cast<PyTypeObject*>(cls), role, content_obj, vector_obj, role);
}

PyObject* user(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return with_role(cls, args, kwargs, "user", "OO:user");
}
PyObject* assistant(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return with_role(cls, args, kwargs, "assistant", "OO:assistant");
}
PyObject* system(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return with_role(cls, args, kwargs, "system", "OO:system");
}

PyObject* get_role(PyObject* self, void*) { return str_to_py(data(self).role); }
PyObject* get_content(PyObject* self, void*) { return str_to_py(data(self).content); }
PyObject* get_vector(PyObject* self, void*) { return floats_to_list(data(self).vector); }

PyObject* repr(PyObject* self) {
  const std::string text = "<ormel.Turn role='" + data(self).role + "' content='" + data(self).content + "'>";
  return str_to_py(text);
}

void dealloc(PyObject* self) {
  data(self).~Data();
  free_instance(self);
}

#define CLASS_KWARGS(f) ORMEL_PY_KWARGS(f) | METH_CLASS

PyMethodDef methods[] = {
    {"user", CLASS_KWARGS(user), "user($cls, content, vector)\n--\n\nA turn with the role \"user\"."},
    {"assistant", CLASS_KWARGS(assistant),
     "assistant($cls, content, vector)\n--\n\nA turn with the role \"assistant\"."},
    {"system", CLASS_KWARGS(system), "system($cls, content, vector)\n--\n\nA turn with the role \"system\"."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"role", ORMEL_PY_GUARD(get_role), nullptr, "The role: \"user\", \"assistant\" or \"system\".", nullptr},
    {"content", ORMEL_PY_GUARD(get_content), nullptr, "The text of the turn.", nullptr},
    {"vector", ORMEL_PY_GUARD(get_vector), nullptr, "The embedding of the text, as a new list of floats.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Turn(role, content, vector)\n--\n\n"
                                  "One conversation turn: a role (\"user\", \"assistant\" or \"system\"), its text,\n"
                                  "and the caller's embedding of the text. Immutable.")},
    {Py_tp_new, reinterpret_cast<void*>(ORMEL_PY_GUARD(turn_new))},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(ORMEL_PY_GUARD(repr))},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec turn_type_spec = {
    "ormel.Turn",
    sizeof(TurnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace ormel_py
