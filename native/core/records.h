// The records of a run. A run keeps them in flat arrays: one array per kind
// of record, with per-bar offsets, so a bar costs no heap allocation of its
// own and the arrays are already grouped the way the batch answer wants them.
// Every double here has passed through round8 exactly once.
#ifndef TALPEN_CORE_RECORDS_H_
#define TALPEN_CORE_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace talpen {

struct Candle {
  int64_t ts;
  double open;
  double high;
  double low;
  double close;
  double volume;
};

struct BookLevel {
  double price;
  double qty;
};

enum class TradeSide : unsigned char { Buy = 0, Sell = 1 };

struct Trade {
  int64_t ts;
  uint64_t seq;
  double price;
  double qty;
  TradeSide side;
};

struct FundingPoint {
  int64_t ts;
  double rate;
};

// One bar's book, viewed inside the run's level array.
struct BookSnapshot {
  int64_t ts;
  std::span<const BookLevel> bids;  // best (highest) first
  std::span<const BookLevel> asks;  // best (lowest) first
};

// All bars of a run (the sequence of per-bar outputs), bar 0 first.
struct RunBars {
  uint64_t book_depth = 0;
  std::vector<Candle> candles;         // one per bar
  std::vector<BookLevel> levels;       // per bar: book_depth bids, then book_depth asks
  std::vector<Trade> trades;           // bar by bar, each bar's in generation order
  std::vector<uint64_t> trades_end;    // per bar: one past its last trade in `trades`
  std::vector<FundingPoint> funding;   // only bars that end a funding interval
  std::vector<uint64_t> funding_bar;   // the bar of each funding point

  size_t bar_count() const { return candles.size(); }
  BookSnapshot book(size_t bar) const {
    const BookLevel* base = levels.data() + bar * 2 * book_depth;
    return {candles[bar].ts, {base, book_depth}, {base + book_depth, book_depth}};
  }
  std::span<const Trade> bar_trades(size_t bar) const {
    size_t begin = bar == 0 ? 0 : trades_end[bar - 1];
    return {trades.data() + begin, trades_end[bar] - begin};
  }
};

}  // namespace talpen

#endif  // TALPEN_CORE_RECORDS_H_
