// generate_bars: a whole run in one piece of flat storage: the price walk
// through the spec's regimes, each bar's candle, book, trades and funding
// point from one seeded RandomSource (see run_cursor.h).
#ifndef TALPEN_CORE_GENERATE_H_
#define TALPEN_CORE_GENERATE_H_

#include "core/records.h"
#include "base/result.h"
#include "core/validate.h"

namespace talpen {

// Generates exactly `spec.bars` bars, bar 0 first. A bar whose close, open,
// high, low or volume is not finite ends the run with Numeric and nothing
// generated is returned. Output depends on the spec alone.
// Before it reserves anything, a run whose records, `copies` times over,
// cannot fit in the machine's memory is refused with OutOfMemory (a caller
// that holds an answer beside the records counts it as copies); so is one
// whose sizes do not fit the address space. Throws std::bad_alloc when an
// allocation fails all the same.
Result<RunBars> generate_bars(const ValidSpec& spec, double copies = 1.0);

}  // namespace talpen

#endif  // TALPEN_CORE_GENERATE_H_
