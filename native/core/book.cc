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
  // 1e-9 keeps the ratio finite for a zero vol; a bar that moved k vols
  // quotes k + 1 times the base spread.
  const double full = (close * spread_factor) * (abs_h / (vol + 1e-9) + 1.0);
  const double half_spread = full * 0.5;
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
