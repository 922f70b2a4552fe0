#include "core/validate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

namespace talpen {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();

// Ten bars in two regimes, with funding: passes every rule.
GenSpec good_spec() {
  GenSpec s;
  s.seed = 7;
  s.bars = 10;
  s.start_price = 100.0;
  s.regimes = {{RegimeKind::Trend, 4, 0.001, 0.02}, {RegimeKind::Crash, 6, -0.01, 0.05}};
  s.microstructure.book_depth = 5;
  s.microstructure.spread_bps = 2.0;
  s.microstructure.trade_rate = 3.0;
  s.microstructure.funding = FundingSpec{8, 0.0001, 0.5};
  return s;
}

void set_single_regime(GenSpec& s, uint64_t bars) {
  s.bars = bars;
  s.regimes = {{RegimeKind::Vol, bars, 0.0, 0.01}};
}

struct Case {
  const char* name;
  std::function<void(GenSpec&)> edit;
  const char* message;  // nullptr: the spec passes
};

class ValidateTest : public ::testing::TestWithParam<Case> {};

TEST_P(ValidateTest, FirstBrokenRule) {
  GenSpec s = good_spec();
  GetParam().edit(s);
  const Result<ValidSpec> got = validate_spec(s);
  if (GetParam().message == nullptr) {
    EXPECT_TRUE(got.ok()) << got.error().message;
  } else {
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind, ErrorKind::BadSpec);
    EXPECT_EQ(got.error().message, GetParam().message);
  }
}

const Case kCases[] = {
    {"good", [](GenSpec&) {}, nullptr},
    {"no_funding", [](GenSpec& s) { s.microstructure.funding.reset(); }, nullptr},

    // Rule order: only the first broken rule is reported.
    {"bars0_and_no_regimes", [](GenSpec& s) { s.bars = 0, s.regimes.clear(); }, "bars must be > 0"},
    {"bars0_with_len0",
     [](GenSpec& s) { s.bars = 0, s.regimes = {{RegimeKind::Trend, 0, 0, 0}}; }, "bars must be > 0"},
    {"book_depth_before_rates",
     [](GenSpec& s) {
       s.microstructure.book_depth = 0;
       s.microstructure.spread_bps = -1;
       s.microstructure.trade_rate = kNaN;
     },
     "book_depth must be > 0"},
    {"all_scalars_broken",
     [](GenSpec& s) { s.start_price = -1, s.bar_secs = 0, s.regimes.clear(); },
     "start_price must be finite and > 0"},

    // Rule 2.
    {"price_zero", [](GenSpec& s) { s.start_price = 0.0; }, "start_price must be finite and > 0"},
    {"price_neg_zero", [](GenSpec& s) { s.start_price = -0.0; }, "start_price must be finite and > 0"},
    {"price_nan", [](GenSpec& s) { s.start_price = kNaN; }, "start_price must be finite and > 0"},
    {"price_inf", [](GenSpec& s) { s.start_price = kInf; }, "start_price must be finite and > 0"},
    {"price_subnormal", [](GenSpec& s) { s.start_price = 5e-324; }, nullptr},

    // Rule 3.
    {"bar_secs0_one_bar",
     [](GenSpec& s) { set_single_regime(s, 1), s.bar_secs = 0; }, "bar_secs must be > 0"},
    {"bar_secs_neg_one_bar",
     [](GenSpec& s) { set_single_regime(s, 1), s.bar_secs = -1; }, "bar_secs must be > 0"},
    {"bar_secs_min", [](GenSpec& s) { s.bar_secs = kI64Min; }, "bar_secs must be > 0"},

    // Rules 4 to 6.
    {"no_regimes", [](GenSpec& s) { s.regimes.clear(); }, "regimes must not be empty"},
    {"vol_before_later_len0",
     [](GenSpec& s) { s.regimes = {{RegimeKind::Trend, 3, 0, -1}, {RegimeKind::Trend, 0, 0, 0}}; },
     "regime vol must be finite and >= 0"},
    {"len0_with_bars5",
     [](GenSpec& s) { s.bars = 5, s.regimes = {{RegimeKind::Trend, 0, 0, 0}}; },
     "regime len must be > 0"},
    {"len_before_drift",
     [](GenSpec& s) { s.regimes[0].len = 0, s.regimes[0].drift = kNaN; }, "regime len must be > 0"},
    {"drift_before_vol",
     [](GenSpec& s) { s.regimes[1].drift = -kInf, s.regimes[1].vol = -1; },
     "regime drift must be finite"},
    {"vol_nan", [](GenSpec& s) { s.regimes[0].vol = kNaN; }, "regime vol must be finite and >= 0"},
    {"vol_inf", [](GenSpec& s) { s.regimes[0].vol = kInf; }, "regime vol must be finite and >= 0"},
    {"vol_zeros_neg_drift",
     [](GenSpec& s) { s.regimes[0].vol = 0.0, s.regimes[1].vol = -0.0, s.regimes[0].drift = -5; },
     nullptr},
    {"regime_fault_before_sum",
     [](GenSpec& s) { s.bars = 99, s.regimes[1].vol = -1; }, "regime vol must be finite and >= 0"},
    {"sum_short", [](GenSpec& s) { s.bars = 11; }, "sum of regime lengths must equal bars"},
    {"sum_long", [](GenSpec& s) { s.bars = 9; }, "sum of regime lengths must equal bars"},
    {"sum_wraps_to_bars",
     [](GenSpec& s) {
       s.bars = 1;
       s.regimes = {{RegimeKind::Trend, kU64Max, 0, 0}, {RegimeKind::Trend, 2, 0, 0}};
     },
     "sum of regime lengths must equal bars"},
    {"sum_wraps_to_zero_many",
     [](GenSpec& s) {
       s.bars = kU64Max;
       s.regimes = {{RegimeKind::Trend, kU64Max, 0, 0},
                    {RegimeKind::Trend, kU64Max, 0, 0},
                    {RegimeKind::Trend, 1, 0, 0}};
     },
     "sum of regime lengths must equal bars"},

    // Rules 7 to 10.
    {"spread_neg", [](GenSpec& s) { s.microstructure.spread_bps = -1e-300; },
     "spread_bps must be finite and >= 0"},
    {"spread_inf", [](GenSpec& s) { s.microstructure.spread_bps = kInf; },
     "spread_bps must be finite and >= 0"},
    {"trade_rate_nan", [](GenSpec& s) { s.microstructure.trade_rate = kNaN; },
     "trade_rate must be finite and >= 0"},
    {"zero_rates",
     [](GenSpec& s) { s.microstructure.spread_bps = 0, s.microstructure.trade_rate = -0.0; }, nullptr},
    {"interval0_before_rates",
     [](GenSpec& s) { s.microstructure.funding = FundingSpec{0, kNaN, kNaN}; },
     "funding.interval_bars must be > 0"},
    {"base_rate_inf", [](GenSpec& s) { s.microstructure.funding->base_rate = kInf; },
     "funding base_rate and sensitivity must be finite"},
    {"sensitivity_nan", [](GenSpec& s) { s.microstructure.funding->sensitivity = kNaN; },
     "funding base_rate and sensitivity must be finite"},
    {"negative_rates", [](GenSpec& s) { s.microstructure.funding = FundingSpec{1, -1, -2}; }, nullptr},
    {"funding_fault_before_overflow",
     [](GenSpec& s) { s.start_ts = kI64Max, s.microstructure.funding->interval_bars = 0; },
     "funding.interval_bars must be > 0"},

    // Rule 11.
    {"ts_max_one_bar", [](GenSpec& s) { set_single_regime(s, 1), s.start_ts = kI64Max; }, nullptr},
    {"ts_min_one_bar", [](GenSpec& s) { set_single_regime(s, 1), s.start_ts = kI64Min; }, nullptr},
    {"ts_max_two_bars",
     [](GenSpec& s) { set_single_regime(s, 2), s.start_ts = kI64Max, s.bar_secs = 1; },
     "start_ts + (bars - 1) * bar_secs overflows i64"},
    {"ts_last_is_max",
     [](GenSpec& s) { set_single_regime(s, 2), s.start_ts = kI64Max - 5, s.bar_secs = 5; }, nullptr},
    {"ts_last_past_max",
     [](GenSpec& s) { set_single_regime(s, 2), s.start_ts = kI64Max - 5, s.bar_secs = 6; },
     "start_ts + (bars - 1) * bar_secs overflows i64"},
    {"ts_min_to_max",
     [](GenSpec& s) { set_single_regime(s, 2), s.start_ts = kI64Min, s.bar_secs = kI64Max; }, nullptr},
    {"product_overflows",
     [](GenSpec& s) { set_single_regime(s, 3), s.start_ts = kI64Min, s.bar_secs = kI64Max; },
     "start_ts + (bars - 1) * bar_secs overflows i64"},
    {"n_is_i64_max",
     [](GenSpec& s) { set_single_regime(s, uint64_t{1} << 63), s.start_ts = kI64Min, s.bar_secs = 1; },
     nullptr},
    {"n_above_i64_max",
     [](GenSpec& s) {
       set_single_regime(s, (uint64_t{1} << 63) + 1), s.start_ts = kI64Min, s.bar_secs = 1;
     },
     "start_ts + (bars - 1) * bar_secs overflows i64"},
    {"bars_u64_max",
     [](GenSpec& s) { set_single_regime(s, kU64Max), s.start_ts = kI64Min, s.bar_secs = 1; },
     "start_ts + (bars - 1) * bar_secs overflows i64"},
};

INSTANTIATE_TEST_SUITE_P(Rules, ValidateTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace talpen
