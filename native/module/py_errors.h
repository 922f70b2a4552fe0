// The module's dealings with the interpreter's error indicator: saving and
// restoring a pending exception, notes, and the panic exception type.
#ifndef TALPEN_MODULE_PY_ERRORS_H_
#define TALPEN_MODULE_PY_ERRORS_H_

#include <Python.h>

namespace talpen::module {

// Takes the pending exception (if any) off the error indicator for the
// lifetime of this object and puts it back on destruction, so that code run
// in between (a report through the unraisable hook, a call of add_note)
// neither sees nor loses it.
class SavedError {
 public:
  SavedError();
  ~SavedError();
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;

  // The saved exception instance (normalised), or null when none was pending.
  PyObject* value();

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Attaches `note` to the pending exception through its add_note method. An
// interpreter without notes, or a failing add_note, leaves the exception as it
// was: the failure is discarded.
void add_note_to_pending(const char* note);

// The class "pyo3_runtime.PanicException", a direct subclass of
// BaseException: what Python sees when this module cannot go on (use from a
// foreign thread, an internal failure). Created on first use and kept for the
// life of the process; null with an exception set if creation fails.
PyObject* panic_exception_type();

// Sets PanicException with `message` (or the creation error of the class).
void raise_panic(const char* message);

}  // namespace talpen::module

#endif  // TALPEN_MODULE_PY_ERRORS_H_
