// The text form of doubles: the shortest decimal that reads back as the same
// double (nearest, ties to even among strings of that length), laid out in
// plain notation for decimal exponents -5..15 and in exponent notation
// otherwise. Whole numbers keep ".0".
#ifndef TALPEN_JSON_FORMAT_DOUBLE_H_
#define TALPEN_JSON_FORMAT_DOUBLE_H_

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace talpen::json {

// Longest text: "-0.000030000000000000004" or "-2.2250738585072014e-308".
constexpr size_t kDoubleBufferSize = 24;

// Writes the text of a finite `value` into `out` (at least kDoubleBufferSize
// bytes) and returns its length. REQUIRES: value is finite. (A NaN or an
// infinity still gives a defined result, `null`, so a broken caller produces
// valid JSON instead of reading garbage.)
// (Defined inline below.)
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
// (the value is not zero nor a decimal with at most 8 fraction digits and 15
// significant digits, from 10^-8 to below 10^7); otherwise it writes the same text as
// format_double_general. format_double_general handles every finite value.
size_t format_double_general(double value, char* out);

// The text of D = r x 10^-8 for 1 <= r < 1000, written at `p`; returns the
// end. D's digits are r's without its trailing zeros: "9.92e-6" for 992,
// "9.7e-6" for 970, "5e-8" for 5.
inline char* write_tiny(uint32_t r, char* p) {
  uint32_t lead = r, rest = 0;
  int rest_len = 0;
  char exponent = '8';
  if (r >= 100) {
    lead = r / 100, rest = r % 100, rest_len = 2, exponent = '6';
    if (rest % 10 == 0) rest /= 10, rest_len = 1;
  } else if (r >= 10) {
    lead = r / 10, rest = r % 10, rest_len = 1, exponent = '7';
  }
  if (rest == 0) rest_len = 0;
  *p++ = static_cast<char>('0' + lead);
  if (rest_len == 2) {
    *p++ = '.';
    std::memcpy(p, kDigitPairs + 2 * rest, 2);
    p += 2;
  } else if (rest_len == 1) {
    *p++ = '.';
    *p++ = static_cast<char>('0' + rest);
  }
  std::memcpy(p, "e-", 2);
  p[2] = exponent;
  return p + 3;
}

// Fast path. Every double in a response has been rounded to 8 decimal places,
// so most values are the double nearest to r x 10^-8 for an integer r. For a
// finite v let r = round(|v| x 1e8). If 1 <= r < 10^15 and r / 1e8 == |v|
// (r < 2^53 and 1e8 are exact and the quotient is correctly rounded, so |v| is
// then the double nearest to the decimal D = r x 10^-8), the shortest text of
// v is D itself: D has at most 15 significant digits, and since 10^15 < 2^52
// any two distinct decimals of at most 15 significant digits in the normal
// range round to distinct doubles (the DBL_DIG round trip). So no decimal with
// fewer digits than D rounds to v, and no other of the same length does, which
// makes D both the shortest and the nearest. The check proves the result for
// whatever input reaches it, so the path is safe for every value. The bounds
// keep D between 10^-8 and 10^7: from 10^-5 up it is in plain notation, and
// below (r < 1000, the prices of a run that has crashed) it has at most three
// digits and an exponent of -6, -7 or -8.
// It is inline, as is format_double: a response writes millions of doubles.
inline size_t format_double_fast(double value, char* out) {
  const double a = std::fabs(value);
  const double t = a * 1e8;
  // Also refuses NaN and infinities, for which every comparison is false.
  if (!(t >= 0.5 && t < 1e15)) {
    // Zero, the price of a run that has crashed out, is common enough to
    // be written here too.
    if (a != 0) return 0;
    char* p = out;
    if (std::signbit(value)) *p++ = '-';
    std::memcpy(p, "0.0", 3);
    return p + 3 - out;
  }
  const uint64_t r = static_cast<uint64_t>(t + 0.5);
  if (r >= 1000000000000000ULL) return 0;
  if (static_cast<double>(r) / 1e8 != a) return 0;

  char* p = out;
  if (std::signbit(value)) *p++ = '-';
  if (r < 1000) return (write_tiny(static_cast<uint32_t>(r), p) - out);
  uint32_t whole = static_cast<uint32_t>(r / 100000000);  // < 10^7
  const uint32_t frac = static_cast<uint32_t>(r % 100000000);

  // Whole part, written in place from the right two digits at a time once its
  // length is known: no scratch copy of variable length.
  // Its digit count from its bit length: bits x log10(2), rounded down, is
  // the count or one less (kWholeSteps[0] is 0 so that 0 has a digit).
  static constexpr uint32_t kWholeSteps[8] = {0, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
  const int guess = (std::bit_width(whole | 1) * 1233) >> 12;
  const int whole_len = guess + (whole >= kWholeSteps[guess]);
  char* w = p + whole_len;
  while (whole >= 100) {
    w -= 2;
    std::memcpy(w, kDigitPairs + 2 * (whole % 100), 2);
    whole /= 100;
  }
  if (whole >= 10) {
    w -= 2;
    std::memcpy(w, kDigitPairs + 2 * whole, 2);
  } else {
    *--w = static_cast<char>('0' + whole);
  }
  p += whole_len;
  *p++ = '.';

  // Fraction: all eight places at once, a digit per byte of a 64-bit word
  // (first digit lowest): split into halves of four digits, each into pairs,
  // each pair into digits, by multiplications that divide every lane at once
  // (x * 10486 >> 20 is x / 100 for x < 10^4, x * 103 >> 10 is x / 10 for
  // x < 100). Then the trailing zeros are dropped down to one digit, which
  // keeps the ".0" of a whole number: they are the word's zero high bytes.
  uint64_t lanes = (frac / 10000) | (static_cast<uint64_t>(frac % 10000) << 32);
  const uint64_t hundreds = ((lanes * 10486) >> 20) & 0x0000007F0000007FULL;
  lanes = hundreds | ((lanes - hundreds * 100) << 16);
  const uint64_t tens = ((lanes * 103) >> 10) & 0x000F000F000F000FULL;
  lanes = tens | ((lanes - tens * 10) << 8);
  const uint64_t ascii = lanes + 0x3030303030303030ULL;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &ascii, 8);
  } else {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(ascii >> (8 * i));
  }
  // lanes | 1 keeps one digit when all eight are zero.
  char* end = p + 8 - (std::countl_zero(lanes | 1) >> 3);
  return end - out;
}

}  // namespace detail

inline size_t format_double(double value, char* out) {
  const size_t n = detail::format_double_fast(value, out);
  if (n != 0) return n;
  return detail::format_double_general(value, out);
}

}  // namespace talpen::json

#endif  // TALPEN_JSON_FORMAT_DOUBLE_H_
