#include "core/spec.h"

#include <cstring>

namespace talpen {

namespace {
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

std::optional<RegimeKind> regime_kind_from_name(std::string_view name) {
  if (name == "trend") return RegimeKind::Trend;
  if (name == "range") return RegimeKind::Range;
  if (name == "crash") return RegimeKind::Crash;
  if (name == "vol") return RegimeKind::Vol;
  return std::nullopt;
}

std::string_view regime_kind_name(RegimeKind kind) {
  switch (kind) {
    case RegimeKind::Trend: return "trend";
    case RegimeKind::Range: return "range";
    case RegimeKind::Crash: return "crash";
    case RegimeKind::Vol: return "vol";
  }
  return "";
}

bool operator==(const Regime& a, const Regime& b) {
  return a.kind == b.kind && a.len == b.len && same_bits(a.drift, b.drift) && same_bits(a.vol, b.vol);
}

bool operator==(const FundingSpec& a, const FundingSpec& b) {
  return a.interval_bars == b.interval_bars && same_bits(a.base_rate, b.base_rate) &&
         same_bits(a.sensitivity, b.sensitivity);
}

bool operator==(const Microstructure& a, const Microstructure& b) {
  return a.book_depth == b.book_depth && same_bits(a.spread_bps, b.spread_bps) &&
         same_bits(a.trade_rate, b.trade_rate) && a.funding == b.funding;
}

bool operator==(const GenSpec& a, const GenSpec& b) {
  return a.seed == b.seed && a.bars == b.bars && same_bits(a.start_price, b.start_price) &&
         a.start_ts == b.start_ts && a.bar_secs == b.bar_secs && a.regimes == b.regimes &&
         a.microstructure == b.microstructure;
}

}  // namespace talpen
