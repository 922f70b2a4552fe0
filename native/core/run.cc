#include "core/run.h"

#include <limits>
#include <utility>

#include "core/generate.h"

namespace talpen {

Result<BatchResult> run_batch(const ValidSpec& spec, double copies) { return generate_bars(spec, copies); }

Status append_stream_events(const RunBars& run, std::vector<StreamEvent>* events) {
  const size_t n = run.bar_count();
  // Every bar gives a book and a candle, plus its trades and funding point.
  constexpr size_t kMax = std::numeric_limits<size_t>::max();
  if (n > kMax / 2 || run.trades.size() > kMax - 2 * n ||
      run.funding.size() > kMax - 2 * n - run.trades.size()) {
    return fail(ErrorKind::OutOfMemory, "stream events exceed the address space");
  }
  events->reserve(events->size() + 2 * n + run.trades.size() + run.funding.size());

  size_t trade = 0;
  size_t funding = 0;
  for (size_t bar = 0; bar < n; ++bar) {
    for (const size_t end = run.trades_end[bar]; trade < end; ++trade) {
      events->push_back({StreamEventKind::Trade, trade});
    }
    events->push_back({StreamEventKind::Snapshot, bar});
    events->push_back({StreamEventKind::Candle, bar});
    if (funding < run.funding.size() && run.funding_bar[funding] == bar) {
      events->push_back({StreamEventKind::Funding, funding});
      ++funding;
    }
  }
  return ok_status();
}

Result<StreamResult> run_stream(const ValidSpec& spec, double copies) {
  Result<RunBars> bars = generate_bars(spec, copies);
  if (!bars.ok()) return std::move(bars).failure();
  StreamResult out{std::move(bars).value(), {}};
  if (Status listed = append_stream_events(out.run, &out.events); !listed.ok()) return std::move(listed).failure();
  return out;
}

}  // namespace talpen
