#include "core/spec_messages.h"

#include <limits>
#include <string>

#include "json/format_double.h"

namespace talpen {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex(std::string* out, uint32_t v) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = kHex[v & 0xF];
    v >>= 4;
  } while (v != 0);
  while (n > 0) out->push_back(digits[--n]);
}

// Length of the well-formed UTF-8 sequence at the start of `s` (shortest form,
// no surrogates, at most U+10FFFF) and its code point, or 0 when the first
// byte does not begin one.
size_t utf8_sequence(std::string_view s, uint32_t* cp) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  size_t len;
  uint32_t v;
  uint32_t min;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    len = 2, v = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, v = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, v = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b(i) & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

// Characters that would break a message's line or hide in it: the C0 and C1
// controls, DEL, and the Unicode line and paragraph separators.
bool printable(uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
  return cp != 0x2028 && cp != 0x2029;
}

std::string integer_text(const json::JsonValue& v) {
  if (v.number_class() == json::NumberClass::Unsigned) return std::to_string(v.as_unsigned());
  return std::to_string(v.as_negative());
}

std::string struct_name(std::string_view name) { return "struct " + std::string(name); }

std::string quoted_list(const std::string_view* keys, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) out += ", ";
    out += '`';
    out += keys[i];
    out += '`';
  }
  return out;
}

}  // namespace

std::string describe_string(std::string_view bytes) {
  std::string out = "string \"";
  out.reserve(out.size() + bytes.size() + 1);
  while (!bytes.empty()) {
    uint32_t cp = 0;
    const size_t len = utf8_sequence(bytes, &cp);
    if (len == 0) {
      // Not UTF-8 (host strings always are; other callers may not be).
      out += "\\x";
      const unsigned char c = static_cast<unsigned char>(bytes[0]);
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
      bytes.remove_prefix(1);
      continue;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case 0: out += "\\0"; break;
      default:
        if (printable(cp)) {
          out.append(bytes.data(), len);
        } else {
          out += "\\u{";
          append_hex(&out, cp);
          out += '}';
        }
    }
    bytes.remove_prefix(len);
  }
  out += '"';
  return out;
}

std::string describe_value(const json::JsonValue& value) {
  switch (value.kind()) {
    case json::JsonKind::Null: return "null";
    case json::JsonKind::Bool: return value.as_bool() ? "boolean `true`" : "boolean `false`";
    case json::JsonKind::Number:
      if (value.number_class() == json::NumberClass::Double) {
        return "floating point `" + json::format_double(value.as_double()) + "`";
      }
      return "integer `" + integer_text(value) + "`";
    case json::JsonKind::String: return describe_string(value.as_string());
    case json::JsonKind::Array: return "sequence";
    case json::JsonKind::Object: return "map";
  }
  return "";
}

std::string invalid_type(std::string_view found, std::string_view expected) {
  std::string out = "invalid type: ";
  out += found;
  out += ", expected ";
  out += expected;
  return out;
}

std::string invalid_type(const json::JsonValue& found, std::string_view expected) {
  return invalid_type(describe_value(found), expected);
}

std::string record_type_name(std::string_view name) { return struct_name(name); }

std::string unknown_field(std::string_view key, std::span<const std::string_view> keys) {
  return "unknown field `" + std::string(key) + "`, expected one of " + quoted_list(keys.data(), keys.size());
}

std::string too_short(std::string_view name, size_t i, size_t count) {
  return "invalid length " + std::to_string(i) + ", expected " + struct_name(name) + " with " +
         std::to_string(count) + " elements";
}

std::string missing_field(std::string_view key) { return "missing field `" + std::string(key) + "`"; }

std::string duplicate_field(std::string_view key) {
  return "duplicate field `" + std::string(key) + "`";
}

std::string unknown_variant(std::string_view name) {
  return "unknown variant `" + std::string(name) + "`, expected one of `trend`, `range`, `crash`, `vol`";
}

Result<uint64_t> to_unsigned(const json::JsonValue& value, std::string_view type) {
  if (value.is_number()) {
    switch (value.number_class()) {
      case json::NumberClass::Unsigned: return value.as_unsigned();
      case json::NumberClass::Negative:
        return fail(ErrorKind::Parse, "invalid value: " + describe_value(value) + ", expected " + std::string(type));
      case json::NumberClass::Double: break;
    }
  }
  return fail(ErrorKind::Parse, invalid_type(value, type));
}

Result<int64_t> to_signed(const json::JsonValue& value) {
  if (value.is_number()) {
    switch (value.number_class()) {
      case json::NumberClass::Unsigned:
        if (value.as_unsigned() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
          return static_cast<int64_t>(value.as_unsigned());
        }
        return fail(ErrorKind::Parse, "invalid value: " + describe_value(value) + ", expected " + std::string(kI64));
      case json::NumberClass::Negative: return value.as_negative();
      case json::NumberClass::Double: break;
    }
  }
  return fail(ErrorKind::Parse, invalid_type(value, kI64));
}

Result<double> to_double(const json::JsonValue& value) {
  if (value.is_number()) {
    switch (value.number_class()) {
      case json::NumberClass::Unsigned: return static_cast<double>(value.as_unsigned());
      case json::NumberClass::Negative: return static_cast<double>(value.as_negative());
      case json::NumberClass::Double: return value.as_double();
    }
  }
  return fail(ErrorKind::Parse, invalid_type(value, kF64));
}

}  // namespace talpen
