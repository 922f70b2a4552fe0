// The native module `_talpen_synth`: its one execution step creates the
// panic class and the class Synth in the module's state and adds the version
// and Synth, keeping `__all__` in step with what it adds.
#include <Python.h>

#include "module/module_state.h"
#include "module/py_errors.h"
#include "module/synth_type.h"
#include "protocol/version.h"
#include "pyglue/py_glue.h"

namespace talpen::module {

namespace {

using pyglue::add_public;
using pyglue::PyRef;

int exec_module(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  state->panic_type = new_panic_exception_type();
  if (state->panic_type == nullptr) return -1;
  state->synth_type = create_synth_type(module);
  if (state->synth_type == nullptr) return -1;
  PyRef version(pyglue::str_from(protocol::kVersion));
  if (!version) return -1;
  if (add_public(module, "__version__", version.get()) < 0) return -1;
  return add_public(module, "Synth", state->synth_type);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_VISIT(state->synth_type);
  Py_VISIT(state->panic_type);
  return 0;
}

int clear_module(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_CLEAR(state->synth_type);
  Py_CLEAR(state->panic_type);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_talpen_synth",
    .m_doc = "The native module (`talpen_synth._talpen_synth`).",
    .m_size = sizeof(ModuleState),
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace

}  // namespace talpen::module

PyMODINIT_FUNC PyInit__talpen_synth() { return PyModuleDef_Init(&talpen::module::module_def); }
