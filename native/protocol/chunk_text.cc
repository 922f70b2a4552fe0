#include "protocol/chunk_text.h"

#include <cmath>
#include <cstring>

#include "protocol/responses.h"

namespace talpen::protocol {

namespace {

using json::JsonWriter;

constexpr size_t kDouble = json::kDoubleBufferSize;
constexpr size_t kInteger = JsonWriter::kIntegerBufferSize + 1;

template <class WriteOne>
void comma_separated(JsonWriter& out, size_t count, WriteOne write_one) {
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) out.put(',');
    write_one(i);
  }
}

// A CSV cell of a double: its answer text, or nothing when not finite (the
// answers write null there).
char* put_csv_f64(char* p, double v) { return std::isfinite(v) ? JsonWriter::put_f64(p, v) : p; }

void candle_row(JsonWriter& out, const Candle& c, RowFormat format) {
  if (format == RowFormat::JsonLines) {
    write_candle(out, c);
    out.put('\n');
    return;
  }
  char* p = out.claim(8 + kInteger + 5 * kDouble);
  p = JsonWriter::put_i64(p, c.ts);
  for (double v : {c.open, c.high, c.low, c.close, c.volume}) {
    *p++ = ',';
    p = put_csv_f64(p, v);
  }
  *p++ = '\n';
  out.commit(p);
}

void book_rows(JsonWriter& out, const RunBars& chunk, size_t bar, RowFormat format) {
  const BookSnapshot book = chunk.book(bar);
  const bool csv = format == RowFormat::Csv;
  for (int side = 0; side < 2; ++side) {
    const std::span<const BookLevel> levels = side == 0 ? book.bids : book.asks;
    for (size_t k = 0; k < levels.size(); ++k) {
      char* p = out.claim(64 + 2 * kInteger + 2 * kDouble);
      if (csv) {
        p = JsonWriter::put_i64(p, book.ts);
        p = side == 0 ? JsonWriter::put_bytes(p, ",bid,") : JsonWriter::put_bytes(p, ",ask,");
        p = JsonWriter::put_u64(p, k);
        *p++ = ',';
        p = put_csv_f64(p, levels[k].price);
        *p++ = ',';
        p = put_csv_f64(p, levels[k].qty);
      } else {
        p = JsonWriter::put_bytes(p, "{\"ts\":");
        p = JsonWriter::put_i64(p, book.ts);
        p = side == 0 ? JsonWriter::put_bytes(p, ",\"side\":\"bid\",\"level\":")
                      : JsonWriter::put_bytes(p, ",\"side\":\"ask\",\"level\":");
        p = JsonWriter::put_u64(p, k);
        p = JsonWriter::put_bytes(p, ",\"price\":");
        p = JsonWriter::put_f64(p, levels[k].price);
        p = JsonWriter::put_bytes(p, ",\"qty\":");
        p = JsonWriter::put_f64(p, levels[k].qty);
        *p++ = '}';
      }
      *p++ = '\n';
      out.commit(p);
    }
  }
}

void trade_row(JsonWriter& out, const Trade& t, RowFormat format) {
  if (format == RowFormat::JsonLines) {
    write_trade(out, t);
    out.put('\n');
    return;
  }
  char* p = out.claim(16 + 2 * kInteger + 2 * kDouble);
  p = JsonWriter::put_i64(p, t.ts);
  *p++ = ',';
  p = JsonWriter::put_u64(p, t.seq);
  *p++ = ',';
  p = put_csv_f64(p, t.price);
  *p++ = ',';
  p = put_csv_f64(p, t.qty);
  // The answers write "sell" for Sell and "buy" for everything else.
  p = t.side == TradeSide::Sell ? JsonWriter::put_bytes(p, ",sell\n") : JsonWriter::put_bytes(p, ",buy\n");
  out.commit(p);
}

void funding_row(JsonWriter& out, const FundingPoint& f, RowFormat format) {
  if (format == RowFormat::JsonLines) {
    write_funding_point(out, f);
    out.put('\n');
    return;
  }
  char* p = out.claim(4 + kInteger + kDouble);
  p = JsonWriter::put_i64(p, f.ts);
  *p++ = ',';
  p = put_csv_f64(p, f.rate);
  *p++ = '\n';
  out.commit(p);
}

}  // namespace

std::optional<RecordList> record_list_from_name(std::string_view name) {
  if (name == "candles") return RecordList::Candles;
  if (name == "book_snapshots") return RecordList::BookSnapshots;
  if (name == "trades") return RecordList::Trades;
  if (name == "funding") return RecordList::Funding;
  if (name == "events") return RecordList::Events;
  return std::nullopt;
}

std::optional<RowTable> row_table_from_name(std::string_view name) {
  if (name == "candles") return RowTable::Candles;
  if (name == "book") return RowTable::Book;
  if (name == "trades") return RowTable::Trades;
  if (name == "funding") return RowTable::Funding;
  return std::nullopt;
}

std::optional<RowFormat> row_format_from_name(std::string_view name) {
  if (name == "csv") return RowFormat::Csv;
  if (name == "jsonl") return RowFormat::JsonLines;
  return std::nullopt;
}

Status write_chunk_records(JsonWriter& out, const RunBars& chunk, RecordList list,
                           std::vector<StreamEvent>* scratch) {
  switch (list) {
    case RecordList::Candles:
      comma_separated(out, chunk.candles.size(), [&](size_t i) { write_candle(out, chunk.candles[i]); });
      break;
    case RecordList::BookSnapshots:
      comma_separated(out, chunk.bar_count(), [&](size_t i) { write_book_snapshot(out, chunk.book(i)); });
      break;
    case RecordList::Trades:
      comma_separated(out, chunk.trades.size(), [&](size_t i) { write_trade(out, chunk.trades[i]); });
      break;
    case RecordList::Funding:
      comma_separated(out, chunk.funding.size(), [&](size_t i) { write_funding_point(out, chunk.funding[i]); });
      break;
    case RecordList::Events: {
      scratch->clear();
      if (Status listed = append_stream_events(chunk, scratch); !listed.ok()) return listed;
      comma_separated(out, scratch->size(), [&](size_t i) { write_stream_event(out, chunk, (*scratch)[i]); });
      break;
    }
  }
  return ok_status();
}

void write_universe_events(JsonWriter& out, const std::vector<RunBars>& chunks,
                           const std::vector<std::string>& symbols) {
  std::vector<size_t> next_funding(chunks.size(), 0);
  const size_t bars = chunks.empty() ? 0 : chunks.front().bar_count();
  auto line = [&](size_t i, StreamEventKind kind, uint64_t index) {
    write_symbol_event(out, symbols[i], chunks[i], StreamEvent{kind, index});
    out.put('\n');
  };
  for (size_t bar = 0; bar < bars; ++bar) {
    for (size_t i = 0; i < chunks.size(); ++i) {
      const RunBars& run = chunks[i];
      for (uint64_t t = bar == 0 ? 0 : run.trades_end[bar - 1]; t < run.trades_end[bar]; ++t) {
        line(i, StreamEventKind::Trade, t);
      }
      line(i, StreamEventKind::Snapshot, bar);
      line(i, StreamEventKind::Candle, bar);
      size_t& f = next_funding[i];
      if (f < run.funding.size() && run.funding_bar[f] == bar) line(i, StreamEventKind::Funding, f++);
    }
  }
}

void write_chunk_rows(JsonWriter& out, const RunBars& chunk, RowTable table, RowFormat format) {
  switch (table) {
    case RowTable::Candles:
      for (const Candle& c : chunk.candles) candle_row(out, c, format);
      break;
    case RowTable::Book:
      for (size_t bar = 0; bar < chunk.bar_count(); ++bar) book_rows(out, chunk, bar, format);
      break;
    case RowTable::Trades:
      for (const Trade& t : chunk.trades) trade_row(out, t, format);
      break;
    case RowTable::Funding:
      for (const FundingPoint& f : chunk.funding) funding_row(out, f, format);
      break;
  }
}

}  // namespace talpen::protocol
