// The answers of the commands. The two generate answers are written in one
// pass straight from the run's flat storage: "generate" groups the records by
// kind, and "generate_stream" lists them as time-ordered events. Each record writer
// emits one complete object with its members in a fixed order; a record in an
// event is byte for byte the object that the grouped answer holds for it.
#ifndef TALPEN_PROTOCOL_RESPONSES_H_
#define TALPEN_PROTOCOL_RESPONSES_H_

#include <span>
#include <string_view>

#include "base/error.h"
#include "core/run.h"
#include "core/records.h"
#include "json/writer.h"

namespace talpen::protocol {

// {"ts":…,"open":…,"high":…,"low":…,"close":…,"volume":…}
void write_candle(json::JsonWriter& out, const Candle& candle);
// {"ts":…,"bids":[…],"asks":[…]}
void write_book_snapshot(json::JsonWriter& out, const BookSnapshot& snapshot);
// The member `key` holding [{"price":…,"qty":…},…], or [] when empty.
// REQUIRES: an object is open in `out`.
void write_levels(json::JsonWriter& out, std::string_view key, std::span<const BookLevel> levels);
// {"ts":…,"seq":…,"price":…,"qty":…,"side":"buy"|"sell"}
void write_trade(json::JsonWriter& out, const Trade& trade);
// {"ts":…,"rate":…}
void write_funding_point(json::JsonWriter& out, const FundingPoint& point);

// {"candles":[…],"book_snapshots":[…],"trades":[…]} followed by
// ,"funding":[…] only when the run has funding points. Appends to `out`,
// which is expected to be empty.
void write_generate_response(json::JsonWriter& out, const BatchResult& batch);

// One event {"type":…,<record key>:{…}} of `run` (a whole run or a chunk).
void write_stream_event(json::JsonWriter& out, const RunBars& run, const StreamEvent& event);
// The same event with a first member "symbol" naming its instrument.
void write_symbol_event(json::JsonWriter& out, std::string_view symbol, const RunBars& run,
                        const StreamEvent& event);

// {"events":[…]}, each event as write_stream_event writes it. Appends to `out`.
void write_stream_response(json::JsonWriter& out, const StreamResult& stream);

// The error envelope {"ok":false,"error":"<prefix><message>"}, appended to
// `out`.
void write_error_envelope(json::JsonWriter& out, const Error& error);

}  // namespace talpen::protocol

#endif  // TALPEN_PROTOCOL_RESPONSES_H_
