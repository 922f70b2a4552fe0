#include "module/requests.h"

#include <utility>

#include "core/decode_value.h"
#include "core/validate.h"
#include "json/error.h"

namespace talpen::module {

namespace {

// A present "spec" member is used whatever its value: null or a string is not
// "absent" but fails decoding like any other wrong type.
Result<GenSpec> decode_and_validate(const json::JsonValue& member) {
  // The decoder only reads the member, so the command document stays as read
  // without a copy of it.
  auto decoded = decode_spec_value(member);
  if (!decoded.ok()) return fail(ErrorKind::Parse, json::error_text(decoded.error()));
  if (auto broken = validate_spec(decoded.value())) return fail(ErrorKind::BadSpec, std::move(*broken));
  return std::move(decoded).value();
}

}  // namespace

Result<Unit> apply_set_spec(std::optional<GenSpec>& handle_spec, const json::JsonValue& document) {
  const json::JsonValue* member = document.find("spec");
  if (member == nullptr) return fail(ErrorKind::BadSpec, "set_spec requires a spec");
  auto spec = decode_and_validate(*member);
  if (!spec.ok()) return unexpected(std::move(spec).error());
  // Moving in cannot fail, so the handle holds either the old or the new spec.
  handle_spec = std::move(spec).value();
  return Unit{};
}

Result<GenSpec> resolve_request_spec(const std::optional<GenSpec>& handle_spec,
                                     const json::JsonValue& document) {
  if (const json::JsonValue* member = document.find("spec")) return decode_and_validate(*member);
  if (!handle_spec) return fail(ErrorKind::BadSpec, "no spec set");
  // Held specs were valid when stored and are never edited in place.
  return *handle_spec;
}

}  // namespace talpen::module
