#include "tables/column_data.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace talpen::tables {

namespace {

// Arrow's recommended alignment; also a whole cache line for the readers.
constexpr size_t kAlignment = 64;

// aligned_alloc wants a multiple of the alignment; at least one block.
size_t block_size(size_t bytes) {
  if (bytes > std::numeric_limits<size_t>::max() - kAlignment) throw std::bad_alloc();
  const size_t rounded = (bytes + kAlignment - 1) / kAlignment * kAlignment;
  return rounded == 0 ? kAlignment : rounded;
}

}  // namespace

const Categories kBookSides = {{"bid", "ask"}, {0, 3, 6}, "bidask"};
const Categories kTradeSides = {{"buy", "sell"}, {0, 3, 7}, "buysell"};

size_t dtype_size(DType dtype) {
  switch (dtype) {
    case DType::Int64:
    case DType::UInt64:
    case DType::Float64:
      return 8;
    case DType::UInt32:
      return 4;
    case DType::UInt8:
      return 1;
  }
  return 1;
}

std::string_view dtype_name(DType dtype) {
  switch (dtype) {
    case DType::Int64:
      return "int64";
    case DType::UInt64:
      return "uint64";
    case DType::UInt32:
      return "uint32";
    case DType::UInt8:
      return "uint8";
    case DType::Float64:
      return "float64";
  }
  return "";
}

ColumnData::ColumnData(std::string name, DType dtype, size_t length, const Categories* categories,
                       BlockPoolPtr pool)
    : name_(std::move(name)),
      dtype_(dtype),
      length_(length),
      categories_(categories),
      pool_(std::move(pool)),
      block_bytes_(0),
      data_(nullptr) {
  if (length > std::numeric_limits<size_t>::max() / dtype_size(dtype)) throw std::bad_alloc();
  block_bytes_ = block_size(length * dtype_size(dtype));
  if (pool_ != nullptr) {
    block_bytes_ = BlockPool::block_size(block_bytes_);
    data_ = pool_->take(block_bytes_, kAlignment);
  } else {
    data_ = std::aligned_alloc(kAlignment, block_bytes_);
    if (data_ == nullptr) throw std::bad_alloc();
  }
}

ColumnData::~ColumnData() {
  if (pool_ != nullptr) {
    pool_->give(data_, block_bytes_);
  } else {
    std::free(data_);
  }
}

std::shared_ptr<ColumnData> ColumnData::clone() const {
  auto copy = std::make_shared<ColumnData>(name_, dtype_, length_, categories_);
  if (nbytes() != 0) std::memcpy(copy->data_, data_, nbytes());
  return copy;
}

ptrdiff_t TableData::find(std::string_view column) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i]->name() == column) return static_cast<ptrdiff_t>(i);
  }
  return -1;
}

size_t TableData::nbytes() const {
  size_t total = 0;
  for (const ColumnPtr& column : columns) total += column->nbytes();
  return total;
}

}  // namespace talpen::tables
