// A whole run is the run cursor taken to the end in one chunk, with its
// storage reserved up front.
#include "core/generate.h"

#include <algorithm>
#include <cmath>

#include "core/run_budget.h"
#include "core/run_cursor.h"

namespace talpen {

namespace {

// An estimate of the run's trade count, enough in all but rare runs, and
// capped so that a huge spec does not claim a huge block before it has
// produced anything; past it the array grows geometrically.
constexpr double kMaxTradeReserve = double{1 << 21};

size_t trade_reserve(uint64_t bars, double trade_rate) {
  if (!(trade_rate > 0.0)) return 0;
  // Counts saturate near 745 per bar however large the rate (the threshold
  // underflows to 0).
  const double mean = std::min(trade_rate, 746.0) * static_cast<double>(bars);
  const double estimate = mean + 4.0 * std::sqrt(mean) + 16.0;
  return static_cast<size_t>(std::min(estimate, kMaxTradeReserve));
}

}  // namespace

Result<RunBars> generate_bars(const ValidSpec& valid, double copies) {
  const GenSpec& spec = valid.get();
  // Before any reservation: an overcommitting kernel would grant them and end
  // the process later, when the loop touches pages that are not there.
  if (Status fits = check_run_fits(spec, copies); !fits.ok()) return std::move(fits).failure();
  const Microstructure& micro = spec.microstructure;
  const uint64_t bars = spec.bars;

  // The cursor reserves the bars' candles and levels; trades and funding
  // points are reserved here, as one chunk's estimate would not know the run.
  RunBars run;
  run.trades.reserve(trade_reserve(bars, micro.trade_rate));
  if (micro.funding) {
    run.funding.reserve(bars / micro.funding->interval_bars);
    run.funding_bar.reserve(bars / micro.funding->interval_bars);
  }
  RunCursor cursor(valid);
  Result<uint64_t> done = cursor.next(bars, &run);
  if (!done.ok()) return std::move(done).failure();
  return run;
}

}  // namespace talpen
