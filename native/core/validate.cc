#include "core/validate.h"

#include <cstdint>
#include <limits>

#include "core/spec_fields.h"

namespace talpen {

namespace {

// The first broken rule among the record's fields, in table order.
template <class R>
const char* walk(const RecordDef<R>& record, const R& value) {
  for (const FieldDef<R>& field : record.fields) {
    if (field.check == nullptr) continue;
    if (const char* broken = field.check(value)) return broken;
  }
  return nullptr;
}

// The last bar's timestamp start_ts + (bars - 1) * bar_secs fits in i64.
// REQUIRES: bars >= 1 and bar_secs >= 1, so every earlier bar's timestamp lies
// between start_ts and the last one and fits as well.
bool last_timestamp_fits(const GenSpec& spec) {
  const uint64_t n = spec.bars - 1;
  if (n > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
  int64_t product = 0;
  if (__builtin_mul_overflow(static_cast<int64_t>(n), spec.bar_secs, &product)) return false;
  int64_t last = 0;
  return !__builtin_add_overflow(spec.start_ts, product, &last);
}

}  // namespace

namespace spec_rules {

const char* check_regimes(const GenSpec& spec) {
  if (spec.regimes.empty()) return "regimes must not be empty";
  // Each regime is checked in full before the next is looked at, so an
  // earlier regime's fault wins over a later one's. The sum is exact (128
  // bits hold any count of u64 lengths a vector can hold), so lengths adding
  // up past 2^64 - 1 never wrap round to equal `bars`.
  unsigned __int128 total = 0;
  for (const Regime& regime : spec.regimes) {
    if (const char* broken = walk(kRegimeRecord, regime)) return broken;
    total += regime.len;
  }
  return total == spec.bars ? nullptr : "sum of regime lengths must equal bars";
}

const char* check_microstructure(const GenSpec& spec) {
  return walk(kMicrostructureRecord, spec.microstructure);
}

const char* check_funding(const Microstructure& micro) {
  return micro.funding ? walk(kFundingSpecRecord, *micro.funding) : nullptr;
}

}  // namespace spec_rules

const char* first_broken_rule(const GenSpec& spec) {
  if (const char* broken = walk(kGenSpecRecord, spec)) return broken;
  if (!last_timestamp_fits(spec)) return "start_ts + (bars - 1) * bar_secs overflows i64";
  return nullptr;
}

Result<ValidSpec> validate_spec(GenSpec spec) {
  if (const char* broken = first_broken_rule(spec)) return fail(ErrorKind::BadSpec, broken);
  return ValidSpec(std::move(spec));
}

}  // namespace talpen
