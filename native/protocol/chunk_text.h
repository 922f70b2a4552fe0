// A run written chunk by chunk: the records of one chunk of bars (a run
// cursor's output) as the text that the whole answers hold for them, and the
// rows of the per-table text files. Joined in order, the chunks of a run give
// exactly the whole run's text.
#ifndef TALPEN_PROTOCOL_CHUNK_TEXT_H_
#define TALPEN_PROTOCOL_CHUNK_TEXT_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "core/records.h"
#include "core/run.h"
#include "json/writer.h"

namespace talpen::protocol {

// The record lists of the two generate answers.
enum class RecordList : unsigned char { Candles, BookSnapshots, Trades, Funding, Events };

// "candles", "book_snapshots", "trades", "funding", "events".
std::optional<RecordList> record_list_from_name(std::string_view name);

// The records a list is written from besides the candles: a chunk made for
// another list may leave them out (RunCursor::skip_book_levels, skip_trades).
inline bool needs_book_levels(RecordList list) {
  return list == RecordList::BookSnapshots || list == RecordList::Events;
}
inline bool needs_trades(RecordList list) { return list == RecordList::Trades || list == RecordList::Events; }

// Appends the chunk's records of `list`, each byte for byte as in the answer,
// separated by commas: no brackets, no leading or trailing comma. `scratch`
// holds the chunk's events between calls (reused). OutOfMemory only when the
// events exceed the address space.
Status write_chunk_records(json::JsonWriter& out, const RunBars& chunk, RecordList list,
                           std::vector<StreamEvent>* scratch);

// The four tables of the per-table files.
enum class RowTable : unsigned char { Candles, Book, Trades, Funding };
enum class RowFormat : unsigned char { Csv, JsonLines };

// "candles", "book", "trades", "funding"; "csv", "jsonl".
std::optional<RowTable> row_table_from_name(std::string_view name);
std::optional<RowFormat> row_format_from_name(std::string_view name);

// Appends the chunk's rows of `table`, each ending in "\n". Columns:
//   candles ts,open,high,low,close,volume   book ts,side,level,price,qty
//   trades  ts,seq,price,qty,side           funding ts,rate
// Numbers in the answers' own text; a number that is not finite is an empty
// CSV cell or JSON null. Book sides are "bid"/"ask", level 0 the best;
// trade sides "buy"/"sell". CSV carries no header and needs no quoting.
void write_chunk_rows(json::JsonWriter& out, const RunBars& chunk, RowTable table, RowFormat format);

// Appends the events of a universe's chunk, one JSON object a line: bar by
// bar, and within a bar instrument by instrument in the universe's order,
// each instrument's events in stream order, each event with a first member
// "symbol". `chunks[i]` is instrument i's chunk (all of one length).
void write_universe_events(json::JsonWriter& out, const std::vector<RunBars>& chunks,
                           const std::vector<std::string>& symbols);

}  // namespace talpen::protocol

#endif  // TALPEN_PROTOCOL_CHUNK_TEXT_H_
