// The CPython glue both extensions share: an owner for one strong reference,
// texts as str, the module's public names, and the one place where an Error
// or a C++ exception becomes a Python exception.
#ifndef TALPEN_PYGLUE_PY_GLUE_H_
#define TALPEN_PYGLUE_PY_GLUE_H_

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "base/error.h"

namespace talpen::pyglue {

// PyRef: sole owner of one strong reference (possibly null, as a failed call
// returns), released at the end of its scope so that no return path leaks.
class PyRef {
 public:
  PyRef() = default;
  // Takes over `owned`.
  explicit PyRef(PyObject* owned) : p_(owned) {}
  ~PyRef() { Py_XDECREF(p_); }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }

  // A new strong reference to `borrowed`.
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

// `text` as a new str; the texts may hold any UTF-8, NUL included.
inline PyObject* str_from(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Sets `type` with `text` as its message. Returns null for the caller to
// hand on.
inline PyObject* raise_text(PyObject* type, std::string_view text) {
  PyRef message(str_from(text));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

// An Error as Python sees it: MemoryError for exhausted memory, else
// ValueError with "<prefix><message>". Returns null.
inline PyObject* raise_error(const Error& error) {
  if (error.kind == ErrorKind::OutOfMemory) return PyErr_NoMemory();
  return raise_text(PyExc_ValueError, error.text());
}

// Runs `body` (which returns a new reference, or null with an exception set)
// so that no C++ exception reaches the interpreter: exhausted memory becomes
// MemoryError; anything else (none is expected) calls `internal_failure`,
// which sets the module's own exception and must not throw.
template <class Body, class Fallback>
PyObject* guarded(Body&& body, Fallback&& internal_failure) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (...) {
    internal_failure();
    return nullptr;
  }
}

// Appends `name` to the module's `__all__` (created as an empty list when the
// module has none) and sets the attribute. Returns -1 with an error set on
// failure.
inline int add_public(PyObject* module, const char* name, PyObject* value) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all) return -1;
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef key(PyUnicode_FromString(name));
  if (!key) return -1;
  if (PyList_Append(all.get(), key.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

// A METH_VARARGS | METH_KEYWORDS function as the PyCFunction a method table
// holds.
inline PyCFunction as_method(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace talpen::pyglue

#endif  // TALPEN_PYGLUE_PY_GLUE_H_
