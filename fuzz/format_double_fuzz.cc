// Fuzz target for the double formatter: the first 8 bytes are a double's bit
// pattern. A finite value must give a text of at most 24 bytes that reads back
// as the same bits and keeps the layout's shape; a non-finite one gives
// `null`. Where the round8 fast path answers, it must agree with the general
// path.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "json/format_double.h"

namespace {

void check_layout(const char* t, size_t n) {
  if (n == 0 || t[n - 1] == '.') __builtin_trap();
  const void* e = std::memchr(t, 'e', n);
  if (e == nullptr && std::memchr(t, '.', n) == nullptr) __builtin_trap();
  const char* plus = static_cast<const char*>(std::memchr(t, '+', n));
  if (plus != nullptr && (plus == t || plus[-1] != 'e')) __builtin_trap();
  // No fraction zero at the end except the single one of ".0".
  const size_t mantissa_len = e ? static_cast<const char*>(e) - t : n;
  if (t[mantissa_len - 1] == '0' && std::memchr(t, '.', mantissa_len) != nullptr) {
    if (mantissa_len < 2 || t[mantissa_len - 2] != '.') __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  uint64_t bits;
  std::memcpy(&bits, data, 8);
  const double v = std::bit_cast<double>(bits);
  char out[talpen::json::kDoubleBufferSize + 8];
  const size_t n = talpen::json::format_double(v, out);
  if (n > talpen::json::kDoubleBufferSize) __builtin_trap();
  if (!std::isfinite(v)) {
    if (n != 4 || std::memcmp(out, "null", 4) != 0) __builtin_trap();
    return 0;
  }
  check_layout(out, n);
  out[n] = '\0';
  char* end = nullptr;
  const double back = std::strtod(out, &end);
  if (end != out + n || std::bit_cast<uint64_t>(back) != bits) __builtin_trap();

  char fast[talpen::json::kDoubleBufferSize];
  const size_t fn = talpen::json::detail::format_double_fast(v, fast);
  if (fn != 0) {
    char general[talpen::json::kDoubleBufferSize];
    const size_t gn = talpen::json::detail::format_double_general(v, general);
    if (fn != gn || std::memcmp(fast, general, fn) != 0) __builtin_trap();
  }
  return 0;
}
