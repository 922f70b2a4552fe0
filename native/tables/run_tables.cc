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

using Columns = std::vector<std::shared_ptr<ColumnData>>;

std::shared_ptr<ColumnData> column(const BlockPoolPtr& pool, const char* name, DType dtype, size_t rows,
                                   const Categories* categories = nullptr) {
  return std::make_shared<ColumnData>(name, dtype, rows, categories, pool);
}

TablePtr make_table(const char* name, size_t rows, Columns columns) {
  auto table = std::make_shared<TableData>();
  table->name = name;
  table->rows = rows;
  table->columns.reserve(columns.size());
  for (std::shared_ptr<ColumnData>& column : columns) table->columns.push_back(std::move(column));
  return table;
}

struct ColumnShape {
  const char* name;
  DType dtype;
  const Categories* categories;
};

struct TableShape {
  const char* name;
  std::vector<ColumnShape> columns;
};

// The four tables' columns, in table order.
const TableShape& shape_of(size_t index) {
  static const TableShape kShapes[4] = {
      {"candles",
       {{"ts", DType::Int64, nullptr},
        {"open", DType::Float64, nullptr},
        {"high", DType::Float64, nullptr},
        {"low", DType::Float64, nullptr},
        {"close", DType::Float64, nullptr},
        {"volume", DType::Float64, nullptr}}},
      {"book",
       {{"ts", DType::Int64, nullptr},
        {"side", DType::UInt8, &kBookSides},
        {"level", DType::UInt32, nullptr},
        {"price", DType::Float64, nullptr},
        {"qty", DType::Float64, nullptr}}},
      {"trades",
       {{"ts", DType::Int64, nullptr},
        {"seq", DType::UInt64, nullptr},
        {"price", DType::Float64, nullptr},
        {"qty", DType::Float64, nullptr},
        {"side", DType::UInt8, &kTradeSides}}},
      {"funding", {{"ts", DType::Int64, nullptr}, {"rate", DType::Float64, nullptr}}},
  };
  return kShapes[index];
}

size_t rows_of(const RunBars& chunk, size_t index) {
  switch (index) {
    case 0: return chunk.candles.size();
    case 1: return chunk.levels.size();  // bars * 2 * depth, checked by the run
    case 2: return chunk.trades.size();
    default: return chunk.funding.size();
  }
}

// Appends the columns of table `index`, `rows` long and not yet filled.
void add_columns(Columns* columns, size_t index, size_t rows, const BlockPoolPtr& pool) {
  const auto& shapes = shape_of(index).columns;
  columns->reserve(columns->size() + shapes.size());
  for (const ColumnShape& c : shapes) columns->push_back(column(pool, c.name, c.dtype, rows, c.categories));
}

template <class T>
T* at(const std::shared_ptr<ColumnData>& column, size_t row) {
  return column->values<T>() + row;
}

// Writes the rows of table `index` of `chunk` into `columns` (the table's,
// in order) from row `first` on. Tables are laid out in place: a table of
// several runs is each run's rows written into its stretch.
void fill(const RunBars& chunk, size_t index, const std::shared_ptr<ColumnData>* columns, size_t first) {
  switch (index) {
    case 0: {
      int64_t* t = at<int64_t>(columns[0], first);
      double* o = at<double>(columns[1], first);
      double* h = at<double>(columns[2], first);
      double* l = at<double>(columns[3], first);
      double* c = at<double>(columns[4], first);
      double* v = at<double>(columns[5], first);
      for (size_t i = 0; i < chunk.candles.size(); ++i) {
        const Candle& candle = chunk.candles[i];
        t[i] = candle.ts;
        o[i] = candle.open;
        h[i] = candle.high;
        l[i] = candle.low;
        c[i] = candle.close;
        v[i] = candle.volume;
      }
      return;
    }
    case 1: {
      // The run keeps each bar's levels as book_depth bids then book_depth
      // asks, which is already the row order of the long table.
      const size_t depth = static_cast<size_t>(chunk.book_depth);
      int64_t* t = at<int64_t>(columns[0], first);
      uint8_t* s = at<uint8_t>(columns[1], first);
      uint32_t* lv = at<uint32_t>(columns[2], first);
      double* p = at<double>(columns[3], first);
      double* q = at<double>(columns[4], first);
      size_t row = 0;
      for (size_t bar = 0; bar < chunk.bar_count(); ++bar) {
        const int64_t bar_ts = chunk.candles[bar].ts;
        for (uint8_t book_side = 0; book_side < 2; ++book_side) {
          for (size_t k = 0; k < depth; ++k, ++row) {
            t[row] = bar_ts;
            s[row] = book_side;
            lv[row] = static_cast<uint32_t>(k);
          }
        }
      }
      for (size_t i = 0; i < chunk.levels.size(); ++i) {
        p[i] = chunk.levels[i].price;
        q[i] = chunk.levels[i].qty;
      }
      return;
    }
    case 2: {
      int64_t* t = at<int64_t>(columns[0], first);
      uint64_t* sq = at<uint64_t>(columns[1], first);
      double* p = at<double>(columns[2], first);
      double* q = at<double>(columns[3], first);
      uint8_t* s = at<uint8_t>(columns[4], first);
      for (size_t i = 0; i < chunk.trades.size(); ++i) {
        const Trade& trade = chunk.trades[i];
        t[i] = trade.ts;
        sq[i] = trade.seq;
        p[i] = trade.price;
        q[i] = trade.qty;
        // The answer writes "sell" for Sell and "buy" for everything else.
        s[i] = trade.side == TradeSide::Sell ? 1 : 0;
      }
      return;
    }
    default: {
      int64_t* t = at<int64_t>(columns[0], first);
      double* r = at<double>(columns[1], first);
      for (size_t i = 0; i < chunk.funding.size(); ++i) {
        t[i] = chunk.funding[i].ts;
        r[i] = chunk.funding[i].rate;
      }
      return;
    }
  }
}

}  // namespace

TablePtr chunk_table(const RunBars& chunk, size_t index, const BlockPoolPtr& pool) {
  const size_t rows = rows_of(chunk, index);
  Columns columns;
  add_columns(&columns, index, rows, pool);
  fill(chunk, index, columns.data(), 0);
  return make_table(shape_of(index).name, rows, std::move(columns));
}

RunTables chunk_tables(const RunBars& chunk, const BlockPoolPtr& pool) {
  return {chunk_table(chunk, 0, pool), chunk_table(chunk, 1, pool), chunk_table(chunk, 2, pool),
          chunk_table(chunk, 3, pool)};
}

TablePtr combined_chunk_table(const std::vector<RunBars>& chunks, size_t index, const BlockPoolPtr& pool) {
  size_t rows = 0;
  for (const RunBars& chunk : chunks) rows += rows_of(chunk, index);
  Columns columns;
  columns.push_back(column(pool, "symbol", DType::UInt32, rows));
  add_columns(&columns, index, rows, pool);
  uint32_t* codes = columns[0]->values<uint32_t>();
  size_t first = 0;
  for (size_t run = 0; run < chunks.size(); ++run) {
    const size_t n = rows_of(chunks[run], index);
    std::fill(codes + first, codes + first + n, static_cast<uint32_t>(run));
    fill(chunks[run], index, columns.data() + 1, first);
    first += n;
  }
  return make_table(shape_of(index).name, rows, std::move(columns));
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
  tables[1] = chunk_table(run, 1);
  release(run.levels);
  tables[0] = chunk_table(run, 0);
  release(run.candles);
  tables[2] = chunk_table(run, 2);
  release(run.trades);
  tables[3] = chunk_table(run, 3);
  return tables;
}

}  // namespace talpen::tables
