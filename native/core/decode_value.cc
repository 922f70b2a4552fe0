#include "core/decode_value.h"

#include <string>
#include <utility>

#include "core/describe.h"

namespace talpen {

namespace {

using json::JsonValue;

// Reads one spec from a parsed value. Members are met in the value's sorted
// key order, so when a document breaks several rules the first broken one in
// that order is reported; the text decoder meets them in text order instead.
class ValueDecoder {
 public:
  const std::string& message() const { return message_; }

  bool read(const JsonValue& v, GenSpec* out) { return read_record(v, kGenSpecShape, out); }

 private:
  bool fail(std::string message) {
    message_ = std::move(message);
    return false;
  }

  template <class R>
  bool read_record(const JsonValue& v, const RecordShape& shape, R* out) {
    if (v.is_object()) return read_object(v, shape, out);
    if (v.is_array()) return read_array(v, shape, out);
    return fail(invalid_type(v, shape.type_name()));
  }

  template <class R>
  bool read_object(const JsonValue& v, const RecordShape& shape, R* out) {
    uint32_t seen = 0;  // a JsonValue holds each key once, so no duplicate check
    for (const JsonValue::Member& m : v.members()) {
      const size_t i = shape.index_of(m.key);
      if (i == shape.count) return fail(shape.unknown_field(m.key));
      if (!read_field(m.value, i, out)) return false;
      seen |= 1u << i;
    }
    for (size_t i = 0; i < shape.count; ++i) {
      if (!((seen >> i) & 1u) && !shape.optional(i)) return fail(missing_field(shape.keys[i]));
    }
    return true;
  }

  template <class R>
  bool read_array(const JsonValue& v, const RecordShape& shape, R* out) {
    const std::vector<JsonValue>& elements = v.elements();
    for (size_t i = 0; i < shape.count; ++i) {
      if (i < elements.size()) {
        if (!read_field(elements[i], i, out)) return false;
      } else if (!shape.optional(i)) {
        return fail(shape.too_short(i));
      }
    }
    if (elements.size() > shape.count) {
      return fail("invalid length " + std::to_string(elements.size()) +
                  ", expected fewer elements in array");
    }
    return true;
  }

  bool read_field(const JsonValue& v, size_t i, GenSpec* s) {
    switch (i) {
      case 0: return read_unsigned(v, kU64, &s->seed);
      case 1: return read_unsigned(v, kUsize, &s->bars);
      case 2: return read_double(v, &s->start_price);
      case 3: return read_signed(v, &s->start_ts);
      case 4: return read_signed(v, &s->bar_secs);
      case 5: return read_regimes(v, &s->regimes);
      default: return read_record(v, kMicrostructureShape, &s->microstructure);
    }
  }

  bool read_field(const JsonValue& v, size_t i, Regime* r) {
    switch (i) {
      case 0: return read_kind(v, &r->kind);
      case 1: return read_unsigned(v, kUsize, &r->len);
      case 2: return read_double(v, &r->drift);
      default: return read_double(v, &r->vol);
    }
  }

  bool read_field(const JsonValue& v, size_t i, Microstructure* m) {
    switch (i) {
      case 0: return read_unsigned(v, kUsize, &m->book_depth);
      case 1: return read_double(v, &m->spread_bps);
      case 2: return read_double(v, &m->trade_rate);
      default: return read_funding(v, &m->funding);
    }
  }

  bool read_field(const JsonValue& v, size_t i, FundingSpec* f) {
    switch (i) {
      case 0: return read_unsigned(v, kUsize, &f->interval_bars);
      case 1: return read_double(v, &f->base_rate);
      default: return read_double(v, &f->sensitivity);
    }
  }

  bool read_unsigned(const JsonValue& v, std::string_view type, uint64_t* out) {
    auto r = to_unsigned(v, type);
    if (!r.ok()) return fail(std::move(r).error());
    *out = r.value();
    return true;
  }

  bool read_signed(const JsonValue& v, int64_t* out) {
    auto r = to_signed(v);
    if (!r.ok()) return fail(std::move(r).error());
    *out = r.value();
    return true;
  }

  bool read_double(const JsonValue& v, double* out) {
    auto r = to_double(v);
    if (!r.ok()) return fail(std::move(r).error());
    *out = r.value();
    return true;
  }

  bool read_regimes(const JsonValue& v, std::vector<Regime>* out) {
    if (!v.is_array()) return fail(invalid_type(v, kSequence));
    out->clear();
    out->reserve(v.elements().size());
    for (const JsonValue& e : v.elements()) {
      Regime regime;
      if (!read_record(e, kRegimeShape, &regime)) return false;
      out->push_back(regime);
    }
    return true;
  }

  bool read_funding(const JsonValue& v, std::optional<FundingSpec>* out) {
    if (v.is_null()) {
      out->reset();
      return true;
    }
    FundingSpec funding;
    if (!read_record(v, kFundingSpecShape, &funding)) return false;
    *out = funding;
    return true;
  }

  // A name, or an object whose one member is the name with the value null.
  // The member count is checked before the name, the name before the value.
  bool read_kind(const JsonValue& v, RegimeKind* out) {
    const std::string* name = nullptr;
    if (v.is_string()) {
      name = &v.as_string();
    } else if (v.is_object()) {
      if (v.members().size() != 1) return fail("invalid value: map, expected map with a single key");
      name = &v.members()[0].key;
    } else {
      return fail(invalid_type(v, "string or map"));
    }
    const std::optional<RegimeKind> kind = regime_kind_from_name(*name);
    if (!kind) return fail(unknown_variant(*name));
    if (v.is_object() && !v.members()[0].value.is_null()) {
      return fail(invalid_type(v.members()[0].value, kUnit));
    }
    *out = *kind;
    return true;
  }

  std::string message_;
};

}  // namespace

Expected<GenSpec, json::JsonError> decode_spec_value(const json::JsonValue& value) {
  ValueDecoder decoder;
  GenSpec spec;
  if (!decoder.read(value, &spec)) return unexpected(json::JsonError{decoder.message(), 0, 0});
  return spec;
}

}  // namespace talpen
