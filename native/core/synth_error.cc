#include "core/synth_error.h"

namespace talpen {

std::string_view SynthError::prefix(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Parse: return "parse: ";
    case ErrorKind::BadSpec: return "bad spec: ";
    case ErrorKind::Numeric: return "numeric: ";
  }
  return "";
}

std::string SynthError::text() const {
  std::string out(prefix(kind));
  out += message;
  return out;
}

}  // namespace talpen
