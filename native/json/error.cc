#include "json/error.h"

#include <cstring>

namespace talpen::json {

JsonError error_at(std::string_view text, size_t p, std::string message) {
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
  return JsonError{std::move(message), line, p - line_start};
}

std::string error_text(const JsonError& error) {
  if (error.line == 0) return error.message;
  std::string out = error.message;
  out += " at line ";
  out += std::to_string(error.line);
  out += " column ";
  out += std::to_string(error.column);
  return out;
}

}  // namespace talpen::json
