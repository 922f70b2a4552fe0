#include "module/responses.h"

#include <cstddef>

namespace talpen::module {

void write_candle(json::JsonWriter& out, const Candle& candle) {
  out.begin_object();
  out.write_plain_key("ts");
  out.write_i64(candle.ts);
  out.write_plain_key("open");
  out.write_f64(candle.open);
  out.write_plain_key("high");
  out.write_f64(candle.high);
  out.write_plain_key("low");
  out.write_f64(candle.low);
  out.write_plain_key("close");
  out.write_f64(candle.close);
  out.write_plain_key("volume");
  out.write_f64(candle.volume);
  out.end_object();
}

void write_levels(json::JsonWriter& out, std::string_view key, std::span<const BookLevel> levels) {
  out.write_key(key);
  out.put('[');
  for (size_t i = 0; i < levels.size(); ++i) {
    if (i != 0) out.put(',');
    out.begin_object();
    out.write_plain_key("price");
    out.write_f64(levels[i].price);
    out.write_plain_key("qty");
    out.write_f64(levels[i].qty);
    out.end_object();
  }
  out.put(']');
}

void write_book_snapshot(json::JsonWriter& out, const BookSnapshot& snapshot) {
  out.begin_object();
  out.write_plain_key("ts");
  out.write_i64(snapshot.ts);
  write_levels(out, "bids", snapshot.bids);
  write_levels(out, "asks", snapshot.asks);
  out.end_object();
}

void write_trade(json::JsonWriter& out, const Trade& trade) {
  out.begin_object();
  out.write_plain_key("ts");
  out.write_i64(trade.ts);
  out.write_plain_key("seq");
  out.write_u64(trade.seq);
  out.write_plain_key("price");
  out.write_f64(trade.price);
  out.write_plain_key("qty");
  out.write_f64(trade.qty);
  out.write_plain_key("side");
  if (trade.side == TradeSide::Sell) {
    out.put_literal("\"sell\"");
  } else {
    out.put_literal("\"buy\"");
  }
  out.end_object();
}

void write_funding_point(json::JsonWriter& out, const FundingPoint& point) {
  out.begin_object();
  out.write_plain_key("ts");
  out.write_i64(point.ts);
  out.write_plain_key("rate");
  out.write_f64(point.rate);
  out.end_object();
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

void write_stream_response(json::JsonWriter& out, const StreamResult& stream) {
  const RunBars& run = stream.run;
  out.begin_object();
  write_array_member(out, "events", stream.events.size(), [&](size_t i) {
    const StreamEvent& event = stream.events[i];
    out.begin_object();
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
    out.end_object();
  });
  out.end_object();
}

}  // namespace talpen::module
