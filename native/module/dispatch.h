// The command protocol: one command document in, one response document out.
#ifndef TALPEN_MODULE_DISPATCH_H_
#define TALPEN_MODULE_DISPATCH_H_

#include <optional>
#include <string_view>

#include "core/spec.h"
#include "core/synth_error.h"
#include "json/writer.h"

namespace talpen::module {

inline constexpr std::string_view kVersion = "0.1.4";

// Reads `text` as a command document, runs the command it names against the
// handle's spec and appends the response to `out` (expected empty). Never
// fails: every SynthError becomes the error envelope
// {"ok":false,"error":"<prefix><message>"}. Only a successful "set_spec"
// changes `handle_spec`. The run behind a generate command is released before
// this returns, so that only the response text is left in memory.
// May throw std::bad_alloc or std::length_error when memory runs out; the
// handle is unchanged then.
void dispatch_command(std::optional<GenSpec>& handle_spec, std::string_view text, json::JsonWriter& out);

// The envelope {"ok":false,"error":"<prefix><message>"}, appended to `out`.
void write_error_envelope(json::JsonWriter& out, const SynthError& error);

}  // namespace talpen::module

#endif  // TALPEN_MODULE_DISPATCH_H_
