// Strict JSON reading in one pass over the text.
//
// Strings: the scan for the next '"', '\\' or control byte tests eight bytes at
// a time (SWAR: the "word has a byte less than n" and "word has a zero byte"
// tests of Hacker's Delight, section 6-1). Only the lowest flagged byte of a
// word is exact, which is all the scan needs. A string without escapes is
// copied once, straight from the text into its value.
//
// Numbers: the decimal digits are gathered into a 64-bit significand s and a
// decimal exponent E, digits that do not fit in s being dropped (integer digits
// raise E instead). The double is then computed by a fixed sequence of rounded
// steps: f = s rounded to the nearest double; while |E| > 308, f /= 1e308 and
// E += 308 (zero stays zero, a positive E is out of range); then f is
// multiplied by P[E] or divided by P[-E], P[k] being the double nearest to
// 10^k. When s < 2^53 and |E| <= 22 both operands are exact and the one
// rounding gives the nearest double; otherwise the result may differ from the
// nearest by a few units in the last place (7e23 reads as
// 6.999999999999999e+23). Decoded specs, and so every generated run, depend
// on these exact bits: a correctly rounding conversion would change them.
#include "json/reader.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace talpen::json {
namespace {

// Space, tab, LF and CR, as a bit set over the bytes 0..32.
constexpr uint64_t kWhitespaceBits = (1ULL << ' ') | (1ULL << '\t') | (1ULL << '\n') | (1ULL << '\r');

inline bool is_ws(unsigned char c) { return c <= ' ' && ((kWhitespaceBits >> c) & 1) != 0; }
inline bool is_digit(unsigned char c) { return static_cast<unsigned>(c - '0') < 10U; }

// s * 10 + digit fits in 64 bits unless s > kSigLimit, or s == kSigLimit and
// digit > 5, since 2^64 - 1 = kSigLimit * 10 + 5.
constexpr uint64_t kSigLimit = 1844674407370955161ULL;
inline bool significand_overflows(uint64_t s, unsigned digit) {
  return s > kSigLimit || (s == kSigLimit && digit > 5);
}
// Likewise for the exponent digits in a signed 32-bit integer (2^31 - 1).
constexpr int32_t kExpLimit = 214748364;

// P[k]: the double nearest to 10^k. Written as literals, which the compiler
// rounds correctly; computing them by repeated multiplication would not.
constexpr double kPow10[309] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18,
    1e19, 1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29, 1e30, 1e31, 1e32, 1e33, 1e34, 1e35,
    1e36, 1e37, 1e38, 1e39, 1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47, 1e48, 1e49, 1e50, 1e51, 1e52,
    1e53, 1e54, 1e55, 1e56, 1e57, 1e58, 1e59, 1e60, 1e61, 1e62, 1e63, 1e64, 1e65, 1e66, 1e67, 1e68, 1e69,
    1e70, 1e71, 1e72, 1e73, 1e74, 1e75, 1e76, 1e77, 1e78, 1e79, 1e80, 1e81, 1e82, 1e83, 1e84, 1e85, 1e86,
    1e87, 1e88, 1e89, 1e90, 1e91, 1e92, 1e93, 1e94, 1e95, 1e96, 1e97, 1e98, 1e99, 1e100, 1e101, 1e102, 1e103,
    1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118,
    1e119, 1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129, 1e130, 1e131, 1e132, 1e133,
    1e134, 1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142, 1e143, 1e144, 1e145, 1e146, 1e147, 1e148,
    1e149, 1e150, 1e151, 1e152, 1e153, 1e154, 1e155, 1e156, 1e157, 1e158, 1e159, 1e160, 1e161, 1e162, 1e163,
    1e164, 1e165, 1e166, 1e167, 1e168, 1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178,
    1e179, 1e180, 1e181, 1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191, 1e192, 1e193,
    1e194, 1e195, 1e196, 1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207, 1e208,
    1e209, 1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219, 1e220, 1e221, 1e222, 1e223,
    1e224, 1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238,
    1e239, 1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249, 1e250, 1e251, 1e252, 1e253,
    1e254, 1e255, 1e256, 1e257, 1e258, 1e259, 1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268,
    1e269, 1e270, 1e271, 1e272, 1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283,
    1e284, 1e285, 1e286, 1e287, 1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298,
    1e299, 1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308
};

// Hexadecimal digit values, -1 for other bytes.
constexpr std::array<int8_t, 256> kHexValue = [] {
  std::array<int8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    if (c >= '0' && c <= '9') {
      t[c] = static_cast<int8_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      t[c] = static_cast<int8_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      t[c] = static_cast<int8_t>(c - 'A' + 10);
    } else {
      t[c] = -1;
    }
  }
  return t;
}();

// The 16-bit unit of four hexadecimal digits, or -1 if any is not one.
inline int32_t hex4(const char* p) {
  const int32_t a = kHexValue[static_cast<unsigned char>(p[0])];
  const int32_t b = kHexValue[static_cast<unsigned char>(p[1])];
  const int32_t c = kHexValue[static_cast<unsigned char>(p[2])];
  const int32_t d = kHexValue[static_cast<unsigned char>(p[3])];
  if ((a | b | c | d) < 0) return -1;
  return (a << 12) | (b << 8) | (c << 4) | d;
}

void append_utf8(std::string* out, uint32_t cp) {
  char buf[4];
  size_t n;
  if (cp < 0x80) {
    buf[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out->append(buf, n);
}

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;

// The high bit of each byte of `w` that ends a plain run: '"', '\\' or a byte
// below 0x20. Borrows may flag bytes above the first true one, never below it.
inline uint64_t run_end_bytes(uint64_t w) {
  const uint64_t quote = w ^ (kOnes * '"');
  const uint64_t backslash = w ^ (kOnes * '\\');
  const uint64_t control = (w - kOnes * 0x20) & ~w;
  const uint64_t no_quote = (quote - kOnes) & ~quote;
  const uint64_t no_backslash = (backslash - kOnes) & ~backslash;
  return (control | no_quote | no_backslash) & kHighBits;
}

// The first '"', '\\' or control byte in [p, end), or end.
inline const char* scan_plain(const char* p, const char* end) {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, sizeof w);
      const uint64_t hits = run_end_bytes(w);
      if (hits != 0) return p + (std::countr_zero(hits) >> 3);
      p += 8;
    }
  }
  for (; p < end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20) return p;
  }
  return end;
}

}  // namespace

// ---- Cursor primitives -------------------------------------------------------

int TextReader::peek_after_ws() {
  const char* d = text_.data();
  const size_t n = text_.size();
  size_t i = pos_;
  while (i < n && is_ws(static_cast<unsigned char>(d[i]))) ++i;
  pos_ = i;
  return i < n ? static_cast<unsigned char>(d[i]) : -1;
}

bool TextReader::fail_here(std::string message) {
  error_ = error_at(ErrorKind::Parse, text_, pos_, std::move(message));
  return false;
}

bool TextReader::fail_here(ReadCode code) { return fail_here(std::string(read_message(code))); }

bool TextReader::fail_at_next(ReadCode code) {
  error_ = error_at(ErrorKind::Parse, text_, at_end() ? text_.size() : pos_ + 1,
                    std::string(read_message(code)));
  return false;
}

bool TextReader::fail_at(size_t p, ReadCode code) {
  pos_ = p < text_.size() ? p : text_.size();
  error_ = error_at(ErrorKind::Parse, text_, pos_, std::string(read_message(code)));
  return false;
}

// ---- Scalars -----------------------------------------------------------------

bool TextReader::read_string(std::string* out) {
  const char* const base = text_.data();
  const char* const end = base + text_.size();
  const char* p = base + pos_ + 1;  // past the opening quote
  const char* run_end = scan_plain(p, end);
  if (run_end < end && *run_end == '"') {
    out->assign(p, static_cast<size_t>(run_end - p));
    pos_ = static_cast<size_t>(run_end - base) + 1;
    return true;
  }

  // Escapes or an error: build the value run by run.
  out->clear();
  const auto offset = [base](const char* q) { return static_cast<size_t>(q - base); };
  for (;;) {
    out->append(p, static_cast<size_t>(run_end - p));
    if (run_end == end) return fail_at(text_.size(), ReadCode::EofString);
    const unsigned char c = static_cast<unsigned char>(*run_end);
    if (c == '"') {
      pos_ = offset(run_end) + 1;
      return true;
    }
    if (c != '\\') return fail_at(offset(run_end) + 1, ReadCode::ControlCharacter);

    p = run_end + 1;  // the byte after the backslash
    if (p == end) return fail_at(text_.size(), ReadCode::EofString);
    switch (*p) {
      case '"': out->push_back('"'); break;
      case '\\': out->push_back('\\'); break;
      case '/': out->push_back('/'); break;
      case 'b': out->push_back('\b'); break;
      case 'f': out->push_back('\f'); break;
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 't': out->push_back('\t'); break;
      case 'u': {
        // Errors among the four digits are reported at the fourth.
        if (end - p - 1 < 4) return fail_at(text_.size(), ReadCode::EofString);
        const int32_t unit = hex4(p + 1);
        p += 4;  // now at the fourth digit
        if (unit < 0) return fail_at(offset(p) + 1, ReadCode::InvalidEscape);
        if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_at(offset(p) + 1, ReadCode::LoneSurrogate);
        if (unit < 0xD800 || unit > 0xDBFF) {
          append_utf8(out, static_cast<uint32_t>(unit));
          break;
        }
        // A leading surrogate must be followed at once by "\u" and a
        // trailing one.
        ++p;
        if (p == end) return fail_at(text_.size(), ReadCode::EofString);
        if (*p != '\\') return fail_at(offset(p) + 1, ReadCode::UnexpectedEndOfHex);
        ++p;
        if (p == end) return fail_at(text_.size(), ReadCode::EofString);
        if (*p != 'u') return fail_at(offset(p) + 1, ReadCode::UnexpectedEndOfHex);
        if (end - p - 1 < 4) return fail_at(text_.size(), ReadCode::EofString);
        const int32_t trail = hex4(p + 1);
        p += 4;
        if (trail < 0) return fail_at(offset(p) + 1, ReadCode::InvalidEscape);
        if (trail < 0xDC00 || trail > 0xDFFF) return fail_at(offset(p) + 1, ReadCode::LoneSurrogate);
        const uint32_t cp = 0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) +
                            (static_cast<uint32_t>(trail) - 0xDC00);
        append_utf8(out, cp);
        break;
      }
      default:
        return fail_at(offset(p) + 1, ReadCode::InvalidEscape);
    }
    ++p;  // past the escape's last byte
    run_end = scan_plain(p, end);
  }
}

bool TextReader::read_number(JsonValue* out) {
  const char* const d = text_.data();
  const size_t n = text_.size();
  const auto digit_at = [d, n](size_t i) { return i < n && is_digit(static_cast<unsigned char>(d[i])); };
  size_t i = pos_;

  const bool negative = d[i] == '-';
  if (negative) {
    ++i;
    if (i == n) return fail_at(n, ReadCode::EofValue);
    if (!is_digit(static_cast<unsigned char>(d[i]))) return fail_at(i + 1, ReadCode::InvalidNumber);
  }

  uint64_t s = 0;
  // 64 bits: E cannot overflow however long the text; saturating it at the
  // 32-bit limits would change no result, as every non-zero significand is out
  // of range, or rounds to zero, long before.
  int64_t e10 = 0;
  bool integer = true;  // no fraction, no exponent, no dropped digit

  if (d[i] == '0') {
    ++i;
    if (digit_at(i)) return fail_at(i + 1, ReadCode::InvalidNumber);
  } else {
    s = static_cast<uint64_t>(d[i] - '0');
    ++i;
    while (digit_at(i)) {
      const unsigned digit = static_cast<unsigned>(d[i] - '0');
      if (significand_overflows(s, digit)) {
        integer = false;
        do {
          ++e10;
          ++i;
        } while (digit_at(i));
        break;
      }
      s = s * 10 + digit;
      ++i;
    }
  }

  if (i < n && d[i] == '.') {
    integer = false;
    ++i;
    if (i == n) return fail_at(n, ReadCode::EofValue);
    if (!is_digit(static_cast<unsigned char>(d[i]))) return fail_at(i + 1, ReadCode::InvalidNumber);
    do {
      const unsigned digit = static_cast<unsigned>(d[i] - '0');
      if (significand_overflows(s, digit)) {
        while (digit_at(i)) ++i;
        break;
      }
      s = s * 10 + digit;
      --e10;
      ++i;
    } while (digit_at(i));
  }

  if (i < n && (d[i] == 'e' || d[i] == 'E')) {
    integer = false;
    ++i;
    bool exp_negative = false;
    if (i < n && (d[i] == '+' || d[i] == '-')) {
      exp_negative = d[i] == '-';
      ++i;
    }
    if (i == n) return fail_at(n, ReadCode::EofValue);
    if (!is_digit(static_cast<unsigned char>(d[i]))) return fail_at(i + 1, ReadCode::InvalidNumber);
    int32_t x = 0;
    bool exp_overflow = false;
    do {
      const int32_t digit = d[i] - '0';
      if (x > kExpLimit || (x == kExpLimit && digit > 7)) {
        exp_overflow = true;
        while (digit_at(i)) ++i;
        break;
      }
      x = x * 10 + digit;
      ++i;
    } while (digit_at(i));
    if (exp_overflow) {
      // An exponent beyond 32 bits: infinite magnitude, or zero.
      if (s != 0 && !exp_negative) return fail_at(i, ReadCode::OutOfRange);
      pos_ = i;
      *out = JsonValue::floating(negative ? -0.0 : 0.0);
      return true;
    }
    e10 += exp_negative ? -static_cast<int64_t>(x) : static_cast<int64_t>(x);
  }
  pos_ = i;

  if (integer) {
    if (!negative) {
      *out = JsonValue::unsigned_integer(s);
    } else if (s != 0 && s <= (uint64_t{1} << 63)) {
      *out = JsonValue::negative_integer(static_cast<int64_t>(0 - s));
    } else {
      // "-0" and negatives below the signed range.
      *out = JsonValue::floating(-static_cast<double>(s));
    }
    return true;
  }

  double f = static_cast<double>(s);
  while (e10 > 308 || e10 < -308) {
    if (f == 0.0) {
      e10 = 0;
      break;
    }
    if (e10 > 0) return fail_at(i, ReadCode::OutOfRange);
    f /= 1e308;
    e10 += 308;
  }
  if (e10 >= 0) {
    f *= kPow10[e10];
    if (std::isinf(f)) return fail_at(i, ReadCode::OutOfRange);
  } else {
    f /= kPow10[-e10];
  }
  *out = JsonValue::floating(negative ? -f : f);
  return true;
}

bool TextReader::read_literal(JsonValue* out) {
  std::string_view word;
  JsonValue value;
  switch (peek()) {
    case 'n': word = "null"; break;
    case 't': word = "true"; value = JsonValue::boolean(true); break;
    default: word = "false"; value = JsonValue::boolean(false); break;
  }
  for (size_t k = 1; k < word.size(); ++k) {
    const size_t i = pos_ + k;
    if (i >= text_.size()) return fail_at(text_.size(), ReadCode::EofValue);
    if (text_[i] != word[k]) return fail_at(i + 1, ReadCode::ExpectedIdent);
  }
  pos_ += word.size();
  *out = std::move(value);
  return true;
}

// ---- Values and containers -----------------------------------------------------

bool TextReader::read_value(JsonValue* out) {
  const int c = peek_after_ws();
  switch (c) {
    case '"': {
      std::string s;
      if (!read_string(&s)) return false;
      *out = JsonValue::string(std::move(s));
      return true;
    }
    case '[': return read_array_value(out);
    case '{': return read_object_value(out);
    case 'n':
    case 't':
    case 'f': return read_literal(out);
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': return read_number(out);
    case -1: return fail_at(text_.size(), ReadCode::EofValue);
    default: return fail_at(pos_ + 1, ReadCode::ExpectedValue);
  }
}

bool TextReader::take_level() {
  if (budget_ <= 1) return fail_at(pos_ + 1, ReadCode::RecursionLimit);
  --budget_;
  ++pos_;
  return true;
}

bool TextReader::begin_array() { return take_level(); }
bool TextReader::begin_object() { return take_level(); }

bool TextReader::next_element(bool* first, bool* has) {
  int c = peek_after_ws();
  if (c == ']') {
    *has = false;
    return true;
  }
  if (c < 0) return fail_at(text_.size(), ReadCode::EofList);
  if (*first) {
    *first = false;
    *has = true;
    return true;
  }
  if (c != ',') return fail_at(pos_ + 1, ReadCode::ExpectedListEnd);
  ++pos_;
  c = peek_after_ws();
  if (c == ']') return fail_at(pos_ + 1, ReadCode::TrailingComma);
  if (c < 0) return fail_at(text_.size(), ReadCode::EofValue);
  *has = true;
  return true;
}

bool TextReader::next_key(bool* first, bool* has, std::string* key) {
  int c = peek_after_ws();
  if (c == '}') {
    *has = false;
    return true;
  }
  if (*first) {
    *first = false;
    if (c < 0) return fail_at(text_.size(), ReadCode::EofObject);
    if (c != '"') return fail_at(pos_ + 1, ReadCode::KeyMustBeString);
  } else {
    if (c < 0) return fail_at(text_.size(), ReadCode::EofObject);
    if (c != ',') return fail_at(pos_ + 1, ReadCode::ExpectedObjectEnd);
    ++pos_;
    c = peek_after_ws();
    if (c == '}') return fail_at(pos_ + 1, ReadCode::TrailingComma);
    if (c < 0) return fail_at(text_.size(), ReadCode::EofValue);
    if (c != '"') return fail_at(pos_ + 1, ReadCode::KeyMustBeString);
  }
  if (!read_string(key)) return false;
  *has = true;
  return true;
}

bool TextReader::object_colon() {
  const int c = peek_after_ws();
  if (c == ':') {
    ++pos_;
    return true;
  }
  if (c < 0) return fail_at(text_.size(), ReadCode::EofObject);
  return fail_at(pos_ + 1, ReadCode::ExpectedColon);
}

bool TextReader::finish_array() {
  int c = peek_after_ws();
  if (c == ']') {
    ++pos_;
    leave_level();
    return true;
  }
  if (c < 0) return fail_at(text_.size(), ReadCode::EofList);
  if (c == ',') {
    ++pos_;
    c = peek_after_ws();
    return fail_at(pos_ + 1, c == ']' ? ReadCode::TrailingComma : ReadCode::TrailingCharacters);
  }
  return fail_at(pos_ + 1, ReadCode::TrailingCharacters);
}

bool TextReader::finish_object() {
  const int c = peek_after_ws();
  if (c == '}') {
    ++pos_;
    leave_level();
    return true;
  }
  if (c < 0) return fail_at(text_.size(), ReadCode::EofObject);
  return fail_at(pos_ + 1, ReadCode::ExpectedObjectEnd);
}

bool TextReader::finish_document() {
  if (peek_after_ws() < 0) return true;
  return fail_at(pos_ + 1, ReadCode::TrailingCharacters);
}

// Recursion here is bounded by the nesting budget: at most 127 levels.
bool TextReader::read_array_value(JsonValue* out) {
  if (!begin_array()) return false;
  std::vector<JsonValue> elements;
  bool first = true;
  bool has = false;
  for (;;) {
    if (!next_element(&first, &has)) return false;
    if (!has) break;
    elements.emplace_back();
    if (!read_value(&elements.back())) return false;
  }
  ++pos_;  // the ']' that next_element stopped at
  leave_level();
  *out = JsonValue::array(std::move(elements));
  return true;
}

bool TextReader::read_object_value(JsonValue* out) {
  if (!begin_object()) return false;
  // Members in text order; JsonValue::object sorts them and keeps the last
  // of repeated keys.
  std::vector<JsonValue::Member> members;
  std::string key;
  bool first = true;
  bool has = false;
  for (;;) {
    if (!next_key(&first, &has, &key)) return false;
    if (!has) break;
    if (!object_colon()) return false;
    members.push_back(JsonValue::Member{std::move(key), JsonValue()});
    if (!read_value(&members.back().value)) return false;
  }
  ++pos_;  // the '}' that next_key stopped at
  leave_level();
  *out = JsonValue::object(std::move(members));
  return true;
}

Result<JsonValue> parse_json(std::string_view text) {
  TextReader reader(text);
  JsonValue value;
  if (!reader.read_value(&value) || !reader.finish_document()) return fail(reader.take_error());
  return value;
}

}  // namespace talpen::json
