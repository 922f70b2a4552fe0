#include "core/run_budget.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/generate.h"
#include "valid_spec.h"

namespace talpen {
namespace {

GenSpec spec_of(uint64_t bars, uint64_t depth, double trade_rate,
                std::optional<FundingSpec> funding = std::nullopt) {
  GenSpec spec;
  spec.seed = 1;
  spec.bars = bars;
  spec.start_price = 100.0;
  spec.bar_secs = 1;
  spec.regimes = {{RegimeKind::Vol, bars, 0.0, 0.01}};
  spec.microstructure = {depth, 5.0, trade_rate, funding};
  return spec;
}

TEST(RunBudgetTest, CountsEveryRecordOfTheRun) {
  // Per bar: a 48-byte candle, 2 x 2 levels of 16 bytes, a trade offset and
  // a log return of 8 bytes each.
  EXPECT_EQ(run_record_bytes(spec_of(10, 2, 0.0)), 10 * (48 + 64 + 16));
  // Two funding points (bars 3 and 7), each with its bar number.
  EXPECT_EQ(run_record_bytes(spec_of(10, 2, 0.0, FundingSpec{4, 0.0, 0.0})), 10 * (48 + 64 + 16) + 2 * 24);
}

TEST(RunBudgetTest, TradesCountAtASafeShortfallFromTheirMean) {
  const double bars = 1e6;
  const double base = run_record_bytes(spec_of(1000000, 1, 0.0));
  const double m = 3.0 * bars;
  EXPECT_DOUBLE_EQ(run_record_bytes(spec_of(1000000, 1, 3.0)) - base, (m - 8.0 * std::sqrt(m)) * 40.0);
  // Counts saturate whatever the rate.
  EXPECT_EQ(run_record_bytes(spec_of(1000000, 1, 1e300)), run_record_bytes(spec_of(1000000, 1, 700.0)));
  EXPECT_EQ(run_record_bytes(spec_of(1, 1, 1e-9)), run_record_bytes(spec_of(1, 1, 0.0)));
}

TEST(RunBudgetTest, OnlyRunsBeyondTheMachineAreRefused) {
  ASSERT_GT(machine_memory_bytes(), 0.0);
  EXPECT_TRUE(check_run_fits(spec_of(100000, 10, 5.0), 2.0).ok());
  // Records of about 0.64 times the machine: they alone would fit, with an
  // answer as large beside them they would not.
  const GenSpec big = spec_of(static_cast<uint64_t>(machine_memory_bytes() / 150.0) + 1, 1, 0.0);
  EXPECT_TRUE(check_run_fits(big, 1.0).ok());
  const Status refused = check_run_fits(big, 2.0);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind, ErrorKind::OutOfMemory);
  // Refused by the run itself, before it reserves anything.
  const Result<RunBars> run = generate_bars(valid(spec_of(uint64_t{1} << 62, 1, 0.0)));
  ASSERT_FALSE(run.ok());
  EXPECT_EQ(run.error().kind, ErrorKind::OutOfMemory);
}

}  // namespace
}  // namespace talpen
