// decode_spec_text: reads a GenSpec straight from JSON text, with the
// reader's grammar, messages and positions.
#ifndef TALPEN_CORE_DECODE_TEXT_H_
#define TALPEN_CORE_DECODE_TEXT_H_

#include <string_view>

#include "base/result.h"
#include "core/spec.h"

namespace talpen {

// The text holds exactly one spec and then only whitespace. Every error is of
// kind Parse and carries its position (line >= 1), counted from the start of
// `text`. The spec is not validated.
Result<GenSpec> decode_spec_text(std::string_view text);

}  // namespace talpen

#endif  // TALPEN_CORE_DECODE_TEXT_H_
