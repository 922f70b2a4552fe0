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

// A new class "pyo3_runtime.PanicException", a direct subclass of
// BaseException: what Python sees when this module cannot go on (use from a
// foreign thread, an internal failure). The name and base are fixed because
// callers catch it by them: code written against the handle tells a panic
// from an ordinary error this way. Null with an exception set on failure.
PyObject* new_panic_exception_type();

// Sets `panic_type` with `message`.
void raise_panic(PyObject* panic_type, const char* message);

}  // namespace talpen::module

#endif  // TALPEN_MODULE_PY_ERRORS_H_
