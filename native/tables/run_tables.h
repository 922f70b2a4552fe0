// A run as four tables of typed columns: the same records as the "generate"
// answer, value for value, laid out column by column instead of as JSON.
#ifndef TALPEN_TABLES_RUN_TABLES_H_
#define TALPEN_TABLES_RUN_TABLES_H_

#include <array>
#include <string_view>
#include <vector>

#include "tables/column_data.h"
#include "base/result.h"
#include "core/records.h"
#include "core/validate.h"

namespace talpen::tables {

// Table order: candles, book, trades, funding.
//   candles: ts int64, open, high, low, close, volume float64 (one row per bar)
//   book:    ts int64, side uint8 (0 bid, 1 ask), level uint32 (0 = best),
//            price, qty float64; per bar its bids best first, then its asks
//   trades:  ts int64, seq uint64, price, qty float64, side uint8 (0 buy, 1 sell)
//   funding: ts int64, rate float64
using RunTables = std::array<TablePtr, 4>;
// The one table laid out from the book's levels: a chunk for any other may
// leave them out (RunCursor::skip_book_levels).
constexpr size_t kBookTable = 1;
// Likewise the one laid out from the trades (RunCursor::skip_trades).
constexpr size_t kTradesTable = 2;

// Runs the spec and lays its records out as tables. Errors are the run's
// (Numeric, OutOfMemory). A book deeper than the level column can number is
// refused as exhausted memory, as no machine could hold one bar of it.
// Throws std::bad_alloc when an allocation fails all the same.
Result<RunTables> run_tables(const ValidSpec& spec);

// One chunk of a run (a run cursor's output) as the same four tables, or
// only the one at `index` (table order), their buffers from `pool` when one
// is given (a chunked run's, for its next chunks). Throw std::bad_alloc when
// memory runs out.
RunTables chunk_tables(const RunBars& chunk, const BlockPoolPtr& pool = nullptr);
TablePtr chunk_table(const RunBars& chunk, size_t index, const BlockPoolPtr& pool = nullptr);

// The table at `index` of several runs' chunks of one length (a universe's
// instruments) as one table: run after run, led by a "symbol" column of
// uint32 codes, each row's place in `chunks`. Throws std::bad_alloc when
// memory runs out.
TablePtr combined_chunk_table(const std::vector<RunBars>& chunks, size_t index, const BlockPoolPtr& pool = nullptr);

// OutOfMemory for a book deeper than the level column can number.
Status check_level_numbering(const GenSpec& spec);

}  // namespace talpen::tables

#endif  // TALPEN_TABLES_RUN_TABLES_H_
