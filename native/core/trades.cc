#include "core/trades.h"

#include "core/round8.h"

namespace talpen {

void build_trades(RandomSource& rng, double trade_rate, double threshold, double close,
                  double half_spread, int64_t ts, uint64_t& next_seq, std::vector<Trade>& trades) {
  if (!(trade_rate > 0.0)) return;
  // Local copy: see build_book_snapshot.
  RandomSource local = rng;
  const uint64_t count = local.poisson_count(threshold);
  for (uint64_t k = 0; k < count; ++k) {
    const double u = local.uniform();
    const double price = ((u + u) - 1.0) * half_spread + close;
    const double v = local.uniform();
    const double qty = v + 0.5;
    const TradeSide side = price >= close ? TradeSide::Buy : TradeSide::Sell;
    trades.push_back({ts, next_seq + k, round8(price), round8(qty), side});
  }
  rng = local;
  next_seq += count;
}

void skip_trades(RandomSource& rng, double trade_rate, double threshold, uint64_t& next_seq) {
  if (!(trade_rate > 0.0)) return;
  RandomSource local = rng;
  const uint64_t count = local.poisson_count(threshold);
  for (uint64_t k = 0; k < count; ++k) {
    local.uniform();  // price
    local.uniform();  // quantity
  }
  rng = local;
  next_seq += count;
}

}  // namespace talpen
