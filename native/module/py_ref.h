// PyRef: sole owner of one strong reference, released when the owner goes out
// of scope, so that no early return can leak an object.
#ifndef TALPEN_MODULE_PY_REF_H_
#define TALPEN_MODULE_PY_REF_H_

#include <Python.h>

#include <utility>

namespace talpen::module {

class PyRef {
 public:
  PyRef() = default;
  // Takes over `owned` (which may be null, as returned by a failed call).
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

}  // namespace talpen::module

#endif  // TALPEN_MODULE_PY_REF_H_
