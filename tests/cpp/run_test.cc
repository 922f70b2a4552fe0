#include "core/run.h"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "valid_spec.h"

namespace talpen {
namespace {

GenSpec make_spec(uint64_t bars, double trade_rate, std::optional<FundingSpec> funding) {
  GenSpec spec;
  spec.seed = 42;
  spec.bars = bars;
  spec.start_price = 100.0;
  spec.regimes = {{RegimeKind::Vol, bars, 0.0, 0.02}};
  spec.microstructure = {2, 5.0, trade_rate, funding};
  return spec;
}

GenSpec worked_spec() {
  GenSpec spec = make_spec(3, 1.0, FundingSpec{3, 0.0001, 0.5});
  spec.regimes = {{RegimeKind::Trend, 1, 0.001, 0.01}, {RegimeKind::Range, 2, 0.5, 0.02}};
  return spec;
}

using K = StreamEventKind;

TEST(RunStreamTest, WorkedExample) {
  Result<StreamResult> out = run_stream(valid(worked_spec()));
  ASSERT_TRUE(out.ok());
  const std::vector<StreamEvent>& events = out.value().events;
  const std::vector<std::pair<K, uint64_t>> expected = {
      {K::Snapshot, 0}, {K::Candle, 0}, {K::Snapshot, 1}, {K::Candle, 1}, {K::Trade, 0},
      {K::Trade, 1},    {K::Snapshot, 2}, {K::Candle, 2}, {K::Funding, 0}};
  ASSERT_EQ(events.size(), expected.size());
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].kind, expected[i].first) << i;
    EXPECT_EQ(events[i].index, expected[i].second) << i;
  }
  EXPECT_EQ(out.value().run.trades[1].seq, 1u);
  EXPECT_EQ(out.value().run.funding[0].rate, -0.00417948);
}

TEST(RunStreamTest, NoTradesNoFundingAlternatesBookThenCandle) {
  Result<StreamResult> out = run_stream(valid(make_spec(6, 0.0, std::nullopt)));
  ASSERT_TRUE(out.ok());
  const auto& events = out.value().events;
  ASSERT_EQ(events.size(), 12u);
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].kind, i % 2 == 0 ? K::Snapshot : K::Candle) << i;
    EXPECT_EQ(events[i].index, i / 2) << i;
  }
}

// Each bar's group: its trades in order, its book, its candle, then its
// funding point; the stream covers every record of the batch exactly once.
struct StreamCase {
  double trade_rate;
  uint64_t interval;
};

class StreamShapeTest : public testing::TestWithParam<StreamCase> {};

TEST_P(StreamShapeTest, MatchesBatchGroupedByBar) {
  const GenSpec spec = make_spec(40, GetParam().trade_rate, FundingSpec{GetParam().interval, 0.0, 1.0});
  Result<StreamResult> stream = run_stream(valid(spec));
  Result<BatchResult> batch = run_batch(valid(spec));
  ASSERT_TRUE(stream.ok());
  ASSERT_TRUE(batch.ok());
  const RunBars& run = stream.value().run;
  ASSERT_EQ(run.trades.size(), batch.value().trades.size());
  for (size_t i = 0; i < run.trades.size(); ++i) EXPECT_EQ(run.trades[i].price, batch.value().trades[i].price);

  const auto& events = stream.value().events;
  EXPECT_EQ(events.size(), 2 * run.bar_count() + run.trades.size() + run.funding.size());
  size_t e = 0;
  uint64_t next_trade = 0;
  uint64_t next_funding = 0;
  for (size_t bar = 0; bar < run.bar_count(); ++bar) {
    for (size_t t = 0; t < run.bar_trades(bar).size(); ++t, ++e) {
      ASSERT_EQ(events[e].kind, K::Trade);
      EXPECT_EQ(events[e].index, next_trade++);
      EXPECT_EQ(run.trades[events[e].index].ts, run.candles[bar].ts);
    }
    ASSERT_EQ(events[e].kind, K::Snapshot);
    EXPECT_EQ(events[e++].index, bar);
    ASSERT_EQ(events[e].kind, K::Candle);
    EXPECT_EQ(events[e++].index, bar);
    if ((bar + 1) % GetParam().interval == 0) {
      ASSERT_EQ(events[e].kind, K::Funding);
      EXPECT_EQ(run.funding[events[e].index].ts, run.candles[bar].ts);
      EXPECT_EQ(events[e++].index, next_funding++);
    }
  }
  EXPECT_EQ(e, events.size());
  EXPECT_EQ(next_funding, run.funding.size());
}

INSTANTIATE_TEST_SUITE_P(Shapes, StreamShapeTest,
                         testing::Values(StreamCase{0.0, 1}, StreamCase{3.0, 1}, StreamCase{3.0, 7},
                                         StreamCase{0.5, 50}));

TEST(RunTest, ErrorsPassThroughUnchanged) {
  GenSpec numeric = make_spec(3, 1.0, std::nullopt);
  numeric.regimes[0].vol = 3000.0;
  GenSpec huge = make_spec(uint64_t{1} << 50, 1.0, std::nullopt);
  huge.bar_secs = 1;

  const struct {
    GenSpec spec;
    ErrorKind kind;
    const char* message;
  } cases[] = {{numeric, ErrorKind::Numeric, "price walk produced a non-finite value"},
               {huge, ErrorKind::OutOfMemory, "the run's storage exceeds the machine's memory"}};
  for (const auto& c : cases) {
    Result<BatchResult> batch = run_batch(valid(c.spec));
    Result<StreamResult> stream = run_stream(valid(c.spec));
    ASSERT_FALSE(batch.ok());
    ASSERT_FALSE(stream.ok());
    EXPECT_EQ(batch.error().kind, c.kind);
    EXPECT_EQ(batch.error().message, c.message);
    EXPECT_EQ(stream.error().kind, c.kind);
    EXPECT_EQ(stream.error().message, c.message);
  }
}

}  // namespace
}  // namespace talpen
