// This module's use of the shared glue: its names in scope, and the guard
// that keeps C++ exceptions out of the interpreter, with SystemError for an
// internal failure.
#ifndef TALPEN_COLUMNS_GUARDED_H_
#define TALPEN_COLUMNS_GUARDED_H_

#include <Python.h>

#include <utility>

#include "pyglue/py_glue.h"

namespace talpen::columns {

using Owned = pyglue::PyRef;
using pyglue::str_from;

inline void internal_failure() {
  PyErr_SetString(PyExc_SystemError, "talpen_synth._talpen_columns: internal failure");
}

// Runs `body` (a new reference, or null with an error set) with exhausted
// memory as MemoryError and any other C++ exception as SystemError.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return pyglue::guarded(std::forward<Body>(body), internal_failure);
}

}  // namespace talpen::columns

#endif  // TALPEN_COLUMNS_GUARDED_H_
