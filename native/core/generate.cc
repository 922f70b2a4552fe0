// The price walk is a geometric random walk: each bar draws one standard
// normal shock z and turns it into a log return h by its regime's formula;
// the close is exp(h) times the previous close. Wicks, volume, the book and
// the trades are drawn after it, in a fixed order.
//
// The draw order and the operand order of every formula are part of the
// output: a reordered draw changes every later value, and a reassociated
// product or sum changes the last bit of a price, which round8 can expose.
#include "core/generate.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/book.h"
#include "core/funding.h"
#include "core/random_source.h"
#include "core/round8.h"
#include "core/run_budget.h"
#include "core/trades.h"

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

// Book levels of the run, or nothing when they exceed the address space.
std::optional<size_t> level_count(uint64_t bars, uint64_t depth) {
  constexpr uint64_t kMax = std::numeric_limits<size_t>::max();
  if (depth > kMax / 2 || (depth != 0 && bars > kMax / (2 * depth))) return std::nullopt;
  return static_cast<size_t>(bars * 2 * depth);
}

bool all_finite(double a, double b, double c, double d, double e) {
  return std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && std::isfinite(d) &&
         std::isfinite(e);
}

}  // namespace

Result<RunBars> generate_bars(const ValidSpec& valid, double copies) {
  const GenSpec& spec = valid.get();
  // Before any reservation: an overcommitting kernel would grant them and end
  // the process later, when the loop touches pages that are not there.
  if (Status fits = check_run_fits(spec, copies); !fits.ok()) return std::move(fits).failure();
  const Microstructure& micro = spec.microstructure;
  const uint64_t bars = spec.bars;
  const uint64_t depth = micro.book_depth;
  const std::optional<size_t> levels = level_count(bars, depth);
  if (!levels) return fail(ErrorKind::OutOfMemory, "book levels of the run exceed the address space");

  RunBars run;
  run.book_depth = depth;
  run.candles.reserve(bars);
  run.levels.reserve(*levels);
  run.trades_end.reserve(bars);
  run.trades.reserve(trade_reserve(bars, micro.trade_rate));
  if (micro.funding) {
    run.funding.reserve(bars / micro.funding->interval_bars);
    run.funding_bar.reserve(bars / micro.funding->interval_bars);
  }
  std::vector<double> return_history;
  return_history.reserve(bars);

  RandomSource rng = RandomSource::from_seed(spec.seed);
  const double spread_factor = micro.spread_bps / 10000.0;
  const double trade_threshold = std::exp(-micro.trade_rate);
  const LevelFactors level_factors(depth);

  double price = spec.start_price;  // unrounded close of the previous bar
  double anchor = spec.start_price;
  size_t regime_index = 0;
  uint64_t bar_in_regime = 0;
  int64_t ts = spec.start_ts;
  uint64_t next_seq = 0;

  for (uint64_t i = 0; i < bars; ++i) {
    // Validation makes the regime lengths add up to `bars`, so the index
    // stays in range.
    const Regime& regime = spec.regimes[regime_index];
    const double vol = regime.vol;
    const double drift = regime.drift;
    if (bar_in_regime == 0) anchor = price;

    const double z = rng.standard_normal();
    double h = 0.0;
    switch (regime.kind) {
      case RegimeKind::Trend:
        h = z * vol + drift;
        break;
      case RegimeKind::Range:
        // Pulls the log price back toward its level at the regime's start.
        h = z * vol - std::log(price / anchor) * drift;
        break;
      case RegimeKind::Crash:
        // Halves upward shocks, makes downward ones 1.5 times as large.
        h = ((std::fabs(z) * -0.5) + z) * vol - std::fabs(drift);
        break;
      case RegimeKind::Vol:
        h = z * vol;
        break;
    }
    const double abs_h = std::fabs(h);
    const double close = std::exp(h) * price;
    const double wick = (rng.uniform() + 0.5) * std::max(abs_h, vol);
    const double high = std::exp(wick * 0.5) * std::max(price, close);
    const double low = std::exp(wick * -0.5) * std::min(price, close);
    const double volume = ((std::fabs(z) * 0.5 + 1.0) * 1000.0) * (rng.uniform() + 0.5);

    // Checked before anything of the bar is stored; the failed run's bars
    // go with `run`.
    if (!all_finite(close, price, high, low, volume)) {
      return fail(ErrorKind::Numeric, kNonFiniteMessage);
    }

    run.candles.push_back({ts, round8(price), round8(high), round8(low), round8(close), round8(volume)});
    return_history.push_back(h);

    const double half_spread =
        build_book_snapshot(rng, close, abs_h, vol, spread_factor, depth, level_factors, run.levels);
    build_trades(rng, micro.trade_rate, trade_threshold, close, half_spread, ts, next_seq, run.trades);
    run.trades_end.push_back(run.trades.size());

    if (std::optional<FundingPoint> point =
            funding_point(micro.funding, i + 1, std::span<const double>(return_history), ts)) {
      run.funding.push_back(*point);
      run.funding_bar.push_back(i);
    }

    // The last bar's timestamp is the last that validation proved to fit.
    if (i + 1 < bars) ts += spec.bar_secs;
    if (++bar_in_regime == regime.len) {
      bar_in_regime = 0;
      ++regime_index;
    }
    price = close;
  }
  return run;
}

}  // namespace talpen
