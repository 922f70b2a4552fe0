#include "protocol/spec_reading.h"

#include <utility>

#include "core/decode_text.h"
#include "core/decode_value.h"
#include "json/reader.h"
#include "protocol/white_space.h"

namespace talpen::protocol {

Result<std::optional<ValidSpec>> read_handle_spec(std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  if (trimmed.empty() || trimmed == "{}") return std::optional<ValidSpec>();
  Result<GenSpec> decoded = decode_spec_text(trimmed);
  if (!decoded.ok()) return std::move(decoded).failure();
  Result<ValidSpec> valid = validate_spec(std::move(decoded).value());
  if (!valid.ok()) return std::move(valid).failure();
  return std::optional<ValidSpec>(std::move(valid).value());
}

Result<ValidSpec> read_spec_member(const json::JsonValue& member) {
  // The decoder only reads the member, so the command document stays as read
  // without a copy of it.
  Result<GenSpec> decoded = decode_spec_value(member);
  if (!decoded.ok()) return std::move(decoded).failure();
  return validate_spec(std::move(decoded).value());
}

Result<ValidSpec> read_spec_document(std::string_view text) {
  Result<json::JsonValue> document = json::parse_json(text);
  if (!document.ok()) return std::move(document).failure();
  return read_spec_member(document.value());
}

}  // namespace talpen::protocol
