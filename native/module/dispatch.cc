#include "module/dispatch.h"

#include <string>
#include <utility>

#include "core/drivers.h"
#include "core/run_budget.h"
#include "json/error.h"
#include "json/reader.h"
#include "json/value.h"
#include "module/requests.h"
#include "module/responses.h"

namespace talpen::module {

namespace {

// The answer is written while the run's records are alive, and a bar's text
// is never shorter than its records (the shortest candle object alone outgrows
// a candle with its trade offset and log return; a level object takes at
// least 23 bytes for 16, a trade 49 for 40): a run needs twice its records.
constexpr double kAnswerCopies = 2.0;

// Runs one command; on success its response has been written to `out`.
// On failure nothing has been written.
Result<Unit> run_command(std::optional<GenSpec>& handle_spec, const json::JsonValue& document,
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
        return Unit{};
      }
      break;
    case 8:
      if (name == "set_spec") {
        auto done = apply_set_spec(handle_spec, document);
        if (!done.ok()) return done;
        out.put(R"({"ok":true})");
        return Unit{};
      }
      if (name == "generate") {
        auto spec = resolve_request_spec(handle_spec, document);
        if (!spec.ok()) return unexpected(std::move(spec).error());
        check_run_fits(spec.value(), kAnswerCopies);
        auto batch = run_batch(spec.value());
        if (!batch.ok()) return unexpected(std::move(batch).error());
        write_generate_response(out, batch.value());
        return Unit{};
      }
      break;
    case 15:
      if (name == "generate_stream") {
        auto spec = resolve_request_spec(handle_spec, document);
        if (!spec.ok()) return unexpected(std::move(spec).error());
        check_run_fits(spec.value(), kAnswerCopies);
        auto stream = run_stream(spec.value());
        if (!stream.ok()) return unexpected(std::move(stream).error());
        write_stream_response(out, stream.value());
        return Unit{};
      }
      break;
    default:
      break;
  }
  return fail(ErrorKind::BadSpec, "unknown cmd: " + name);
}

}  // namespace

void write_error_envelope(json::JsonWriter& out, const SynthError& error) {
  out.begin_object();
  out.write_key("ok");
  out.put("false");
  out.write_key("error");
  out.write_string(error.text());
  out.end_object();
}

void dispatch_command(std::optional<GenSpec>& handle_spec, std::string_view text, json::JsonWriter& out) {
  Result<Unit> outcome = Unit{};
  {
    auto document = json::parse_json(text);
    if (document.ok()) {
      outcome = run_command(handle_spec, document.value(), out);
    } else {
      outcome = fail(ErrorKind::Parse, json::error_text(document.error()));
    }
  }  // the document is released before the envelope is written
  if (!outcome.ok()) write_error_envelope(out, outcome.error());
}

}  // namespace talpen::module
