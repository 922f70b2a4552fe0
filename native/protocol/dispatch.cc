#include "protocol/dispatch.h"

#include <string>
#include <utility>

#include "core/run.h"
#include "json/reader.h"
#include "json/value.h"
#include "protocol/request_spec.h"
#include "protocol/responses.h"
#include "protocol/version.h"

namespace talpen::protocol {

namespace {

// The answer is written while the run's records are alive, and a bar's text
// is never shorter than its records (the shortest candle object alone outgrows
// a candle with its trade offset and log return; a level object takes at
// least 23 bytes for 16, a trade 49 for 40): a run needs twice its records.
constexpr double kAnswerCopies = 2.0;

// Runs one command; on success its response has been written to `out`.
// On failure nothing has been written.
Status run_command(std::optional<ValidSpec>& handle_spec, const json::JsonValue& document,
                         json::JsonWriter& out) {
  // Only a string "cmd" names a command; an empty object has no "cmd" either.
  const json::JsonValue* cmd = document.is_object() ? document.find("cmd") : nullptr;
  if (cmd == nullptr || !cmd->is_string()) return fail(ErrorKind::BadSpec, "missing cmd");
  const std::string& name = cmd->as_string();

  // The names differ in length (7, 8, 15) except "set_spec"/"generate".
  switch (name.size()) {
    case 7:
      if (name == "version") {
        out.begin_object();
        out.write_key("version");
        out.write_string(kVersion);
        out.end_object();
        return ok_status();
      }
      break;
    case 8:
      if (name == "set_spec") {
        auto done = apply_set_spec(handle_spec, document);
        if (!done.ok()) return done;
        out.put(R"({"ok":true})");
        return ok_status();
      }
      if (name == "generate") {
        auto spec = resolve_request_spec(handle_spec, document);
        if (!spec.ok()) return std::move(spec).failure();
        auto batch = run_batch(spec.value(), kAnswerCopies);
        if (!batch.ok()) return std::move(batch).failure();
        write_generate_response(out, batch.value());
        return ok_status();
      }
      break;
    case 15:
      if (name == "generate_stream") {
        auto spec = resolve_request_spec(handle_spec, document);
        if (!spec.ok()) return std::move(spec).failure();
        auto stream = run_stream(spec.value(), kAnswerCopies);
        if (!stream.ok()) return std::move(stream).failure();
        write_stream_response(out, stream.value());
        return ok_status();
      }
      break;
    default:
      break;
  }
  return fail(ErrorKind::BadSpec, "unknown cmd: " + name);
}

}  // namespace

Status dispatch_command(std::optional<ValidSpec>& handle_spec, std::string_view text, json::JsonWriter& out) {
  Status outcome = ok_status();
  {
    Result<json::JsonValue> document = json::parse_json(text);
    outcome = document.ok() ? run_command(handle_spec, document.value(), out) : std::move(document).failure();
  }  // the document is released before the envelope is written
  if (outcome.ok()) return outcome;
  if (outcome.error().kind == ErrorKind::OutOfMemory) return outcome;
  write_error_envelope(out, outcome.error());
  return ok_status();
}

}  // namespace talpen::protocol
