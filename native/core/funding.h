// The funding step: every `interval_bars` bars, a rate of base_rate plus
// sensitivity times the mean log return of the interval just ended.
#ifndef TALPEN_CORE_FUNDING_H_
#define TALPEN_CORE_FUNDING_H_

#include <cstdint>
#include <optional>
#include <span>

#include "core/records.h"
#include "core/spec.h"

namespace talpen {

// `n` is the 1-based number of the bar just finished; `history` holds the
// unrounded log return of every bar so far, this one last (n entries).
// A point falls on the last bar of each complete interval and carries that
// bar's `ts`. Draws nothing.
std::optional<FundingPoint> funding_point(const std::optional<FundingSpec>& funding, uint64_t n,
                                          std::span<const double> history, int64_t ts);

}  // namespace talpen

#endif  // TALPEN_CORE_FUNDING_H_
