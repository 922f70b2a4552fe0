// The records of a generation spec: plain values, copied whole, never edited
// in place. Their fields, keys and rules are described in spec_fields.h; the
// member initializers here are the defaults of optional fields.
#ifndef TALPEN_CORE_SPEC_H_
#define TALPEN_CORE_SPEC_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace talpen {

enum class RegimeKind : unsigned char { Trend = 0, Range = 1, Crash = 2, Vol = 3 };

// Exact, case-sensitive lookup of "trend", "range", "crash", "vol".
std::optional<RegimeKind> regime_kind_from_name(std::string_view name);
std::string_view regime_kind_name(RegimeKind kind);

struct Regime {
  RegimeKind kind = RegimeKind::Trend;
  uint64_t len = 0;
  double drift = 0.0;
  double vol = 0.0;
};

struct FundingSpec {
  uint64_t interval_bars = 0;
  double base_rate = 0.0;
  double sensitivity = 0.0;
};

struct Microstructure {
  uint64_t book_depth = 0;
  double spread_bps = 0.0;
  double trade_rate = 0.0;
  std::optional<FundingSpec> funding;
};

constexpr int64_t kDefaultStartTs = 1700000000;
constexpr int64_t kDefaultBarSecs = 3600;

struct GenSpec {
  uint64_t seed = 0;
  uint64_t bars = 0;
  double start_price = 0.0;
  int64_t start_ts = kDefaultStartTs;
  int64_t bar_secs = kDefaultBarSecs;
  std::vector<Regime> regimes;
  Microstructure microstructure;
};

// Field-by-field equality (doubles by bit pattern, so -0.0 != 0.0).
bool operator==(const Regime& a, const Regime& b);
bool operator==(const FundingSpec& a, const FundingSpec& b);
bool operator==(const Microstructure& a, const Microstructure& b);
bool operator==(const GenSpec& a, const GenSpec& b);

}  // namespace talpen

#endif  // TALPEN_CORE_SPEC_H_
