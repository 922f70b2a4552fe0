// Small helpers at this module's boundary with the interpreter: an owner for
// one strong reference, and the guard that keeps C++ exceptions out of it.
#ifndef TALPEN_COLUMNS_PY_SUPPORT_H_
#define TALPEN_COLUMNS_PY_SUPPORT_H_

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace talpen::columns {

// Sole owner of one strong reference (possibly null, as a failed call
// returns), released at the end of its scope so that no return path leaks.
class Owned {
 public:
  Owned() = default;
  explicit Owned(PyObject* owned) : p_(owned) {}
  ~Owned() { Py_XDECREF(p_); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

// Runs `body` (which returns a new reference, or null with an error set) so
// that no C++ exception reaches the interpreter: exhausted memory becomes
// MemoryError, anything else SystemError.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "talpen_synth._talpen_columns: internal failure");
    return nullptr;
  }
}

inline PyObject* str_from(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace talpen::columns

#endif  // TALPEN_COLUMNS_PY_SUPPORT_H_
