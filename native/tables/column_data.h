// ColumnData and TableData: a run's tables as contiguous typed columns, the
// memory that every export (Arrow, DLPack) shares. Both are immutable once
// built and held by shared_ptr, so an export keeps its column alive on its
// own, released from whichever thread the consumer happens to use, without
// the interpreter.
#ifndef TALPEN_TABLES_COLUMN_DATA_H_
#define TALPEN_TABLES_COLUMN_DATA_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tables/block_pool.h"

namespace talpen::tables {

enum class DType : unsigned char { Int64, UInt64, UInt32, UInt8, Float64 };

size_t dtype_size(DType dtype);
// "int64", "uint64", "uint32", "uint8", "float64" (NumPy's names).
std::string_view dtype_name(DType dtype);

// The two names of a two-valued category column, for codes 0 and 1, with
// their Arrow utf8 layout (offsets and characters) ready to lend out.
struct Categories {
  const char* names[2];
  int32_t offsets[3];
  const char* chars;
};

extern const Categories kBookSides;   // 0 "bid", 1 "ask"
extern const Categories kTradeSides;  // 0 "buy", 1 "sell"

// One column: `length` values of `dtype`, contiguous, 64-byte aligned. The
// buffer is never null (an empty column still owns one aligned block), as
// some consumers refuse a null data pointer.
class ColumnData {
 public:
  // Throws std::bad_alloc when the buffer cannot be had; the contents are
  // left uninitialised for the builder to fill. With a pool the buffer comes
  // from it and goes back to it.
  ColumnData(std::string name, DType dtype, size_t length, const Categories* categories = nullptr,
             BlockPoolPtr pool = nullptr);
  ~ColumnData();
  ColumnData(const ColumnData&) = delete;
  ColumnData& operator=(const ColumnData&) = delete;

  const std::string& name() const { return name_; }
  DType dtype() const { return dtype_; }
  size_t length() const { return length_; }
  size_t nbytes() const { return length_ * dtype_size(dtype_); }
  // Null for plain columns; for a category column the names of its codes.
  const Categories* categories() const { return categories_; }

  const void* data() const { return data_; }
  // Only while the builder fills the column, before it is shared.
  template <class T>
  T* values() {
    return static_cast<T*>(data_);
  }

  // A new column holding the same values (for an export that asks for a copy).
  std::shared_ptr<ColumnData> clone() const;

 private:
  std::string name_;
  DType dtype_;
  size_t length_;
  const Categories* categories_;
  BlockPoolPtr pool_;
  size_t block_bytes_;
  void* data_;
};

using ColumnPtr = std::shared_ptr<const ColumnData>;

// One table: equally long named columns in a fixed order.
struct TableData {
  std::string name;
  size_t rows = 0;
  std::vector<ColumnPtr> columns;

  // The index of the column called `column`, or -1.
  ptrdiff_t find(std::string_view column) const;
  size_t nbytes() const;
};

using TablePtr = std::shared_ptr<const TableData>;

}  // namespace talpen::tables

#endif  // TALPEN_TABLES_COLUMN_DATA_H_
