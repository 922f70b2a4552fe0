// The texts that both spec decoders build their messages from: how a JSON
// value found where another was expected is named, the messages about a
// record's keys and array form, and the number rules that turn a JSON number
// into a field of a given type.
#ifndef TALPEN_CORE_SPEC_MESSAGES_H_
#define TALPEN_CORE_SPEC_MESSAGES_H_

#include <cstddef>
#include <array>
#include <cstdint>
#include <span>
#include <tuple>
#include <string>
#include <string_view>

#include "base/result.h"
#include "core/spec_fields.h"
#include "json/value.h"

namespace talpen {

// "null", "boolean `true`", "integer `-1`", "floating point `0.5`",
// "string \"a\\\"b\"", "sequence" or "map".
std::string describe_value(const json::JsonValue& value);

// "string " and the bytes in double quotes, escaped so that the message stays
// on one line: \" \\ \t \n \r \0, other control characters and the line and
// paragraph separators as \u{hex}, a byte that begins no UTF-8 sequence as \xhh;
// printable text, non-ASCII included, unchanged.
std::string describe_string(std::string_view bytes);

// "invalid type: <found>, expected <expected>".
std::string invalid_type(std::string_view found, std::string_view expected);
std::string invalid_type(const json::JsonValue& found, std::string_view expected);

// "struct <name>".
std::string record_type_name(std::string_view name);
// "unknown field `<key>`, expected one of `a`, `b`, …" with the record's keys.
std::string unknown_field(std::string_view key, std::span<const std::string_view> keys);
// A required field at position i lies past the end of the array form:
// "invalid length <i>, expected struct <name> with <count> elements".
std::string too_short(std::string_view name, size_t i, size_t count);

// The record messages above for one record of the field tables.
template <class R>
std::string record_type_name(const RecordDef<R>& record) {
  return record_type_name(record.name);
}
template <class R>
std::string unknown_field(const RecordDef<R>& record, std::string_view key) {
  std::array<std::string_view, 8> keys;
  static_assert(std::tuple_size_v<decltype(keys)> >= kGenSpecFields.size());
  for (size_t i = 0; i < record.size(); ++i) keys[i] = record.fields[i].key;
  return unknown_field(key, std::span<const std::string_view>(keys.data(), record.size()));
}
template <class R>
std::string too_short(const RecordDef<R>& record, size_t i) {
  return too_short(record.name, i, record.size());
}

std::string missing_field(std::string_view key);
std::string duplicate_field(std::string_view key);
std::string unknown_variant(std::string_view name);

// A field's value from a value already read, or a Parse error (without
// position) that refuses it. Unsigned fields take only unsigned integers;
// signed ones integers in the i64 range; doubles any number, integers
// converted to the nearest double.
Result<uint64_t> to_unsigned(const json::JsonValue& value, std::string_view type);
Result<int64_t> to_signed(const json::JsonValue& value);
Result<double> to_double(const json::JsonValue& value);

}  // namespace talpen

#endif  // TALPEN_CORE_SPEC_MESSAGES_H_
