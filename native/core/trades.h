// The trade step of a bar: a Poisson number of trades with mean
// `trade_rate`, scattered uniformly across the quoted spread around the close.
#ifndef TALPEN_CORE_TRADES_H_
#define TALPEN_CORE_TRADES_H_

#include <cstdint>
#include <vector>

#include "core/random_source.h"
#include "core/records.h"

namespace talpen {

// Appends the bar's trades to `trades` in generation order and advances
// `next_seq` by their number. `threshold` is exp(-trade_rate), computed once
// per run. A rate of 0 draws nothing, so the draws of later bars are those
// of a run without a trade step. Otherwise: count + 1 draws for the count,
// then per trade its price draw and then its quantity draw.
// A trade is a Buy when its unrounded price is at or above the unrounded
// close, a Sell otherwise (NaN included).
void build_trades(RandomSource& rng, double trade_rate, double threshold, double close,
                  double half_spread, int64_t ts, uint64_t& next_seq, std::vector<Trade>& trades);

// The trade step without its trades, for a pass that needs only the rest of
// the bar: the same draws as build_trades, and `next_seq` advanced alike.
void skip_trades(RandomSource& rng, double trade_rate, double threshold, uint64_t& next_seq);

}  // namespace talpen

#endif  // TALPEN_CORE_TRADES_H_
