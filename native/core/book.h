// The order-book step of a bar: `depth` bid levels below the close and
// `depth` ask levels above it, with a spread that widens when the bar moved
// more than its regime's volatility.
#ifndef TALPEN_CORE_BOOK_H_
#define TALPEN_CORE_BOOK_H_

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/random_source.h"
#include "core/records.h"

namespace talpen {

// The quantity factor of level j, exp(j * -0.3) * 5.0, is the same in every
// bar of a run, so a run computes it once per level. Only the first
// kMaxCached levels are kept; deeper ones are computed on use by the same
// expression, so the value never depends on whether it was cached.
class LevelFactors {
 public:
  static constexpr uint64_t kMaxCached = 4096;

  explicit LevelFactors(uint64_t depth);

  double operator[](uint64_t j) const {
    return j < table_.size() ? table_[j] : compute(j);
  }

  static double compute(uint64_t j) { return std::exp(static_cast<double>(j) * -0.3) * 5.0; }

 private:
  std::vector<double> table_;
};

// The half spread of a bar's book: a bar that moved k vols quotes k + 1
// times the base spread (1e-9 keeps the ratio finite for a zero vol).
inline double book_half_spread(double close, double abs_h, double vol, double spread_factor) {
  const double full = (close * spread_factor) * (abs_h / (vol + 1e-9) + 1.0);
  return full * 0.5;
}

// Appends one bar's book to `levels`: `depth` bids, best (highest) first,
// then `depth` asks, best (lowest) first. Draws 2 * depth uniforms, all bids
// before any ask. Returns the unrounded half spread, which the trade step
// uses. `factors` must have been built for at least `depth` (any smaller
// table is still correct, only slower).
// No finiteness check: a spread that overflows is stored as it is.
double build_book_snapshot(RandomSource& rng, double close, double abs_h, double vol,
                           double spread_factor, uint64_t depth, const LevelFactors& factors,
                           std::vector<BookLevel>& levels);

// The book step of a bar without its levels, for a pass that needs only the
// rest of the bar: draws the same 2 * depth uniforms, so every later draw is
// the one a full step leaves, and returns the same half spread.
inline double skip_book_snapshot(RandomSource& rng, double close, double abs_h, double vol, double spread_factor,
                                 uint64_t depth) {
  for (uint64_t j = 0; j < 2 * depth; ++j) rng.uniform();
  return book_half_spread(close, abs_h, vol, spread_factor);
}

}  // namespace talpen

#endif  // TALPEN_CORE_BOOK_H_
