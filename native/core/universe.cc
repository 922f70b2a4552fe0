#include "core/universe.h"

#include <algorithm>
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

FactorMix::FactorMix(const std::vector<double>& lower, size_t n) : rows_(n * (n + 1) / 2, 0.0), has_factor_(n, 0) {
  size_t at = 0;
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = 0; k <= i; ++k, ++at) {
      rows_[at] = lower[i * n + k];
      if (lower[i * n + k] != 0.0) has_factor_[i] = 1;
    }
  }
}

// A left-out term would add -0.0, which leaves any sum (but NaN) exactly as
// it was, in the default rounding: skipping it is the same. The bars' sums
// are independent of one another, so the compiler runs several at once.
void FactorMix::partial_sums(size_t row, const double* drawn, size_t stride, size_t bars, double* sums) const {
  std::fill(sums, sums + bars, -0.0);
  const double* factors = rows_.data() + row * (row + 1) / 2;
  for (size_t k = 0; k < row; ++k) {
    const double factor = factors[k];
    if (factor == 0.0) continue;
    const double* shocks = drawn + k * stride;
    for (size_t b = 0; b < bars; ++b) sums[b] += factor * shocks[b];
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
    std::vector<double>().swap(mix_.lower);  // the mix holds it by rows
  }
}

// A chunk is made an instrument at a time, each running all the chunk's bars
// as a standalone run does: its own shocks are recorded, and a later
// instrument mixes in those of the earlier ones. Every shock is mixed from
// the same draws in the same order of operations as a bar at a time over
// all instruments would, so the bytes are the same; only the memory stays
// with one instrument for longer.
Result<uint64_t> UniverseCursor::next(uint64_t n, std::vector<RunBars>* out) {
  const size_t count = cursors_.size();
  out->resize(count);
  uint64_t bars = 0;
  for (size_t i = 0; i < count; ++i) {
    Result<uint64_t> begun = cursors_[i].begin_chunk(n, &(*out)[i]);
    if (!begun.ok()) return begun;
    bars = begun.value();  // the same for all: one clock
  }
  drawn_.resize(count * bars);
  if (market_) {
    market_draws_.resize(bars);
    for (double& m : market_draws_) m = market_->standard_normal();
  } else {
    sums_.resize(bars);
  }
  // A universe meets a failing bar at the earliest bar, and there at the
  // first instrument whose bar fails; so once one fails, the instruments
  // after it run only the bars before.
  uint64_t end = bars;
  Status failure = ok_status();
  for (size_t i = 0; i < count; ++i) {
    RunCursor& cursor = cursors_[i];
    RunBars& chunk = (*out)[i];
    double* drawn = drawn_.data() + i * bars;
    if (factor_) factor_->partial_sums(i, drawn_.data(), bars, end, sums_.data());
    for (uint64_t b = 0; b < end; ++b) {
      const double z = cursor.draw_shock();  // the bar's first draw
      drawn[b] = z;
      double shock;
      if (market_) {
        // A zero loading leaves the shock exactly as drawn.
        const double loading = mix_.loadings[i];
        shock = loading == 0.0 ? z : loading * market_draws_[b] + idiosyncratic_[i] * z;
      } else {
        shock = factor_->finish(i, sums_[b], z);
      }
      const uint64_t bar = cursor.bars_done();
      Status finished = cursor.finish_bar(shock, &chunk);
      if (!finished.ok()) {
        bar_failure_ = BarFailure{i, bar};
        failure = std::move(finished);
        end = b;
        break;
      }
    }
  }
  if (!failure.ok()) {
    for (RunCursor& cursor : cursors_) cursor.stop();
    return std::move(failure).failure();
  }
  return bars;
}

}  // namespace talpen
