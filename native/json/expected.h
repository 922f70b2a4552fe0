// A value or an error, returned side by side: the JSON layer and the core
// report failures as values, never by throwing.
#ifndef TALPEN_JSON_EXPECTED_H_
#define TALPEN_JSON_EXPECTED_H_

#include <utility>
#include <variant>

namespace talpen {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& e) {
  return {std::forward<E>(e)};
}

template <class T, class E>
class Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
  Expected(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok()
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }

  // REQUIRES: !ok()
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

// For operations that produce nothing on success.
struct Unit {};

}  // namespace talpen

#endif  // TALPEN_JSON_EXPECTED_H_
