// This module's use of the shared glue: its names in scope, the guard that
// keeps C++ exceptions out of the interpreter (SystemError for an internal
// failure), and native work run without the interpreter lock.
#ifndef TALPEN_COLUMNS_GUARDED_H_
#define TALPEN_COLUMNS_GUARDED_H_

#include <Python.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <utility>

#include "base/result.h"
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

// Runs `work` (C++ only: it touches no Python object and returns a Status)
// with the interpreter lock released, holding the object's `busy` flag so
// that no second thread runs work on the same object meanwhile. Returns
// false with an exception set when the object is busy ("<what> already in
// use"), the work failed, or a C++ exception left it.
template <class Work>
bool run_unlocked(std::atomic<bool>& busy, const char* what, Work&& work) {
  if (busy.exchange(true)) {
    PyErr_Format(PyExc_RuntimeError, "%s already in use", what);
    return false;
  }
  Status outcome = ok_status();
  bool out_of_memory = false;
  bool internal = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    outcome = work();
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  } catch (const std::length_error&) {
    out_of_memory = true;
  } catch (...) {
    internal = true;
  }
  Py_END_ALLOW_THREADS
  busy.store(false);
  if (out_of_memory) {
    PyErr_NoMemory();
    return false;
  }
  if (internal) {
    internal_failure();
    return false;
  }
  if (!outcome.ok()) {
    pyglue::raise_error(outcome.error());
    return false;
  }
  return true;
}

}  // namespace talpen::columns

#endif  // TALPEN_COLUMNS_GUARDED_H_
