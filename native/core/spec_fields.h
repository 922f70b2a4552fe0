// The fields of each spec record, described once: key, whether it may be
// absent, the type named in messages, the member it fills, and the rule the
// validator checks. Both decoders, the validator's walk, the record messages
// and the normalised writer of a spec are derived from these tables, so a
// new field is one line here (and its member in spec.h).
//
// Table order is the order of the array form, of the missing-field check and
// of the key list quoted in messages; it is also the validator's order, so an
// earlier field's fault wins over a later one's.
#ifndef TALPEN_CORE_SPEC_FIELDS_H_
#define TALPEN_CORE_SPEC_FIELDS_H_

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "core/spec.h"

namespace talpen {

// Type names used after "expected" in messages.
inline constexpr std::string_view kU64 = "u64";
// Lengths and counts keep the name of the platform's size type in messages:
// callers match on these texts, so they stay fixed whatever the build.
inline constexpr std::string_view kUsize = "usize";
inline constexpr std::string_view kI64 = "i64";
inline constexpr std::string_view kF64 = "f64";
inline constexpr std::string_view kSequence = "a sequence";
inline constexpr std::string_view kUnit = "unit";

// The member a field fills; its type picks how the value is read: an
// unsigned or signed integer, a double, a regime kind, the list of regimes,
// the microstructure record, or the optional funding record.
template <class R>
using FieldMember = std::variant<uint64_t R::*, int64_t R::*, double R::*, RegimeKind R::*,
                                 std::vector<Regime> R::*, Microstructure R::*,
                                 std::optional<FundingSpec> R::*>;

template <class R>
struct FieldDef {
  std::string_view key;
  // May be absent: the member then keeps the default of the record's
  // initializer (spec.h).
  bool optional;
  std::string_view type;  // for integers: the name in messages (kU64, kUsize, kI64)
  FieldMember<R> member;
  // The validator's rule for this field: the message of the broken rule, or
  // null. Null for fields without a rule of their own.
  const char* (*check)(const R& record);
};

template <class R>
struct RecordDef {
  std::string_view name;  // quoted as "struct <name>"
  std::span<const FieldDef<R>> fields;

  size_t size() const { return fields.size(); }
  // The field's position, or size() when the key is not in the list.
  size_t index_of(std::string_view key) const {
    for (size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].key == key) return i;
    }
    return fields.size();
  }
};

namespace spec_rules {

inline bool finite_positive(double x) { return std::isfinite(x) && x > 0.0; }
// -0.0 passes: it compares equal to 0.
inline bool finite_non_negative(double x) { return std::isfinite(x) && x >= 0.0; }

// The regime list: non-empty, each regime's own rules in turn, then the exact
// sum (defined in validate.cc).
const char* check_regimes(const GenSpec& spec);
const char* check_microstructure(const GenSpec& spec);
const char* check_funding(const Microstructure& micro);

}  // namespace spec_rules

inline constexpr std::array<FieldDef<FundingSpec>, 3> kFundingSpecFields = {{
    {"interval_bars", false, kUsize, &FundingSpec::interval_bars,
     [](const FundingSpec& f) -> const char* {
       return f.interval_bars == 0 ? "funding.interval_bars must be > 0" : nullptr;
     }},
    {"base_rate", false, kF64, &FundingSpec::base_rate,
     [](const FundingSpec& f) -> const char* {
       return std::isfinite(f.base_rate) ? nullptr : "funding base_rate and sensitivity must be finite";
     }},
    {"sensitivity", false, kF64, &FundingSpec::sensitivity,
     [](const FundingSpec& f) -> const char* {
       return std::isfinite(f.sensitivity) ? nullptr : "funding base_rate and sensitivity must be finite";
     }},
}};

inline constexpr std::array<FieldDef<Microstructure>, 4> kMicrostructureFields = {{
    {"book_depth", false, kUsize, &Microstructure::book_depth,
     [](const Microstructure& m) -> const char* {
       return m.book_depth == 0 ? "book_depth must be > 0" : nullptr;
     }},
    {"spread_bps", false, kF64, &Microstructure::spread_bps,
     [](const Microstructure& m) -> const char* {
       return spec_rules::finite_non_negative(m.spread_bps) ? nullptr : "spread_bps must be finite and >= 0";
     }},
    {"trade_rate", false, kF64, &Microstructure::trade_rate,
     [](const Microstructure& m) -> const char* {
       return spec_rules::finite_non_negative(m.trade_rate) ? nullptr : "trade_rate must be finite and >= 0";
     }},
    {"funding", true, {}, &Microstructure::funding, spec_rules::check_funding},
}};

inline constexpr std::array<FieldDef<Regime>, 4> kRegimeFields = {{
    {"kind", false, {}, &Regime::kind, nullptr},
    {"len", false, kUsize, &Regime::len,
     [](const Regime& r) -> const char* { return r.len == 0 ? "regime len must be > 0" : nullptr; }},
    {"drift", false, kF64, &Regime::drift,
     [](const Regime& r) -> const char* {
       return std::isfinite(r.drift) ? nullptr : "regime drift must be finite";
     }},
    {"vol", false, kF64, &Regime::vol,
     [](const Regime& r) -> const char* {
       return spec_rules::finite_non_negative(r.vol) ? nullptr : "regime vol must be finite and >= 0";
     }},
}};

inline constexpr std::array<FieldDef<GenSpec>, 7> kGenSpecFields = {{
    {"seed", false, kU64, &GenSpec::seed, nullptr},
    {"bars", false, kUsize, &GenSpec::bars,
     [](const GenSpec& s) -> const char* { return s.bars == 0 ? "bars must be > 0" : nullptr; }},
    {"start_price", false, kF64, &GenSpec::start_price,
     [](const GenSpec& s) -> const char* {
       return spec_rules::finite_positive(s.start_price) ? nullptr : "start_price must be finite and > 0";
     }},
    {"start_ts", true, kI64, &GenSpec::start_ts, nullptr},
    {"bar_secs", true, kI64, &GenSpec::bar_secs,
     [](const GenSpec& s) -> const char* { return s.bar_secs <= 0 ? "bar_secs must be > 0" : nullptr; }},
    {"regimes", false, {}, &GenSpec::regimes, spec_rules::check_regimes},
    {"microstructure", false, {}, &GenSpec::microstructure, spec_rules::check_microstructure},
}};

inline constexpr RecordDef<GenSpec> kGenSpecRecord{"GenSpec", kGenSpecFields};
inline constexpr RecordDef<Regime> kRegimeRecord{"Regime", kRegimeFields};
inline constexpr RecordDef<Microstructure> kMicrostructureRecord{"Microstructure", kMicrostructureFields};
inline constexpr RecordDef<FundingSpec> kFundingSpecRecord{"FundingSpec", kFundingSpecFields};

}  // namespace talpen

#endif  // TALPEN_CORE_SPEC_FIELDS_H_
