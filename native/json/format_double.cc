// The text form of doubles.
//
// Digits. The general path takes the shortest round-trip digit string from
// std::to_chars in scientific form. libstdc++ implements it with Ryu (Ulf
// Adams, "Ryu: fast float-to-string conversion", PLDI 2018): the fewest
// significant digits whose decimal value rounds back to the input, and among
// those the one nearest to the input's exact value, ties to an even last
// digit. In scientific form the shortest text is exactly the one with the
// fewest digits, so the digits and the decimal exponent can be read back from
// it and laid out by our own rules.
//
// Fast path. Every double in a response has been rounded to 8 decimal places,
// so most values are the double nearest to r x 10^-8 for an integer r. For a
// finite v let r = round(|v| x 1e8). If 1000 <= r < 10^15 and r / 1e8 == |v|
// (r < 2^53 and 1e8 are exact and the quotient is correctly rounded, so |v| is
// then the double nearest to the decimal D = r x 10^-8), the shortest text of
// v is D itself: D has at most 15 significant digits, and since 10^15 < 2^52
// any two distinct decimals of at most 15 significant digits in the normal
// range round to distinct doubles (the DBL_DIG round trip). So no decimal with
// fewer digits than D rounds to v, and no other of the same length does, which
// makes D both the shortest and the nearest. The check proves the result for
// whatever input reaches it, so the path is safe for every value; the bounds
// keep D between 10^-5 and 10^7, inside plain notation.
#include "json/format_double.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace talpen::json {
namespace {

using detail::kDigitPairs;

// Lays out the significant digits d[0..n) (d[0] and d[n-1] non-zero) of a
// value d[0].d[1]...d[n-1] x 10^x. Returns the bytes written (at most 23).
size_t layout(const char* d, int n, int x, char* out) {
  char* p = out;
  if (x >= -5 && x <= 15) {
    if (x >= n - 1) {  // a whole number
      std::memcpy(p, d, n);
      p += n;
      std::memset(p, '0', x + 1 - n);
      p += x + 1 - n;
      *p++ = '.';
      *p++ = '0';
    } else if (x >= 0) {
      std::memcpy(p, d, x + 1);
      p += x + 1;
      *p++ = '.';
      std::memcpy(p, d + x + 1, n - x - 1);
      p += n - x - 1;
    } else {
      *p++ = '0';
      *p++ = '.';
      std::memset(p, '0', -x - 1);
      p += -x - 1;
      std::memcpy(p, d, n);
      p += n;
    }
    return p - out;
  }
  *p++ = d[0];
  if (n >= 2) {
    *p++ = '.';
    std::memcpy(p, d + 1, n - 1);
    p += n - 1;
  }
  *p++ = 'e';
  *p++ = x < 0 ? '-' : '+';
  unsigned ax = x < 0 ? -x : x;  // 6..324
  if (ax >= 100) {
    *p++ = static_cast<char>('0' + ax / 100);
    ax %= 100;
    std::memcpy(p, kDigitPairs + 2 * ax, 2);
    p += 2;
  } else if (ax >= 10) {
    std::memcpy(p, kDigitPairs + 2 * ax, 2);
    p += 2;
  } else {
    *p++ = static_cast<char>('0' + ax);
  }
  return p - out;
}

}  // namespace

namespace detail {

size_t format_double_general(double value, char* out) {
  char* p = out;
  if (std::signbit(value)) *p++ = '-';
  const double a = std::fabs(value);
  if (a == 0) {
    std::memcpy(p, "0.0", 3);
    return p + 3 - out;
  }
  if (!std::isfinite(a)) {
    std::memcpy(out, "null", 4);
    return 4;
  }
  // "d[.ddd]e[+-]xx[x]": at most 17 digits, a point and a 5-byte exponent.
  char sci[32];
  const std::to_chars_result res = std::to_chars(sci, sci + sizeof(sci), a, std::chars_format::scientific);
  const char* q = sci;
  char digits[17];
  int n = 0;
  digits[n++] = *q++;
  if (*q == '.') {
    ++q;
    while (*q != 'e') digits[n++] = *q++;
  }
  ++q;  // 'e'
  const bool negative_exponent = *q++ == '-';
  int x = 0;
  while (q < res.ptr) x = x * 10 + (*q++ - '0');
  if (negative_exponent) x = -x;
  return (p - out) + layout(digits, n, x, p);
}

size_t format_double_fast(double value, char* out) {
  const double a = std::fabs(value);
  const double t = a * 1e8;
  // Also refuses NaN and infinities, for which every comparison is false.
  if (!(t >= 999.5 && t < 1e15)) return 0;
  const uint64_t r = static_cast<uint64_t>(t + 0.5);
  if (r < 1000 || r >= 1000000000000000ULL) return 0;
  if (static_cast<double>(r) / 1e8 != a) return 0;

  char* p = out;
  if (std::signbit(value)) *p++ = '-';
  uint32_t whole = static_cast<uint32_t>(r / 100000000);  // < 10^7
  const uint32_t frac = static_cast<uint32_t>(r % 100000000);

  // Whole part, written in place from the right two digits at a time once its
  // length is known: no scratch copy of variable length.
  const int whole_len = 1 + (whole >= 10) + (whole >= 100) + (whole >= 1000) + (whole >= 10000) +
                        (whole >= 100000) + (whole >= 1000000);
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

size_t format_double(double value, char* out) {
  const size_t n = detail::format_double_fast(value, out);
  if (n != 0) return n;
  return detail::format_double_general(value, out);
}

std::string format_double(double value) {
  char buf[kDoubleBufferSize];
  return std::string(buf, format_double(value, buf));
}

}  // namespace talpen::json
