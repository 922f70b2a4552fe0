// The command protocol: one command document in, one response document out.
#ifndef TALPEN_PROTOCOL_DISPATCH_H_
#define TALPEN_PROTOCOL_DISPATCH_H_

#include <optional>
#include <string_view>

#include "base/result.h"
#include "core/validate.h"
#include "json/writer.h"

namespace talpen::protocol {

// Reads `text` as a command document, runs the command it names against the
// handle's spec and appends the response to `out` (expected empty). Every
// failure but exhausted memory becomes the error envelope
// {"ok":false,"error":"<prefix><message>"} and the result is ok. Only a
// successful "set_spec" changes `handle_spec`. The run behind a generate
// command is released before this returns, so that only the response text is
// left in memory.
// OutOfMemory when a run could not fit in memory; `out` then holds nothing of
// use and the handle is unchanged. Allocation failures may still throw
// std::bad_alloc (or std::length_error from a container), the handle
// unchanged then too.
Status dispatch_command(std::optional<ValidSpec>& handle_spec, std::string_view text, json::JsonWriter& out);

}  // namespace talpen::protocol

#endif  // TALPEN_PROTOCOL_DISPATCH_H_
