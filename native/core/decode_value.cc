#include "core/decode_value.h"

#include <string>
#include <utility>
#include <variant>

#include "core/spec_fields.h"
#include "core/spec_messages.h"

namespace talpen {

namespace {

using json::JsonValue;

// Reads one spec from a parsed value. Members are met in the value's sorted
// key order, so when a document breaks several rules the first broken one in
// that order is reported; the text decoder meets them in text order instead.
class ValueDecoder {
 public:
  const std::string& message() const { return message_; }

  bool read(const JsonValue& v, GenSpec* out) { return read_record(v, kGenSpecRecord, out); }

 private:
  bool fail(std::string message) {
    message_ = std::move(message);
    return false;
  }

  template <class R>
  bool read_record(const JsonValue& v, const RecordDef<R>& shape, R* out) {
    if (v.is_object()) return read_object(v, shape, out);
    if (v.is_array()) return read_array(v, shape, out);
    return fail(invalid_type(v, record_type_name(shape)));
  }

  template <class R>
  bool read_object(const JsonValue& v, const RecordDef<R>& shape, R* out) {
    uint32_t seen = 0;  // a JsonValue holds each key once, so no duplicate check
    for (const JsonValue::Member& m : v.members()) {
      const size_t i = shape.index_of(m.key);
      if (i == shape.size()) return fail(unknown_field(shape, m.key));
      if (!read_field(m.value, shape.fields[i], out)) return false;
      seen |= 1u << i;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
      if (!((seen >> i) & 1u) && !shape.fields[i].optional) return fail(missing_field(shape.fields[i].key));
    }
    return true;
  }

  template <class R>
  bool read_array(const JsonValue& v, const RecordDef<R>& shape, R* out) {
    const std::vector<JsonValue>& elements = v.elements();
    for (size_t i = 0; i < shape.size(); ++i) {
      if (i < elements.size()) {
        if (!read_field(elements[i], shape.fields[i], out)) return false;
      } else if (!shape.fields[i].optional) {
        return fail(too_short(shape, i));
      }
    }
    if (elements.size() > shape.size()) {
      return fail("invalid length " + std::to_string(elements.size()) +
                  ", expected fewer elements in array");
    }
    return true;
  }

  // The field's value, read by the type of the member it fills.
  template <class R>
  bool read_field(const JsonValue& v, const FieldDef<R>& field, R* out) {
    return std::visit([&](auto member) { return read_into(v, field.type, &(out->*member)); }, field.member);
  }

  bool read_into(const JsonValue& v, std::string_view type, uint64_t* out) {
    return read_unsigned(v, type, out);
  }
  bool read_into(const JsonValue& v, std::string_view, int64_t* out) { return read_signed(v, out); }
  bool read_into(const JsonValue& v, std::string_view, double* out) { return read_double(v, out); }
  bool read_into(const JsonValue& v, std::string_view, RegimeKind* out) { return read_kind(v, out); }
  bool read_into(const JsonValue& v, std::string_view, std::vector<Regime>* out) {
    return read_regimes(v, out);
  }
  bool read_into(const JsonValue& v, std::string_view, Microstructure* out) {
    return read_record(v, kMicrostructureRecord, out);
  }
  bool read_into(const JsonValue& v, std::string_view, std::optional<FundingSpec>* out) {
    return read_funding(v, out);
  }

  bool read_unsigned(const JsonValue& v, std::string_view type, uint64_t* out) {
    auto r = to_unsigned(v, type);
    if (!r.ok()) return fail(std::move(r.error().message));
    *out = r.value();
    return true;
  }

  bool read_signed(const JsonValue& v, int64_t* out) {
    auto r = to_signed(v);
    if (!r.ok()) return fail(std::move(r.error().message));
    *out = r.value();
    return true;
  }

  bool read_double(const JsonValue& v, double* out) {
    auto r = to_double(v);
    if (!r.ok()) return fail(std::move(r.error().message));
    *out = r.value();
    return true;
  }

  bool read_regimes(const JsonValue& v, std::vector<Regime>* out) {
    if (!v.is_array()) return fail(invalid_type(v, kSequence));
    out->clear();
    out->reserve(v.elements().size());
    for (const JsonValue& e : v.elements()) {
      Regime regime;
      if (!read_record(e, kRegimeRecord, &regime)) return false;
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
    if (!read_record(v, kFundingSpecRecord, &funding)) return false;
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

Result<GenSpec> decode_spec_value(const json::JsonValue& value) {
  ValueDecoder decoder;
  GenSpec spec;
  if (!decoder.read(value, &spec)) return talpen::fail(ErrorKind::Parse, decoder.message());
  return spec;
}

}  // namespace talpen
