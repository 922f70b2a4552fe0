#include "protocol/request_spec.h"

#include <utility>

#include "protocol/spec_reading.h"

namespace talpen::protocol {

Status apply_set_spec(std::optional<ValidSpec>& handle_spec, const json::JsonValue& document) {
  const json::JsonValue* member = document.find("spec");
  if (member == nullptr) return fail(ErrorKind::BadSpec, "set_spec requires a spec");
  Result<ValidSpec> spec = read_spec_member(*member);
  if (!spec.ok()) return std::move(spec).failure();
  // Moving in cannot fail, so the handle holds either the old or the new spec.
  handle_spec = std::move(spec).value();
  return ok_status();
}

Result<ValidSpec> resolve_request_spec(const std::optional<ValidSpec>& handle_spec,
                                       const json::JsonValue& document) {
  if (const json::JsonValue* member = document.find("spec")) return read_spec_member(*member);
  if (!handle_spec) return fail(ErrorKind::BadSpec, "no spec set");
  // Held specs were valid when stored and are never edited in place.
  return *handle_spec;
}

}  // namespace talpen::protocol
