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
// bytes) and returns its length. REQUIRES: value is finite. (A NaN or an
// infinity still gives a defined result, `null`, so a broken caller produces
// valid JSON instead of reading garbage.)
size_t format_double(double value, char* out);

std::string format_double(double value);

namespace detail {

// "00" "01" ... "99": decimal digits two at a time, shared by the integer
// and double formatters.
inline constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The two ways format_double reaches its text, exposed so tests can prove that
// they agree. format_double_fast returns 0 when its shortcut does not apply
// (the value is not a decimal with at most 8 fraction digits and 15
// significant digits in the plain range); otherwise it writes the same text as
// format_double_general. format_double_general handles every finite value.
size_t format_double_fast(double value, char* out);
size_t format_double_general(double value, char* out);

}  // namespace detail

}  // namespace talpen::json

#endif  // TALPEN_JSON_FORMAT_DOUBLE_H_
