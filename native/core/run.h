// The two ways a whole run is handed on: regrouped for "generate" (by kind of
// record) or for "generate_stream" (one time-ordered list of events). Neither
// changes a value nor draws a random number.
#ifndef TALPEN_CORE_RUN_H_
#define TALPEN_CORE_RUN_H_

#include <cstdint>
#include <vector>

#include "base/result.h"
#include "core/records.h"
#include "core/validate.h"

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

// Appends the run's (or a chunk's) events in stream order: per bar its
// trades, its book, its candle, then its funding point if it has one.
// OutOfMemory when their count exceeds the address space.
Status append_stream_events(const RunBars& run, std::vector<StreamEvent>* events);

// `copies` as for generate_bars: how many times over the run's records must
// fit in memory, counting what the caller holds beside them.
Result<BatchResult> run_batch(const ValidSpec& spec, double copies = 1.0);
Result<StreamResult> run_stream(const ValidSpec& spec, double copies = 1.0);

}  // namespace talpen

#endif  // TALPEN_CORE_RUN_H_
