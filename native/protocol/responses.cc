#include "protocol/responses.h"

#include <algorithm>
#include <cstddef>

namespace talpen::protocol {

namespace {

using json::JsonWriter;

// The record objects have fixed layouts: each claims room for its longest
// text once and writes it without further checks or object state.
constexpr size_t kDouble = json::kDoubleBufferSize;
constexpr size_t kInteger = JsonWriter::kIntegerBufferSize + 1;

}  // namespace

void write_candle(JsonWriter& out, const Candle& candle) {
  char* p = out.claim(64 + kInteger + 5 * kDouble);
  p = JsonWriter::put_bytes(p, "{\"ts\":");
  p = JsonWriter::put_i64(p, candle.ts);
  p = JsonWriter::put_bytes(p, ",\"open\":");
  p = JsonWriter::put_f64(p, candle.open);
  p = JsonWriter::put_bytes(p, ",\"high\":");
  p = JsonWriter::put_f64(p, candle.high);
  p = JsonWriter::put_bytes(p, ",\"low\":");
  p = JsonWriter::put_f64(p, candle.low);
  p = JsonWriter::put_bytes(p, ",\"close\":");
  p = JsonWriter::put_f64(p, candle.close);
  p = JsonWriter::put_bytes(p, ",\"volume\":");
  p = JsonWriter::put_f64(p, candle.volume);
  *p++ = '}';
  out.commit(p);
}

namespace {

// [{"price":…,"qty":…},…] or []. Room is claimed for a batch of levels at
// a time: a book's levels are most of an answer's records.
void write_level_array(JsonWriter& out, std::span<const BookLevel> levels) {
  constexpr size_t kLevel = 24 + 2 * kDouble;
  constexpr size_t kBatch = 64;  // keeps the claim small for the deepest books
  out.put('[');
  for (size_t i = 0; i < levels.size();) {
    const size_t end = std::min(levels.size(), i + kBatch);
    char* p = out.claim((end - i) * kLevel);
    for (; i < end; ++i) {
      if (i != 0) *p++ = ',';
      p = JsonWriter::put_bytes(p, "{\"price\":");
      p = JsonWriter::put_f64(p, levels[i].price);
      p = JsonWriter::put_bytes(p, ",\"qty\":");
      p = JsonWriter::put_f64(p, levels[i].qty);
      *p++ = '}';
    }
    out.commit(p);
  }
  out.put(']');
}

}  // namespace

void write_levels(JsonWriter& out, std::string_view key, std::span<const BookLevel> levels) {
  out.write_key(key);
  write_level_array(out, levels);
}

void write_book_snapshot(JsonWriter& out, const BookSnapshot& snapshot) {
  char* p = out.claim(16 + kInteger);
  p = JsonWriter::put_bytes(p, "{\"ts\":");
  p = JsonWriter::put_i64(p, snapshot.ts);
  p = JsonWriter::put_bytes(p, ",\"bids\":");
  out.commit(p);
  write_level_array(out, snapshot.bids);
  out.put_literal(",\"asks\":");
  write_level_array(out, snapshot.asks);
  out.put('}');
}

void write_trade(JsonWriter& out, const Trade& trade) {
  char* p = out.claim(64 + 2 * kInteger + 2 * kDouble);
  p = JsonWriter::put_bytes(p, "{\"ts\":");
  p = JsonWriter::put_i64(p, trade.ts);
  p = JsonWriter::put_bytes(p, ",\"seq\":");
  p = JsonWriter::put_u64(p, trade.seq);
  p = JsonWriter::put_bytes(p, ",\"price\":");
  p = JsonWriter::put_f64(p, trade.price);
  p = JsonWriter::put_bytes(p, ",\"qty\":");
  p = JsonWriter::put_f64(p, trade.qty);
  if (trade.side == TradeSide::Sell) {
    p = JsonWriter::put_bytes(p, ",\"side\":\"sell\"}");
  } else {
    p = JsonWriter::put_bytes(p, ",\"side\":\"buy\"}");
  }
  out.commit(p);
}

void write_funding_point(JsonWriter& out, const FundingPoint& point) {
  char* p = out.claim(16 + kInteger + kDouble);
  p = JsonWriter::put_bytes(p, "{\"ts\":");
  p = JsonWriter::put_i64(p, point.ts);
  p = JsonWriter::put_bytes(p, ",\"rate\":");
  p = JsonWriter::put_f64(p, point.rate);
  *p++ = '}';
  out.commit(p);
}

namespace {

// The member `key` holding [write(0),write(1),…,write(count-1)].
template <class WriteOne>
void write_array_member(json::JsonWriter& out, std::string_view key, size_t count, WriteOne write_one) {
  out.write_key(key);
  out.put('[');
  for (size_t i = 0; i < count; ++i) {
    if (i != 0) out.put(',');
    write_one(i);
  }
  out.put(']');
}

}  // namespace

void write_generate_response(json::JsonWriter& out, const BatchResult& batch) {
  out.begin_object();
  write_array_member(out, "candles", batch.candles.size(),
                     [&](size_t i) { write_candle(out, batch.candles[i]); });
  write_array_member(out, "book_snapshots", batch.bar_count(),
                     [&](size_t bar) { write_book_snapshot(out, batch.book(bar)); });
  write_array_member(out, "trades", batch.trades.size(),
                     [&](size_t i) { write_trade(out, batch.trades[i]); });
  // Left out rather than written as [] when the run has no funding points.
  if (!batch.funding.empty()) {
    write_array_member(out, "funding", batch.funding.size(),
                       [&](size_t i) { write_funding_point(out, batch.funding[i]); });
  }
  out.end_object();
}

namespace {

// The members of an event after its opening brace (and any member before).
void write_event_members(json::JsonWriter& out, const RunBars& run, const StreamEvent& event) {
  out.write_plain_key("type");
  switch (event.kind) {
    case StreamEventKind::Candle:
      out.put_literal("\"candle\"");
      out.write_plain_key("candle");
      write_candle(out, run.candles[event.index]);
      break;
    case StreamEventKind::Snapshot:
      out.put_literal("\"book\"");
      out.write_plain_key("snapshot");
      write_book_snapshot(out, run.book(event.index));
      break;
    case StreamEventKind::Trade:
      out.put_literal("\"trade\"");
      out.write_plain_key("trade");
      write_trade(out, run.trades[event.index]);
      break;
    case StreamEventKind::Funding:
      out.put_literal("\"funding\"");
      out.write_plain_key("sample");
      write_funding_point(out, run.funding[event.index]);
      break;
  }
}

}  // namespace

void write_stream_event(json::JsonWriter& out, const RunBars& run, const StreamEvent& event) {
  out.begin_object();
  write_event_members(out, run, event);
  out.end_object();
}

void write_symbol_event(json::JsonWriter& out, std::string_view symbol, const RunBars& run,
                        const StreamEvent& event) {
  out.begin_object();
  out.write_key("symbol");
  out.write_string(symbol);
  write_event_members(out, run, event);
  out.end_object();
}

void write_stream_response(json::JsonWriter& out, const StreamResult& stream) {
  out.begin_object();
  write_array_member(out, "events", stream.events.size(),
                     [&](size_t i) { write_stream_event(out, stream.run, stream.events[i]); });
  out.end_object();
}

void write_error_envelope(json::JsonWriter& out, const Error& error) {
  out.begin_object();
  out.write_key("ok");
  out.put("false");
  out.write_key("error");
  out.write_string(error.text());
  out.end_object();
}

}  // namespace talpen::protocol
