// A run as four tables of typed columns: the same records as the "generate"
// answer, value for value, laid out column by column instead of as JSON.
#ifndef TALPEN_COLUMNS_RUN_TABLES_H_
#define TALPEN_COLUMNS_RUN_TABLES_H_

#include <array>
#include <string_view>

#include "columns/column_data.h"
#include "core/spec.h"
#include "core/synth_error.h"

namespace talpen::columns {

// Table order: candles, book, trades, funding.
//   candles: ts int64, open, high, low, close, volume float64 (one row per bar)
//   book:    ts int64, side uint8 (0 bid, 1 ask), level uint32 (0 = best),
//            price, qty float64; per bar its bids best first, then its asks
//   trades:  ts int64, seq uint64, price, qty float64, side uint8 (0 buy, 1 sell)
//   funding: ts int64, rate float64
using RunTables = std::array<TablePtr, 4>;

// Reads a spec text exactly as a generate command reads its "spec" member:
// the text is parsed as one JSON document (Parse with the reader's message
// and position within `text`), decoded as a value (Parse, no position) and
// validated (BadSpec).
Result<GenSpec> read_spec_json(std::string_view text);

// Runs the spec and lays its records out as tables. Errors are the run's
// (BadSpec, Numeric). A book deeper than the level column can number is
// refused as exhausted memory, as no machine could hold one bar of it.
// Throws std::bad_alloc or std::length_error when memory runs out.
Result<RunTables> run_tables(const GenSpec& spec);

}  // namespace talpen::columns

#endif  // TALPEN_COLUMNS_RUN_TABLES_H_
