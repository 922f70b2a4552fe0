#include "tables/run_tables.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/run.h"

namespace talpen::tables {

namespace {

// Frees a record array as soon as its table is built, so that a run's records
// and its columns are never both whole in memory.
template <class T>
void release(std::vector<T>& v) {
  std::vector<T>().swap(v);
}

std::shared_ptr<ColumnData> column(const BlockPoolPtr& pool, const char* name, DType dtype, size_t rows,
                                   const Categories* categories = nullptr) {
  return std::make_shared<ColumnData>(name, dtype, rows, categories, pool);
}

TablePtr make_table(const char* name, size_t rows, std::vector<std::shared_ptr<ColumnData>> columns) {
  auto table = std::make_shared<TableData>();
  table->name = name;
  table->rows = rows;
  table->columns.assign(columns.begin(), columns.end());
  return table;
}

TablePtr candle_table(const std::vector<Candle>& candles, const BlockPoolPtr& pool) {
  const size_t n = candles.size();
  auto ts = column(pool, "ts", DType::Int64, n);
  auto open = column(pool, "open", DType::Float64, n);
  auto high = column(pool, "high", DType::Float64, n);
  auto low = column(pool, "low", DType::Float64, n);
  auto close = column(pool, "close", DType::Float64, n);
  auto volume = column(pool, "volume", DType::Float64, n);
  int64_t* t = ts->values<int64_t>();
  double* o = open->values<double>();
  double* h = high->values<double>();
  double* l = low->values<double>();
  double* c = close->values<double>();
  double* v = volume->values<double>();
  for (size_t i = 0; i < n; ++i) {
    const Candle& candle = candles[i];
    t[i] = candle.ts;
    o[i] = candle.open;
    h[i] = candle.high;
    l[i] = candle.low;
    c[i] = candle.close;
    v[i] = candle.volume;
  }
  return make_table("candles", n, {ts, open, high, low, close, volume});
}

// The run keeps each bar's levels as book_depth bids then book_depth asks,
// which is already the row order of the long table.
TablePtr book_table(const RunBars& run, const BlockPoolPtr& pool) {
  const size_t bars = run.bar_count();
  const size_t depth = static_cast<size_t>(run.book_depth);
  const size_t rows = run.levels.size();  // bars * 2 * depth, checked by the run
  auto ts = column(pool, "ts", DType::Int64, rows);
  auto side = column(pool, "side", DType::UInt8, rows, &kBookSides);
  auto level = column(pool, "level", DType::UInt32, rows);
  auto price = column(pool, "price", DType::Float64, rows);
  auto qty = column(pool, "qty", DType::Float64, rows);
  int64_t* t = ts->values<int64_t>();
  uint8_t* s = side->values<uint8_t>();
  uint32_t* lv = level->values<uint32_t>();
  double* p = price->values<double>();
  double* q = qty->values<double>();
  size_t row = 0;
  for (size_t bar = 0; bar < bars; ++bar) {
    const int64_t bar_ts = run.candles[bar].ts;
    for (uint8_t book_side = 0; book_side < 2; ++book_side) {
      for (size_t k = 0; k < depth; ++k, ++row) {
        t[row] = bar_ts;
        s[row] = book_side;
        lv[row] = static_cast<uint32_t>(k);
      }
    }
  }
  for (size_t i = 0; i < rows; ++i) {
    p[i] = run.levels[i].price;
    q[i] = run.levels[i].qty;
  }
  return make_table("book", rows, {ts, side, level, price, qty});
}

TablePtr trade_table(const std::vector<Trade>& trades, const BlockPoolPtr& pool) {
  const size_t n = trades.size();
  auto ts = column(pool, "ts", DType::Int64, n);
  auto seq = column(pool, "seq", DType::UInt64, n);
  auto price = column(pool, "price", DType::Float64, n);
  auto qty = column(pool, "qty", DType::Float64, n);
  auto side = column(pool, "side", DType::UInt8, n, &kTradeSides);
  int64_t* t = ts->values<int64_t>();
  uint64_t* sq = seq->values<uint64_t>();
  double* p = price->values<double>();
  double* q = qty->values<double>();
  uint8_t* s = side->values<uint8_t>();
  for (size_t i = 0; i < n; ++i) {
    const Trade& trade = trades[i];
    t[i] = trade.ts;
    sq[i] = trade.seq;
    p[i] = trade.price;
    q[i] = trade.qty;
    // The answer writes "sell" for Sell and "buy" for everything else.
    s[i] = trade.side == TradeSide::Sell ? 1 : 0;
  }
  return make_table("trades", n, {ts, seq, price, qty, side});
}

TablePtr funding_table(const std::vector<FundingPoint>& funding, const BlockPoolPtr& pool) {
  const size_t n = funding.size();
  auto ts = column(pool, "ts", DType::Int64, n);
  auto rate = column(pool, "rate", DType::Float64, n);
  int64_t* t = ts->values<int64_t>();
  double* r = rate->values<double>();
  for (size_t i = 0; i < n; ++i) {
    t[i] = funding[i].ts;
    r[i] = funding[i].rate;
  }
  return make_table("funding", n, {ts, rate});
}

}  // namespace

TablePtr chunk_table(const RunBars& chunk, size_t index, const BlockPoolPtr& pool) {
  switch (index) {
    case 0: return candle_table(chunk.candles, pool);
    case 1: return book_table(chunk, pool);
    case 2: return trade_table(chunk.trades, pool);
    default: return funding_table(chunk.funding, pool);
  }
}

RunTables chunk_tables(const RunBars& chunk, const BlockPoolPtr& pool) {
  return {chunk_table(chunk, 0, pool), chunk_table(chunk, 1, pool), chunk_table(chunk, 2, pool),
          chunk_table(chunk, 3, pool)};
}

TablePtr combined_chunk_table(const std::vector<RunBars>& chunks, size_t index, const BlockPoolPtr& pool) {
  // Each run's table is laid out alone (small: one chunk of one run), then
  // copied into its stretch of the combined columns.
  std::vector<TablePtr> parts;
  parts.reserve(chunks.size());
  size_t rows = 0;
  for (const RunBars& chunk : chunks) {
    parts.push_back(chunk_table(chunk, index));
    rows += parts.back()->rows;
  }
  const TablePtr shape = chunk_table(RunBars{}, index);  // the columns' names and types
  std::vector<std::shared_ptr<ColumnData>> columns;
  columns.push_back(column(pool, "symbol", DType::UInt32, rows));
  for (const ColumnPtr& c : shape->columns) {
    columns.push_back(column(pool, c->name().c_str(), c->dtype(), rows, c->categories()));
  }
  uint32_t* codes = columns[0]->values<uint32_t>();
  size_t at = 0;
  for (size_t run = 0; run < parts.size(); ++run) {
    const TableData& part = *parts[run];
    std::fill(codes + at, codes + at + part.rows, static_cast<uint32_t>(run));
    for (size_t c = 0; c < part.columns.size(); ++c) {
      const size_t width = dtype_size(part.columns[c]->dtype());
      if (part.rows != 0) {
        std::memcpy(columns[c + 1]->values<char>() + at * width, part.columns[c]->data(), part.rows * width);
      }
    }
    at += part.rows;
  }
  return make_table(shape->name.c_str(), rows, std::move(columns));
}

Status check_level_numbering(const GenSpec& spec) {
  if (spec.microstructure.book_depth > std::numeric_limits<uint32_t>::max()) {
    return fail(ErrorKind::OutOfMemory, "the book is deeper than a level column can number");
  }
  return ok_status();
}

Result<RunTables> run_tables(const ValidSpec& spec) {
  // Levels are numbered in 32 bits. A deeper book needs 2^37 bytes for one
  // bar's levels alone: refuse it before the run claims anything.
  if (Status numbered = check_level_numbering(spec.get()); !numbered.ok()) return std::move(numbered).failure();

  auto batch = run_batch(spec);
  if (!batch.ok()) return std::move(batch).failure();
  RunBars& run = batch.value();

  RunTables tables;
  // Each record array is freed once its table is built. The book goes first
  // because its rows take their timestamps from the candles.
  tables[1] = book_table(run, nullptr);
  release(run.levels);
  tables[0] = candle_table(run.candles, nullptr);
  release(run.candles);
  tables[2] = trade_table(run.trades, nullptr);
  release(run.trades);
  tables[3] = funding_table(run.funding, nullptr);
  return tables;
}

}  // namespace talpen::tables
