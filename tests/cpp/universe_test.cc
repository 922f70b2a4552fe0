#include "core/universe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "core/generate.h"
#include "valid_spec.h"

namespace talpen {
namespace {

GenSpec instrument(uint64_t seed, uint64_t bars, RegimeKind kind, double vol, double trade_rate) {
  GenSpec spec;
  spec.seed = seed;
  spec.bars = bars;
  spec.start_price = 100.0;
  spec.regimes = {{kind, bars / 2, 0.0005, vol}, {RegimeKind::Range, bars - bars / 2, 0.2, vol}};
  spec.microstructure = {2, 5.0, trade_rate, FundingSpec{8, 0.0001, 0.5}};
  return spec;
}

template <class T>
bool same_bytes(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// The universe in chunks of 7, each instrument's candles and levels laid end to end.
std::vector<RunBars> run_universe(const std::vector<ValidSpec>& specs, ShockMix mix) {
  UniverseCursor universe(specs, std::move(mix));
  std::vector<RunBars> all(specs.size());
  std::vector<RunBars> part;
  while (!universe.at_end()) {
    EXPECT_TRUE(universe.next(7, &part).ok());
    for (size_t i = 0; i < specs.size(); ++i) {
      all[i].candles.insert(all[i].candles.end(), part[i].candles.begin(), part[i].candles.end());
      all[i].levels.insert(all[i].levels.end(), part[i].levels.begin(), part[i].levels.end());
    }
  }
  return all;
}

TEST(UniverseTest, UncorrelatedMixesLeaveEveryInstrumentItsStandaloneRun) {
  const std::vector<ValidSpec> specs = {valid(instrument(1, 60, RegimeKind::Trend, 0.01, 2.0)),
                                        valid(instrument(2, 60, RegimeKind::Crash, 0.02, 0.0)),
                                        valid(instrument(3, 60, RegimeKind::Vol, 0.015, 4.0))};
  ShockMix identity;
  identity.lower = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  ShockMix unloaded;
  unloaded.market_seed = 9;
  unloaded.loadings = {0.0, 0.0, 0.0};
  for (const ShockMix& mix : {identity, unloaded}) {
    const std::vector<RunBars> got = run_universe(specs, mix);
    for (size_t i = 0; i < specs.size(); ++i) {
      const Result<RunBars> alone = generate_bars(specs[i]);
      ASSERT_TRUE(alone.ok());
      EXPECT_TRUE(same_bytes(got[i].candles, alone.value().candles)) << i;
      EXPECT_TRUE(same_bytes(got[i].levels, alone.value().levels)) << i;
    }
  }
}

// Row i of the factor times the drawn shocks, k = 0, 1, ..., i in that
// order with zero factors left out, bit for bit: factors with zeros before,
// between and after a row's terms, rows of one term and of none, and shocks
// of either zero among them.
TEST(UniverseTest, FactorMixSumsEachRowInOrder) {
  std::mt19937_64 random(5);
  std::uniform_real_distribution<double> entry(-1.0, 1.0);
  for (size_t n : {1, 2, 5, 17, 50}) {
    std::vector<double> lower(n * n, 0.0);
    for (size_t i = 0; i < n; ++i) {
      for (size_t k = 0; k <= i; ++k) lower[i * n + k] = random() % 3 == 0 ? 0.0 : entry(random);
    }
    if (n >= 5) std::fill(lower.begin() + 3 * n, lower.begin() + 4 * n, 0.0);  // a row of none
    const FactorMix factor(lower, n);
    constexpr size_t kBars = 40;
    std::vector<double> drawn(n * kBars), sums(kBars);  // instrument by instrument
    for (double& z : drawn) z = random() % 10 == 0 ? (random() % 2 ? 0.0 : -0.0) : 3 * entry(random);
    for (size_t i = 0; i < n; ++i) {
      factor.partial_sums(i, drawn.data(), kBars, kBars, sums.data());
      for (size_t b = 0; b < kBars; ++b) {
        double want = 0.0;
        bool first = true;
        for (size_t k = 0; k <= i; ++k) {
          if (lower[i * n + k] == 0.0) continue;
          const double term = lower[i * n + k] * drawn[k * kBars + b];
          want = first ? term : want + term;
          first = false;
        }
        const double got = factor.finish(i, sums[b], drawn[i * kBars + b]);
        ASSERT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(want)) << n << " " << i << " " << b;
      }
    }
  }
}

// The definition a universe's chunks must match byte for byte: a bar at a
// time, every instrument's shock drawn, then each mixed and its bar finished
// in the universe's order, up to the first bar that fails.
struct Lockstep {
  std::vector<RunBars> runs;
  std::optional<UniverseCursor::BarFailure> failure;
};

Lockstep lockstep(const std::vector<ValidSpec>& specs, const std::vector<double>& lower, const ShockMix& mix) {
  const size_t n = specs.size();
  std::vector<RunCursor> cursors;
  for (const ValidSpec& spec : specs) cursors.emplace_back(spec);
  RandomSource market = RandomSource::from_seed(mix.market_seed.value_or(0));
  Lockstep out;
  out.runs.resize(n);
  const uint64_t bars = specs.front()->bars;
  for (size_t i = 0; i < n; ++i) EXPECT_TRUE(cursors[i].begin_chunk(bars, &out.runs[i]).ok());
  for (uint64_t b = 0; b < bars; ++b) {
    std::vector<double> z(n);
    for (size_t i = 0; i < n; ++i) z[i] = cursors[i].draw_shock();
    const double m = mix.market_seed ? market.standard_normal() : 0.0;
    for (size_t i = 0; i < n; ++i) {
      double shock = 0.0;
      if (mix.market_seed) {
        const double loading = mix.loadings[i];
        shock = loading == 0.0 ? z[i] : loading * m + std::sqrt(1.0 - loading * loading) * z[i];
      } else {
        bool first = true;
        for (size_t k = 0; k <= i; ++k) {
          if (lower[i * n + k] == 0.0) continue;
          shock = first ? lower[i * n + k] * z[k] : shock + lower[i * n + k] * z[k];
          first = false;
        }
      }
      if (!cursors[i].finish_bar(shock, &out.runs[i]).ok()) {
        out.failure = UniverseCursor::BarFailure{i, b};
        return out;
      }
    }
  }
  return out;
}

bool same_trades(const std::vector<Trade>& a, const std::vector<Trade>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].seq != b[i].seq || std::bit_cast<uint64_t>(a[i].price) != std::bit_cast<uint64_t>(b[i].price) ||
        std::bit_cast<uint64_t>(a[i].qty) != std::bit_cast<uint64_t>(b[i].qty)) {
      return false;
    }
  }
  return true;
}

// Random universes, mixed by factors with zeros or by a market, some with an
// instrument whose walk overflows part way: in chunks of any size, the same
// bytes as bar at a time, and the same failing instrument and bar.
TEST(UniverseTest, ChunksMatchBarAtATimeOverAllInstruments) {
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> entry(-1.0, 1.0);
  for (int round = 0; round < 60; ++round) {
    const size_t n = 1 + random() % 6;
    const uint64_t bars = 20 + random() % 40;
    std::vector<ValidSpec> specs;
    for (size_t i = 0; i < n; ++i) {
      GenSpec spec = instrument(random(), bars, static_cast<RegimeKind>(random() % 4), 0.02, (random() % 3) * 2.0);
      if (round % 4 == 3 && random() % 2 == 0) {  // overflows at a random bar
        const uint64_t at = 1 + random() % (bars - 1);
        spec.regimes = {{RegimeKind::Vol, at, 0.0, 0.01}, {RegimeKind::Trend, bars - at, 800.0, 0.0}};
      }
      specs.push_back(valid(spec));
    }
    std::vector<double> lower(n * n, 0.0);
    for (size_t i = 0; i < n; ++i) {
      for (size_t k = 0; k <= i; ++k) lower[i * n + k] = random() % 4 == 0 ? 0.0 : entry(random);
    }
    ShockMix mix;
    if (round % 2 == 0) {
      mix.lower = lower;
    } else {
      mix.market_seed = random();
      for (size_t i = 0; i < n; ++i) mix.loadings.push_back(random() % 4 == 0 ? 0.0 : entry(random));
    }
    const Lockstep want = lockstep(specs, lower, mix);
    for (uint64_t chunk : {uint64_t{1}, uint64_t{7}, uint64_t{1000}}) {
      UniverseCursor universe(specs, mix);
      std::vector<RunBars> all(n), part;
      bool failed = false;
      while (!universe.at_end()) {
        if (!universe.next(chunk, &part).ok()) {
          failed = true;
          break;
        }
        for (size_t i = 0; i < n; ++i) {
          all[i].candles.insert(all[i].candles.end(), part[i].candles.begin(), part[i].candles.end());
          all[i].levels.insert(all[i].levels.end(), part[i].levels.begin(), part[i].levels.end());
          all[i].trades.insert(all[i].trades.end(), part[i].trades.begin(), part[i].trades.end());
        }
      }
      ASSERT_EQ(failed, want.failure.has_value()) << round << " chunk " << chunk;
      if (failed) {
        ASSERT_TRUE(universe.bar_failure().has_value());
        EXPECT_EQ(universe.bar_failure()->instrument, want.failure->instrument) << round;
        EXPECT_EQ(universe.bar_failure()->bar, want.failure->bar) << round;
        continue;
      }
      for (size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(same_bytes(all[i].candles, want.runs[i].candles)) << round << " " << i << " chunk " << chunk;
        ASSERT_TRUE(same_bytes(all[i].levels, want.runs[i].levels)) << round << " " << i;
        ASSERT_TRUE(same_trades(all[i].trades, want.runs[i].trades)) << round << " " << i;
      }
    }
  }
}

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
  double ma = 0, mb = 0;
  for (size_t i = 0; i < a.size(); ++i) ma += a[i], mb += b[i];
  ma /= a.size(), mb /= b.size();
  double sab = 0, saa = 0, sbb = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    sab += (a[i] - ma) * (b[i] - mb), saa += (a[i] - ma) * (a[i] - ma), sbb += (b[i] - mb) * (b[i] - mb);
  }
  return sab / std::sqrt(saa * sbb);
}

// Log returns of trend regimes are linear in the shock, so they take the
// target correlation.
std::vector<std::vector<double>> log_returns(const std::vector<RunBars>& runs) {
  std::vector<std::vector<double>> out;
  for (const RunBars& run : runs) {
    std::vector<double> r;
    for (const Candle& c : run.candles) r.push_back(std::log(c.close / c.open));
    out.push_back(std::move(r));
  }
  return out;
}

TEST(UniverseTest, TrendReturnsTakeTheTargetCorrelation) {
  constexpr uint64_t kBars = 100000;
  std::vector<ValidSpec> specs;
  for (uint64_t i = 0; i < 3; ++i) {
    GenSpec s = instrument(10 + i, kBars, RegimeKind::Trend, 0.01, 0.0);
    s.regimes = {{RegimeKind::Trend, kBars, 0.0, 0.01 * static_cast<double>(i + 1)}};
    specs.push_back(valid(s));
  }
  const std::vector<double> target = {1, 0.6, -0.3, 0.6, 1, 0.2, -0.3, 0.2, 1};
  ShockMix matrix;
  matrix.lower = lower_cholesky(target, 3).value();
  auto r = log_returns(run_universe(specs, matrix));
  EXPECT_NEAR(correlation(r[0], r[1]), 0.6, 0.02);
  EXPECT_NEAR(correlation(r[0], r[2]), -0.3, 0.02);
  EXPECT_NEAR(correlation(r[1], r[2]), 0.2, 0.02);

  ShockMix factor;
  factor.market_seed = 77;
  factor.loadings = {0.9, 0.5, -0.4};
  r = log_returns(run_universe(specs, factor));
  EXPECT_NEAR(correlation(r[0], r[1]), 0.45, 0.02);
  EXPECT_NEAR(correlation(r[0], r[2]), -0.36, 0.02);
  EXPECT_NEAR(correlation(r[1], r[2]), -0.2, 0.02);
}

TEST(UniverseTest, CholeskyOfSingularAndIndefiniteMatrices) {
  // Perfectly correlated: a zero pivot, a zero column.
  const Result<std::vector<double>> singular = lower_cholesky({1, 1, 1, 1}, 2);
  ASSERT_TRUE(singular.ok());
  EXPECT_EQ(singular.value(), (std::vector<double>{1, 0, 1, 0}));
  const Result<std::vector<double>> indefinite = lower_cholesky({1, 0.9, 0.9, 0.9, 1, -0.9, 0.9, -0.9, 1}, 3);
  ASSERT_FALSE(indefinite.ok());
  EXPECT_EQ(indefinite.error().kind, ErrorKind::BadSpec);
}

}  // namespace
}  // namespace talpen
