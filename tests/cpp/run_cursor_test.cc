#include "core/run_cursor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "core/generate.h"
#include "valid_spec.h"

namespace talpen {
namespace {

// A random valid spec of every regime kind, with or without trades and
// funding, short enough to run thousands of times.
GenSpec random_spec(std::mt19937_64& rng) {
  std::uniform_int_distribution<uint64_t> small(1, 40);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  GenSpec spec;
  spec.seed = rng();
  spec.bars = 0;
  spec.start_price = 1.0 + 1000.0 * unit(rng);
  spec.start_ts = static_cast<int64_t>(rng() % 1000000);
  spec.bar_secs = static_cast<int64_t>(1 + rng() % 3600);
  for (uint64_t n = 1 + rng() % 5; n > 0; --n) {
    const auto kind = static_cast<RegimeKind>(rng() % 4);
    const uint64_t len = small(rng);
    // A range regime with negative drift pushes away from its anchor and soon
    // overflows; such runs are the numeric test's business.
    const double drift = kind == RegimeKind::Range ? 0.5 * unit(rng) : unit(rng) - 0.5;
    spec.regimes.push_back({kind, len, drift, 0.05 * unit(rng)});
    spec.bars += len;
  }
  spec.microstructure.book_depth = 1 + rng() % 4;
  spec.microstructure.spread_bps = 20.0 * unit(rng);
  spec.microstructure.trade_rate = (rng() % 3 == 0) ? 0.0 : 6.0 * unit(rng);
  if (rng() % 2 == 0) spec.microstructure.funding = FundingSpec{1 + rng() % 9, 0.001 * unit(rng), unit(rng) - 0.5};
  return spec;
}

template <class T>
void append(std::vector<T>& to, const std::vector<T>& from) {
  to.insert(to.end(), from.begin(), from.end());
}

// The run taken `chunk` bars at a time, the chunks laid end to end. With
// `jump`, each chunk is made by a second cursor moved to the first one's
// position, the first skipping what it can.
RunBars in_chunks(const ValidSpec& spec, uint64_t chunk, bool book_levels = true, bool jump = false) {
  RunCursor cursor(spec);
  RunCursor jumper(spec);
  if (!book_levels) cursor.skip_book_levels();
  if (jump) {
    cursor.skip_book_levels();
    cursor.skip_trades();
  }
  RunBars all;
  RunBars part;
  RunBars walked;
  uint64_t first_bar = 0;
  while (!cursor.at_end()) {
    if (jump) {
      jumper.move_to(cursor.position());
      EXPECT_TRUE(cursor.next(chunk, &walked).ok());
      EXPECT_TRUE(walked.trades.empty() && walked.trades_end.empty() && walked.levels.empty());
    }
    Result<uint64_t> got = (jump ? jumper : cursor).next(chunk, &part);
    EXPECT_TRUE(got.ok());
    EXPECT_EQ(got.value(), std::min(chunk, spec->bars - first_bar));
    append(all.candles, part.candles);
    append(all.levels, part.levels);
    for (uint64_t end : part.trades_end) all.trades_end.push_back(all.trades.size() + end);
    append(all.trades, part.trades);
    append(all.funding, part.funding);
    for (uint64_t bar : part.funding_bar) all.funding_bar.push_back(first_bar + bar);
    first_bar += got.value();
  }
  return all;
}

// The run's book levels and trades made again from a walk's seeds, chunk by
// chunk, by a second cursor that makes what `book_levels` and `trades` ask.
RunBars replayed(const ValidSpec& spec, uint64_t chunk, bool book_levels, bool trades) {
  RunCursor walk(spec);
  walk.skip_book_levels();
  walk.skip_trades();
  RunCursor maker(spec);
  maker.skip_book_levels(!book_levels);
  maker.skip_trades(!trades);
  RunBars all, part, walked;
  std::vector<BarSeed> seeds;
  walk.keep_seeds(&seeds);
  while (!walk.at_end()) {
    const uint64_t next_seq = walk.position().next_seq;
    seeds.clear();
    EXPECT_TRUE(walk.next(chunk, &walked).ok());
    maker.replay(seeds, next_seq, &part);
    EXPECT_EQ(part.bar_count(), walked.bar_count());
    for (const Candle& c : part.candles) all.candles.push_back({c.ts, 0, 0, 0, 0, 0});
    append(all.levels, part.levels);
    for (uint64_t end : part.trades_end) all.trades_end.push_back(all.trades.size() + end);
    append(all.trades, part.trades);
  }
  return all;
}

template <class T>
bool same_bytes(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool same_trades(const std::vector<Trade>& a, const std::vector<Trade>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].ts != b[i].ts || a[i].seq != b[i].seq || a[i].side != b[i].side ||
        std::memcmp(&a[i].price, &b[i].price, sizeof(double)) != 0 ||
        std::memcmp(&a[i].qty, &b[i].qty, sizeof(double)) != 0) {
      return false;
    }
  }
  return true;
}

TEST(RunCursorTest, AnyChunkingGivesTheWholeRunBitForBit) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 400; ++i) {
    const ValidSpec spec = valid(random_spec(rng));
    const Result<RunBars> whole = generate_bars(spec);
    ASSERT_TRUE(whole.ok()) << whole.error().text();
    for (uint64_t chunk : {uint64_t{1}, uint64_t{7}, uint64_t{1} << 40}) {
      const RunBars got = in_chunks(spec, chunk);
      const RunBars& want = whole.value();
      ASSERT_TRUE(same_bytes(got.candles, want.candles)) << i << " chunk " << chunk;
      ASSERT_TRUE(same_bytes(got.levels, want.levels)) << i << " chunk " << chunk;
      ASSERT_TRUE(same_bytes(got.trades_end, want.trades_end)) << i << " chunk " << chunk;
      ASSERT_TRUE(same_trades(got.trades, want.trades)) << i << " chunk " << chunk;
      ASSERT_TRUE(same_bytes(got.funding, want.funding)) << i << " chunk " << chunk;
      ASSERT_TRUE(same_bytes(got.funding_bar, want.funding_bar)) << i << " chunk " << chunk;
    }
    // Cursors moved to a walk's positions, chunk by chunk, make the run.
    const RunBars jumped = in_chunks(spec, 3, true, true);
    ASSERT_TRUE(same_bytes(jumped.candles, whole.value().candles)) << i;
    ASSERT_TRUE(same_bytes(jumped.levels, whole.value().levels)) << i;
    ASSERT_TRUE(same_trades(jumped.trades, whole.value().trades)) << i;
    ASSERT_TRUE(same_bytes(jumped.funding, whole.value().funding)) << i;
    // The seeds a walk keeps make the book levels and trades again, alone or together.
    for (const auto& [book, trades] : {std::pair{true, true}, std::pair{true, false}, std::pair{false, true}}) {
      const RunBars again = replayed(spec, 5, book, trades);
      ASSERT_EQ(again.candles.size(), whole.value().candles.size()) << i;
      for (size_t b = 0; b < again.candles.size(); ++b) ASSERT_EQ(again.candles[b].ts, whole.value().candles[b].ts);
      ASSERT_TRUE(book ? same_bytes(again.levels, whole.value().levels) : again.levels.empty()) << i;
      ASSERT_TRUE(trades ? same_trades(again.trades, whole.value().trades) : again.trades.empty()) << i;
      ASSERT_TRUE(trades ? same_bytes(again.trades_end, whole.value().trades_end) : again.trades_end.empty()) << i;
    }
    // A pass without book levels draws what a full one does: the rest is the same.
    const RunBars bare = in_chunks(spec, 7, false);
    const RunBars& want = whole.value();
    ASSERT_TRUE(bare.levels.empty());
    ASSERT_TRUE(same_bytes(bare.candles, want.candles)) << i;
    ASSERT_TRUE(same_trades(bare.trades, want.trades)) << i;
    ASSERT_TRUE(same_bytes(bare.funding, want.funding)) << i;
  }
}

TEST(RunCursorTest, NumericFailureEndsTheRunAfterTheGoodBars) {
  GenSpec spec;
  spec.seed = 1;
  spec.bars = 3;
  spec.start_price = 100.0;
  spec.regimes = {{RegimeKind::Vol, 2, 0.0, 0.01}, {RegimeKind::Trend, 1, 800.0, 0.0}};
  spec.microstructure = {1, 1.0, 0.0, std::nullopt};
  RunCursor cursor(valid(spec));
  RunBars part;
  ASSERT_EQ(cursor.next(2, &part).value(), 2U);
  const Result<uint64_t> failed = cursor.next(5, &part);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind, ErrorKind::Numeric);
  EXPECT_TRUE(cursor.at_end());
  EXPECT_TRUE(part.candles.empty());
  EXPECT_EQ(cursor.next(5, &part).value(), 0U);
}

}  // namespace
}  // namespace talpen
