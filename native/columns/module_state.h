// The per-module state of `_talpen_columns`: its types, created for each
// module object, so that a method can find the Column type from the type of
// its own object.
#ifndef TALPEN_COLUMNS_MODULE_STATE_H_
#define TALPEN_COLUMNS_MODULE_STATE_H_

#include <Python.h>

namespace talpen::columns {

struct ModuleState {
  PyObject* column_type;  // strong references, cleared with the module
  PyObject* table_type;
  PyObject* cursor_type;
  PyObject* table_stream_type;
  PyObject* universe_type;
};

// The state of the module that created `type` (one of the types above).
inline ModuleState* state_of_type(PyTypeObject* type) {
  return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

}  // namespace talpen::columns

#endif  // TALPEN_COLUMNS_MODULE_STATE_H_
