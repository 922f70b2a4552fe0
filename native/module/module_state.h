// The per-module state of `_talpen_synth`: the class Synth and the panic
// exception class, created for each module object, so that a method finds
// them from the type of its own object.
#ifndef TALPEN_MODULE_MODULE_STATE_H_
#define TALPEN_MODULE_MODULE_STATE_H_

#include <Python.h>

namespace talpen::module {

struct ModuleState {
  PyObject* synth_type;  // strong references, cleared with the module
  PyObject* panic_type;
};

// The state of the module that created `type` (the Synth class).
inline ModuleState* state_of_type(PyTypeObject* type) {
  return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

}  // namespace talpen::module

#endif  // TALPEN_MODULE_MODULE_STATE_H_
