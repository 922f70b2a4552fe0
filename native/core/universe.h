// A universe: several instruments on one clock whose bars' shocks move
// together. Each instrument keeps its own run cursor, seeded by its own spec.
// In every bar each instrument draws its standard normal shock first, from
// its own source, as a standalone run does; the shocks are then mixed, in a
// fixed order of operations, by the lower Cholesky factor of a correlation
// matrix or by a one-factor market model; and each instrument finishes its
// bar exactly as a standalone run would, with the mixed shock. So with the
// identity matrix (or zero loadings) every instrument's output is byte for
// byte its standalone run, and a universe always gives the same bytes.
#ifndef TALPEN_CORE_UNIVERSE_H_
#define TALPEN_CORE_UNIVERSE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/result.h"
#include "core/random_source.h"
#include "core/records.h"
#include "core/run_cursor.h"
#include "core/validate.h"

namespace talpen {

// The lower triangle L of `corr` (n × n, row-major) with L·Lᵀ = corr, by the
// Cholesky–Banachiewicz order: row by row, each sum taken over k = 0, 1, …
// in that order. A positive semidefinite matrix with zero pivots (perfectly
// correlated instruments) gets zero columns there. BadSpec when a pivot is
// negative beyond rounding (the matrix is not positive semidefinite); the
// caller checks symmetry, the diagonal and the range of entries first.
Result<std::vector<double>> lower_cholesky(const std::vector<double>& corr, size_t n);

// How the instruments' shocks are mixed.
struct ShockMix {
  // Either the lower Cholesky factor (n × n, row-major) ...
  std::vector<double> lower;
  // ... or one market factor: shock_i = loading_i × m + √(1 − loading_i²) × z_i,
  // m drawn each bar from its own source seeded by market_seed, before the
  // instruments' finishing draws.
  std::optional<uint64_t> market_seed;
  std::vector<double> loadings;
};

// The lower factor, row by row, for mixing a chunk's shocks one instrument
// at a time: row i's sum takes lower[i][k] x drawn[k] over k = 0, 1, ..., i
// in that order, starts at -0.0 (which adding a first term turns into
// exactly that term) and leaves zero factors out; a row without any factor
// gives 0.0. So the identity leaves each shock as drawn.
class FactorMix {
 public:
  // REQUIRES: lower is n x n, row-major.
  FactorMix(const std::vector<double>& lower, size_t n);

  // Row `row`'s sums over the terms k < row, for `bars` bars at once:
  // sums[b] from drawn[k * stride + b]. The rows before it are known for
  // the whole chunk by then; the row's own term comes last.
  void partial_sums(size_t row, const double* drawn, size_t stride, size_t bars, double* sums) const;
  // The row's shock: the partial sum and then the row's own term, `own`
  // being its instrument's drawn shock.
  double finish(size_t row, double partial, double own) const {
    const double factor = rows_[row * (row + 1) / 2 + row];
    const double sum = factor == 0.0 ? partial : partial + factor * own;
    return has_factor_[row] ? sum : 0.0;
  }

 private:
  std::vector<double> rows_;               // the lower triangle, row by row
  std::vector<unsigned char> has_factor_;  // row i has a non-zero entry
};

class UniverseCursor {
 public:
  // REQUIRES: every spec has the same bars, start_ts and bar_secs; `mix`
  // matches the number of specs (lower n × n, or n loadings in [-1, 1]).
  UniverseCursor(const std::vector<ValidSpec>& specs, ShockMix mix);

  size_t size() const { return cursors_.size(); }
  uint64_t bars_done() const { return cursors_.front().bars_done(); }
  bool at_end() const { return cursors_.front().at_end(); }

  // The next min(n, bars left) bars of every instrument, `(*out)[i]` holding
  // instrument i's chunk as RunCursor::next gives it. Numeric when any
  // instrument's bar is not finite (the universe then ends).
  Result<uint64_t> next(uint64_t n, std::vector<RunBars>* out);
  // After next() failed in an instrument's bar (Numeric): which instrument
  // (its place in the universe's order) and which bar of the run.
  struct BarFailure {
    size_t instrument = 0;
    uint64_t bar = 0;
  };
  const std::optional<BarFailure>& bar_failure() const { return bar_failure_; }
  // As RunCursor::skip_book_levels, for every instrument.
  void skip_book_levels(bool skip) {
    for (RunCursor& cursor : cursors_) cursor.skip_book_levels(skip);
  }
  // As RunCursor::skip_trades, for every instrument.
  void skip_trades(bool skip) {
    for (RunCursor& cursor : cursors_) cursor.skip_trades(skip);
  }

 private:
  std::vector<RunCursor> cursors_;
  ShockMix mix_;
  std::optional<RandomSource> market_;
  std::vector<double> idiosyncratic_;  // √(1 − loading²), once
  std::optional<FactorMix> factor_;
  std::vector<double> drawn_;          // this chunk's own shocks, instrument by instrument
  std::vector<double> market_draws_;   // this chunk's market shocks
  std::vector<double> sums_;           // an instrument's partial sums over this chunk
  std::optional<BarFailure> bar_failure_;
};

}  // namespace talpen

#endif  // TALPEN_CORE_UNIVERSE_H_
