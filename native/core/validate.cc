#include "core/validate.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace talpen {

namespace {

bool finite_positive(double x) { return std::isfinite(x) && x > 0.0; }
// -0.0 passes: it compares equal to 0.
bool finite_non_negative(double x) { return std::isfinite(x) && x >= 0.0; }

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

std::optional<std::string> validate_spec(const GenSpec& spec) {
  if (spec.bars == 0) return "bars must be > 0";
  if (!finite_positive(spec.start_price)) return "start_price must be finite and > 0";
  if (spec.bar_secs <= 0) return "bar_secs must be > 0";
  if (spec.regimes.empty()) return "regimes must not be empty";

  // One pass: each regime is checked in full before the next is looked at, so
  // an earlier regime's fault wins over a later one's. The sum is exact (128
  // bits hold any count of u64 lengths a vector can hold), so lengths adding
  // up past 2^64 - 1 never wrap round to equal `bars`.
  unsigned __int128 total = 0;
  for (const Regime& regime : spec.regimes) {
    if (regime.len == 0) return "regime len must be > 0";
    if (!std::isfinite(regime.drift)) return "regime drift must be finite";
    if (!finite_non_negative(regime.vol)) return "regime vol must be finite and >= 0";
    total += regime.len;
  }
  if (total != spec.bars) return "sum of regime lengths must equal bars";

  const Microstructure& micro = spec.microstructure;
  if (micro.book_depth == 0) return "book_depth must be > 0";
  if (!finite_non_negative(micro.spread_bps)) return "spread_bps must be finite and >= 0";
  if (!finite_non_negative(micro.trade_rate)) return "trade_rate must be finite and >= 0";
  if (micro.funding) {
    if (micro.funding->interval_bars == 0) return "funding.interval_bars must be > 0";
    if (!std::isfinite(micro.funding->base_rate) || !std::isfinite(micro.funding->sensitivity)) {
      return "funding base_rate and sensitivity must be finite";
    }
  }

  if (!last_timestamp_fits(spec)) return "start_ts + (bars - 1) * bar_secs overflows i64";
  return std::nullopt;
}

}  // namespace talpen
