// Result<T>: a value or an Error, returned side by side. Everything below the
// Python boundary reports failure this way and never by throwing; the
// boundary turns an Error into a Python exception in one place.
#ifndef TALPEN_BASE_RESULT_H_
#define TALPEN_BASE_RESULT_H_

#include <string>
#include <utility>
#include <variant>

#include "base/error.h"

namespace talpen {

struct Unexpected {
  Error error;
};

inline Unexpected fail(ErrorKind kind, std::string message, uint64_t line = 0, uint64_t column = 0) {
  return {Error{kind, std::move(message), line, column}};
}
inline Unexpected fail(Error error) { return {std::move(error)}; }

template <class T>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Unexpected u) : v_(std::in_place_index<1>, std::move(u.error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok()
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }

  // REQUIRES: !ok()
  Error& error() & { return std::get<1>(v_); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }
  // The error, to hand on from a function of another result type.
  Unexpected failure() && { return {std::get<1>(std::move(v_))}; }

 private:
  std::variant<T, Error> v_;
};

// For operations that produce nothing on success.
struct Unit {};
using Status = Result<Unit>;

inline Status ok_status() { return Unit{}; }

}  // namespace talpen

#endif  // TALPEN_BASE_RESULT_H_
