// generate_bars: the bar loop. It walks a price through the spec's regimes,
// one log return per bar, and forms each bar's candle, book, trades and
// funding point from one seeded RandomSource.
#ifndef TALPEN_CORE_GENERATE_H_
#define TALPEN_CORE_GENERATE_H_

#include "core/records.h"
#include "core/spec.h"
#include "core/synth_error.h"

namespace talpen {

inline constexpr const char* kNonFiniteMessage = "price walk produced a non-finite value";

// Validates the spec (BadSpec with the first broken rule's message), then
// generates exactly `spec.bars` bars, bar 0 first. A bar whose close, open,
// high, low or volume is not finite ends the run with Numeric and nothing
// generated is returned. Output depends on the spec alone.
// Throws std::bad_alloc or std::length_error when the run's storage cannot
// be had; sizes are checked, never wrapped.
Result<RunBars> generate_bars(const GenSpec& spec);

}  // namespace talpen

#endif  // TALPEN_CORE_GENERATE_H_
