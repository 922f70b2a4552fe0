// The texts that both spec decoders build their messages from: how a JSON
// value found where another was expected is named, the shape of each record
// (its name, key list and which fields may be absent), and the number rules
// that turn a JSON number into a field of a given type.
#ifndef TALPEN_CORE_DESCRIBE_H_
#define TALPEN_CORE_DESCRIBE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/spec.h"
#include "json/expected.h"
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

// The name, key list and defaultable fields of one record. Keys are matched
// byte for byte; the list is also the order of the missing-field check and of
// the array form, and is quoted when a key is not recognised.
struct RecordShape {
  std::string_view name;  // "GenSpec", quoted as "struct GenSpec"
  const std::string_view* keys;
  size_t count;
  uint32_t optional_mask;  // bit i set: field i may be absent

  bool optional(size_t i) const { return (optional_mask >> i) & 1u; }
  // The field's position, or `count` when the key is not in the list.
  size_t index_of(std::string_view key) const;
  std::string type_name() const;  // "struct GenSpec"
  std::string unknown_field(std::string_view key) const;
  // A required field at position i lies past the end of the array form.
  std::string too_short(size_t i) const;
};

// start_ts and bar_secs (3 and 4) have defaults; so does funding (3), absent.
inline constexpr RecordShape kGenSpecShape{"GenSpec", kGenSpecKeys.data(), kGenSpecKeys.size(), 0b11000};
inline constexpr RecordShape kRegimeShape{"Regime", kRegimeKeys.data(), kRegimeKeys.size(), 0};
inline constexpr RecordShape kMicrostructureShape{"Microstructure", kMicrostructureKeys.data(),
                                                  kMicrostructureKeys.size(), 0b1000};
inline constexpr RecordShape kFundingSpecShape{"FundingSpec", kFundingSpecKeys.data(),
                                               kFundingSpecKeys.size(), 0};

std::string missing_field(std::string_view key);
std::string duplicate_field(std::string_view key);
std::string unknown_variant(std::string_view name);

// Type names used after "expected".
inline constexpr std::string_view kU64 = "u64";
inline constexpr std::string_view kUsize = "usize";
inline constexpr std::string_view kI64 = "i64";
inline constexpr std::string_view kF64 = "f64";
inline constexpr std::string_view kSequence = "a sequence";
inline constexpr std::string_view kUnit = "unit";

// A field's value from a value already read, or the message that refuses it.
// Unsigned fields take only unsigned integers; signed ones integers in the
// i64 range; doubles any number, integers converted to the nearest double.
Expected<uint64_t, std::string> to_unsigned(const json::JsonValue& value, std::string_view type);
Expected<int64_t, std::string> to_signed(const json::JsonValue& value);
Expected<double, std::string> to_double(const json::JsonValue& value);

}  // namespace talpen

#endif  // TALPEN_CORE_DESCRIBE_H_
