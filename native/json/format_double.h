// The text form of doubles: the shortest decimal that reads back as the same
// double (nearest, ties to even among strings of that length), laid out in
// plain notation for decimal exponents -5..15 and in exponent notation
// otherwise. Whole numbers keep ".0".
#ifndef TALPEN_JSON_FORMAT_DOUBLE_H_
#define TALPEN_JSON_FORMAT_DOUBLE_H_

#include <cstddef>
#include <string>

namespace talpen::json {

// Longest text: "-0.000030000000000000004" or "-2.2250738585072014e-308".
constexpr size_t kDoubleBufferSize = 24;

// Writes the text of a finite `value` into `out` (at least kDoubleBufferSize
// bytes) and returns its length. REQUIRES: value is finite.
size_t format_double(double value, char* out);

std::string format_double(double value);

}  // namespace talpen::json

#endif  // TALPEN_JSON_FORMAT_DOUBLE_H_
