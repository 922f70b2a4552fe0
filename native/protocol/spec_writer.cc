#include "protocol/spec_writer.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <variant>

#include "core/spec_fields.h"
#include "json/format_double.h"
#include "json/reader.h"

namespace talpen::protocol {

namespace {

// Whether this module's reader reads `text` as exactly the bits of `x`.
bool reads_back(const std::string& text, double x) {
  Result<json::JsonValue> v = json::parse_json(text);
  if (!v.ok() || !v.value().is_number()) return false;
  const json::JsonValue& n = v.value();
  double got = 0.0;
  switch (n.number_class()) {
    case json::NumberClass::Unsigned: got = static_cast<double>(n.as_unsigned()); break;
    case json::NumberClass::Negative: got = static_cast<double>(n.as_negative()); break;
    case json::NumberClass::Double: got = n.as_double(); break;
  }
  return std::memcmp(&got, &x, sizeof x) == 0;
}

// Text for `x` that reads back to the same bits. The reader's conversion
// does not always round to the nearest double: it rounds the digits to a
// double f and then divides (or multiplies) by a rounded power of ten, so the
// shortest round-trip digits can read as a neighbour, and for a given power
// some doubles are never reached. Then texts "<f>e<E>" are tried for the
// integers f (doubles themselves, so the reader takes them exactly) around x
// scaled to 15 to 19 digits, each with its own power E, until one reads back.
// The shortest text is kept whenever it reads back, which is almost always.
std::string readable_double(double x) {
  std::string shortest = json::format_double(x);
  if (reads_back(shortest, x) || x == 0.0) return shortest;
  const double magnitude = std::fabs(x);
  for (int digits = 15; digits <= 19; ++digits) {
    char buf[64];
    auto done = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific, digits - 1);
    const std::string sci(buf, done.ptr);  // "d.ddde±xx"
    const size_t e = sci.find('e');
    std::string mantissa = sci.substr(0, e);
    mantissa.erase(mantissa.find('.'), 1);
    const std::string exponent = std::to_string(std::stol(sci.substr(e + 1)) - (digits - 1));
    const double center = static_cast<double>(std::stoull(mantissa));
    double up = center;
    double down = center;
    for (int k = 0; k <= 40; ++k) {
      for (const double f : {up, down}) {
        if (!(f >= 1.0 && f < 18446744073709551616.0)) continue;
        std::string text = x < 0.0 ? "-" : "";
        text += std::to_string(static_cast<uint64_t>(f));
        text += 'e';
        text += exponent;
        if (reads_back(text, x)) return text;
      }
      up = std::nextafter(up, HUGE_VAL);
      down = std::nextafter(down, 0.0);
    }
  }
  return shortest;  // not met in practice; tests hold the writer to it
}

template <class R>
void write_record(json::JsonWriter& out, const RecordDef<R>& record, const R& value);

void write_field(json::JsonWriter& out, uint64_t v) { out.write_u64(v); }
void write_field(json::JsonWriter& out, int64_t v) { out.write_i64(v); }
void write_field(json::JsonWriter& out, double v) { out.put(readable_double(v)); }
void write_field(json::JsonWriter& out, RegimeKind v) { out.write_string(regime_kind_name(v)); }
void write_field(json::JsonWriter& out, const std::vector<Regime>& v) {
  out.put('[');
  for (size_t i = 0; i < v.size(); ++i) {
    if (i != 0) out.put(',');
    write_record(out, kRegimeRecord, v[i]);
  }
  out.put(']');
}
void write_field(json::JsonWriter& out, const Microstructure& v) {
  write_record(out, kMicrostructureRecord, v);
}
void write_field(json::JsonWriter& out, const std::optional<FundingSpec>& v) {
  if (v) {
    write_record(out, kFundingSpecRecord, *v);
  } else {
    out.put_literal("null");
  }
}

template <class R>
void write_record(json::JsonWriter& out, const RecordDef<R>& record, const R& value) {
  out.begin_object();
  for (const FieldDef<R>& field : record.fields) {
    out.write_key(field.key);
    std::visit([&](auto member) { write_field(out, value.*member); }, field.member);
  }
  out.end_object();
}

}  // namespace

void write_spec_object(json::JsonWriter& out, const GenSpec& spec) { write_record(out, kGenSpecRecord, spec); }

}  // namespace talpen::protocol
