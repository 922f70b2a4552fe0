#include "core/book.h"

#include <algorithm>
#include <cmath>

#include "core/round8.h"

namespace talpen {

LevelFactors::LevelFactors(uint64_t depth) {
  const uint64_t n = std::min(depth, kMaxCached);
  table_.reserve(n);
  for (uint64_t j = 0; j < n; ++j) table_.push_back(compute(j));
}

double build_book_snapshot(RandomSource& rng, double close, double abs_h, double vol,
                           double spread_factor, uint64_t depth, const LevelFactors& factors,
                           std::vector<BookLevel>& levels) {
  const double half_spread = book_half_spread(close, abs_h, vol, spread_factor);
  // Levels are one basis point of the close apart, whatever the spread.
  const double tick = close * 0.0001;
  const double best_bid = close - half_spread;
  const double best_ask = half_spread + close;
  // A local copy keeps the state in registers: the level stores below could
  // otherwise alias it and force a reload per draw.
  RandomSource local = rng;

  for (uint64_t j = 0; j < depth; ++j) {
    const double u = local.uniform();
    const double price = best_bid - tick * static_cast<double>(j);
    const double qty = factors[j] * (u + 1.0);
    levels.push_back({round8(price), round8(qty)});
  }
  for (uint64_t j = 0; j < depth; ++j) {
    const double u = local.uniform();
    const double price = tick * static_cast<double>(j) + best_ask;
    const double qty = factors[j] * (u + 1.0);
    levels.push_back({round8(price), round8(qty)});
  }
  rng = local;
  return half_spread;
}

}  // namespace talpen
