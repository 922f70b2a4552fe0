// decode_spec_value: reads a GenSpec from an already parsed JsonValue, as a
// command's "spec" member arrives. Messages carry no position.
#ifndef TALPEN_CORE_DECODE_VALUE_H_
#define TALPEN_CORE_DECODE_VALUE_H_

#include "core/spec.h"
#include "json/error.h"
#include "json/expected.h"
#include "json/value.h"

namespace talpen {

// Errors have line 0. Object members are visited in the value's (byte-sorted)
// key order.
Expected<GenSpec, json::JsonError> decode_spec_value(const json::JsonValue& value);

}  // namespace talpen

#endif  // TALPEN_CORE_DECODE_VALUE_H_
