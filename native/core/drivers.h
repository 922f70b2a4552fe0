// The two run drivers: one run, regrouped for "generate" (by kind of record)
// or for "generate_stream" (one time-ordered list of events). Neither changes
// a value nor draws a random number.
#ifndef TALPEN_CORE_DRIVERS_H_
#define TALPEN_CORE_DRIVERS_H_

#include <cstdint>
#include <vector>

#include "core/records.h"
#include "core/spec.h"
#include "core/synth_error.h"

namespace talpen {

// candles, book snapshots, trades and funding points, each in bar order.
// The flat run storage is already grouped this way, so the batch is the run.
using BatchResult = RunBars;

enum class StreamEventKind : unsigned char { Candle = 0, Snapshot = 1, Trade = 2, Funding = 3 };

// One event; `index` selects the record: a bar for Candle and Snapshot, an
// element of `trades` for Trade, an element of `funding` for Funding.
struct StreamEvent {
  StreamEventKind kind;
  uint64_t index;
};

struct StreamResult {
  RunBars run;
  std::vector<StreamEvent> events;  // per bar: trades, book, candle, funding
};

Result<BatchResult> run_batch(const GenSpec& spec);
Result<StreamResult> run_stream(const GenSpec& spec);

}  // namespace talpen

#endif  // TALPEN_CORE_DRIVERS_H_
