// Error: the one error value below the Python boundary. Its kind says how the
// failure leaves the system: the first three become the text
// "<prefix><message>" (in an error envelope, or a ValueError), exhausted
// memory becomes MemoryError.
#ifndef TALPEN_BASE_ERROR_H_
#define TALPEN_BASE_ERROR_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace talpen {

enum class ErrorKind : unsigned char { Parse = 0, BadSpec = 1, Numeric = 2, OutOfMemory = 3 };

struct Error {
  ErrorKind kind = ErrorKind::Parse;
  std::string message;  // without prefix or position
  // Where a reader found the fault; line 0 when no place is known (an
  // already parsed value, or a fault that is not about text).
  uint64_t line = 0;
  uint64_t column = 0;

  // "parse: ", "bad spec: ", "numeric: ", or "" for exhausted memory.
  static std::string_view prefix(ErrorKind kind);
  // The message, then " at line <line> column <column>" when line != 0.
  std::string located() const;
  // The prefix followed by located().
  std::string text() const;
};

// The line and column of byte offset `p` of `text`: line is one more than the
// number of LF bytes before p; column is p less the offset just past the last
// of those LF bytes.
// REQUIRES: p <= text.size()
Error error_at(ErrorKind kind, std::string_view text, size_t p, std::string message);

}  // namespace talpen

#endif  // TALPEN_BASE_ERROR_H_
