// The funding step: every `interval_bars` bars, a rate of base_rate plus
// sensitivity times the mean log return of the interval just ended.
#ifndef TALPEN_CORE_FUNDING_H_
#define TALPEN_CORE_FUNDING_H_

#include <cstdint>
#include <optional>

#include "core/records.h"
#include "core/spec.h"

namespace talpen {

// Whether bar number `n` (1-based, the bar just finished) ends a funding
// interval, so that it carries a point.
bool ends_funding_interval(const std::optional<FundingSpec>& funding, uint64_t n);

// The point of an interval that has just ended at a bar with timestamp `ts`.
// `interval_sum` adds the interval's unrounded log returns oldest first,
// starting from -0.0 (so that an all -0.0 interval keeps its sign): the same
// additions, in the same order, as summing the interval afresh. Draws nothing.
// REQUIRES: funding is present.
FundingPoint funding_point(const FundingSpec& funding, double interval_sum, int64_t ts);

}  // namespace talpen

#endif  // TALPEN_CORE_FUNDING_H_
