#include "protocol/spec_writer.h"

#include <variant>

#include "core/spec_fields.h"

namespace talpen::protocol {

namespace {

template <class R>
void write_record(json::JsonWriter& out, const RecordDef<R>& record, const R& value);

void write_field(json::JsonWriter& out, uint64_t v) { out.write_u64(v); }
void write_field(json::JsonWriter& out, int64_t v) { out.write_i64(v); }
void write_field(json::JsonWriter& out, double v) { out.write_f64(v); }
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
