#include "module/py_errors.h"

#include "pyglue/py_glue.h"

namespace talpen::module {

using pyglue::PyRef;

// PyErr_Fetch/PyErr_Restore are the only way to save the error indicator in
// the stable ABI of the oldest interpreter that this module supports; newer
// headers mark them deprecated in favour of calls that ABI lacks.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

SavedError::SavedError() { PyErr_Fetch(&type_, &value_, &traceback_); }

SavedError::~SavedError() { PyErr_Restore(type_, value_, traceback_); }

PyObject* SavedError::value() {
  if (type_ == nullptr) return nullptr;
  PyErr_NormalizeException(&type_, &value_, &traceback_);
  return value_;
}

#pragma GCC diagnostic pop

void add_note_to_pending(const char* note) {
  SavedError saved;
  PyObject* exc = saved.value();
  if (exc == nullptr) return;
  PyRef result(PyObject_CallMethod(exc, "add_note", "s", note));
  if (!result) PyErr_Clear();
}

PyObject* new_panic_exception_type() {
  return PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr);
}

void raise_panic(PyObject* panic_type, const char* message) { PyErr_SetString(panic_type, message); }

}  // namespace talpen::module
