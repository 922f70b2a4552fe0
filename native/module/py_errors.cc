#include "module/py_errors.h"

#include "module/py_ref.h"

namespace talpen::module {

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

PyObject* panic_exception_type() {
  // Shared by every module object of the process, like the Synth class; the
  // reference is never dropped.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type != nullptr) PyErr_SetString(type, message);
}

}  // namespace talpen::module
