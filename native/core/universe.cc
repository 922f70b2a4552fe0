#include "core/universe.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

namespace talpen {

Result<std::vector<double>> lower_cholesky(const std::vector<double>& corr, size_t n) {
  // Pivots this far below zero come from rounding, not from the matrix.
  constexpr double kTolerance = 1e-12;
  std::vector<double> lower(n * n, 0.0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j <= i; ++j) {
      double sum = corr[i * n + j];
      for (size_t k = 0; k < j; ++k) sum -= lower[i * n + k] * lower[j * n + k];
      if (i == j) {
        if (sum < -kTolerance) return fail(ErrorKind::BadSpec, "correlation matrix is not positive semidefinite");
        lower[i * n + i] = sum > 0.0 ? std::sqrt(sum) : 0.0;
      } else {
        const double pivot = lower[j * n + j];
        lower[i * n + j] = pivot > 0.0 ? sum / pivot : 0.0;
      }
    }
  }
  return lower;
}

FactorMix::FactorMix(const std::vector<double>& lower, size_t n)
    : n_(n), columns_(n * (n + 1) / 2, 0.0), kept_(n * (n + 1) / 2, 0), has_factor_(n, 0) {
  size_t at = 0;
  for (size_t k = 0; k < n; ++k) {
    for (size_t i = k; i < n; ++i, ++at) {
      columns_[at] = lower[i * n + k];
      if (lower[i * n + k] != 0.0) {
        kept_[at] = ~uint64_t{0};
        has_factor_[i] = 1;
      }
    }
  }
}

// Summed column by column, every row's sum still takes its terms in k order,
// while the rows' sums are independent of one another, so the compiler runs
// several at once. Each sum starts at -0.0, which adding a first term turns
// into exactly that term; a left-out term is added as -0.0, which leaves any
// sum exactly as it was. (Both hold for every value but NaN, in the default
// rounding; draws and factors are finite.) The term is chosen by bit masks
// rather than by a comparison, which the compiler would keep as a branch.
void FactorMix::mix(const double* drawn, double* out) const {
  constexpr uint64_t kMinusZero = uint64_t{1} << 63;
  for (size_t i = 0; i < n_; ++i) out[i] = -0.0;
  const double* column = columns_.data();
  const uint64_t* kept = kept_.data();
  for (size_t k = 0; k < n_; ++k) {
    const double z = drawn[k];
    double* rows = out + k;  // rows k..n-1, column k's entries
    const size_t count = n_ - k;
    for (size_t j = 0; j < count; ++j) {
      const uint64_t term = std::bit_cast<uint64_t>(column[j] * z);
      rows[j] += std::bit_cast<double>((term & kept[j]) | (kMinusZero & ~kept[j]));
    }
    column += count;
    kept += count;
  }
  for (size_t i = 0; i < n_; ++i) {
    if (!has_factor_[i]) out[i] = 0.0;
  }
}

UniverseCursor::UniverseCursor(const std::vector<ValidSpec>& specs, ShockMix mix) : mix_(std::move(mix)) {
  cursors_.reserve(specs.size());
  for (const ValidSpec& spec : specs) cursors_.emplace_back(spec);
  if (mix_.market_seed) {
    market_ = RandomSource::from_seed(*mix_.market_seed);
    idiosyncratic_.reserve(mix_.loadings.size());
    for (double loading : mix_.loadings) idiosyncratic_.push_back(std::sqrt(1.0 - loading * loading));
  } else {
    factor_.emplace(mix_.lower, specs.size());
    std::vector<double>().swap(mix_.lower);  // the mix holds it by columns
    mixed_.resize(specs.size());
  }
  drawn_.resize(specs.size());
}

Result<uint64_t> UniverseCursor::next(uint64_t n, std::vector<RunBars>* out) {
  const size_t count = cursors_.size();
  out->resize(count);
  uint64_t bars = 0;
  for (size_t i = 0; i < count; ++i) {
    Result<uint64_t> begun = cursors_[i].begin_chunk(n, &(*out)[i]);
    if (!begun.ok()) return begun;
    bars = begun.value();  // the same for all: one clock
  }
  for (uint64_t b = 0; b < bars; ++b) {
    // Every instrument's own shock first, in the universe's order.
    for (size_t i = 0; i < count; ++i) drawn_[i] = cursors_[i].draw_shock();
    const double market = market_ ? market_->standard_normal() : 0.0;
    if (factor_) factor_->mix(drawn_.data(), mixed_.data());
    for (size_t i = 0; i < count; ++i) {
      double shock;
      if (market_) {
        // A zero loading leaves the shock exactly as drawn.
        const double loading = mix_.loadings[i];
        shock = loading == 0.0 ? drawn_[i] : loading * market + idiosyncratic_[i] * drawn_[i];
      } else {
        shock = mixed_[i];
      }
      const uint64_t bar = cursors_[i].bars_done();
      Status finished = cursors_[i].finish_bar(shock, &(*out)[i]);
      if (!finished.ok()) {
        bar_failure_ = BarFailure{i, bar};
        for (RunCursor& cursor : cursors_) cursor.stop();
        return std::move(finished).failure();
      }
    }
  }
  return bars;
}

}  // namespace talpen
