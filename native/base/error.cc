#include "base/error.h"

#include <cstring>

namespace talpen {

std::string_view Error::prefix(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Parse: return "parse: ";
    case ErrorKind::BadSpec: return "bad spec: ";
    case ErrorKind::Numeric: return "numeric: ";
    case ErrorKind::OutOfMemory: return "";
  }
  return "";
}

std::string Error::located() const {
  if (line == 0) return message;
  std::string out = message;
  out += " at line ";
  out += std::to_string(line);
  out += " column ";
  out += std::to_string(column);
  return out;
}

std::string Error::text() const {
  std::string out(prefix(kind));
  out += located();
  return out;
}

Error error_at(ErrorKind kind, std::string_view text, size_t p, std::string message) {
  uint64_t line = 1;
  size_t line_start = 0;
  const char* base = text.data();
  const char* cur = base;
  const char* end = base + p;
  while (cur < end) {
    const void* nl = std::memchr(cur, '\n', static_cast<size_t>(end - cur));
    if (nl == nullptr) break;
    ++line;
    cur = static_cast<const char*>(nl) + 1;
    line_start = static_cast<size_t>(cur - base);
  }
  return Error{kind, std::move(message), line, p - line_start};
}

}  // namespace talpen
