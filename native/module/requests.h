// The commands that involve a spec: which spec a request runs on, and when
// the handle's spec is replaced.
#ifndef TALPEN_MODULE_REQUESTS_H_
#define TALPEN_MODULE_REQUESTS_H_

#include <optional>

#include "core/spec.h"
#include "core/synth_error.h"
#include "json/value.h"

namespace talpen::module {

// "set_spec": decodes and validates the document's "spec" member and only then
// replaces `handle_spec`, so any failure leaves the handle as it was.
// Errors: BadSpec "set_spec requires a spec" without the member; Parse with
// the decoder's message; BadSpec with the validator's message.
Result<Unit> apply_set_spec(std::optional<GenSpec>& handle_spec, const json::JsonValue& document);

// The spec one generate request runs on: the document's own "spec" (decoded
// and validated, the handle's spec neither read nor changed), else a copy of
// the handle's spec, else BadSpec "no spec set".
Result<GenSpec> resolve_request_spec(const std::optional<GenSpec>& handle_spec,
                                     const json::JsonValue& document);

}  // namespace talpen::module

#endif  // TALPEN_MODULE_REQUESTS_H_
