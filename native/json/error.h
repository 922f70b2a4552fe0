// A reader error: a fixed message (or a decoder's free text) and the place
// where it arose. Line 0 means no place is known, as for errors found while
// decoding an already parsed value.
#ifndef TALPEN_JSON_ERROR_H_
#define TALPEN_JSON_ERROR_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace talpen::json {

struct JsonError {
  std::string message;
  uint64_t line = 0;
  uint64_t column = 0;
};

// The line and column of byte offset `p` of `text`: line is one more than the
// number of LF bytes before p; column is p less the offset just past the last
// of those LF bytes.
// REQUIRES: p <= text.size()
JsonError error_at(std::string_view text, size_t p, std::string message);

// The message, followed by " at line <line> column <column>" when line != 0.
std::string error_text(const JsonError& error);

}  // namespace talpen::json

#endif  // TALPEN_JSON_ERROR_H_
