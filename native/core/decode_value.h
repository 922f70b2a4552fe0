// decode_spec_value: reads a GenSpec from an already parsed JsonValue, as a
// command's "spec" member arrives. Messages carry no position.
#ifndef TALPEN_CORE_DECODE_VALUE_H_
#define TALPEN_CORE_DECODE_VALUE_H_

#include "base/result.h"
#include "core/spec.h"
#include "json/value.h"

namespace talpen {

// Errors are of kind Parse with line 0. Object members are visited in the
// value's (byte-sorted) key order. The spec is not validated.
Result<GenSpec> decode_spec_value(const json::JsonValue& value);

}  // namespace talpen

#endif  // TALPEN_CORE_DECODE_VALUE_H_
