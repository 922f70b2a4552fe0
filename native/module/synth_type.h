// The class Synth: a handle that keeps one generation spec between calls and
// answers JSON commands with JSON text.
#ifndef TALPEN_MODULE_SYNTH_TYPE_H_
#define TALPEN_MODULE_SYNTH_TYPE_H_

#include <Python.h>

namespace talpen::module {

// A new class bound to `module` (whose state must hold the panic class);
// null with an exception set on failure.
PyObject* create_synth_type(PyObject* module);

}  // namespace talpen::module

#endif  // TALPEN_MODULE_SYNTH_TYPE_H_
