// The price walk is a geometric random walk: each bar draws one standard
// normal shock z and turns it into a log return h by its regime's formula;
// the close is exp(h) times the previous close. Wicks, volume, the book and
// the trades are drawn after it, in a fixed order.
//
// The draw order and the operand order of every formula are part of the
// output: a reordered draw changes every later value, and a reassociated
// product or sum changes the last bit of a price, which round8 can expose.
#include "core/run_cursor.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/funding.h"
#include "core/round8.h"
#include "core/trades.h"

namespace talpen {

namespace {

bool all_finite(double a, double b, double c, double d, double e) {
  return std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && std::isfinite(d) &&
         std::isfinite(e);
}

void clear_keeping_buffers(RunBars* out, uint64_t depth) {
  out->book_depth = depth;
  out->candles.clear();
  out->levels.clear();
  out->trades.clear();
  out->trades_end.clear();
  out->funding.clear();
  out->funding_bar.clear();
}

}  // namespace

RunCursor::RunCursor(ValidSpec spec)
    : spec_(std::move(spec)),
      level_factors_(spec_->microstructure.book_depth),
      spread_factor_(spec_->microstructure.spread_bps / 10000.0),
      trade_threshold_(std::exp(-spec_->microstructure.trade_rate)),
      rng_(RandomSource::from_seed(spec_->seed)),
      price_(spec_->start_price),
      anchor_(spec_->start_price),
      ts_(spec_->start_ts) {}

Result<uint64_t> RunCursor::begin_chunk(uint64_t n, RunBars* out) {
  const GenSpec& spec = spec_.get();
  const uint64_t depth = spec.microstructure.book_depth;
  clear_keeping_buffers(out, depth);
  const uint64_t count = std::min(n, spec.bars - bar_);
  constexpr uint64_t kMaxSize = std::numeric_limits<size_t>::max();
  if (depth > kMaxSize / 2 || (depth != 0 && count > kMaxSize / (2 * depth))) {
    return fail(ErrorKind::OutOfMemory, "book levels of the run exceed the address space");
  }
  // Trades are a chunk's only records of no fixed count: their array grows
  // geometrically and is kept from chunk to chunk.
  out->candles.reserve(count);
  if (book_levels_) out->levels.reserve(count * 2 * depth);
  if (trades_) out->trades_end.reserve(count);
  return count;
}

Status RunCursor::finish_bar(double z, RunBars* out) {
  const GenSpec& spec = spec_.get();
  const Microstructure& micro = spec.microstructure;
  // Validation makes the regime lengths add up to `bars`, so the index
  // stays in range.
  const Regime& regime = spec.regimes[regime_index_];
  const double vol = regime.vol;
  const double drift = regime.drift;
  const double price = price_;
  if (bar_in_regime_ == 0) anchor_ = price;

  double h = 0.0;
  switch (regime.kind) {
    case RegimeKind::Trend:
      h = z * vol + drift;
      break;
    case RegimeKind::Range:
      // Pulls the log price back toward its level at the regime's start.
      h = z * vol - std::log(price / anchor_) * drift;
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
  const double wick = (rng_.uniform() + 0.5) * std::max(abs_h, vol);
  const double high = std::exp(wick * 0.5) * std::max(price, close);
  const double low = std::exp(wick * -0.5) * std::min(price, close);
  const double volume = ((std::fabs(z) * 0.5 + 1.0) * 1000.0) * (rng_.uniform() + 0.5);

  // Checked before anything of the bar is stored. The run cannot go on.
  if (!all_finite(close, price, high, low, volume)) {
    bar_ = spec.bars;
    return fail(ErrorKind::Numeric, kNonFiniteMessage);
  }

  out->candles.push_back({ts_, round8(price), round8(high), round8(low), round8(close), round8(volume)});
  if (seeds_ != nullptr) seeds_->push_back({rng_, close, abs_h, vol, ts_});

  const double half_spread = book_step(rng_, close, abs_h, vol, out);
  if (trades_) {
    trade_step(rng_, close, half_spread, ts_, next_seq_, out);
  } else {
    talpen::skip_trades(rng_, micro.trade_rate, trade_threshold_, next_seq_);
  }

  funding_sum_ += h;
  if (ends_funding_interval(micro.funding, bar_ + 1)) {
    out->funding.push_back(funding_point(*micro.funding, funding_sum_, ts_));
    out->funding_bar.push_back(out->candles.size() - 1);
    funding_sum_ = -0.0;
  }

  // The last bar's timestamp is the last that validation proved to fit.
  ++bar_;
  if (bar_ < spec.bars) ts_ += spec.bar_secs;
  if (++bar_in_regime_ == regime.len) {
    bar_in_regime_ = 0;
    ++regime_index_;
  }
  price_ = close;
  return ok_status();
}

void RunCursor::replay(std::span<const BarSeed> seeds, uint64_t next_seq, RunBars* out) const {
  const uint64_t depth = spec_->microstructure.book_depth;
  clear_keeping_buffers(out, depth);
  out->candles.reserve(seeds.size());
  if (book_levels_) out->levels.reserve(seeds.size() * 2 * depth);
  if (trades_) out->trades_end.reserve(seeds.size());
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  for (const BarSeed& seed : seeds) {
    out->candles.push_back({seed.ts, kNaN, kNaN, kNaN, kNaN, kNaN});
    // The steps of finish_bar, from the same inputs.
    RandomSource rng = seed.rng;
    const double half_spread = book_step(rng, seed.close, seed.abs_h, seed.vol, out);
    if (trades_) trade_step(rng, seed.close, half_spread, seed.ts, next_seq, out);
  }
}

double RunCursor::book_step(RandomSource& rng, double close, double abs_h, double vol, RunBars* out) const {
  const uint64_t depth = spec_->microstructure.book_depth;
  return book_levels_ ? build_book_snapshot(rng, close, abs_h, vol, spread_factor_, depth, level_factors_, out->levels)
                      : skip_book_snapshot(rng, close, abs_h, vol, spread_factor_, depth);
}

void RunCursor::trade_step(RandomSource& rng, double close, double half_spread, int64_t ts, uint64_t& next_seq,
                           RunBars* out) const {
  build_trades(rng, spec_->microstructure.trade_rate, trade_threshold_, close, half_spread, ts, next_seq, out->trades);
  out->trades_end.push_back(out->trades.size());
}

Result<uint64_t> RunCursor::next(uint64_t n, RunBars* out) {
  Result<uint64_t> count = begin_chunk(n, out);
  if (!count.ok()) return count;
  for (uint64_t k = 0; k < count.value(); ++k) {
    // The shock is each bar's first draw.
    Status done = finish_bar(draw_shock(), out);
    if (!done.ok()) return std::move(done).failure();
  }
  return count;
}

}  // namespace talpen
