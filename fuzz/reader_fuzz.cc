// Fuzz target for the JSON reader. Whatever the bytes, parsing must neither
// crash nor misreport a position; an accepted document written back as compact
// JSON must read again, as the same value.
//
// Doubles: reading rounds in several steps, so the shortest text of a double
// need not read back as that very double. It must when the text has at most
// 15 significant digits and a decimal exponent within +-22 (one exact operand
// pair, one rounding); otherwise it must land within four units in the last
// place.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/format_double.h"
#include "json/reader.h"
#include "json/writer.h"

namespace {

using talpen::json::JsonKind;
using talpen::json::JsonValue;
using talpen::json::JsonWriter;
using talpen::json::NumberClass;

constexpr uint64_t kMaxUlps = 4;

void write_value(const JsonValue& v, JsonWriter& w) {
  switch (v.kind()) {
    case JsonKind::Null: w.put("null"); break;
    case JsonKind::Bool: w.put(v.as_bool() ? "true" : "false"); break;
    case JsonKind::Number:
      switch (v.number_class()) {
        case NumberClass::Unsigned: w.write_u64(v.as_unsigned()); break;
        case NumberClass::Negative: w.write_i64(v.as_negative()); break;
        case NumberClass::Double: w.write_f64(v.as_double()); break;
      }
      break;
    case JsonKind::String: w.write_string(v.as_string()); break;
    case JsonKind::Array: {
      w.put('[');
      bool first = true;
      for (const JsonValue& e : v.elements()) {
        if (!first) w.put(',');
        first = false;
        write_value(e, w);
      }
      w.put(']');
      break;
    }
    case JsonKind::Object:
      w.begin_object();
      for (const JsonValue::Member& m : v.members()) {
        w.write_key(m.key);
        write_value(m.value, w);
      }
      w.end_object();
      break;
  }
}

// Whether the shortest text of `d` is one the reader converts exactly: at
// most 15 significant digits and a decimal exponent within +-22.
bool reads_exactly(double d) {
  const std::string text = talpen::json::format_double(d);
  const size_t e = text.find('e');
  long exponent = e == std::string::npos ? 0 : std::strtol(text.c_str() + e + 1, nullptr, 10);
  std::string digits;
  bool in_fraction = false;
  for (size_t i = 0; i < (e == std::string::npos ? text.size() : e); ++i) {
    const char c = text[i];
    if (c == '.') {
      in_fraction = true;
    } else if (c >= '0' && c <= '9') {
      if (in_fraction) --exponent;
      if (!digits.empty() || c != '0') digits.push_back(c);
    }
  }
  return digits.size() <= 15 && exponent >= -22 && exponent <= 22;
}

uint64_t ulp_distance(double a, double b) {
  const auto ordered = [](double d) {
    const uint64_t bits = std::bit_cast<uint64_t>(d);
    return (bits >> 63) ? -static_cast<int64_t>(bits & ~(uint64_t{1} << 63)) : static_cast<int64_t>(bits);
  };
  const int64_t x = ordered(a);
  const int64_t y = ordered(b);
  return x > y ? static_cast<uint64_t>(x) - static_cast<uint64_t>(y)
               : static_cast<uint64_t>(y) - static_cast<uint64_t>(x);
}

// `again` is `first` written and read back.
bool same(const JsonValue& first, const JsonValue& again) {
  if (first.kind() != again.kind()) return false;
  switch (first.kind()) {
    case JsonKind::Number: {
      if (first.number_class() != again.number_class()) return false;
      if (first.number_class() != NumberClass::Double) return first == again;
      const double a = first.as_double();
      const double b = again.as_double();
      if (std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b)) return true;
      return !reads_exactly(a) && ulp_distance(a, b) <= kMaxUlps;
    }
    case JsonKind::Array: {
      const auto& x = first.elements();
      const auto& y = again.elements();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!same(x[i], y[i])) return false;
      }
      return true;
    }
    case JsonKind::Object: {
      const auto& x = first.members();
      const auto& y = again.members();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (x[i].key != y[i].key || !same(x[i].value, y[i].value)) return false;
      }
      return true;
    }
    default: return first == again;
  }
}

// Line and column must lie within the text.
bool position_in_text(std::string_view text, const talpen::Error& e) {
  if (e.line == 0) return false;
  uint64_t lines = 1;
  for (char c : text) lines += c == '\n';
  return e.line <= lines && e.column <= text.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto first = talpen::json::parse_json(text);
  if (!first.ok()) {
    if (!position_in_text(text, first.error())) __builtin_trap();
    return 0;
  }
  JsonWriter w;
  write_value(first.value(), w);
  const auto again = talpen::json::parse_json(w.view());
  if (!again.ok() || !same(first.value(), again.value())) __builtin_trap();
  return 0;
}
