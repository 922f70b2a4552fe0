#include "core/funding.h"

#include "core/round8.h"

namespace talpen {

bool ends_funding_interval(const std::optional<FundingSpec>& funding, uint64_t n) {
  return funding && funding->interval_bars != 0 && n % funding->interval_bars == 0;
}

FundingPoint funding_point(const FundingSpec& funding, double interval_sum, int64_t ts) {
  // A point falls only on the last bar of a complete interval, so the
  // interval holds exactly interval_bars returns.
  const double mean = interval_sum / static_cast<double>(funding.interval_bars);
  return FundingPoint{ts, round8(mean * funding.sensitivity + funding.base_rate)};
}

}  // namespace talpen
