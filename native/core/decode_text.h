// decode_spec_text: reads a GenSpec straight from JSON text, with the
// reader's grammar, messages and positions.
#ifndef TALPEN_CORE_DECODE_TEXT_H_
#define TALPEN_CORE_DECODE_TEXT_H_

#include <string_view>

#include "core/spec.h"
#include "json/error.h"
#include "json/expected.h"

namespace talpen {

// The text holds exactly one spec and then only whitespace. Every error
// carries its position (line >= 1), counted from the start of `text`.
Expected<GenSpec, json::JsonError> decode_spec_text(std::string_view text);

}  // namespace talpen

#endif  // TALPEN_CORE_DECODE_TEXT_H_
