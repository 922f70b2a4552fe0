// The commands that involve a spec: which spec a request runs on, and when
// the handle's spec is replaced.
#ifndef TALPEN_PROTOCOL_REQUEST_SPEC_H_
#define TALPEN_PROTOCOL_REQUEST_SPEC_H_

#include <optional>

#include "base/result.h"
#include "core/validate.h"
#include "json/value.h"

namespace talpen::protocol {

// "set_spec": reads the document's "spec" member and only then replaces
// `handle_spec`, so any failure leaves the handle as it was.
// Errors: BadSpec "set_spec requires a spec" without the member; else those
// of read_spec_member.
Status apply_set_spec(std::optional<ValidSpec>& handle_spec, const json::JsonValue& document);

// The spec one generate request runs on: the document's own "spec" (read and
// validated, the handle's spec neither read nor changed), else a copy of the
// handle's spec, else BadSpec "no spec set".
Result<ValidSpec> resolve_request_spec(const std::optional<ValidSpec>& handle_spec,
                                       const json::JsonValue& document);

}  // namespace talpen::protocol

#endif  // TALPEN_PROTOCOL_REQUEST_SPEC_H_
