#include "module/args.h"

#include "module/py_errors.h"
#include "pyglue/py_glue.h"

namespace talpen::module {

using pyglue::PyRef;

PyObject* bind_single_argument(PyObject* args, PyObject* kwargs, const char* function,
                               const char* parameter) {
  Py_ssize_t positional = PyTuple_Size(args);
  if (positional < 0) return nullptr;
  if (positional > 1) {
    PyErr_Format(PyExc_TypeError, "%s takes 1 positional arguments but %zd were given", function,
                 positional);
    return nullptr;
  }
  PyObject* bound = positional == 1 ? PyTuple_GetItem(args, 0) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      bool matches = PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, parameter) == 0;
      if (!matches) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", function, key);
        return nullptr;
      }
      if (bound != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", function, parameter);
        return nullptr;
      }
      bound = value;
    }
  }
  if (bound == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", function,
                 parameter);
  }
  return bound;
}

namespace {

void raise_not_str(PyObject* value) {
  if (value == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
    return;
  }
  PyRef qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
  if (!qualname) return;  // that error is raised in place of the TypeError
  PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of 'str'", qualname.get());
}

}  // namespace

bool text_argument(PyObject* value, const char* parameter, std::string* out) {
  PyRef utf8;
  if (!PyUnicode_Check(value)) {
    raise_not_str(value);
  } else {
    // A temporary bytes object, rather than the str's cached encoding, so
    // that a large argument does not keep a second copy alive in the caller's
    // string after the call.
    utf8 = PyRef(PyUnicode_AsUTF8String(value));
  }
  if (!utf8) {
    std::string note = "while processing '";
    note += parameter;
    note += '\'';
    add_note_to_pending(note.c_str());
    return false;
  }
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) < 0) return false;
  out->assign(data, static_cast<size_t>(size));
  return true;
}

}  // namespace talpen::module
