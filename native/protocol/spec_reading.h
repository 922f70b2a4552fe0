// The three ways a spec arrives, each read to a valid spec or an Error:
// the text given to a new handle, a command's "spec" member, and a text read
// as such a member (the tables module's input).
#ifndef TALPEN_PROTOCOL_SPEC_READING_H_
#define TALPEN_PROTOCOL_SPEC_READING_H_

#include <optional>
#include <string_view>

#include "base/result.h"
#include "core/validate.h"
#include "json/value.h"

namespace talpen::protocol {

// A handle's spec text: trimmed of Unicode white space at both ends (a spec
// pasted from a document or a terminal often carries it); empty or exactly
// "{}" gives no spec (nullopt). Otherwise decoded straight from the text
// (Parse, positions counted from the trimmed text) and validated (BadSpec).
Result<std::optional<ValidSpec>> read_handle_spec(std::string_view text);

// A command's "spec" member, whatever its value: null or a string is not
// "absent" but fails decoding like any other wrong type (Parse, no position),
// then validated (BadSpec).
Result<ValidSpec> read_spec_member(const json::JsonValue& member);

// A text read exactly as a "spec" member: parsed as one JSON document (Parse
// with the reader's message and position), then read_spec_member.
Result<ValidSpec> read_spec_document(std::string_view text);

}  // namespace talpen::protocol

#endif  // TALPEN_PROTOCOL_SPEC_READING_H_
