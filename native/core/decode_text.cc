#include "core/decode_text.h"

#include <string>
#include <utility>

#include "core/describe.h"
#include "json/reader.h"
#include "json/value.h"

namespace talpen {

namespace {

using json::JsonError;
using json::JsonValue;

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Reads one spec straight from the text, field by field, in text order: the
// first fault met while reading is the answer, with the reader's position.
// Positions of the decoder's own messages are the bytes consumed when the
// message is made; syntax errors keep the reader's own placement.
class TextDecoder {
 public:
  explicit TextDecoder(std::string_view text) : r_(text) {}

  const JsonError& error() const { return err_; }

  bool read(GenSpec* out) {
    return read_record(kGenSpecShape, out) && r_.finish_document(&err_);
  }

 private:
  bool fail(JsonError e) {
    err_ = std::move(e);
    return false;
  }
  bool fail_here(std::string message) { return fail(r_.error_here(std::move(message))); }
  bool fail_at_next(std::string message) { return fail(r_.error_at_next(std::move(message))); }

  // Reads the scalar under the cursor in full, so that a type error can name
  // it, and leaves the cursor just past it. An array or object is not read:
  // the type error names it "sequence" or "map" with the cursor still before
  // its bracket. Returns false with err_ set for those and for syntax errors.
  bool read_scalar(std::string_view expected, JsonValue* out) {
    const int c = r_.peek_after_ws();
    if (c < 0) return fail_here("EOF while parsing a value");
    if (c == '[') return fail_here(invalid_type("sequence", expected));
    if (c == '{') return fail_here(invalid_type("map", expected));
    if (c == '"') {
      std::string s;
      if (!r_.read_string(&s, &err_)) return false;
      *out = JsonValue::string(std::move(s));
      return true;
    }
    if (c == '-' || is_digit(c)) return r_.read_number(out, &err_);
    if (c == 'n' || c == 't' || c == 'f') return r_.read_literal(out, &err_);
    return fail_at_next("expected value");
  }

  template <class R>
  bool read_record(const RecordShape& shape, R* out) {
    const int c = r_.peek_after_ws();
    if (c == '{') return read_object(shape, out);
    if (c == '[') return read_array(shape, out);
    JsonValue found;
    if (!read_scalar(shape.type_name(), &found)) return false;
    return fail_here(invalid_type(found, shape.type_name()));
  }

  // REQUIRES: peek() == '{'
  template <class R>
  bool read_object(const RecordShape& shape, R* out) {
    if (!r_.begin_object(&err_)) return false;
    uint32_t seen = 0;
    bool first = true;
    std::string key;
    for (;;) {
      bool has = false;
      if (!r_.next_key(&first, &has, &key, &err_)) return false;
      if (!has) break;
      // Key faults are reported before the colon and value are read, placed
      // after the key and the whitespace that follows it.
      const size_t i = shape.index_of(key);
      if (i == shape.count) {
        r_.peek_after_ws();
        return fail_here(shape.unknown_field(key));
      }
      if ((seen >> i) & 1u) {
        r_.peek_after_ws();
        return fail_here(duplicate_field(key));
      }
      seen |= 1u << i;
      if (!r_.object_colon(&err_)) return false;
      if (!read_field(i, out)) return false;
    }
    // A missing field is placed just past the closing brace.
    if (!r_.finish_object(&err_)) return false;
    for (size_t i = 0; i < shape.count; ++i) {
      if (!((seen >> i) & 1u) && !shape.optional(i)) return fail_here(missing_field(shape.keys[i]));
    }
    return true;
  }

  // REQUIRES: peek() == '['
  template <class R>
  bool read_array(const RecordShape& shape, R* out) {
    if (!r_.begin_array(&err_)) return false;
    bool first = true;
    bool ended = false;
    for (size_t i = 0; i < shape.count; ++i) {
      bool has = false;
      if (!ended) {
        if (!r_.next_element(&first, &has, &err_)) return false;
        ended = !has;
      }
      if (has) {
        if (!read_field(i, out)) return false;
      } else if (!shape.optional(i)) {
        // A short array is placed just past its closing bracket.
        if (!r_.finish_array(&err_)) return false;
        return fail_here(shape.too_short(i));
      }
    }
    // Surplus elements fail here with the reader's "trailing characters".
    return r_.finish_array(&err_);
  }

  bool read_field(size_t i, GenSpec* s) {
    switch (i) {
      case 0: return read_unsigned(kU64, &s->seed);
      case 1: return read_unsigned(kUsize, &s->bars);
      case 2: return read_double(&s->start_price);
      case 3: return read_signed(&s->start_ts);
      case 4: return read_signed(&s->bar_secs);
      case 5: return read_regimes(&s->regimes);
      default: return read_record(kMicrostructureShape, &s->microstructure);
    }
  }

  bool read_field(size_t i, Regime* r) {
    switch (i) {
      case 0: return read_kind(&r->kind);
      case 1: return read_unsigned(kUsize, &r->len);
      case 2: return read_double(&r->drift);
      default: return read_double(&r->vol);
    }
  }

  bool read_field(size_t i, Microstructure* m) {
    switch (i) {
      case 0: return read_unsigned(kUsize, &m->book_depth);
      case 1: return read_double(&m->spread_bps);
      case 2: return read_double(&m->trade_rate);
      default: return read_funding(&m->funding);
    }
  }

  bool read_field(size_t i, FundingSpec* f) {
    switch (i) {
      case 0: return read_unsigned(kUsize, &f->interval_bars);
      case 1: return read_double(&f->base_rate);
      default: return read_double(&f->sensitivity);
    }
  }

  // Number faults are placed just past the number.
  bool read_unsigned(std::string_view type, uint64_t* out) {
    JsonValue v;
    if (!read_scalar(type, &v)) return false;
    auto r = to_unsigned(v, type);
    if (!r.ok()) return fail_here(std::move(r).error());
    *out = r.value();
    return true;
  }

  bool read_signed(int64_t* out) {
    JsonValue v;
    if (!read_scalar(kI64, &v)) return false;
    auto r = to_signed(v);
    if (!r.ok()) return fail_here(std::move(r).error());
    *out = r.value();
    return true;
  }

  bool read_double(double* out) {
    JsonValue v;
    if (!read_scalar(kF64, &v)) return false;
    auto r = to_double(v);
    if (!r.ok()) return fail_here(std::move(r).error());
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
    if (!r_.begin_array(&err_)) return false;
    out->clear();
    bool first = true;
    for (;;) {
      bool has = false;
      if (!r_.next_element(&first, &has, &err_)) return false;
      if (!has) break;
      Regime regime;
      if (!read_record(kRegimeShape, &regime)) return false;
      out->push_back(regime);
    }
    return r_.finish_array(&err_);
  }

  bool read_funding(std::optional<FundingSpec>* out) {
    if (r_.peek_after_ws() == 'n') {
      // Only the literal null: "nul", "nulx" and the like are the reader's errors.
      JsonValue v;
      if (!r_.read_literal(&v, &err_)) return false;
      out->reset();
      return true;
    }
    FundingSpec funding;
    if (!read_record(kFundingSpecShape, &funding)) return false;
    *out = funding;
    return true;
  }

  bool read_kind_name(RegimeKind* out) {
    std::string name;
    if (!r_.read_string(&name, &err_)) return false;
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
    if (c < 0) return fail_here("EOF while parsing a value");
    if (c == '"') return read_kind_name(out);
    if (c != '{') return fail_at_next("expected value");

    if (!r_.begin_object(&err_)) return false;
    c = r_.peek_after_ws();
    if (c < 0) return fail_here("EOF while parsing an object");
    if (c == '}') return fail_at_next("expected value");
    if (c != '"') return fail_at_next("key must be a string");
    if (!read_kind_name(out)) return false;
    if (!r_.object_colon(&err_)) return false;
    JsonValue unit;
    if (!read_scalar(kUnit, &unit)) return false;
    if (!unit.is_null()) return fail_here(invalid_type(unit, kUnit));
    r_.leave_level();
    c = r_.peek_after_ws();
    if (c < 0) return fail_here("EOF while parsing an object");
    if (c != '}') return fail_at_next("expected value");
    r_.bump();
    return true;
  }

  json::TextReader r_;
  JsonError err_;
};

}  // namespace

Expected<GenSpec, JsonError> decode_spec_text(std::string_view text) {
  TextDecoder decoder(text);
  GenSpec spec;
  if (!decoder.read(&spec)) return unexpected(decoder.error());
  return spec;
}

}  // namespace talpen
