// The `ormel` extension module: the function `open`, the classes Ormel, Session and Turn,
// and `__version__`. Multi-phase initialisation; the types live in the module state.
#include "python/src/module.h"

#include "python/src/ormel_type.h"
#include "python/src/session_type.h"
#include "python/src/turn_type.h"

namespace ormel_py {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* name = PyType_GetName(type);
  if (name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
  Py_DECREF(name);
  return nullptr;
}

namespace {

ModuleState* module_state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

bool add_type(PyObject* module, PyType_Spec* spec, PyTypeObject*& slot) {
  slot = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
  return slot != nullptr && PyModule_AddType(module, slot) == 0;
}

int exec_module(PyObject* module) {
  ModuleState* state = module_state(module);
  if (!add_type(module, &ormel_type_spec, state->ormel_type) ||
      !add_type(module, &session_type_spec, state->session_type) ||
      !add_type(module, &turn_type_spec, state->turn_type))
    return -1;
  return PyModule_AddStringConstant(module, "__version__", "0.4.0");
}

int traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = module_state(module);
  Py_VISIT(state->ormel_type);
  Py_VISIT(state->session_type);
  Py_VISIT(state->turn_type);
  return 0;
}

int clear(PyObject* module) {
  ModuleState* state = module_state(module);
  Py_CLEAR(state->ormel_type);
  Py_CLEAR(state->session_type);
  Py_CLEAR(state->turn_type);
  return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyMethodDef functions[] = {
    {"open", ORMEL_PY_KWARGS(ormel_open), ormel_open_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ormel",
    "The `ormel` Python extension module.",
    sizeof(ModuleState),
    functions,
    slots,
    traverse,
    clear,
    free_module,
};

}  // namespace
}  // namespace ormel_py

PyMODINIT_FUNC PyInit_ormel(void) { return PyModuleDef_Init(&ormel_py::module_def); }
