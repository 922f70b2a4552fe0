#include "core/run_budget.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/records.h"

#if defined(__linux__)
#include <sys/sysinfo.h>
#else
#include <unistd.h>
#endif

namespace talpen {

namespace {

// Below this the machine is not asked: every small run fits.
constexpr double kAlwaysFits = double{1 << 28};

// Per-bar trade counts saturate near 745 however large the rate (the Poisson
// threshold underflows); 700 stays below that mean.
constexpr double kSaturatedTradesPerBar = 700.0;

}  // namespace

double run_record_bytes(const GenSpec& spec) {
  const Microstructure& micro = spec.microstructure;
  const double bars = static_cast<double>(spec.bars);
  const double levels = 2.0 * static_cast<double>(micro.book_depth);
  double per_bar = sizeof(Candle) + levels * sizeof(BookLevel) + sizeof(uint64_t) + sizeof(double);
  double bytes = bars * per_bar;
  if (micro.funding) {
    bytes += std::floor(bars / static_cast<double>(micro.funding->interval_bars)) *
             (sizeof(FundingPoint) + sizeof(uint64_t));
  }
  // The run's trade count has mean m; it falls more than eight standard
  // deviations short of it with probability below 1e-15.
  const double m = std::min(micro.trade_rate, kSaturatedTradesPerBar) * bars;
  if (m > 0.0) bytes += std::max(0.0, m - 8.0 * std::sqrt(m)) * sizeof(Trade);
  return bytes;
}

double machine_memory_bytes() {
  // Asked once: the figure does not change while the process runs.
  static const double total = [] {
#if defined(__linux__)
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return std::numeric_limits<double>::infinity();
    return (static_cast<double>(info.totalram) + static_cast<double>(info.totalswap)) *
           static_cast<double>(info.mem_unit);
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return std::numeric_limits<double>::infinity();
    return static_cast<double>(pages) * static_cast<double>(page);
#endif
  }();
  return total;
}

Status check_run_fits(const GenSpec& spec, double copies) {
  const double need = copies * run_record_bytes(spec);
  if (need > kAlwaysFits && need > machine_memory_bytes()) return fail(ErrorKind::OutOfMemory, kRunTooLarge);
  return ok_status();
}

}  // namespace talpen
