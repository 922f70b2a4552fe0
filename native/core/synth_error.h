// SynthError: the one error value below the Python boundary. Its kind picks
// the prefix written in front of the message whenever it leaves the system.
#ifndef TALPEN_CORE_SYNTH_ERROR_H_
#define TALPEN_CORE_SYNTH_ERROR_H_

#include <string>
#include <string_view>

#include "json/expected.h"

namespace talpen {

enum class ErrorKind : unsigned char { Parse = 0, BadSpec = 1, Numeric = 2 };

struct SynthError {
  ErrorKind kind;
  std::string message;  // without prefix

  // "parse: ", "bad spec: " or "numeric: ".
  static std::string_view prefix(ErrorKind kind);
  // The prefix followed by the message.
  std::string text() const;
};

template <class T>
using Result = Expected<T, SynthError>;

inline Unexpected<SynthError> fail(ErrorKind kind, std::string message) {
  return {SynthError{kind, std::move(message)}};
}

}  // namespace talpen

#endif  // TALPEN_CORE_SYNTH_ERROR_H_
