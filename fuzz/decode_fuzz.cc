// Reads the same bytes as a spec both ways: straight from the text, and
// through parse_json + decode_spec_value. Neither may crash; where the text
// repeats no key the two must agree on acceptance and on the records, and
// every accepted spec goes through validation.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "core/decode_text.h"
#include "core/decode_value.h"
#include "core/validate.h"
#include "base/error.h"
#include "json/reader.h"

namespace {

using talpen::json::JsonValue;
using talpen::json::TextReader;

// Walks one value of text that parse_json has accepted, setting *repeated when
// an object holds a key twice. Recursion is bounded by the nesting budget.
bool walk(TextReader* r, bool* repeated) {
  const int c = r->peek_after_ws();
  bool first = true;
  bool has = false;
  if (c == '[') {
    if (!r->begin_array()) return false;
    for (;;) {
      if (!r->next_element(&first, &has)) return false;
      if (!has) break;
      if (!walk(r, repeated)) return false;
    }
    return r->finish_array();
  }
  if (c == '{') {
    if (!r->begin_object()) return false;
    std::set<std::string> keys;
    std::string key;
    for (;;) {
      if (!r->next_key(&first, &has, &key)) return false;
      if (!has) break;
      if (!keys.insert(key).second) *repeated = true;
      if (!r->object_colon() || !walk(r, repeated)) return false;
    }
    return r->finish_object();
  }
  JsonValue scalar;
  return r->read_value(&scalar);
}

// Messages that only the decoder makes, including the two syntax messages it
// also raises for text that the reader accepts (a kind in another shape, an
// array form with surplus elements).
bool decoder_message(std::string_view m) {
  for (std::string_view prefix : {"invalid type: ", "invalid value: ", "invalid length ", "missing field ",
                                  "unknown field ", "unknown variant ", "duplicate field "}) {
    if (m.starts_with(prefix)) return true;
  }
  return m == "expected value" || m == "trailing characters";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const auto from_text = talpen::decode_spec_text(text);
  if (!from_text.ok()) {
    // Every message read from text carries a position within the text.
    const talpen::Error& e = from_text.error();
    if (e.line == 0 || e.message.empty()) __builtin_trap();
    (void)e.located();
  } else {
    (void)talpen::validate_spec(from_text.value());
  }

  const auto parsed = talpen::json::parse_json(text);
  if (!parsed.ok()) {
    // The text path reads by the same grammar, so it cannot accept either;
    // and when it stops at a syntax fault, it is the reader's first fault, at
    // the reader's place.
    if (from_text.ok()) __builtin_trap();
    if (!decoder_message(from_text.error().message) &&
        from_text.error().located() != parsed.error().located()) {
      __builtin_trap();
    }
    return 0;
  }
  const auto from_value = talpen::decode_spec_value(parsed.value());
  if (!from_value.ok()) {
    if (from_value.error().line != 0 || from_value.error().message.empty()) __builtin_trap();
  } else {
    (void)talpen::validate_spec(from_value.value());
  }

  TextReader reader(text);
  bool repeated = false;
  if (!walk(&reader, &repeated)) __builtin_trap();  // parse_json accepted this text
  if (repeated) {
    // The text path reads every value, so a repeated key anywhere is refused.
    if (from_text.ok()) __builtin_trap();
    return 0;
  }
  if (from_text.ok() != from_value.ok()) __builtin_trap();
  if (from_text.ok() && !(from_text.value() == from_value.value())) __builtin_trap();
  return 0;
}
