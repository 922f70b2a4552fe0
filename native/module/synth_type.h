// The class Synth: a handle that keeps one generation spec between calls and
// answers JSON commands with JSON text.
#ifndef TALPEN_MODULE_SYNTH_TYPE_H_
#define TALPEN_MODULE_SYNTH_TYPE_H_

#include <Python.h>

namespace talpen::module {

// A new reference to the class, created on first use and shared by every
// module object of the process; null with an exception set on failure.
PyObject* synth_type();

}  // namespace talpen::module

#endif  // TALPEN_MODULE_SYNTH_TYPE_H_
