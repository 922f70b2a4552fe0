// The text form of doubles.
//
// Digits. The general path takes the shortest round-trip digit string from
// std::to_chars in scientific form. libstdc++ implements it with Ryu (Ulf
// Adams, "Ryu: fast float-to-string conversion", PLDI 2018): the fewest
// significant digits whose decimal value rounds back to the input, and among
// those the one nearest to the input's exact value, ties to an even last
// digit. In scientific form the shortest text is exactly the one with the
// fewest digits, so the digits and the decimal exponent can be read back from
// it and laid out by our own rules. The fast path, inline, is in the header.
#include "json/format_double.h"

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

}  // namespace detail

std::string format_double(double value) {
  char buf[kDoubleBufferSize];
  return std::string(buf, format_double(value, buf));
}

}  // namespace talpen::json
