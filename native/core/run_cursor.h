// RunCursor: a run as a resumable walk. It holds everything one bar hands to
// the next (the random source, the previous unrounded close, the regime's
// anchor and position, the timestamp, the next trade `seq`, and the running
// sum of the funding interval's log returns) and fills flat run storage with
// the next bars on request, so a run of any length is produced chunk by chunk
// in memory bounded by the chunk. Chunks of any sizes give, bar for bar,
// exactly the records of the whole run.
#ifndef TALPEN_CORE_RUN_CURSOR_H_
#define TALPEN_CORE_RUN_CURSOR_H_

#include <cstdint>
#include <span>
#include <vector>

#include "base/result.h"
#include "core/book.h"
#include "core/random_source.h"
#include "core/records.h"
#include "core/validate.h"

namespace talpen {

inline constexpr const char* kNonFiniteMessage = "price walk produced a non-finite value";

// What a bar's book and trades are made from, once its price walk is done:
// with it the two can be made again without the walk (RunCursor::replay).
struct BarSeed {
  RandomSource rng;  // the source as the bar's book step starts
  double close = 0.0;  // the unrounded close
  double abs_h = 0.0;  // |log return|
  double vol = 0.0;    // the regime's vol
  int64_t ts = 0;
};

class RunCursor {
 public:
  // Starts at bar 0. Keeps a copy of the spec.
  explicit RunCursor(ValidSpec spec);

  const GenSpec& spec() const { return spec_.get(); }
  uint64_t bars_done() const { return bar_; }
  bool at_end() const { return bar_ == spec_->bars; }

  // Replaces the contents of `out` (its buffers kept for reuse) with the next
  // min(n, bars left) bars; `out->funding_bar` counts from the chunk's first
  // bar. Returns the number of bars produced, 0 at the end. A bar whose close,
  // open, high, low or volume is not finite fails with Numeric; the cursor
  // then stays at the end of the run, and `out` holds the chunk's bars before
  // the failing one.
  Result<uint64_t> next(uint64_t n, RunBars* out);

  // The same, a bar at a time, for runs whose shocks are mixed with other
  // cursors' (a universe of instruments): begin_chunk
  // prepares `out` as next() does and returns the chunk's bar count; then,
  // for each bar, draw_shock() makes the bar's standard normal shock from
  // this cursor's own source (always a bar's first draw) and finish_bar
  // completes the bar with a shock `z`, which a standalone run takes as drawn.
  // finish_bar fails as next() does, the cursor then at its end.
  // REQUIRES (draw_shock, finish_bar): fewer than begin_chunk's count of bars
  // finished since it was called.
  Result<uint64_t> begin_chunk(uint64_t n, RunBars* out);
  double draw_shock() { return rng_.standard_normal(); }
  Status finish_bar(double z, RunBars* out);
  // Ends the run where it stands (a partner in a universe failed).
  void stop() { bar_ = spec_->bars; }

  // Where the run stands between two bars: all that the next bar starts
  // from. A cursor moved to a position taken from another cursor of the same
  // spec goes on exactly as that one would, so a run can be taken up again at
  // any chunk, by several cursors at once.
  struct Position {
    RandomSource rng;
    uint64_t bar = 0;
    double price = 0.0;
    double anchor = 0.0;
    size_t regime_index = 0;
    uint64_t bar_in_regime = 0;
    int64_t ts = 0;
    uint64_t next_seq = 0;
    double funding_sum = -0.0;
  };
  Position position() const {
    return {rng_, bar_, price_, anchor_, regime_index_, bar_in_regime_, ts_, next_seq_, funding_sum_};
  }
  // REQUIRES: `at` was taken from a cursor of the same spec.
  void move_to(const Position& at) {
    rng_ = at.rng;
    bar_ = at.bar;
    price_ = at.price;
    anchor_ = at.anchor;
    regime_index_ = at.regime_index;
    bar_in_regime_ = at.bar_in_regime;
    ts_ = at.ts;
    next_seq_ = at.next_seq;
    funding_sum_ = at.funding_sum;
  }

  // From now on (until called with false) the chunks carry no book levels
  // (`levels` stays empty), for a pass or a chunk that writes only other
  // records: the book's random draws are still made, so candles, trades and
  // funding points are those of a full run, and the work of laying the
  // levels out (near half of a bar's) is saved.
  void skip_book_levels(bool skip = true) { book_levels_ = !skip; }
  // Likewise for trades: `trades` and `trades_end` stay empty, the trades'
  // draws are made and their `seq` numbers counted.
  void skip_trades(bool skip = true) { trades_ = !skip; }

  // From now on (until called with nullptr) appends each bar's seed to
  // `seeds`, for a walk whose chunks are to be made again in part.
  void keep_seeds(std::vector<BarSeed>* seeds) { seeds_ = seeds; }
  // Makes again, from the seeds a walk kept, the bars' book levels and
  // trades (those not skipped), into `out`, whose candles then carry only
  // their timestamps (every price NaN) and which has no funding points.
  // `next_seq` is the `seq` of the first bar's first trade: a walk's
  // position at that bar has it. Leaves the cursor where it is.
  void replay(std::span<const BarSeed> seeds, uint64_t next_seq, RunBars* out) const;

 private:
  // A bar's book step (levels laid out or skipped) from `rng` as it starts;
  // returns the unrounded half spread. Then its trade step, which lays out
  // the trades and counts `next_seq` on.
  double book_step(RandomSource& rng, double close, double abs_h, double vol, RunBars* out) const;
  void trade_step(RandomSource& rng, double close, double half_spread, int64_t ts, uint64_t& next_seq,
                  RunBars* out) const;

  ValidSpec spec_;
  LevelFactors level_factors_;
  double spread_factor_;
  double trade_threshold_;

  RandomSource rng_;
  bool book_levels_ = true;
  bool trades_ = true;
  std::vector<BarSeed>* seeds_ = nullptr;
  uint64_t bar_ = 0;              // bars produced so far
  double price_;                  // unrounded close of the previous bar
  double anchor_;                 // unrounded close before the regime's first bar
  size_t regime_index_ = 0;
  uint64_t bar_in_regime_ = 0;
  int64_t ts_;
  uint64_t next_seq_ = 0;
  double funding_sum_ = -0.0;     // log returns of the funding interval so far, oldest first
};

}  // namespace talpen

#endif  // TALPEN_CORE_RUN_CURSOR_H_
