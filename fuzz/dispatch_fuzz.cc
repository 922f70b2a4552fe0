// Drives the command protocol on arbitrary command text, against a handle
// that holds a small spec, and checks that every answer is one JSON document
// of a documented shape:
//   {"version":"…"}   {"ok":true}   {"ok":false,"error":"…"}
//   {"candles":[…],"book_snapshots":[…],"trades":[…](,"funding":[…])}
//   {"events":[…]}
// and that a failed command leaves the handle's spec as it was. Commands
// whose own spec would run long (more than a few thousand bars or levels)
// are skipped, so that every input runs in a moment.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "json/reader.h"
#include "json/value.h"
#include "json/writer.h"
#include "protocol/dispatch.h"
#include "protocol/spec_reading.h"

namespace {

using talpen::ValidSpec;
using talpen::json::JsonValue;

constexpr uint64_t kMaxWork = 20000;

const char kHandleSpec[] =
    R"({"seed":7,"bars":4,"start_price":100.0,"regimes":[{"kind":"trend","len":4,"drift":0.001,"vol":0.01}],)"
    R"("microstructure":{"book_depth":2,"spread_bps":5.0,"trade_rate":1.5,)"
    R"("funding":{"interval_bars":2,"base_rate":0.0001,"sensitivity":0.5}}})";

bool cheap(const JsonValue& document) {
  const JsonValue* member = document.is_object() ? document.find("spec") : nullptr;
  if (member == nullptr) return true;
  auto spec = talpen::protocol::read_spec_member(*member);
  if (!spec.ok()) return true;
  const uint64_t bars = spec.value()->bars;
  const uint64_t depth = spec.value()->microstructure.book_depth;
  const double rate = spec.value()->microstructure.trade_rate;
  return bars <= kMaxWork && depth <= kMaxWork && bars * (depth + 1) <= kMaxWork && rate <= 50.0;
}

bool is_array_member(const JsonValue& v, const char* key) {
  const JsonValue* m = v.find(key);
  return m != nullptr && m->is_array();
}

bool documented_shape(const JsonValue& v) {
  if (!v.is_object()) return false;
  const size_t n = v.members().size();
  if (const JsonValue* version = v.find("version")) return n == 1 && version->is_string();
  if (const JsonValue* ok = v.find("ok")) {
    if (!ok->is_bool()) return false;
    if (ok->as_bool()) return n == 1;
    const JsonValue* error = v.find("error");
    return n == 2 && error != nullptr && error->is_string() && !error->as_string().empty();
  }
  if (v.find("events") != nullptr) return n == 1 && is_array_member(v, "events");
  const bool grouped = is_array_member(v, "candles") && is_array_member(v, "book_snapshots") &&
                       is_array_member(v, "trades");
  if (n == 4) return grouped && is_array_member(v, "funding");
  return n == 3 && grouped;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto document = talpen::json::parse_json(text); document.ok() && !cheap(document.value())) return 0;

  static const ValidSpec held = *talpen::protocol::read_handle_spec(kHandleSpec).value();
  std::optional<ValidSpec> handle = held;
  talpen::json::JsonWriter out;
  const talpen::Status done = talpen::protocol::dispatch_command(handle, text, out);
  if (!done.ok()) __builtin_trap();  // small runs never exhaust memory

  auto answer = talpen::json::parse_json(std::string_view(out.data(), out.size()));
  if (!answer.ok() || !documented_shape(answer.value())) __builtin_trap();
  const JsonValue* ok = answer.value().find("ok");
  const bool failed = ok != nullptr && !ok->as_bool();
  if (failed && !(handle.has_value() && handle->get() == held.get())) __builtin_trap();
  return 0;
}
