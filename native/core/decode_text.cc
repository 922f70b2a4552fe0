#include "core/decode_text.h"

#include <string>
#include <utility>
#include <variant>

#include "core/spec_fields.h"
#include "core/spec_messages.h"
#include "json/reader.h"
#include "json/value.h"

namespace talpen {

namespace {

using json::JsonValue;
using json::ReadCode;

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Reads one spec straight from the text, field by field, in text order: the
// first fault met while reading is the answer, with the reader's position.
// Positions of the decoder's own messages are the bytes consumed when the
// message is made; syntax errors keep the reader's own placement.
class TextDecoder {
 public:
  explicit TextDecoder(std::string_view text) : r_(text) {}

  Error take_error() { return r_.take_error(); }

  bool read(GenSpec* out) { return read_record(kGenSpecRecord, out) && r_.finish_document(); }

 private:
  bool fail_here(std::string message) { return r_.fail_here(std::move(message)); }
  bool fail_here(ReadCode code) { return r_.fail_here(code); }
  bool fail_at_next(ReadCode code) { return r_.fail_at_next(code); }

  // Reads the scalar under the cursor in full, so that a type error can name
  // it, and leaves the cursor just past it. An array or object is not read:
  // the type error names it "sequence" or "map" with the cursor still before
  // its bracket. Returns false (the failure kept in the reader) for those and for syntax
  // errors.
  bool read_scalar(std::string_view expected, JsonValue* out) {
    const int c = r_.peek_after_ws();
    if (c < 0) return fail_here(ReadCode::EofValue);
    if (c == '[') return fail_here(invalid_type("sequence", expected));
    if (c == '{') return fail_here(invalid_type("map", expected));
    if (c == '"') {
      std::string s;
      if (!r_.read_string(&s)) return false;
      *out = JsonValue::string(std::move(s));
      return true;
    }
    if (c == '-' || is_digit(c)) return r_.read_number(out);
    if (c == 'n' || c == 't' || c == 'f') return r_.read_literal(out);
    return fail_at_next(ReadCode::ExpectedValue);
  }

  template <class R>
  bool read_record(const RecordDef<R>& shape, R* out) {
    const int c = r_.peek_after_ws();
    if (c == '{') return read_object(shape, out);
    if (c == '[') return read_array(shape, out);
    JsonValue found;
    if (!read_scalar(record_type_name(shape), &found)) return false;
    return fail_here(invalid_type(found, record_type_name(shape)));
  }

  // REQUIRES: peek() == '{'
  template <class R>
  bool read_object(const RecordDef<R>& shape, R* out) {
    if (!r_.begin_object()) return false;
    uint32_t seen = 0;
    bool first = true;
    std::string key;
    for (;;) {
      bool has = false;
      if (!r_.next_key(&first, &has, &key)) return false;
      if (!has) break;
      // Key faults are reported before the colon and value are read, placed
      // after the key and the whitespace that follows it.
      const size_t i = shape.index_of(key);
      if (i == shape.size()) {
        r_.peek_after_ws();
        return fail_here(unknown_field(shape, key));
      }
      if ((seen >> i) & 1u) {
        r_.peek_after_ws();
        return fail_here(duplicate_field(key));
      }
      seen |= 1u << i;
      if (!r_.object_colon()) return false;
      if (!read_field(shape.fields[i], out)) return false;
    }
    // A missing field is placed just past the closing brace.
    if (!r_.finish_object()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
      if (!((seen >> i) & 1u) && !shape.fields[i].optional) return fail_here(missing_field(shape.fields[i].key));
    }
    return true;
  }

  // REQUIRES: peek() == '['
  template <class R>
  bool read_array(const RecordDef<R>& shape, R* out) {
    if (!r_.begin_array()) return false;
    bool first = true;
    bool ended = false;
    for (size_t i = 0; i < shape.size(); ++i) {
      bool has = false;
      if (!ended) {
        if (!r_.next_element(&first, &has)) return false;
        ended = !has;
      }
      if (has) {
        if (!read_field(shape.fields[i], out)) return false;
      } else if (!shape.fields[i].optional) {
        // A short array is placed just past its closing bracket.
        if (!r_.finish_array()) return false;
        return fail_here(too_short(shape, i));
      }
    }
    // Surplus elements fail here with the reader's "trailing characters".
    return r_.finish_array();
  }

  // The field's value, read by the type of the member it fills.
  template <class R>
  bool read_field(const FieldDef<R>& field, R* out) {
    return std::visit([&](auto member) { return read_into(field.type, &(out->*member)); }, field.member);
  }

  bool read_into(std::string_view type, uint64_t* out) { return read_unsigned(type, out); }
  bool read_into(std::string_view, int64_t* out) { return read_signed(out); }
  bool read_into(std::string_view, double* out) { return read_double(out); }
  bool read_into(std::string_view, RegimeKind* out) { return read_kind(out); }
  bool read_into(std::string_view, std::vector<Regime>* out) { return read_regimes(out); }
  bool read_into(std::string_view, Microstructure* out) { return read_record(kMicrostructureRecord, out); }
  bool read_into(std::string_view, std::optional<FundingSpec>* out) { return read_funding(out); }

  // Number faults are placed just past the number.
  bool read_unsigned(std::string_view type, uint64_t* out) {
    JsonValue v;
    if (!read_scalar(type, &v)) return false;
    auto r = to_unsigned(v, type);
    if (!r.ok()) return fail_here(std::move(r.error().message));
    *out = r.value();
    return true;
  }

  bool read_signed(int64_t* out) {
    JsonValue v;
    if (!read_scalar(kI64, &v)) return false;
    auto r = to_signed(v);
    if (!r.ok()) return fail_here(std::move(r.error().message));
    *out = r.value();
    return true;
  }

  bool read_double(double* out) {
    JsonValue v;
    if (!read_scalar(kF64, &v)) return false;
    auto r = to_double(v);
    if (!r.ok()) return fail_here(std::move(r.error().message));
    *out = r.value();
    return true;
  }

  bool read_regimes(std::vector<Regime>* out) {
    const int c = r_.peek_after_ws();
    if (c != '[') {
      JsonValue found;
      if (!read_scalar(kSequence, &found)) return false;
      return fail_here(invalid_type(found, kSequence));
    }
    if (!r_.begin_array()) return false;
    out->clear();
    bool first = true;
    for (;;) {
      bool has = false;
      if (!r_.next_element(&first, &has)) return false;
      if (!has) break;
      Regime regime;
      if (!read_record(kRegimeRecord, &regime)) return false;
      out->push_back(regime);
    }
    return r_.finish_array();
  }

  bool read_funding(std::optional<FundingSpec>* out) {
    if (r_.peek_after_ws() == 'n') {
      // Only the literal null: "nul", "nulx" and the like are the reader's errors.
      JsonValue v;
      if (!r_.read_literal(&v)) return false;
      out->reset();
      return true;
    }
    FundingSpec funding;
    if (!read_record(kFundingSpecRecord, &funding)) return false;
    *out = funding;
    return true;
  }

  bool read_kind_name(RegimeKind* out) {
    std::string name;
    if (!r_.read_string(&name)) return false;
    const std::optional<RegimeKind> kind = regime_kind_from_name(name);
    if (!kind) return fail_here(unknown_variant(name));
    *out = *kind;
    return true;
  }

  // A name in a string, or an object holding exactly one member, the name
  // with the value null. Unlike records, a kind reports every other shape as
  // a syntax fault at the first byte that does not fit.
  bool read_kind(RegimeKind* out) {
    int c = r_.peek_after_ws();
    if (c < 0) return fail_here(ReadCode::EofValue);
    if (c == '"') return read_kind_name(out);
    if (c != '{') return fail_at_next(ReadCode::ExpectedValue);

    if (!r_.begin_object()) return false;
    c = r_.peek_after_ws();
    if (c < 0) return fail_here(ReadCode::EofObject);
    if (c == '}') return fail_at_next(ReadCode::ExpectedValue);
    if (c != '"') return fail_at_next(ReadCode::KeyMustBeString);
    if (!read_kind_name(out)) return false;
    if (!r_.object_colon()) return false;
    JsonValue unit;
    if (!read_scalar(kUnit, &unit)) return false;
    if (!unit.is_null()) return fail_here(invalid_type(unit, kUnit));
    r_.leave_level();
    c = r_.peek_after_ws();
    if (c < 0) return fail_here(ReadCode::EofObject);
    if (c != '}') return fail_at_next(ReadCode::ExpectedValue);
    r_.bump();
    return true;
  }

  json::TextReader r_;
};

}  // namespace

Result<GenSpec> decode_spec_text(std::string_view text) {
  TextDecoder decoder(text);
  GenSpec spec;
  if (!decoder.read(&spec)) return fail(decoder.take_error());
  return spec;
}

}  // namespace talpen
