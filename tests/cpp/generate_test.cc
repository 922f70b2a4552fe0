#include "core/generate.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "valid_spec.h"

#include "core/random_source.h"
#include "core/round8.h"

namespace talpen {
namespace {

// The three-bar run whose every output is known digit for digit.
GenSpec worked_spec() {
  GenSpec spec;
  spec.seed = 42;
  spec.bars = 3;
  spec.start_price = 100.0;
  spec.start_ts = 1700000000;
  spec.bar_secs = 3600;
  spec.regimes = {{RegimeKind::Trend, 1, 0.001, 0.01}, {RegimeKind::Range, 2, 0.5, 0.02}};
  spec.microstructure = {2, 5.0, 1.0, FundingSpec{3, 0.0001, 0.5}};
  return spec;
}

// One regime over all bars, no funding.
GenSpec simple_spec(RegimeKind kind, uint64_t bars, double drift, double vol, uint64_t depth = 2,
                    double spread_bps = 5.0, double trade_rate = 1.0) {
  GenSpec spec;
  spec.seed = 7;
  spec.bars = bars;
  spec.start_price = 100.0;
  spec.regimes = {{kind, bars, drift, vol}};
  spec.microstructure = {depth, spread_bps, trade_rate, std::nullopt};
  return spec;
}

RunBars generate_ok(const GenSpec& spec) {
  Result<RunBars> run = generate_bars(valid(spec));
  EXPECT_TRUE(run.ok()) << (run.ok() ? "" : run.error().message);
  return run.ok() ? std::move(run).value() : RunBars{};
}

void expect_level(const BookLevel& level, double price, double qty) {
  EXPECT_EQ(level.price, price);
  EXPECT_EQ(level.qty, qty);
}

TEST(WorkedExampleTest, Candles) {
  const RunBars run = generate_ok(worked_spec());
  ASSERT_EQ(run.bar_count(), 3u);
  const Candle expected[] = {
      {1700000000, 100.0, 100.74470633, 99.09357854, 99.83153469, 1362.45253483},
      {1700003600, 99.83153469, 101.18842882, 97.81413475, 99.1436087, 1383.99183998},
      {1700007200, 99.1436087, 99.80182071, 96.82219416, 97.46499435, 2062.23442159},
  };
  for (size_t i = 0; i < 3; ++i) {
    const Candle& got = run.candles[i];
    const Candle& want = expected[i];
    EXPECT_EQ(got.ts, want.ts) << i;
    for (auto field : {&Candle::open, &Candle::high, &Candle::low, &Candle::close, &Candle::volume}) {
      EXPECT_EQ(got.*field, want.*field) << i;
    }
  }
}

TEST(WorkedExampleTest, Books) {
  const RunBars run = generate_ok(worked_spec());
  ASSERT_EQ(run.levels.size(), 12u);
  const BookLevel bids[3][2] = {{{99.80236873, 8.96752245}, {99.79238557, 5.8824614}},
                                {{99.11025341, 5.34765236}, {99.10033905, 5.19711133}},
                                {{97.41982407, 8.26277903}, {97.41007757, 5.65057652}}};
  const BookLevel asks[3][2] = {{{99.86070066, 5.62676221}, {99.87068381, 5.94551978}},
                                {{99.17696398, 7.7300192}, {99.18687834, 4.49235963}},
                                {{97.51016464, 9.07920774}, {97.51991114, 4.23274587}}};
  for (size_t bar = 0; bar < 3; ++bar) {
    SCOPED_TRACE(bar);
    const BookSnapshot book = run.book(bar);
    EXPECT_EQ(book.ts, run.candles[bar].ts);
    ASSERT_EQ(book.bids.size(), 2u);
    ASSERT_EQ(book.asks.size(), 2u);
    for (size_t j = 0; j < 2; ++j) {
      expect_level(book.bids[j], bids[bar][j].price, bids[bar][j].qty);
      expect_level(book.asks[j], asks[bar][j].price, asks[bar][j].qty);
    }
  }
}

TEST(WorkedExampleTest, TradesAndFunding) {
  const RunBars run = generate_ok(worked_spec());
  EXPECT_TRUE(run.bar_trades(0).empty());
  EXPECT_TRUE(run.bar_trades(1).empty());
  const auto trades = run.bar_trades(2);
  ASSERT_EQ(trades.size(), 2u);
  EXPECT_EQ(trades[0].ts, 1700007200);
  EXPECT_EQ(trades[0].seq, 0u);
  EXPECT_EQ(trades[0].price, 97.49858826);
  EXPECT_EQ(trades[0].qty, 0.58448318);
  EXPECT_EQ(trades[0].side, TradeSide::Buy);
  EXPECT_EQ(trades[1].ts, 1700007200);
  EXPECT_EQ(trades[1].seq, 1u);
  EXPECT_EQ(trades[1].price, 97.47737906);
  EXPECT_EQ(trades[1].qty, 1.21937866);
  EXPECT_EQ(trades[1].side, TradeSide::Buy);

  ASSERT_EQ(run.funding.size(), 1u);
  EXPECT_EQ(run.funding_bar[0], 2u);
  EXPECT_EQ(run.funding[0].ts, 1700007200);
  EXPECT_EQ(run.funding[0].rate, -0.00417948);
}

// Crash (a negative drift: |drift| is subtracted whatever its sign) and vol
// regimes, a negative start time, one level per side and sell trades; values
// worked out independently of this generator.
TEST(PinnedRunTest, CrashThenVol) {
  GenSpec spec;
  spec.seed = UINT64_MAX;
  spec.bars = 4;
  spec.start_price = 250.0;
  spec.start_ts = -7200;
  spec.bar_secs = 60;
  spec.regimes = {{RegimeKind::Crash, 2, -0.01, 0.03}, {RegimeKind::Vol, 2, 0.7, 0.02}};
  spec.microstructure = {1, 12.5, 3.0, FundingSpec{2, -0.0002, 1.5}};
  const RunBars run = generate_ok(spec);
  ASSERT_EQ(run.bar_count(), 4u);

  const double closes[] = {251.9794544, 250.15177264, 247.93394497, 246.7791578};
  const double volumes[] = {1234.94509026, 846.44293782, 1103.73290312, 1037.19704421};
  const size_t trades_end[] = {6, 10, 10, 15};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(run.candles[i].ts, -7200 + 60 * static_cast<int64_t>(i)) << i;
    EXPECT_EQ(run.candles[i].close, closes[i]) << i;
    EXPECT_EQ(run.candles[i].volume, volumes[i]) << i;
    EXPECT_EQ(run.trades_end[i], trades_end[i]) << i;
  }
  EXPECT_EQ(run.candles[0].high, 257.28947866);
  EXPECT_EQ(run.candles[0].low, 244.84041837);
  expect_level(run.book(1).bids[0], 249.95748951, 6.88766402);
  expect_level(run.book(1).asks[0], 250.34605578, 9.63218937);

  const TradeSide S = TradeSide::Sell, B = TradeSide::Buy;
  const TradeSide sides[] = {S, S, S, S, B, B, S, S, S, S, S, B, B, B, B};
  for (size_t k = 0; k < 15; ++k) EXPECT_EQ(run.trades[k].side, sides[k]) << k;
  EXPECT_EQ(run.trades[1].price, 251.91061421);
  EXPECT_EQ(run.trades[1].qty, 1.26353664);

  ASSERT_EQ(run.funding.size(), 2u);
  EXPECT_EQ(run.funding[0].ts, -7140);
  EXPECT_EQ(run.funding[0].rate, 0.00025518);
  EXPECT_EQ(run.funding[1].ts, -7020);
  EXPECT_EQ(run.funding[1].rate, -0.01038049);
}

// Every double stored is a round8 value; high and low bracket open and close.
TEST(GenerateTest, CandleInvariants) {
  GenSpec spec = simple_spec(RegimeKind::Vol, 500, 0.0, 0.05);
  spec.regimes = {{RegimeKind::Trend, 100, 0.002, 0.03},
                  {RegimeKind::Range, 150, 0.3, 0.02},
                  {RegimeKind::Crash, 50, 0.01, 0.04},
                  {RegimeKind::Vol, 200, 0.0, 0.05}};
  const RunBars run = generate_ok(spec);
  ASSERT_EQ(run.bar_count(), 500u);
  for (size_t i = 0; i < run.bar_count(); ++i) {
    const Candle& c = run.candles[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(c.ts, spec.start_ts + static_cast<int64_t>(i) * spec.bar_secs);
    if (i > 0) {
      EXPECT_EQ(c.open, run.candles[i - 1].close);
    }
    EXPECT_GE(c.high, std::max(c.open, c.close));
    EXPECT_LE(c.low, std::min(c.open, c.close));
    EXPECT_GE(c.volume, 500.0);
    for (double x : {c.open, c.high, c.low, c.close, c.volume}) EXPECT_EQ(round8(x), x);
  }
  for (size_t i = 0; i < run.trades.size(); ++i) EXPECT_EQ(run.trades[i].seq, i);
}

TEST(GenerateTest, TrendWithZeroVolCompoundsDrift) {
  const RunBars run = generate_ok(simple_spec(RegimeKind::Trend, 6, 0.001, 0.0));
  double price = 100.0;
  for (size_t i = 0; i < 6; ++i) {
    price = std::exp(0.001) * price;
    EXPECT_EQ(run.candles[i].close, round8(price)) << i;
  }
  EXPECT_NE(run.candles[0].volume, run.candles[1].volume);  // the shock is still drawn
}

TEST(GenerateTest, VolKindWithZeroVolNeverMoves) {
  const RunBars run = generate_ok(simple_spec(RegimeKind::Vol, 5, 0.3, 0.0));
  for (const Candle& c : run.candles) {
    EXPECT_EQ(c.open, 100.0);
    EXPECT_EQ(c.high, 100.0);
    EXPECT_EQ(c.low, 100.0);
    EXPECT_EQ(c.close, 100.0);
  }
}

// A range regime holds its first bar's open as the anchor, so with zero vol
// it stays flat at the previous regime's last close.
TEST(GenerateTest, RangeAnchorsAtRegimeStart) {
  GenSpec spec = simple_spec(RegimeKind::Trend, 5, 0.0, 0.0);
  spec.regimes = {{RegimeKind::Trend, 2, 0.05, 0.01}, {RegimeKind::Range, 3, 0.5, 0.0}};
  const RunBars run = generate_ok(spec);
  const double anchor = run.candles[1].close;
  EXPECT_NE(anchor, 100.0);
  for (size_t i = 2; i < 5; ++i) {
    EXPECT_EQ(run.candles[i].open, anchor) << i;
    EXPECT_EQ(run.candles[i].close, anchor) << i;
    EXPECT_EQ(run.candles[i].high, anchor) << i;
  }
}

// Draws per bar: shock 2, wick 1, volume 1, 2 * depth levels, then
// count + 1 and 2 per trade when the rate is positive. Bar 1's volume is
// rebuilt from a fresh source advanced by bar 0's budget.
struct DrawBudgetCase {
  uint64_t depth;
  double trade_rate;
};

class DrawBudgetTest : public testing::TestWithParam<DrawBudgetCase> {};

TEST_P(DrawBudgetTest, SecondBarStartsAfterFirstBarsDraws) {
  const auto [depth, rate] = GetParam();
  const RunBars run = generate_ok(simple_spec(RegimeKind::Vol, 2, 0.0, 0.01, depth, 5.0, rate));
  const uint64_t count = run.bar_trades(0).size();
  uint64_t draws = 4 + 2 * depth;
  if (rate > 0) draws += count + 1 + 2 * count;

  RandomSource rng = RandomSource::from_seed(7);
  for (uint64_t i = 0; i < draws; ++i) rng.next_u64();
  const double z = rng.standard_normal();
  rng.uniform();  // wick
  const double volume = ((std::fabs(z) * 0.5 + 1.0) * 1000.0) * (rng.uniform() + 0.5);
  EXPECT_EQ(run.candles[1].volume, round8(volume));
}

INSTANTIATE_TEST_SUITE_P(Budgets, DrawBudgetTest,
                         testing::Values(DrawBudgetCase{1, 0.0}, DrawBudgetCase{3, 0.0},
                                         DrawBudgetCase{2, 1.0}, DrawBudgetCase{2, 6.0}));

TEST(GenerateTest, ZeroSpreadQuotesAndTradesAtTheClose) {
  const RunBars run = generate_ok(simple_spec(RegimeKind::Vol, 20, 0.0, 0.02, 3, 0.0, 4.0));
  ASSERT_FALSE(run.trades.empty());
  for (size_t bar = 0; bar < run.bar_count(); ++bar) {
    const double close = run.candles[bar].close;
    EXPECT_EQ(run.book(bar).bids[0].price, close);
    EXPECT_EQ(run.book(bar).asks[0].price, close);
    for (const Trade& t : run.bar_trades(bar)) {
      EXPECT_EQ(t.price, close);
      EXPECT_EQ(t.side, TradeSide::Buy);
      EXPECT_EQ(t.ts, run.candles[bar].ts);
    }
  }
}

struct FundingCase {
  uint64_t bars;
  uint64_t interval;
  std::vector<uint64_t> funding_bars;
};

class FundingTest : public testing::TestWithParam<FundingCase> {};

TEST_P(FundingTest, PointsFallOnTheLastBarOfEachInterval) {
  const FundingCase& c = GetParam();
  GenSpec spec = simple_spec(RegimeKind::Vol, c.bars, 0.0, 0.01);
  spec.microstructure.funding = FundingSpec{c.interval, 0.00012345678, 0.0};
  const RunBars run = generate_ok(spec);
  EXPECT_EQ(run.funding_bar, c.funding_bars);
  ASSERT_EQ(run.funding.size(), c.funding_bars.size());
  for (size_t k = 0; k < run.funding.size(); ++k) {
    EXPECT_EQ(run.funding[k].ts, run.candles[c.funding_bars[k]].ts);
    EXPECT_EQ(run.funding[k].rate, 0.00012346);  // sensitivity 0: round8(base_rate)
  }
}

INSTANTIATE_TEST_SUITE_P(Intervals, FundingTest,
                         testing::Values(FundingCase{10, 4, {3, 7}}, FundingCase{3, 1, {0, 1, 2}},
                                         FundingCase{3, 4, {}}));

TEST(GenerateTest, Timestamps) {
  GenSpec one = simple_spec(RegimeKind::Vol, 1, 0.0, 0.01);
  one.start_ts = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(generate_ok(one).candles[0].ts, std::numeric_limits<int64_t>::max());

  GenSpec two = simple_spec(RegimeKind::Vol, 2, 0.0, 0.01);
  two.start_ts = std::numeric_limits<int64_t>::max() - 3600;
  const RunBars run = generate_ok(two);
  EXPECT_EQ(run.candles[1].ts, std::numeric_limits<int64_t>::max());
  EXPECT_EQ(run.book(1).ts, std::numeric_limits<int64_t>::max());
}

TEST(GenerateTest, Determinism) {
  const GenSpec spec = simple_spec(RegimeKind::Range, 50, 0.2, 0.02, 3, 5.0, 3.0);
  const RunBars a = generate_ok(spec);
  const RunBars b = generate_ok(spec);
  GenSpec reseeded = spec;
  reseeded.seed = 8;
  const RunBars c = generate_ok(reseeded);
  for (size_t i = 0; i < 50; ++i) {
    EXPECT_EQ(std::memcmp(&a.candles[i], &b.candles[i], sizeof(Candle)), 0) << i;
    EXPECT_NE(a.candles[i].volume, c.candles[i].volume) << i;
  }
  ASSERT_EQ(a.levels.size(), b.levels.size());
  EXPECT_EQ(std::memcmp(a.levels.data(), b.levels.data(), a.levels.size() * sizeof(BookLevel)), 0);
}

TEST(GenerateTest, BadSpecIsRefusedBeforeAnythingRuns) {
  GenSpec spec = simple_spec(RegimeKind::Vol, 3, 0.0, 0.01);
  spec.bars = 0;
  // A run takes only a validated spec; validation refuses this one.
  Result<ValidSpec> checked = validate_spec(spec);
  ASSERT_FALSE(checked.ok());
  EXPECT_EQ(checked.error().kind, ErrorKind::BadSpec);
  EXPECT_EQ(checked.error().message, "bars must be > 0");
}

struct NumericCase {
  const char* name;
  std::vector<Regime> regimes;
  bool fails;
};

// exp(-800) underflows: a close of exactly 0 is finite and later bars of a
// walk stay at 0, but a range regime then divides 0 by 0.
const NumericCase kNumericCases[] = {
    {"HugeVolFailsAtBarZero", {{RegimeKind::Vol, 3, 0.0, 3000.0}}, true},
    {"CloseUnderflowsToZero", {{RegimeKind::Crash, 1, 800.0, 0.0}, {RegimeKind::Trend, 2, 0.0, 0.01}}, false},
    {"RangeAfterZeroClose", {{RegimeKind::Crash, 1, 800.0, 0.0}, {RegimeKind::Range, 2, 0.5, 0.01}}, true},
    {"LateOverflow", {{RegimeKind::Vol, 2, 0.0, 0.01}, {RegimeKind::Trend, 1, 800.0, 0.0}}, true},
};

class NumericTest : public testing::TestWithParam<NumericCase> {};

TEST_P(NumericTest, NonFiniteStopsTheRunWithNothingReturned) {
  GenSpec spec = simple_spec(RegimeKind::Vol, 3, 0.0, 0.0);
  spec.regimes = GetParam().regimes;
  Result<RunBars> run = generate_bars(valid(spec));
  if (!GetParam().fails) {
    ASSERT_TRUE(run.ok());
    EXPECT_EQ(run.value().candles[2].close, 0.0);
    return;
  }
  ASSERT_FALSE(run.ok());
  EXPECT_EQ(run.error().kind, ErrorKind::Numeric);
  EXPECT_EQ(run.error().message, "price walk produced a non-finite value");
}

INSTANTIATE_TEST_SUITE_P(Walks, NumericTest, testing::ValuesIn(kNumericCases),
                         [](const auto& info) { return std::string(info.param.name); });

// bars * 2 * depth wraps to a small number without the check; it must fail
// as a size error instead of under-reserving.
TEST(GenerateTest, OverflowingLevelCountIsASizeError) {
  for (uint64_t depth : {uint64_t{1} << 62, uint64_t{1} << 63, UINT64_MAX}) {
    GenSpec spec = simple_spec(RegimeKind::Vol, 4, 0.0, 0.01, depth);
    Result<RunBars> run = generate_bars(valid(spec));
    ASSERT_FALSE(run.ok()) << depth;
    EXPECT_EQ(run.error().kind, ErrorKind::OutOfMemory) << depth;
  }
}

struct Round8Case {
  double x;
  double expected;
};

class Round8Test : public testing::TestWithParam<Round8Case> {};

TEST_P(Round8Test, Value) {
  const double got = round8(GetParam().x);
  if (std::isnan(GetParam().expected)) {
    EXPECT_TRUE(std::isnan(got));
  } else {
    EXPECT_EQ(got, GetParam().expected);
    EXPECT_EQ(std::signbit(got), std::signbit(GetParam().expected));
  }
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();

INSTANTIATE_TEST_SUITE_P(
    Values, Round8Test,
    testing::Values(Round8Case{100.744706334999, 100.74470633}, Round8Case{0.125, 0.125},
                    Round8Case{2.5e-8, 3e-8}, Round8Case{-2.5e-8, -3e-8},
                    Round8Case{1.000000005, 1.00000001}, Round8Case{5e-9, 1e-8},
                    Round8Case{0.4999999999e-8, 0.0}, Round8Case{-0.0, -0.0}, Round8Case{-1e-12, -0.0},
                    Round8Case{1e301, 1e301}, Round8Case{-1e301, -1e301}, Round8Case{1.8e300, 1.8e300},
                    Round8Case{kMax, kMax}, Round8Case{kInf, kInf}, Round8Case{-kInf, -kInf},
                    Round8Case{std::nan(""), std::nan("")}));

TEST(GenerateTest, LargeFiniteStartPriceIsKept) {
  GenSpec spec = simple_spec(RegimeKind::Vol, 2, 0.0, 0.0);
  spec.start_price = 1e301;
  const RunBars run = generate_ok(spec);
  EXPECT_EQ(run.candles[0].open, 1e301);
  EXPECT_EQ(run.candles[1].close, 1e301);
}

}  // namespace
}  // namespace talpen
