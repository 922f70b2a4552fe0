#include "core/funding.h"

#include <algorithm>

#include "core/round8.h"

namespace talpen {

std::optional<FundingPoint> funding_point(const std::optional<FundingSpec>& funding, uint64_t n,
                                          std::span<const double> history, int64_t ts) {
  if (!funding || funding->interval_bars == 0) return std::nullopt;
  if (n % funding->interval_bars != 0) return std::nullopt;
  const uint64_t m = std::min<uint64_t>(funding->interval_bars, history.size());
  if (m == 0) return std::nullopt;
  // No running sum: the interval's returns are re-added oldest first, from
  // -0.0 so that an all -0.0 interval keeps its sign.
  double sum = -0.0;
  for (double h : history.last(m)) sum += h;
  const double mean = sum / static_cast<double>(m);
  return FundingPoint{ts, round8(mean * funding->sensitivity + funding->base_rate)};
}

}  // namespace talpen
