#include "core/drivers.h"

#include <limits>
#include <stdexcept>
#include <utility>

#include "core/generate.h"

namespace talpen {

Result<BatchResult> run_batch(const GenSpec& spec) { return generate_bars(spec); }

Result<StreamResult> run_stream(const GenSpec& spec) {
  Result<RunBars> bars = generate_bars(spec);
  if (!bars.ok()) return unexpected(std::move(bars).error());

  StreamResult out{std::move(bars).value(), {}};
  const RunBars& run = out.run;
  const size_t n = run.bar_count();
  // Every bar gives a book and a candle, plus its trades and funding point.
  constexpr size_t kMax = std::numeric_limits<size_t>::max();
  if (n > kMax / 2 || run.trades.size() > kMax - 2 * n ||
      run.funding.size() > kMax - 2 * n - run.trades.size()) {
    throw std::length_error("stream events exceed the address space");
  }
  out.events.reserve(2 * n + run.trades.size() + run.funding.size());

  size_t trade = 0;
  size_t funding = 0;
  for (size_t bar = 0; bar < n; ++bar) {
    for (const size_t end = run.trades_end[bar]; trade < end; ++trade) {
      out.events.push_back({StreamEventKind::Trade, trade});
    }
    out.events.push_back({StreamEventKind::Snapshot, bar});
    out.events.push_back({StreamEventKind::Candle, bar});
    if (funding < run.funding.size() && run.funding_bar[funding] == bar) {
      out.events.push_back({StreamEventKind::Funding, funding});
      ++funding;
    }
  }
  return out;
}

}  // namespace talpen
