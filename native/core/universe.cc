#include "core/universe.h"

#include <cmath>
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

UniverseCursor::UniverseCursor(const std::vector<ValidSpec>& specs, ShockMix mix) : mix_(std::move(mix)) {
  cursors_.reserve(specs.size());
  for (const ValidSpec& spec : specs) cursors_.emplace_back(spec);
  if (mix_.market_seed) {
    market_ = RandomSource::from_seed(*mix_.market_seed);
    idiosyncratic_.reserve(mix_.loadings.size());
    for (double loading : mix_.loadings) idiosyncratic_.push_back(std::sqrt(1.0 - loading * loading));
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
    for (size_t i = 0; i < count; ++i) {
      double shock;
      if (market_) {
        // A zero loading leaves the shock exactly as drawn.
        const double loading = mix_.loadings[i];
        shock = loading == 0.0 ? drawn_[i] : loading * market + idiosyncratic_[i] * drawn_[i];
      } else {
        // Row i of L times the drawn shocks, k = 0, 1, …, i in order; zero
        // factors are left out, so the identity leaves each shock as drawn.
        const double* row = &mix_.lower[i * count];
        shock = 0.0;
        bool first = true;
        for (size_t k = 0; k <= i; ++k) {
          if (row[k] == 0.0) continue;
          const double term = row[k] * drawn_[k];
          shock = first ? term : shock + term;
          first = false;
        }
      }
      Status finished = cursors_[i].finish_bar(shock, &(*out)[i]);
      if (!finished.ok()) {
        for (RunCursor& cursor : cursors_) cursor.stop();
        return std::move(finished).failure();
      }
    }
  }
  return bars;
}

}  // namespace talpen
